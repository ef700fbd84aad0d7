// The mechanisms the module offers: what TLS clients, mail and document signing ask a token for.
#pragma once

#include <p11-kit/pkcs11.h>

#include <vector>

typedef struct evp_md_st EVP_MD;

namespace orvik::p11 {

struct MechanismInfo {
    CK_MECHANISM_TYPE type;
    CK_FLAGS flags;          // CKF_SIGN, CKF_DECRYPT
    CK_MECHANISM_TYPE hash;  // the digest a combined mechanism computes itself; 0 for none
    bool pss;
};

const std::vector<MechanismInfo>& mechanisms();
// Null for a mechanism the module does not offer for this use (CKF_SIGN, CKF_DECRYPT).
const MechanismInfo* mechanism(CK_MECHANISM_TYPE type, CK_FLAGS use);
// OpenSSL's digest of CKM_SHA_1, CKM_SHA256, ... (and the MGF1 digest of CKG_MGF1_*); null for others.
const EVP_MD* digestOf(CK_MECHANISM_TYPE hash);
const EVP_MD* mgfDigestOf(CK_RSA_PKCS_MGF_TYPE mgf);

inline constexpr CK_ULONG kMinKeyBits = 1024;
inline constexpr CK_ULONG kMaxKeyBits = 16384;

}  // namespace orvik::p11
