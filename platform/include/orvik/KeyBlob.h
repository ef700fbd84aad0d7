// RSA keys of OpenSSL as CryptoAPI key blobs, for the code above the platform that reads keys
// from files (PKCS#12, PEM) and imports them with CryptImportKey.
#pragma once

#include "../wincrypt.h"
#include "Secret.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace orvik {

// A PRIVATEKEYBLOB of an RSA private key (empty for anything else), wiped when freed.
ORVIK_PLATFORM_API SecretBytes privateKeyBlobOf(EVP_PKEY* key, ALG_ID alg);

}  // namespace orvik
