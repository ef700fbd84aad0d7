// Shown when the fetcher is started by hand: a line of text for a few seconds before the wizard.
#pragma once

#include <QDialog>

class DetectDialog : public QDialog {
    Q_OBJECT
public:
    enum { IDD = 102 };
    explicit DetectDialog(int milliseconds, QWidget* parent = nullptr);
};
