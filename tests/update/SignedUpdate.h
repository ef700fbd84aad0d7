// What a publisher of the tests' updates has: an update-signing authority (the test PKI's root),
// a publisher certificate issued under it, and lists signed with it.
#pragma once

#include <openssl/sha.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "UpdateTrust.h"
#include "support/DeploymentValues.h"
#include "support/TestPki.h"

namespace orvik::test::update {

inline const IssuedCert& publisher() {
    static const IssuedCert cert = TestPki::instance().issue({.cn = "Orvik 更新发布", .keyUsage = 0x80});
    return cert;
}

// The deployment trusts the test PKI's root to vouch for update publishers.
inline void trustTestAuthority() { setDeploymentValue("UpdateAuthority", TestPki::instance().root().pem); }

// A detached signature of `list` by `signer`, carrying `chain`.
inline std::string signedBy(const std::string& list, const IssuedCert& signer, const std::string& chain) {
    std::string signature, error;
    if (!updatetrust::signList(list, signer.pem, signer.keyPem, chain, signature, error))
        throw std::runtime_error("cannot sign: " + error);
    return signature;
}

// Signed by the publisher, with the CA between it and the root.
inline std::string sign(const std::string& list) { return signedBy(list, publisher(), TestPki::instance().ca().pem); }

inline std::string sha256Hex(const std::string& bytes) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
    char hex[2 * SHA256_DIGEST_LENGTH + 1] = {};
    for (int i = 0; i < SHA256_DIGEST_LENGTH; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    return hex;
}

// A <File> element that names the bytes' size and hash.
inline std::string fileEntry(int id, const std::string& name, const std::string& bytes) {
    return "<File id=\"" + std::to_string(id) + "\"><FileName>" + name + "</FileName><FileVersion>2.0</FileVersion>" +
           "<FileSize>" + std::to_string(bytes.size()) + "</FileSize><FileSHA256>" + sha256Hex(bytes) +
           "</FileSHA256></File>";
}

}  // namespace orvik::test::update
