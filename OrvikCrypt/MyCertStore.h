// The personal store "MY": the user's own certificates, with private keys.
#pragma once

#include "CertStore.h"

class ORVIKCRYPT_API CMyCertStore : public CCertStore {
public:
    CMyCertStore() = default;
    CMyCertStore(const CMyCertStore& other) = default;
    CMyCertStore& operator=(const CMyCertStore& other) = default;
    ~CMyCertStore() override;
    int OpenCertStore() override;
};
