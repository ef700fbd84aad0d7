// "设置保护密码": the protect password of a secure file, entered twice; the first may not be empty.
#pragma once

#include <QDialog>

class QLineEdit;

namespace orvikdesk {

class CSetPasswordDialog : public QDialog {
    Q_OBJECT
public:
    enum { IDD = 226, IDC_PASSWORD = 1114, IDC_AGAIN = 1115 };
    explicit CSetPasswordDialog(QWidget* parent = nullptr);
    QString password() const;

private:
    void onOk();
    QLineEdit* password_;
    QLineEdit* again_;
};

}  // namespace orvikdesk
