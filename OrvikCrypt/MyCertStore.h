// The personal store "MY": the user's own certificates, with private keys.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CertStore.h"

typedef struct evp_pkey_st EVP_PKEY;

class ORVIKCRYPT_API CMyCertStore : public CCertStore {
public:
    CMyCertStore() = default;
    CMyCertStore(const CMyCertStore& other) = default;
    CMyCertStore& operator=(const CMyCertStore& other) = default;
    ~CMyCertStore() override;

    // What the imports and exports return. The numbers are the ones these calls have always
    // returned: the GUI's messages and orvikctl's exit codes follow them.
    enum Result : int {
        Ok = 0,
        NoCertificateAt = 1,     // export: no certificate at that index
        CannotWrite = 3,         // export: the file cannot be written
        PlatformFailed = 4,      // the key store, a token or the certificate store failed
        FileUnusable = 5,        // PKCS #12 import: no RSA key, or a protection not supported
        KeyUnusable = 5,         // certificate and key: the key unreadable or not the certificate's
        KeyNotExportable = 5,    // export to bytes: the key may not leave its container
        NotPkcs12 = 6,           // not a PKCS #12 file
        WrongPassword = 7,       // the file's password is not this one
        NoCertificateGiven = 8,  // certificate and key: no certificate
    };

    int OpenCertStore() override;

    // A PKCS #12 file into "MY", its key into a new container of the named provider (the default
    // one when null); chain certificates issued by an authority go into "CA". Ok; FileUnusable,
    // NotPkcs12, WrongPassword when the file cannot be read; PlatformFailed. Whole or not at all:
    // a failure, or the process dying on the way, leaves the stores and the containers as they
    // were (a container a killed import left is removed when "MY" is next opened).
    [[nodiscard]] Result ImportP12(const char* provider, const char* path, const char* password);
    // The certificate at `index` with its private key into a new PKCS #12 file. Ok;
    // NoCertificateAt; CannotWrite; PlatformFailed also when the key cannot be exported (a warning
    // says so).
    [[nodiscard]] Result ExportP12(int index, const char* path, const char* password);
    // The same archive as bytes, without a warning: Ok, NoCertificateAt without a certificate,
    // KeyNotExportable, PlatformFailed.
    [[nodiscard]] Result ExportP12Bytes(CDigitalCertificate& certificate, const char* password, std::string& out);

    // A certificate with its RSA private key (PEM or DER, PKCS#8 or PKCS#1, unencrypted), the
    // key into a new container. Ok; KeyUnusable when the key is unreadable or not the
    // certificate's; NoCertificateGiven; PlatformFailed. Whole or not at all, as ImportP12.
    [[nodiscard]] Result ImportCertAndKey(CDigitalCertificate& certificate, const std::string& keyBytes);

    // The provider's result code when the last import failed there, 0 otherwise; TokenErrorText
    // words a token's.
    uint32_t DeviceError() const { return deviceError_; }

protected:
    // The key into a new container of `provider`, the certificate into "MY" pointing at it, and
    // the `authorities` (DER) into "CA", the stores' changes in one transaction; on failure
    // nothing is left behind.
    Result AddWithPrivateKey(const unsigned char* der, int size, EVP_PKEY* key, const char* provider,
                             const std::vector<std::string>& authorities = {});

private:
    uint32_t deviceError_ = 0;
};
