#include "KeyBlob.h"

#include <orvik/KeyBlob.h>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/param_build.h>

#include <cstring>

namespace orvik::crypt {

namespace {

constexpr DWORD kRsa1 = 0x31415352;  // "RSA1"
constexpr DWORD kRsa2 = 0x32415352;  // "RSA2"

using ParamBldPtr = ossl::Owned<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using ParamPtr = ossl::Owned<OSSL_PARAM, OSSL_PARAM_free>;
void clearFreeBn(BIGNUM* bn) { BN_clear_free(bn); }
using SecretBnPtr = ossl::Owned<BIGNUM, clearFreeBn>;

DWORD get32(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
           static_cast<DWORD>(p[3]) << 24;
}

template <class Bytes>
void put32(Bytes& out, DWORD v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<BYTE>(v >> (8 * i)));
}

SecretBnPtr readLe(const BYTE* p, size_t n) { return SecretBnPtr(BN_lebin2bn(p, static_cast<int>(n), nullptr)); }

template <class Bytes>
bool writeLe(Bytes& out, const BIGNUM* bn, size_t n) {
    size_t at = out.size();
    out.resize(at + n);
    return BN_bn2lebinpad(bn, out.data() + at, static_cast<int>(n)) == static_cast<int>(n);
}

// Bytes of the modulus and of each half-size field for a bit length.
size_t fullBytes(DWORD bits) { return (bits + 7) / 8; }
size_t halfBytes(DWORD bits) { return (bits + 15) / 16; }

ossl::PKeyPtr fromParams(OSSL_PARAM_BLD* bld, int selection) {
    ParamPtr params(OSSL_PARAM_BLD_to_param(bld));
    if (!params) return nullptr;
    ossl::PKeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0 ||
        EVP_PKEY_fromdata(ctx.get(), &key, selection, params.get()) <= 0)
        return nullptr;
    return ossl::PKeyPtr(key);
}

bool header(const BYTE* blob, size_t size, BYTE type, DWORD magic, ALG_ID* alg, DWORD& bits, DWORD& exponent) {
    if (!blob || size < 20 || blob[0] != type || blob[1] != CUR_BLOB_VERSION) return false;
    ALG_ID a = get32(blob + 4);
    if (a != CALG_RSA_KEYX && a != CALG_RSA_SIGN) return false;
    if (get32(blob + 8) != magic) return false;
    bits = get32(blob + 12);
    exponent = get32(blob + 16);
    if (bits < 384 || bits > 16384 || exponent == 0) return false;
    if (alg) *alg = a;
    return true;
}

SecretBnPtr param(EVP_PKEY* key, const char* name) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &bn) <= 0) return nullptr;
    return SecretBnPtr(bn);
}

}  // namespace

ossl::PKeyPtr privateKeyFromBlob(const BYTE* blob, size_t size, ALG_ID* alg) {
    DWORD bits = 0, exponent = 0;
    if (!header(blob, size, PRIVATEKEYBLOB, kRsa2, alg, bits, exponent)) return nullptr;
    size_t k = fullBytes(bits), h = halfBytes(bits);
    if (size < 20 + 2 * k + 5 * h) return nullptr;
    const BYTE* p = blob + 20;
    SecretBnPtr n = readLe(p, k), p1 = readLe(p + k, h), p2 = readLe(p + k + h, h), e1 = readLe(p + k + 2 * h, h),
                e2 = readLe(p + k + 3 * h, h), c = readLe(p + k + 4 * h, h), d = readLe(p + k + 5 * h, k);
    SecretBnPtr e(BN_new());
    if (!n || !p1 || !p2 || !e1 || !e2 || !c || !d || !e || !BN_set_word(e.get(), exponent)) return nullptr;
    ParamBldPtr bld(OSSL_PARAM_BLD_new());
    if (!bld || !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_D, d.get()) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, p1.get()) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, p2.get()) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, e1.get()) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, e2.get()) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, c.get()))
        return nullptr;
    return fromParams(bld.get(), EVP_PKEY_KEYPAIR);
}

SecretBytes privateKeyBlob(EVP_PKEY* key, ALG_ID alg) {
    if (!key || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return {};
    DWORD bits = static_cast<DWORD>(EVP_PKEY_get_bits(key));
    SecretBnPtr n = param(key, OSSL_PKEY_PARAM_RSA_N), e = param(key, OSSL_PKEY_PARAM_RSA_E),
                d = param(key, OSSL_PKEY_PARAM_RSA_D), p1 = param(key, OSSL_PKEY_PARAM_RSA_FACTOR1),
                p2 = param(key, OSSL_PKEY_PARAM_RSA_FACTOR2), e1 = param(key, OSSL_PKEY_PARAM_RSA_EXPONENT1),
                e2 = param(key, OSSL_PKEY_PARAM_RSA_EXPONENT2), c = param(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
    if (!n || !e || !d || !p1 || !p2 || !e1 || !e2 || !c || BN_num_bytes(e.get()) > 4) return {};
    size_t k = fullBytes(bits), h = halfBytes(bits);
    SecretBytes out{PRIVATEKEYBLOB, CUR_BLOB_VERSION, 0, 0};
    put32(out, alg);
    put32(out, kRsa2);
    put32(out, bits);
    put32(out, static_cast<DWORD>(BN_get_word(e.get())));
    out.reserve(20 + 2 * k + 5 * h);
    if (!writeLe(out, n.get(), k) || !writeLe(out, p1.get(), h) || !writeLe(out, p2.get(), h) ||
        !writeLe(out, e1.get(), h) || !writeLe(out, e2.get(), h) || !writeLe(out, c.get(), h) ||
        !writeLe(out, d.get(), k))
        return {};
    return out;
}

ossl::PKeyPtr publicKeyFromBlob(const BYTE* blob, size_t size, ALG_ID* alg) {
    DWORD bits = 0, exponent = 0;
    if (!header(blob, size, PUBLICKEYBLOB, kRsa1, alg, bits, exponent)) return nullptr;
    size_t k = fullBytes(bits);
    if (size < 20 + k) return nullptr;
    SecretBnPtr n = readLe(blob + 20, k);
    SecretBnPtr e(BN_new());
    if (!n || !e || !BN_set_word(e.get(), exponent)) return nullptr;
    ParamBldPtr bld(OSSL_PARAM_BLD_new());
    if (!bld || !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) ||
        !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()))
        return nullptr;
    return fromParams(bld.get(), EVP_PKEY_PUBLIC_KEY);
}

std::vector<BYTE> publicKeyBlob(EVP_PKEY* key, ALG_ID alg) {
    if (!key || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return {};
    DWORD bits = static_cast<DWORD>(EVP_PKEY_get_bits(key));
    SecretBnPtr n = param(key, OSSL_PKEY_PARAM_RSA_N), e = param(key, OSSL_PKEY_PARAM_RSA_E);
    if (!n || !e || BN_num_bytes(e.get()) > 4) return {};
    std::vector<BYTE> out{PUBLICKEYBLOB, CUR_BLOB_VERSION, 0, 0};
    put32(out, alg);
    put32(out, kRsa1);
    put32(out, bits);
    put32(out, static_cast<DWORD>(BN_get_word(e.get())));
    if (!writeLe(out, n.get(), fullBytes(bits))) return {};
    return out;
}

}  // namespace orvik::crypt

namespace orvik {

SecretBytes privateKeyBlobOf(EVP_PKEY* key, ALG_ID alg) { return crypt::privateKeyBlob(key, alg); }

}  // namespace orvik
