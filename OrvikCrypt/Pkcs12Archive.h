// Reading and writing PKCS #12 archives with OpenSSL, shared by the import and the password
// change. Reading takes what users have: Windows exports (3DES, RC2-40), OpenSSL 1.x and 3 files,
// files without a MAC, PBMAC1 integrity (RFC 9579), and Chinese passwords in the standard UTF-16 form or the
// byte-per-character form that code-page programs write.
#pragma once

#include <string>
#include <vector>

#include "OpenSslPtr.h"

namespace orvik::crypt {

struct Pkcs12Contents {
    PKeyPtr key;
    X509Ptr certificate;
    std::vector<X509Ptr> chain;
    std::string unsupportedAlgorithm;  // names the form when the archive uses one we cannot read
};

// 0; -1 unreadable or undecryptable (with `unsupportedAlgorithm` set when the reason is a form we
// cannot read, MAC or encryption), -2 not PKCS #12, -3 wrong password (the integrity check failed),
// -4 no private key, -5 a private key other than RSA.
int unpackPkcs12(const char* path, const char* password, Pkcs12Contents& out);

// Writes a new archive (3DES bags, 2000 iterations, SHA-1 MAC) to `path` through a 0600 temporary
// file in the same folder that replaces it only when complete. 0; 33 no key, 34 no certificate,
// 35 the key is not the certificate's, 36 the file cannot be written, 37 the archive cannot be
// made. On failure `path` is as it was.
int packPkcs12(const Pkcs12Contents& contents, const char* password, const char* friendlyName, const std::string& path);

// Writes bytes to `path` the same way: a temporary file, fsync, rename. False (and `path` as it
// was) when any step fails.
bool replaceFile(const std::string& path, const std::string& bytes);

}  // namespace orvik::crypt
