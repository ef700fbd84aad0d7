// One mail account of the mail client's registry: its key, name, address, server and the
// thumbprints of its signing and encryption certificates.
#pragma once

#include "DigitalCertificate.h"
#include "MyCertStore.h"
#include "OrvikCryptApi.h"
#include "RegProperty.h"

class ORVIKCRYPT_API CEmailAccount {
public:
    CEmailAccount();
    CEmailAccount(const CEmailAccount& other) = default;
    CEmailAccount& operator=(const CEmailAccount& other) = default;
    virtual ~CEmailAccount();

    // The buffer becomes the certificate's 20-byte thumbprint; empty for null.
    void setSignCert(CDigitalCertificate* certificate);
    void setCrytpCert(CDigitalCertificate* certificate);
    // The personal store's certificate with the thumbprint, looked up in the store as it is now;
    // borrowed from this account's store until the next lookup. Null without one.
    CDigitalCertificate* getSignCert();
    CDigitalCertificate* getCryptCert();

    CRegProperty* getAccountKey() { return &accountKey; }
    CRegProperty* getAccountName() { return &accountName; }
    CRegProperty* getEmailAddress() { return &emailAddress; }
    CRegProperty* getSmtpServer() { return &smtpServer; }
    CRegProperty* getSignBuffer() { return &signCert; }
    CRegProperty* getCryptBuffer() { return &cryptCert; }

private:
    CDigitalCertificate* lookup(CRegProperty& thumbprint);
    static void setThumbprint(CRegProperty& target, CDigitalCertificate* certificate);

    CMyCertStore store;
    CRegProperty accountKey;
    CRegProperty accountName;
    CRegProperty emailAddress;
    CRegProperty smtpServer;
    CRegProperty signCert;
    CRegProperty cryptCert;
};
