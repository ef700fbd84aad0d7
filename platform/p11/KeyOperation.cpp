#include "KeyOperation.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstring>

#include <orvik/Owned.h>

#include "PersonalToken.h"

namespace orvik::p11 {

namespace {

using PKeyCtxPtr = Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;

template <class T>
const T* parameterOf(const CK_MECHANISM& m) {
    return m.pParameter && m.ulParameterLen == sizeof(T) ? static_cast<const T*>(m.pParameter) : nullptr;
}

bool setPss(EVP_PKEY_CTX* ctx, const EVP_MD* hash, const EVP_MD* mgf, int salt, bool withHash) {
    return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PSS_PADDING) > 0 &&
           (!withHash || EVP_PKEY_CTX_set_signature_md(ctx, hash) > 0) && EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, mgf) > 0 &&
           EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, salt) > 0;
}

}  // namespace

KeyOperation::~KeyOperation() { EVP_MD_CTX_free(digest_); }

CK_RV KeyOperation::start(Kind kind, const CK_MECHANISM& mechanism, const Object& key, std::shared_ptr<EVP_PKEY> pkey,
                          std::unique_ptr<KeyOperation>& out) {
    const CK_FLAGS use = kind == Kind::Sign ? CKF_SIGN : CKF_DECRYPT;
    const MechanismInfo* info = p11::mechanism(mechanism.mechanism, use);
    if (!info) return CKR_MECHANISM_INVALID;
    if (key.cls != CKO_PRIVATE_KEY) return CKR_KEY_TYPE_INCONSISTENT;
    if (kind == Kind::Sign ? !key.canSign : !key.canDecrypt) return CKR_KEY_FUNCTION_NOT_PERMITTED;

    std::unique_ptr<KeyOperation> op(new KeyOperation);
    op->kind_ = kind;
    op->mechanism_ = info;
    op->key_ = std::move(pkey);
    op->modulusBytes_ = static_cast<size_t>(EVP_PKEY_get_size(op->key_.get()));

    if (info->pss) {
        const auto* pss = parameterOf<CK_RSA_PKCS_PSS_PARAMS>(mechanism);
        if (!pss) return CKR_MECHANISM_PARAM_INVALID;
        op->hash_ = digestOf(pss->hashAlg);
        op->mgf_ = mgfDigestOf(pss->mgf);
        // A combined mechanism hashes with its own digest; the parameters must say the same.
        if (!op->hash_ || !op->mgf_ || (info->hash && info->hash != pss->hashAlg) || pss->sLen > op->modulusBytes_)
            return CKR_MECHANISM_PARAM_INVALID;
        op->saltLength_ = static_cast<int>(pss->sLen);
    } else if (info->type == CKM_RSA_PKCS_OAEP) {
        const auto* oaep = parameterOf<CK_RSA_PKCS_OAEP_PARAMS>(mechanism);
        if (!oaep) return CKR_MECHANISM_PARAM_INVALID;
        op->hash_ = digestOf(oaep->hashAlg);
        op->mgf_ = mgfDigestOf(oaep->mgf);
        if (!op->hash_ || !op->mgf_) return CKR_MECHANISM_PARAM_INVALID;
        if (oaep->source == CKZ_DATA_SPECIFIED && oaep->pSourceData && oaep->ulSourceDataLen) {
            const auto* label = static_cast<const unsigned char*>(oaep->pSourceData);
            op->label_.assign(label, label + oaep->ulSourceDataLen);
        } else if (oaep->source != 0 && oaep->source != CKZ_DATA_SPECIFIED) {
            return CKR_MECHANISM_PARAM_INVALID;
        }
    } else if (mechanism.ulParameterLen != 0) {
        return CKR_MECHANISM_PARAM_INVALID;
    }

    if (info->hash) {
        op->digest_ = EVP_MD_CTX_new();
        EVP_PKEY_CTX* pctx = nullptr;
        if (!op->digest_ || EVP_DigestSignInit(op->digest_, &pctx, digestOf(info->hash), nullptr, op->key_.get()) != 1)
            return CKR_DEVICE_ERROR;
        if (info->pss && !setPss(pctx, op->hash_, op->mgf_, op->saltLength_, false)) return CKR_MECHANISM_PARAM_INVALID;
    }
    out = std::move(op);
    return CKR_OK;
}

CK_RV KeyOperation::update(const unsigned char* data, CK_ULONG size, bool& done) {
    done = false;
    if (kind_ != Kind::Sign) return CKR_FUNCTION_NOT_SUPPORTED;
    if (!data && size) {
        done = true;
        return CKR_ARGUMENTS_BAD;
    }
    updated_ = true;
    if (digest_) {
        if (EVP_DigestSignUpdate(digest_, data, size) != 1) {
            done = true;
            return CKR_DEVICE_ERROR;
        }
        return CKR_OK;
    }
    // A raw mechanism signs a digest, never more than a modulus.
    if (input_.size() + size > modulusBytes_) {
        done = true;
        return CKR_DATA_LEN_RANGE;
    }
    input_.insert(input_.end(), data, data + size);
    return CKR_OK;
}

