// The one PKCS #12 writer: bags encrypted with pbeWithSHA1And3-KeyTripleDES-CBC, 2000
// iterations, a SHA-1 MAC, friendly name (UTF-8, stored as BMPString) and localKeyID on the key
// and its certificate. Windows, OpenSSL 1.x and OpenSSL 3 without its legacy provider read it.
#pragma once

#include <string>
#include <vector>

#include "../windef.h"

typedef struct evp_pkey_st EVP_PKEY;
typedef struct x509_st X509;

namespace orvik {

// The DER of the archive, or empty when OpenSSL fails. `password` and `friendlyName` are UTF-8;
// an empty friendly name leaves the attribute out.
ORVIK_PLATFORM_API std::string encodePkcs12(EVP_PKEY* key, X509* certificate, const std::vector<X509*>& chain,
                                            const std::string& password, const std::string& friendlyName);

}  // namespace orvik
