// OpenSSL's RSA method interface is deprecated, yet it is still how a key whose private numbers
// live elsewhere takes part in EVP, PKCS #7 signing and decryption included.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "TokenKey.h"

#include <openssl/core_names.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>

#include <cstring>
#include <mutex>

#include <winbase.h>
#include <wincrypt.h>

namespace orvik::token {

namespace {

using RsaPtr = Owned<RSA, RSA_free>;
using SigPtr = Owned<X509_SIG, X509_SIG_free>;

void freeRef(void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*) { delete static_cast<TokenKeyRef*>(ptr); }

int refIndex() {
    static const int index = RSA_get_ex_new_index(0, nullptr, nullptr, nullptr, freeRef);
    return index;
}

const TokenKeyRef* refOf(const RSA* rsa) { return static_cast<const TokenKeyRef*>(RSA_get_ex_data(rsa, refIndex())); }

bool runOnToken(const RSA* rsa, bool decrypt, CK_MECHANISM_TYPE mechanism, const BYTE* in, size_t size,
                SecretBytes& out) {
    const TokenKeyRef* ref = refOf(rsa);
    if (!ref) return false;
    CK_OBJECT_HANDLE key = privateKeyObject(*ref);
    if (key == CK_INVALID_HANDLE) return false;
    return decrypt ? ref->session->decrypt(key, mechanism, in, size, out)
                   : ref->session->sign(key, mechanism, in, size, out);
}

int finish(const SecretBytes& out, unsigned char* to, size_t capacity) {
    if (out.size() > capacity) return -1;
    std::memcpy(to, out.data(), out.size());
    return static_cast<int>(out.size());
}

// A private-key operation of OpenSSL's, with PKCS #1 or no padding, done by the token.
int onToken(bool decrypt, int flen, const unsigned char* from, unsigned char* to, RSA* rsa, int padding) {
    CK_MECHANISM_TYPE mechanism = padding == RSA_PKCS1_PADDING ? CKM_RSA_PKCS
                                  : padding == RSA_NO_PADDING  ? CKM_RSA_X_509
                                                               : CK_UNAVAILABLE_INFORMATION;
    SecretBytes out;
    if (flen < 0 || mechanism == CK_UNAVAILABLE_INFORMATION ||
        !runOnToken(rsa, decrypt, mechanism, from, static_cast<size_t>(flen), out))
        return -1;
    return finish(out, to, static_cast<size_t>(RSA_size(rsa)));
}

int privateDecrypt(int flen, const unsigned char* from, unsigned char* to, RSA* rsa, int padding) {
    return onToken(true, flen, from, to, rsa, padding);
}

int privateEncrypt(int flen, const unsigned char* from, unsigned char* to, RSA* rsa, int padding) {
    return onToken(false, flen, from, to, rsa, padding);
}

// PKCS #1 v1.5 signing of a digest: the token pads a DigestInfo made here.
int signDigest(int type, const unsigned char* m, unsigned int length, unsigned char* sig, unsigned int* siglen,
               const RSA* rsa) {
    std::vector<BYTE> info;
    if (type == NID_md5_sha1) {
        info.assign(m, m + length);
    } else {
        SigPtr digestInfo(X509_SIG_new());
        X509_ALGOR* alg = nullptr;
        ASN1_OCTET_STRING* digest = nullptr;
        ASN1_OBJECT* oid = OBJ_nid2obj(type);
        if (!digestInfo || !oid) return 0;
        X509_SIG_getm(digestInfo.get(), &alg, &digest);
        if (!X509_ALGOR_set0(alg, oid, V_ASN1_NULL, nullptr) ||
            !ASN1_OCTET_STRING_set(digest, m, static_cast<int>(length)))
            return 0;
        unsigned char* der = nullptr;
        int n = i2d_X509_SIG(digestInfo.get(), &der);
        if (n <= 0) return 0;
        info.assign(der, der + n);
        OPENSSL_free(der);
    }
    SecretBytes out;
    if (!runOnToken(rsa, false, CKM_RSA_PKCS, info.data(), info.size(), out)) return 0;
    int n = finish(out, sig, static_cast<size_t>(RSA_size(rsa)));
    if (n < 0) return 0;
    *siglen = static_cast<unsigned int>(n);
    return 1;
}

const RSA_METHOD* tokenMethod() {
    static RSA_METHOD* method = [] {
        RSA_METHOD* m = RSA_meth_dup(RSA_PKCS1_OpenSSL());
        RSA_meth_set1_name(m, "token");
        RSA_meth_set_flags(m, RSA_meth_get_flags(m) | RSA_FLAG_EXT_PKEY);
        RSA_meth_set_priv_dec(m, privateDecrypt);
        RSA_meth_set_priv_enc(m, privateEncrypt);
        RSA_meth_set_sign(m, signDigest);
        return m;
    }();
    return method;
}

}  // namespace

SecretBytes rsaNumber(const EVP_PKEY* key, const char* name) {
    BIGNUM* bn = nullptr;
    if (!key || !EVP_PKEY_get_bn_param(key, name, &bn)) return {};
    // Private numbers pass through here too.
    Owned<BIGNUM, BN_clear_free> owned(bn);
    SecretBytes out(static_cast<size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, out.data());
    return out;
}

ossl::PKeyPtr tokenPrivateKey(std::shared_ptr<TokenSession> session, std::vector<BYTE> id,
                              const std::vector<BYTE>& modulus, const std::vector<BYTE>& exponent) {
    if (modulus.empty() || exponent.empty()) return nullptr;
    BIGNUM* n = BN_bin2bn(modulus.data(), static_cast<int>(modulus.size()), nullptr);
    BIGNUM* e = BN_bin2bn(exponent.data(), static_cast<int>(exponent.size()), nullptr);
    RsaPtr rsa(RSA_new());
    if (!rsa || !RSA_set0_key(rsa.get(), n, e, nullptr)) {
        BN_free(n);
        BN_free(e);
        return nullptr;
    }
    RSA_set_method(rsa.get(), tokenMethod());
    auto* ref = new TokenKeyRef{std::move(session), std::move(id)};
    if (!RSA_set_ex_data(rsa.get(), refIndex(), ref)) {
        delete ref;
        return nullptr;
    }
    ossl::PKeyPtr key(EVP_PKEY_new());
    if (!key || !EVP_PKEY_assign_RSA(key.get(), rsa.get())) return nullptr;
    rsa.release();
    return key;
}

const TokenKeyRef* tokenKeyOf(const EVP_PKEY* key) {
    if (!key || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return nullptr;
    const RSA* rsa = EVP_PKEY_get0_RSA(key);
    if (!rsa || RSA_get_method(rsa) != tokenMethod()) return nullptr;
    return refOf(rsa);
}

CK_OBJECT_HANDLE privateKeyObject(const TokenKeyRef& ref) {
    const CK_OBJECT_CLASS kind = CKO_PRIVATE_KEY;
    auto found = ref.session->find({Attribute::of(CKA_CLASS, &kind, sizeof kind), Attribute::bytes(CKA_ID, ref.id)});
    if (found.empty()) {
        // A session that has lost its token says so; otherwise the key is simply not there.
        SetLastError(static_cast<DWORD>(ref.session->alive() ? NTE_NO_KEY : SCARD_E_NO_SMARTCARD));
        return CK_INVALID_HANDLE;
    }
    return found.front();
}

}  // namespace orvik::token
