// "加密文件": the file to encrypt, the secure file to write, the default encryption certificate,
// other people's certificates to add as recipients, and the options. Everything it hands on is
// an owned copy, so nothing depends on the stores it read.
#pragma once

#include <orvik/Secret.h>

#include <QDialog>
#include <memory>
#include <string>
#include <vector>

class CDigitalCertificate;
class COtherCertStore;
class QCheckBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace orvikdesk {

class CEncryptDialog : public QDialog {
    Q_OBJECT
public:
    enum {
        IDD = 225,
        IDC_SOURCE = 1091,
        IDC_SOURCE_BROWSE = 1093,
        IDC_OUTPUT = 1092,
        IDC_OUTPUT_BROWSE = 1060,
        IDC_DEFAULT = 1118,
        IDC_VIEW_DEFAULT = 1105,
        IDC_CHANGE_DEFAULT = 1108,
        IDC_LIST = 1106,
        IDC_VIEW_OTHER = 1109,
        IDC_DELETE_SOURCE = 1111,
        IDC_PROTECT = 1113,
    };
    using Recipients = std::vector<std::unique_ptr<CDigitalCertificate>>;

    explicit CEncryptDialog(QWidget* parent = nullptr);
    ~CEncryptDialog() override;

    // A preset source: trimmed of blanks and quotes; the output becomes it with ".ovk".
    void setSource(const std::string& path);

    // After OK: the paths (the output with ".ovk"), the options and the recipients, the default
    // certificate first.
    std::string source() const { return source_; }
    std::string target() const { return target_; }
    bool deleteSource() const { return deleteSource_; }
    const orvik::SecretString& password() const { return password_; }
    Recipients takeRecipients() { return std::move(recipients_); }

    int clickedRow() const { return clicked_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void fillList();
    void showDefault();
    void changeDefault();
    void protectToggled(bool on);
    void rowChecked(QTreeWidgetItem* item, int column);
    void rowClicked(QTreeWidgetItem* item);
    void viewOther();
    void onOk();

    std::unique_ptr<COtherCertStore> others_;
    std::unique_ptr<CDigitalCertificate> default_;
    QLineEdit* sourceEdit_;
    QLineEdit* outputEdit_;
    QLineEdit* defaultName_;
    QPushButton* viewDefault_;
    QTreeWidget* list_;
    QPushButton* viewOther_;
    QCheckBox* deleteBox_;
    QCheckBox* protectBox_;
    int clicked_ = -1;
    std::string source_, target_;
    orvik::SecretString password_;
    bool deleteSource_ = false;
    Recipients recipients_;
};

}  // namespace orvikdesk
