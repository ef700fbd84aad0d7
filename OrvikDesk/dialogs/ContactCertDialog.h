// "设置联系人证书" for an Outlook Express contact: its default encryption certificate, taken from
// other people's certificates or fetched from the directories, or removed.
#pragma once

#include <QDialog>
#include <memory>

#include "OtherCertStore.h"

class CDigitalCertificate;
class QLabel;
class QLineEdit;
class QPushButton;

namespace orvikdesk {

class CDirectoryLookup;

class CDlgContactCert : public QDialog {
    Q_OBJECT
public:
    enum {
        IDD = 196,
        IDC_NAME = 1011,
        IDC_VIEW = 1062,
        IDC_REMOVE = 1060,
        IDC_LDAP = 1134,
        IDC_FROM_SYSTEM = 1005,
    };

    // The contact's default certificate now (copied; may be null) and its e-mail address.
    CDlgContactCert(CDigitalCertificate* defaultCert, const QString& address, QWidget* parent = nullptr);
    ~CDlgContactCert() override;

    // The certificate the contact is to have, borrowed from the dialog; null for none.
    CDigitalCertificate* result() const { return result_.get(); }
    CDirectoryLookup* lookup() const { return lookup_; }

    void reject() override;
    // For a mail client whose certificates cannot be taken away here: no "删除证书".
    void hideRemove();

private:
    void setResult(std::unique_ptr<CDigitalCertificate> certificate);
    void showResult();
    void fromSystem();
    void searchDirectory();
    void searched();
    void setBusy(bool busy);

    QString address_;
    std::unique_ptr<CDigitalCertificate> result_;
    COtherCertStore store_;
    CDirectoryLookup* lookup_;
    QLineEdit* name_;
    QPushButton* view_;
    QPushButton* remove_;
    QLabel* removeLabel_;
    QPushButton* ldap_;
    QPushButton* system_;
    QPushButton* ok_;
};

}  // namespace orvikdesk
