// The personal store "MY": the user's own certificates, with private keys.
#pragma once

#include "CertStore.h"

typedef struct evp_pkey_st EVP_PKEY;

class ORVIKCRYPT_API CMyCertStore : public CCertStore {
public:
    CMyCertStore() = default;
    CMyCertStore(const CMyCertStore& other) = default;
    CMyCertStore& operator=(const CMyCertStore& other) = default;
    ~CMyCertStore() override;
    int OpenCertStore() override;

    // Adds a certificate with its RSA private key (PEM or DER, PKCS#8 or PKCS#1, unencrypted): the
    // key goes into a new key container named in the certificate's key-provider property.
    // 0; 5 when the key is unreadable or not the certificate's; 8 without a certificate; 4 when
    // the platform fails.
    int ImportCertAndKey(CDigitalCertificate& certificate, const std::string& keyBytes);

protected:
    // The key into a new container, the certificate into "MY" pointing at it.
    int AddWithPrivateKey(PCCERT_CONTEXT certificate, EVP_PKEY* key);
};
