// The small window of the update's last step: a line of text while the files are put in place,
// then the assistant starts and the window closes.
#pragma once

#include <QDialog>
#include <QTimer>
#include <string>

namespace handover {

class HandoverDialog : public QDialog {
    Q_OBJECT
public:
    enum { IDD = 102 };
    explicit HandoverDialog(std::string programDir, QWidget* parent = nullptr);

    // Escape or the close button must not skip the install.
    void reject() override {}

private:
    void onTimer();

    std::string programDir_;
    QTimer timer_;
    bool started_ = false;
};

}  // namespace handover
