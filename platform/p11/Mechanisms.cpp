#include "Mechanisms.h"

#include <openssl/evp.h>

namespace orvik::p11 {

const std::vector<MechanismInfo>& mechanisms() {
    static const std::vector<MechanismInfo> all = {
        {CKM_RSA_PKCS, CKF_SIGN | CKF_DECRYPT, 0, false},
        {CKM_RSA_PKCS_PSS, CKF_SIGN, 0, true},
        {CKM_SHA1_RSA_PKCS, CKF_SIGN, CKM_SHA_1, false},
        {CKM_SHA256_RSA_PKCS, CKF_SIGN, CKM_SHA256, false},
        {CKM_SHA384_RSA_PKCS, CKF_SIGN, CKM_SHA384, false},
        {CKM_SHA512_RSA_PKCS, CKF_SIGN, CKM_SHA512, false},
        {CKM_SHA1_RSA_PKCS_PSS, CKF_SIGN, CKM_SHA_1, true},
        {CKM_SHA256_RSA_PKCS_PSS, CKF_SIGN, CKM_SHA256, true},
        {CKM_SHA384_RSA_PKCS_PSS, CKF_SIGN, CKM_SHA384, true},
        {CKM_SHA512_RSA_PKCS_PSS, CKF_SIGN, CKM_SHA512, true},
        {CKM_RSA_PKCS_OAEP, CKF_DECRYPT, 0, false},
    };
    return all;
}

const MechanismInfo* mechanism(CK_MECHANISM_TYPE type, CK_FLAGS use) {
    for (const auto& m : mechanisms())
        if (m.type == type && (m.flags & use)) return &m;
    return nullptr;
}

const EVP_MD* digestOf(CK_MECHANISM_TYPE hash) {
    switch (hash) {
    case CKM_SHA_1: return EVP_sha1();
    case CKM_SHA224: return EVP_sha224();
    case CKM_SHA256: return EVP_sha256();
    case CKM_SHA384: return EVP_sha384();
    case CKM_SHA512: return EVP_sha512();
    default: return nullptr;
    }
}

const EVP_MD* mgfDigestOf(CK_RSA_PKCS_MGF_TYPE mgf) {
    switch (mgf) {
    case CKG_MGF1_SHA1: return EVP_sha1();
    case CKG_MGF1_SHA224: return EVP_sha224();
    case CKG_MGF1_SHA256: return EVP_sha256();
    case CKG_MGF1_SHA384: return EVP_sha384();
    case CKG_MGF1_SHA512: return EVP_sha512();
    default: return nullptr;
    }
}

}  // namespace orvik::p11
