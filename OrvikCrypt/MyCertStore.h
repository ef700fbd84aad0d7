// The personal store "MY": the user's own certificates, with private keys.
#pragma once

#include <cstdint>
#include <string>

#include "CertStore.h"

typedef struct evp_pkey_st EVP_PKEY;

class ORVIKCRYPT_API CMyCertStore : public CCertStore {
public:
    CMyCertStore() = default;
    CMyCertStore(const CMyCertStore& other) = default;
    CMyCertStore& operator=(const CMyCertStore& other) = default;
    ~CMyCertStore() override;
    int OpenCertStore() override;

    // A PKCS #12 file into "MY", its key into a new container of the named provider (the default
    // one when null); chain certificates issued by an authority go into "CA". 0; 5, 6, 7 when the
    // file cannot be read; 4 when the platform fails. A failure leaves the stores and the
    // containers as they were.
    int ImportP12(const char* provider, const char* path, const char* password);
    // The certificate at `index` with its private key into a new PKCS #12 file. 0; 1 when there
    // is no certificate at `index`; 3 when the file cannot be written; 4 when the key cannot be
    // exported (a warning says so) or the platform fails.
    int ExportP12(int index, const char* path, const char* password);
    // The same archive as bytes, without a warning: 0, 1 without a certificate, 5 when the key may
    // not be exported, 4 when the platform fails.
    int ExportP12Bytes(CDigitalCertificate& certificate, const char* password, std::string& out);

    // A certificate with its RSA private key (PEM or DER, PKCS#8 or PKCS#1, unencrypted), the
    // key into a new container. 0; 5 when the key is unreadable or not the certificate's; 8
    // without a certificate; 4 when the platform fails.
    int ImportCertAndKey(CDigitalCertificate& certificate, const std::string& keyBytes);

    // The provider's result code when the last import failed there, 0 otherwise; TokenErrorText
    // words a token's.
    uint32_t DeviceError() const { return deviceError_; }

protected:
    // The key into a new container of `provider`, the certificate into "MY" pointing at it; on
    // failure neither is left behind.
    int AddWithPrivateKey(const unsigned char* der, int size, EVP_PKEY* key, const char* provider);

private:
    uint32_t deviceError_ = 0;
};
