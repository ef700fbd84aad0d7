// Secure files of versions 0 (by password) and 1 (a PKCS #7 enveloped message for recipients),
// whole-buffer operations. Every call first asks for the size with `out` null, then fills.
#pragma once

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

    // 0, or -1 when a step fails (or the password has a character outside code page 936).
    int EncryptWithPassword(const unsigned char* in, int inLen, unsigned char* out, int& outLen, const char* password);
    int DecryptWithPassword(const unsigned char* in, int inLen, unsigned char* out, int& outLen, const char* password);
    int EncryptWithCert(const unsigned char* in, int inLen, unsigned char* out, int& outLen,
                        std::vector<CDigitalCertificate*> recipients);
    // 0; -1 when the message cannot be read or `out` is too small; 0x8009200C when "MY" holds
    // no recipient's private key.
    int DecryptWithCert(const unsigned char* in, int inLen, unsigned char* out, int& outLen);
};

// The bytes of a password as Windows hashes them (code page 936); false when a character has no
// form there, and the password must be refused rather than turned into "?".
ORVIKCRYPT_API bool SecureFilePasswordBytes(std::string_view password, orvik::SecretBytes& bytes);

// The 3DES key of those bytes: MD5 of them, then the documented derivation, exportable. Nothing
// else goes into it: no salt, no key of a certificate, so the password alone gives the key.
bool SecureFilePasswordKey(HCRYPTPROV prov, const orvik::SecretBytes& bytes, HCRYPTKEY* key);
