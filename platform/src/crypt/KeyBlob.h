// RSA keys in the key blob layouts of CryptoAPI (all integers little-endian).
#pragma once

#include <vector>

#include <orvik/Secret.h>
#include <wincrypt.h>

#include "Ossl.h"

namespace orvik::crypt {

// PRIVATEKEYBLOB: header 07 02 00 00 <alg>, "RSA2", bit length, exponent, then modulus, prime1,
// prime2, exponent1, exponent2, coefficient and private exponent. Null when malformed.
ossl::PKeyPtr privateKeyFromBlob(const BYTE* blob, size_t size, ALG_ID* alg = nullptr);
// The blob of an RSA private key; empty on failure.
SecretBytes privateKeyBlob(EVP_PKEY* key, ALG_ID alg);

// PUBLICKEYBLOB: header 06 02 00 00 <alg>, "RSA1", bit length, exponent, modulus.
ossl::PKeyPtr publicKeyFromBlob(const BYTE* blob, size_t size, ALG_ID* alg = nullptr);
std::vector<BYTE> publicKeyBlob(EVP_PKEY* key, ALG_ID alg);

}  // namespace orvik::crypt
