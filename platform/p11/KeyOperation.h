// A signature or decryption under way in a session: the mechanism's parameters checked once at
// its start, the input gathered, and the PKCS#11 rule that a call without room for the result
// only says its size and leaves the operation running.
#pragma once

#include <p11-kit/pkcs11.h>

#include <memory>
#include <vector>

#include <orvik/Secret.h>

#include "Mechanisms.h"

typedef struct evp_pkey_st EVP_PKEY;
typedef struct evp_md_ctx_st EVP_MD_CTX;

namespace orvik::p11 {

struct Object;

class KeyOperation {
public:
    enum class Kind { Sign, Decrypt };

    // CKR_MECHANISM_INVALID, CKR_MECHANISM_PARAM_INVALID, CKR_KEY_FUNCTION_NOT_PERMITTED,
    // CKR_KEY_TYPE_INCONSISTENT or CKR_OK with the operation in `out`.
    static CK_RV start(Kind kind, const CK_MECHANISM& mechanism, const Object& key, std::shared_ptr<EVP_PKEY> pkey,
                       std::unique_ptr<KeyOperation>& out);
    ~KeyOperation();
    KeyOperation(const KeyOperation&) = delete;
    KeyOperation& operator=(const KeyOperation&) = delete;

    Kind kind() const { return kind_; }
    // `done` is set when the operation has ended, with a result or an error.
    CK_RV update(const unsigned char* data, CK_ULONG size, bool& done);
    CK_RV finish(unsigned char* out, CK_ULONG* outSize, bool& done);
    // C_Sign and C_Decrypt: the whole input at once.
    CK_RV single(const unsigned char* data, CK_ULONG size, unsigned char* out, CK_ULONG* outSize, bool& done);

private:
    KeyOperation() = default;
    CK_RV signNow(unsigned char* out, size_t* size);
    CK_RV decryptNow();

    Kind kind_ = Kind::Sign;
    const MechanismInfo* mechanism_ = nullptr;
    std::shared_ptr<EVP_PKEY> key_;
    size_t modulusBytes_ = 0;
    EVP_MD_CTX* digest_ = nullptr;  // combined mechanisms: the message's digest as it comes
    bool updated_ = false;
    SecretBytes input_;  // raw mechanisms: the input itself
    // PSS and OAEP parameters.
    const EVP_MD* hash_ = nullptr;
    const EVP_MD* mgf_ = nullptr;
    int saltLength_ = 0;
    std::vector<unsigned char> label_;
    // A decryption keeps its result until the caller has room for it.
    bool decrypted_ = false;
    SecretBytes plain_;
};

}  // namespace orvik::p11
