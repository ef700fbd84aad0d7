// "输入保护密码": the protect password of a secure file being decrypted.
#pragma once

#include <QDialog>

class QLineEdit;

namespace orvikdesk {

class CInputPasswordDialog : public QDialog {
    Q_OBJECT
public:
    enum { IDD = 247, IDC_PASSWORD = 1088 };
    explicit CInputPasswordDialog(QWidget* parent = nullptr);
    QString password() const;

private:
    void onOk();
    QLineEdit* password_;
};

}  // namespace orvikdesk
