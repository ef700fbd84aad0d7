// "修改证书备份密码": a PKCS #12 backup file read with its password and written again, to the
// same or another file, under a new one.
#pragma once

#include <QDialog>

class QLineEdit;

namespace orvikdesk {

class CChangeBackupPasswordDialog : public QDialog {
    Q_OBJECT
public:
    enum {
        IDD = 177,
        IDC_SOURCE = 1021,
        IDC_SOURCE_BROWSE = 1020,
        IDC_SOURCE_PASSWORD = 1022,
        IDC_TARGET = 1014,
        IDC_TARGET_BROWSE = 1004,
        IDC_NEW_PASSWORD = 1023,
        IDC_CONFIRM = 1015,
    };

    explicit CChangeBackupPasswordDialog(QWidget* parent = nullptr);

private:
    void onOk();

    QLineEdit* source_;
    QLineEdit* sourcePassword_;
    QLineEdit* target_;
    QLineEdit* newPassword_;
    QLineEdit* confirm_;
};

}  // namespace orvikdesk
