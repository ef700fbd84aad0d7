// "设置帐户证书" for an Outlook Express account: its signing and its encryption certificate, each
// chosen among the personal certificates of the account's address that allow that use.
#pragma once

#include <QDialog>
#include <memory>

#include "MyCertStore.h"

class CDigitalCertificate;
class CEmailAccount;
class QLineEdit;

namespace orvikdesk {

class CDlgAccountCert : public QDialog {
    Q_OBJECT
public:
    enum {
        IDD = 192,
        IDC_SIGN_NAME = 1052,
        IDC_CRYPT_NAME = 1053,
        IDC_CHOOSE_SIGN = 1039,
        IDC_CHOOSE_CRYPT = 1041,
    };

    // The account is borrowed and must outlive the dialog.
    CDlgAccountCert(CEmailAccount& account, QWidget* parent = nullptr);
    ~CDlgAccountCert() override;

    // The chosen certificates (at first the account's own), borrowed from the dialog; null for none.
    CDigitalCertificate* signCert() const { return sign_.get(); }
    CDigitalCertificate* cryptCert() const { return crypt_.get(); }

    // The name shown for a certificate: its friendly name, else its display name.
    static QString shownName(CDigitalCertificate* certificate);

private:
    void choose(bool signing);
    void reload(CMyCertStore& store, const char* usage);

    std::string address_;
    std::unique_ptr<CDigitalCertificate> sign_, crypt_;
    CMyCertStore signStore_, cryptStore_;
    QLineEdit* signName_;
    QLineEdit* cryptName_;
};

}  // namespace orvikdesk
