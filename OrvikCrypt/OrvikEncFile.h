// Secure files of versions 0 (by password) and 1 (a PKCS #7 enveloped message for recipients),
// whole-buffer operations. Every call first asks for the size with `out` null, then fills.
#pragma once

#include <functional>
#include <string_view>
#include <vector>

#include <orvik/Secret.h>

#include "DigitalCertificate.h"
#include "OrvikCryptApi.h"

class ORVIKCRYPT_API COrvikEncFile {
public:
    COrvikEncFile() = default;
    COrvikEncFile(const COrvikEncFile&) = default;
    COrvikEncFile& operator=(const COrvikEncFile&) = default;
    virtual ~COrvikEncFile();

    // What the operations return. A failed decryption of DecryptWithCert returns the platform's
    // error code, which may be one not named here.
    enum Code : int {
        Ok = 0,
        Failed = -1,
        NoDecryptCert = static_cast<int>(CRYPT_E_NO_DECRYPT_CERT),  // "MY" holds no recipient's private key
    };

    // Ok, or Failed when a step fails (or the password has a character outside code page 936).
    [[nodiscard]] Code EncryptWithPassword(const unsigned char* in, int inLen, unsigned char* out, int& outLen,
                                           const char* password);
    [[nodiscard]] Code DecryptWithPassword(const unsigned char* in, int inLen, unsigned char* out, int& outLen,
                                           const char* password);
    [[nodiscard]] Code EncryptWithCert(const unsigned char* in, int inLen, unsigned char* out, int& outLen,
                                       std::vector<CDigitalCertificate*> recipients);
    // Ok; Failed when the message cannot be read or `out` is too small; NoDecryptCert.
    [[nodiscard]] Code DecryptWithCert(const unsigned char* in, int inLen, unsigned char* out, int& outLen);
};

// Where the step messages of the version 0 operations go. A program with windows installs a sink
// that shows them; without one they go to the library's log, so a tool without a window stays
// quiet. Returns the sink it replaces; an empty sink restores the log.
using EncFileMessageSink = std::function<void(const char* text, bool failure)>;
ORVIKCRYPT_API EncFileMessageSink SetEncFileMessageSink(EncFileMessageSink sink);

// The bytes of a password as Windows hashes them (code page 936); false when a character has no
// form there, and the password must be refused rather than turned into "?".
ORVIKCRYPT_API bool SecureFilePasswordBytes(std::string_view password, orvik::SecretBytes& bytes);

// The 3DES key of those bytes: MD5 of them, then the documented derivation, exportable. Nothing
// else goes into it: no salt, no key of a certificate, so the password alone gives the key.
bool SecureFilePasswordKey(HCRYPTPROV prov, const orvik::SecretBytes& bytes, HCRYPTKEY* key);
