// "解密文件": the secure file, the file to write, and for version 2 files the personal certificate
// to decrypt with, among those the file was encrypted for.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include <SecureFile.h>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace orvikdesk {

class CDecryptDialog : public QDialog {
    Q_OBJECT
public:
    enum {
        IDD = 227,
        IDC_SOURCE = 1096,
        IDC_SOURCE_BROWSE = 1098,
        IDC_OUTPUT = 1097,
        IDC_OUTPUT_BROWSE = 1099,
        IDC_CERTIFICATES = 1059,
        IDC_VIEW = 1109,
        IDC_CHOOSE_TEXT = 1121,
        IDC_AUTOMATIC_TEXT = 1122,
    };

    explicit CDecryptDialog(QWidget* parent = nullptr);

    // A preset source (trimmed of blanks and quotes), examined at once; false when it is not a
    // secure file this dialog decrypts (the user has been told).
    bool setSource(const std::string& path);

    // After OK: the paths (for version 2 with the original extension), the header and the record
    // of the chosen certificate.
    const std::string& source() const { return source_; }
    const std::string& target() const { return target_; }
    const CSecureFile::Header& header() const { return header_; }
    size_t record() const { return record_; }

private:
    bool examine(const std::string& path);
    void clearChoice();
    void view();
    void onOk();

    QLineEdit* sourceEdit_;
    QLineEdit* outputEdit_;
    QComboBox* certificates_;
    QPushButton* view_;
    QLabel* chooseText_;
    QLabel* automaticText_;
    CSecureFile::Header header_;
    bool examined_ = false;
    std::vector<size_t> records_;  // the record of each combo item
    std::string source_, target_;
    std::string tried_;  // the last typed source examined on leaving the field
    size_t record_ = 0;
};

}  // namespace orvikdesk
