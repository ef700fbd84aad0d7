// The about box (dialog 100): version, maker's home page and the problem-report address as links.
#pragma once

#include <QDialog>

namespace orvikdesk {

class CLinkStatic;

class CAboutDialog : public QDialog {
    Q_OBJECT
public:
    enum { IDD = 100, IDC_MAKER = 1000, IDC_REPORT = 1112 };
    explicit CAboutDialog(QWidget* parent = nullptr);

    CLinkStatic* makerLink() const { return maker_; }
    CLinkStatic* reportLink() const { return report_; }

private:
    CLinkStatic* maker_ = nullptr;
    CLinkStatic* report_ = nullptr;
};

}  // namespace orvikdesk
