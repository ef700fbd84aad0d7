// "设置帐户证书" for a Foxmail account: its signing certificate, chosen among the personal
// certificates of the account's address.
#pragma once

#include <QDialog>
#include <memory>

#include "MyCertStore.h"

class CDigitalCertificate;
class CEmailAccount;
class QLineEdit;

namespace orvikdesk {

class CDlgFoxAccountCert : public QDialog {
    Q_OBJECT
public:
    enum { IDD = 215, IDC_SIGN_NAME = 1052, IDC_CHOOSE = 1078 };

    CDlgFoxAccountCert(CEmailAccount& account, QWidget* parent = nullptr);
    ~CDlgFoxAccountCert() override;

    // The certificate chosen in this dialog, borrowed from it; null when none was.
    CDigitalCertificate* signCert() const { return chosen_.get(); }

private:
    void choose();

    std::string address_;
    std::unique_ptr<CDigitalCertificate> chosen_;
    CMyCertStore store_;
    QLineEdit* name_;
};

}  // namespace orvikdesk
