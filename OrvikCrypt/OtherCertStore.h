// Other people's certificates, "ADDRESSBOOK": where mail and secure files find recipients.
#pragma once

#include "CertStore.h"

class ORVIKCRYPT_API COtherCertStore : public CCertStore {
public:
    COtherCertStore() = default;
    COtherCertStore(const COtherCertStore& other) = default;
    COtherCertStore& operator=(const COtherCertStore& other) = default;
    ~COtherCertStore() override;
    int OpenCertStore() override;
    // One DER certificate file into "ADDRESSBOOK", replacing an equal one: Ok, FileError,
    // NotACertificate, or PlatformFailed.
    [[nodiscard]] Code ImportCert(const char* path);
    // NothingDone without a certificate.
    [[nodiscard]] Code ImportCert(CDigitalCertificate* certificate);
};
