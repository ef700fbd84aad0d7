#include "EmailAccount.h"

CEmailAccount::CEmailAccount() {
    signCert.setName("SMTP Certificate");
    cryptCert.setName("SMTP Encryption Certificate");
}

CEmailAccount::~CEmailAccount() = default;

void CEmailAccount::setThumbprint(CRegProperty& target, CDigitalCertificate* certificate) {
    target.getBuf()->Free();
    if (!certificate) return;
    CBBuffer thumbprint;
    if (certificate->getThumbPrint(&thumbprint) == 0 && thumbprint.size() == 20)
        target.setBytes(thumbprint.GetBuffer(), thumbprint.size());
}

void CEmailAccount::setSignCert(CDigitalCertificate* certificate) { setThumbprint(signCert, certificate); }
void CEmailAccount::setCrytpCert(CDigitalCertificate* certificate) { setThumbprint(cryptCert, certificate); }

CDigitalCertificate* CEmailAccount::lookup(CRegProperty& thumbprint) {
    if (thumbprint.getBuf()->size() < 20) return nullptr;
    // Opened anew each time, so a certificate imported or removed meanwhile is seen.
    if (store.OpenCertStore() != 0) return nullptr;
    return store.FindByThumb(thumbprint.getBuf());
}

CDigitalCertificate* CEmailAccount::getSignCert() { return lookup(signCert); }
CDigitalCertificate* CEmailAccount::getCryptCert() { return lookup(cryptCert); }
