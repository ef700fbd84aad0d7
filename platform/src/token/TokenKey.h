// An RSA key whose private half stays on a token: OpenSSL sees an EVP_PKEY with the public
// numbers, and its private operations (PKCS #1 decryption and signing) run on the token.
#pragma once

#include <memory>
#include <vector>

#include <windef.h>

#include "../crypt/Ossl.h"
#include "TokenSession.h"

namespace orvik::token {

struct TokenKeyRef {
    std::shared_ptr<TokenSession> session;
    std::vector<BYTE> id;  // CKA_ID of the key pair
    // The objects an import has just written for this key, taken back if its certificate cannot
    // be written too; empty once the certificate stands, or when the pair was there before.
    std::shared_ptr<std::vector<CK_OBJECT_HANDLE>> created = std::make_shared<std::vector<CK_OBJECT_HANDLE>>();
};

// The key of this pair with these public numbers (big-endian); null when OpenSSL refuses them.
ossl::PKeyPtr tokenPrivateKey(std::shared_ptr<TokenSession> session, std::vector<BYTE> id,
                              const std::vector<BYTE>& modulus, const std::vector<BYTE>& exponent);

// A big-endian RSA number of a key (OSSL_PKEY_PARAM_RSA_N and friends); empty when it has none.
SecretBytes rsaNumber(const EVP_PKEY* key, const char* name);

// The token and id behind a key made by tokenPrivateKey, or null for any other key.
const TokenKeyRef* tokenKeyOf(const EVP_PKEY* key);

// The private key object of the pair on its token; CK_INVALID_HANDLE (last error NTE_NO_KEY or
// the session's) when it is not there.
CK_OBJECT_HANDLE privateKeyObject(const TokenKeyRef& ref);

}  // namespace orvik::token
