// The store of intermediate certification authorities, "CA".
#pragma once

#include "CertStore.h"

class ORVIKCRYPT_API CCaCertStore : public CCertStore {
public:
    CCaCertStore() = default;
    CCaCertStore(const CCaCertStore& other) = default;
    CCaCertStore& operator=(const CCaCertStore& other) = default;
    ~CCaCertStore() override;
    int OpenCertStore() override;
    // One DER certificate file into "CA", replacing an equal one: Ok, FileError, NotACertificate,
    // or PlatformFailed.
    [[nodiscard]] Code ImportCert(const char* path);
};