CK_RV KeyOperation::signNow(unsigned char* out, size_t* size) {
    if (digest_) return EVP_DigestSignFinal(digest_, out, size) == 1 ? CKR_OK : CKR_DEVICE_ERROR;
    PKeyCtxPtr ctx(EVP_PKEY_CTX_new(key_.get(), nullptr));
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1) return CKR_DEVICE_ERROR;
    if (mechanism_->pss) {
        if (input_.size() != static_cast<size_t>(EVP_MD_get_size(hash_))) return CKR_DATA_LEN_RANGE;
        if (!setPss(ctx.get(), hash_, mgf_, saltLength_, true)) return CKR_MECHANISM_PARAM_INVALID;
    } else {
        // CKM_RSA_PKCS pads whatever the caller gives (a DigestInfo, or TLS 1.0's MD5 and SHA-1).
        if (input_.size() > modulusBytes_ - 11) return CKR_DATA_LEN_RANGE;
        if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0) return CKR_DEVICE_ERROR;
    }
    return EVP_PKEY_sign(ctx.get(), out, size, input_.data(), input_.size()) == 1 ? CKR_OK : CKR_DEVICE_ERROR;
}

CK_RV KeyOperation::decryptNow() {
    PKeyCtxPtr ctx(EVP_PKEY_CTX_new(key_.get(), nullptr));
    if (!ctx || EVP_PKEY_decrypt_init(ctx.get()) != 1) return CKR_DEVICE_ERROR;
    if (mechanism_->type == CKM_RSA_PKCS_OAEP) {
        if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) <= 0 ||
            EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), hash_) <= 0 || EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), mgf_) <= 0)
            return CKR_DEVICE_ERROR;
        if (!label_.empty()) {
            auto* copy = static_cast<unsigned char*>(OPENSSL_memdup(label_.data(), label_.size()));
            if (!copy || EVP_PKEY_CTX_set0_rsa_oaep_label(ctx.get(), copy, static_cast<int>(label_.size())) <= 0) {
                OPENSSL_free(copy);
                return CKR_DEVICE_ERROR;
            }
        }
    } else if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0) {
        return CKR_DEVICE_ERROR;
    }
    size_t size = modulusBytes_;
    plain_.assign(size, 0);
    if (EVP_PKEY_decrypt(ctx.get(), plain_.data(), &size, input_.data(), input_.size()) != 1)
        return CKR_ENCRYPTED_DATA_INVALID;
    plain_.resize(size);
    decrypted_ = true;
    return CKR_OK;
}

CK_RV KeyOperation::finish(unsigned char* out, CK_ULONG* outSize, bool& done) {
    done = false;
    if (!outSize) {
        done = true;
        return CKR_ARGUMENTS_BAD;
    }
    if (kind_ == Kind::Decrypt) {
        if (!decrypted_) {
            CK_RV rv = decryptNow();
            if (rv != CKR_OK) {
                done = true;
                return rv;
            }
        }
        if (!out) {
            *outSize = plain_.size();
            return CKR_OK;
        }
        if (*outSize < plain_.size()) {
            *outSize = plain_.size();
            return CKR_BUFFER_TOO_SMALL;
        }
        if (!plain_.empty()) std::memcpy(out, plain_.data(), plain_.size());
        *outSize = plain_.size();
        done = true;
        return CKR_OK;
    }
    // A signature is as long as the modulus: its size is known without making it.
    if (!out) {
        *outSize = modulusBytes_;
        return CKR_OK;
    }
    if (*outSize < modulusBytes_) {
        *outSize = modulusBytes_;
        return CKR_BUFFER_TOO_SMALL;
    }
    size_t size = *outSize;
    CK_RV rv = signNow(out, &size);
    if (rv == CKR_OK) *outSize = size;
    done = true;
    return rv;
}

CK_RV KeyOperation::single(const unsigned char* data, CK_ULONG size, unsigned char* out, CK_ULONG* outSize,
                           bool& done) {
    done = false;
    if (!outSize || (!data && size)) {
        done = true;
        return CKR_ARGUMENTS_BAD;
    }
    if (kind_ == Kind::Decrypt) {
        if (!decrypted_) {
            if (size != modulusBytes_) {
                done = true;
                return CKR_ENCRYPTED_DATA_LEN_RANGE;
            }
            input_.assign(data, data + size);
        }
        return finish(out, outSize, done);
    }
    if (updated_) {
        done = true;
        return CKR_OPERATION_ACTIVE;
    }
    // The size alone: nothing of the input is taken yet, the caller will give it again.
    if (!out || *outSize < modulusBytes_) return finish(out, outSize, done);
    CK_RV rv = update(data, size, done);
    if (rv != CKR_OK) return rv;
    return finish(out, outSize, done);
}

}  // namespace orvik::p11
