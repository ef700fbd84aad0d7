// "安全文件属性": what a secure file says of itself, read without decrypting it. A file that is
// not one shows "文件格式错误!" in its type field; nothing is reported by message box.
#pragma once

#include <QDialog>
#include <string>

class QLabel;
class QListWidget;

namespace orvikdesk {

class CSecureFilePropertiesDialog : public QDialog {
    Q_OBJECT
public:
    enum {
        IDD = 261,
        IDC_TYPE = 211,
        IDC_EXTENSION = 204,
        IDC_SIZE = 201,
        IDC_ALGORITHM = 205,
        IDC_PROTECTION = 212,
        IDC_RECIPIENTS = 213,
    };

    // The path is trimmed of blanks and quotes.
    explicit CSecureFilePropertiesDialog(const std::string& path, QWidget* parent = nullptr);

private:
    void read(const std::string& path);

    QLabel* type_;
    QLabel* extension_;
    QLabel* size_;
    QLabel* algorithm_;
    QLabel* protection_;
    QListWidget* recipients_;
};

}  // namespace orvikdesk
