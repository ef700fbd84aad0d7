// The small window shown while the update check runs: one line of text, no buttons. The check
// runs beside it and the window closes itself when the check ends.
#pragma once

#include <QDialog>
#include <functional>
#include <thread>

class CheckDialog : public QDialog {
    Q_OBJECT
public:
    enum { IDD = 7000 };

    // `check` runs on a thread of its own once the window shows; its result is exec()'s.
    CheckDialog(std::function<int()> check, QWidget* parent = nullptr);
    ~CheckDialog() override;

    // Escape and the close box do not abandon a check that is still running.
    void reject() override {}

protected:
    void showEvent(QShowEvent* event) override;

private:
    std::function<int()> check_;
    std::thread worker_;
    bool started_ = false;
};
