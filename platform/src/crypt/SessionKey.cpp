// Hashes and 3DES session keys: CryptCreateHash, CryptDeriveKey, CryptGenKey, chained
// CryptEncrypt and CryptDecrypt, SIMPLEBLOB key transport and CryptImportPublicKeyInfo.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include <winbase.h>
#include <wincrypt.h>

#include "KeyBlob.h"
#include "Provider.h"
#include "../token/TokenKey.h"

namespace orvik::crypt {

namespace {

constexpr size_t kBlock = 8;
constexpr size_t k3DesKey = 24;

struct Hash {
    uint32_t magic = kMagic;
    ALG_ID alg = 0;
    ossl::MdCtxPtr ctx;
    SecretBytes value;                              // set once the hash is finished
    static constexpr uint32_t kMagic = 0x48415348;  // "HASH"
};

Hash* hashOf(HCRYPTHASH hash) {
    auto* h = reinterpret_cast<Hash*>(hash);
    if (!h || h->magic != Hash::kMagic) {
        SetLastError(static_cast<DWORD>(NTE_BAD_HASH));
        return nullptr;
    }
    return h;
}

bool finish(Hash& h) {
    if (!h.value.empty()) return true;
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_DigestFinal_ex(h.ctx.get(), out, &n) != 1) return false;
    h.value.assign(out, out + n);
    OPENSSL_cleanse(out, sizeof out);
    return true;
}

// Windows's DES keys carry odd parity in every byte; DES itself ignores the low bit.
void setOddParity(SecretBytes& key) {
    for (BYTE& b : key) {
        BYTE v = b & 0xFE;
        int ones = 0;
        for (int i = 1; i < 8; ++i) ones += (v >> i) & 1;
        b = static_cast<BYTE>(v | ((ones & 1) ? 0 : 1));
    }
}

// The documented rule for a hash shorter than the key: the hash XORed into a 64-byte block of
// 0x36 and one of 0x5C, each hashed again; the two results in turn give the key bytes.
SecretBytes deriveFrom(const Hash& h) {
    const EVP_MD* md = h.alg == CALG_SHA1 ? EVP_sha1() : EVP_md5();
    BYTE inner[64], outer[64];
    std::memset(inner, 0x36, sizeof inner);
    std::memset(outer, 0x5C, sizeof outer);
    for (size_t i = 0; i < h.value.size() && i < 64; ++i) {
        inner[i] ^= h.value[i];
        outer[i] ^= h.value[i];
    }
    unsigned char a[EVP_MAX_MD_SIZE], b[EVP_MAX_MD_SIZE];
    unsigned int na = 0, nb = 0;
    EVP_Digest(inner, sizeof inner, a, &na, md, nullptr);
    EVP_Digest(outer, sizeof outer, b, &nb, md, nullptr);
    SecretBytes key(a, a + na);
    key.insert(key.end(), b, b + nb);
    key.resize(k3DesKey);
    OPENSSL_cleanse(inner, sizeof inner);
    OPENSSL_cleanse(outer, sizeof outer);
    OPENSSL_cleanse(a, sizeof a);
    OPENSSL_cleanse(b, sizeof b);
    return key;
}

// Starts a stream in `direction` unless one runs already; the IV is zero, as Windows's default.
bool start(Key& k, int direction) {
    if (k.direction == direction && k.cipher) return true;
    k.cipher.reset(EVP_CIPHER_CTX_new());
    static const BYTE zero[kBlock] = {};
    if (!k.cipher || EVP_CipherInit_ex(k.cipher.get(), EVP_des_ede3_cbc(), nullptr, k.secret.data(), zero,
                                       direction > 0 ? 1 : 0) != 1)
        return false;
    EVP_CIPHER_CTX_set_padding(k.cipher.get(), 0);
    k.direction = direction;
    return true;
}

// After Final the key is back at its initial IV.
void reset(Key& k) {
    k.cipher.reset();
    k.direction = 0;
    std::memset(k.chain, 0, sizeof k.chain);
}

bool ecb(orvik::crypt::CipherCtxPtr& ctx, const SecretBytes& key) {
    if (ctx) return true;
    ctx.reset(EVP_CIPHER_CTX_new());
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_des_ede3_ecb(), nullptr, key.data(), nullptr) != 1) return false;
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    return true;
}

bool ecbDecrypt(EVP_CIPHER_CTX* ctx, BYTE* data, size_t n) {
    int out = 0;
    return n == 0 || EVP_DecryptUpdate(ctx, data, &out, data, static_cast<int>(n)) == 1;
}

// CBC decryption block by block is independent of its neighbours (P = D(C) xor the previous C),
// so a large buffer is decrypted by two workers; the bytes are the same as one pass gives.
bool decryptBlocks(Key& k, BYTE* data, size_t n) {
    if (n == 0) return true;
    if (k.direction != -1) {
        reset(k);
        k.direction = -1;
    }
    if (!ecb(k.blocks[0], k.secret)) return false;
    SecretBytes cipher(data, data + n);
    bool ok = true;
    constexpr size_t kParallelFrom = 64 * 1024;
    if (n >= kParallelFrom && ecb(k.blocks[1], k.secret)) {
        size_t half = n / 2 / kBlock * kBlock;
        bool second = true;
        std::thread worker([&] { second = ecbDecrypt(k.blocks[1].get(), data + half, n - half); });
        ok = ecbDecrypt(k.blocks[0].get(), data, half);
        worker.join();
        ok = ok && second;
    } else {
        ok = ecbDecrypt(k.blocks[0].get(), data, n);
    }
    if (!ok) return false;
    for (size_t i = 0; i < kBlock; ++i) data[i] ^= k.chain[i];
    for (size_t i = kBlock; i < n; ++i) data[i] ^= cipher[i - kBlock];
    std::memcpy(k.chain, cipher.data() + n - kBlock, kBlock);
    return true;
}

bool run(Key& k, BYTE* data, size_t n) {
    int out = 0;
    return n == 0 || EVP_CipherUpdate(k.cipher.get(), data, &out, data, static_cast<int>(n)) == 1;
}

std::shared_ptr<EVP_PKEY> shareKey(EVP_PKEY* key) { return std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free); }

}  // namespace

HCRYPTKEY newSessionKey(SecretBytes secret, ALG_ID alg, DWORD flags) {
    auto* k = new Key;
    k->alg = alg;
    k->secret = std::move(secret);
    k->permissions = permissionsOf(flags);
    return reinterpret_cast<HCRYPTKEY>(k);
}

std::vector<BYTE> simpleBlob(Key& session, Key& exchange) {
    size_t modulus = static_cast<size_t>(EVP_PKEY_get_size(exchange.pkey.get()));
    ossl::PKeyCtxPtr ctx(EVP_PKEY_CTX_new(exchange.pkey.get(), nullptr));
    std::vector<BYTE> cipher(modulus);
    size_t n = modulus;
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_encrypt(ctx.get(), cipher.data(), &n, session.secret.data(), session.secret.size()) != 1 ||
        n != modulus)
        return {};
    // Little-endian, as every number CryptoAPI writes.
    std::reverse(cipher.begin(), cipher.end());
    std::vector<BYTE> blob{SIMPLEBLOB, CUR_BLOB_VERSION, 0, 0};
    for (ALG_ID alg : {session.alg, static_cast<ALG_ID>(CALG_RSA_KEYX)})
        for (int i = 0; i < 4; ++i) blob.push_back(static_cast<BYTE>(alg >> (8 * i)));
    blob.insert(blob.end(), cipher.begin(), cipher.end());
    return blob;
}

namespace {

// A token unpads on its own (CKM_RSA_PKCS): raw RSA is a mechanism many tokens refuse.
bool importOnToken(Key& exchange, const std::vector<BYTE>& cipher, DWORD flags, HCRYPTKEY* key) {
    SetLastError(ERROR_SUCCESS);
    ossl::PKeyCtxPtr ctx(EVP_PKEY_CTX_new(exchange.pkey.get(), nullptr));
    SecretBytes plain(cipher.size());
    size_t n = plain.size();
    bool ok = ctx && EVP_PKEY_decrypt_init(ctx.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_decrypt(ctx.get(), plain.data(), &n, cipher.data(), cipher.size()) == 1 && n == k3DesKey;
    if (!ok) {
        // The token's own reason (gone, not logged in) stands; a bad record is bad data.
        DWORD error = GetLastError();
        if (error != static_cast<DWORD>(SCARD_E_NO_SMARTCARD) && error != static_cast<DWORD>(NTE_PERM) &&
            error != static_cast<DWORD>(NTE_NO_KEY))
            SetLastError(static_cast<DWORD>(NTE_BAD_DATA));
        ERR_clear_error();
        return false;
    }
    plain.resize(n);
    *key = newSessionKey(std::move(plain), CALG_3DES, flags);
    return true;
}

}  // namespace

bool importSimpleBlob(const BYTE* data, size_t size, Key& exchange, DWORD flags, HCRYPTKEY* key) {
    static const BYTE header[] = {SIMPLEBLOB, CUR_BLOB_VERSION, 0, 0, 0x03, 0x66, 0, 0, 0x00, 0xA4, 0, 0};
    if (!exchange.pkey || exchange.keySpec == 0) {
        SetLastError(static_cast<DWORD>(NTE_BAD_KEY));
        return false;
    }
    const size_t modulus = static_cast<size_t>(EVP_PKEY_get_size(exchange.pkey.get()));
    if (size != sizeof header + modulus || std::memcmp(data, header, sizeof header) != 0) {
        SetLastError(static_cast<DWORD>(NTE_BAD_DATA));
        return false;
    }
    std::vector<BYTE> cipher(data + sizeof header, data + size);
    std::reverse(cipher.begin(), cipher.end());
    if (token::tokenKeyOf(exchange.pkey.get())) return importOnToken(exchange, cipher, flags, key);
    // The padding is checked here, strictly: the format has no MAC, so a decryption that
    // "succeeds" with a made-up key (implicit rejection) would only hide a damaged record.
    ossl::PKeyCtxPtr ctx(EVP_PKEY_CTX_new(exchange.pkey.get(), nullptr));
    SecretBytes plain(modulus);
    size_t n = modulus;
    bool ok = ctx && EVP_PKEY_decrypt_init(ctx.get()) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) == 1 &&
              EVP_PKEY_decrypt(ctx.get(), plain.data(), &n, cipher.data(), cipher.size()) == 1 && n == modulus;
    // 00 02, at least eight non-zero bytes, 00, then exactly the 24 key bytes.
    size_t zero = 2;
    if (ok) ok = plain[0] == 0 && plain[1] == 2;
    while (ok && zero < n && plain[zero] != 0) ++zero;
    ok = ok && zero >= 10 && zero < n && n - zero - 1 == k3DesKey;
    SecretBytes secret;
    if (ok) secret.assign(plain.begin() + static_cast<ptrdiff_t>(zero + 1), plain.end());
    if (!ok) {
        SetLastError(static_cast<DWORD>(NTE_BAD_DATA));
        return false;
    }
    *key = newSessionKey(std::move(secret), CALG_3DES, flags);
    return true;
}

}  // namespace orvik::crypt

using orvik::crypt::Key;

extern "C" {

BOOL WINAPI CryptCreateHash(HCRYPTPROV prov, ALG_ID alg, HCRYPTKEY key, DWORD flags, HCRYPTHASH* hash) {
    if (!orvik::crypt::providerOf(prov)) return FALSE;
    if (!hash || key || flags) {
        SetLastError(static_cast<DWORD>(key ? NTE_BAD_KEY : NTE_BAD_FLAGS));
        return FALSE;
    }
    const EVP_MD* md = alg == CALG_MD5 ? EVP_md5() : alg == CALG_SHA1 ? EVP_sha1() : nullptr;
    if (!md) {
        SetLastError(static_cast<DWORD>(NTE_BAD_ALGID));
        return FALSE;
    }
    auto h = std::make_unique<orvik::crypt::Hash>();
    h->alg = alg;
    h->ctx.reset(EVP_MD_CTX_new());
    if (!h->ctx || EVP_DigestInit_ex(h->ctx.get(), md, nullptr) != 1) {
        SetLastError(static_cast<DWORD>(NTE_NO_MEMORY));
        return FALSE;
    }
    *hash = reinterpret_cast<HCRYPTHASH>(h.release());
    return TRUE;
}

BOOL WINAPI CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD size, DWORD flags) {
    auto* h = orvik::crypt::hashOf(hash);
    if (!h) return FALSE;
    if (!h->value.empty()) {
        SetLastError(static_cast<DWORD>(NTE_BAD_HASH_STATE));
        return FALSE;
    }
    if (flags || (!data && size)) {
        SetLastError(static_cast<DWORD>(flags ? NTE_BAD_FLAGS : ERROR_INVALID_PARAMETER));
        return FALSE;
    }
    return size == 0 || EVP_DigestUpdate(h->ctx.get(), data, size) == 1;
}

BOOL WINAPI CryptGetHashParam(HCRYPTHASH hash, DWORD param, BYTE* data, DWORD* size, DWORD flags) {
    auto* h = orvik::crypt::hashOf(hash);
    if (!h) return FALSE;
    if (!size || flags) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    orvik::SecretBytes bytes;
    if (param == HP_HASHVAL) {
        if (!orvik::crypt::finish(*h)) {
            SetLastError(static_cast<DWORD>(NTE_BAD_HASH_STATE));
            return FALSE;
        }
        bytes = h->value;
    } else if (param == HP_HASHSIZE || param == HP_ALGID) {
        DWORD v = param == HP_ALGID ? h->alg : static_cast<DWORD>(EVP_MD_CTX_get_size(h->ctx.get()));
        bytes.assign(reinterpret_cast<BYTE*>(&v), reinterpret_cast<BYTE*>(&v) + 4);
    } else {
        SetLastError(static_cast<DWORD>(NTE_BAD_TYPE));
        return FALSE;
    }
    DWORD need = static_cast<DWORD>(bytes.size());
    if (!data) {
        *size = need;
        return TRUE;
    }
    if (*size < need) {
        *size = need;
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    std::memcpy(data, bytes.data(), need);
    *size = need;
    return TRUE;
}

BOOL WINAPI CryptDestroyHash(HCRYPTHASH hash) {
    auto* h = orvik::crypt::hashOf(hash);
    if (!h) return FALSE;
    h->magic = 0;
    delete h;
    return TRUE;
}

BOOL WINAPI CryptDeriveKey(HCRYPTPROV prov, ALG_ID alg, HCRYPTHASH hash, DWORD flags, HCRYPTKEY* key) {
    if (!orvik::crypt::providerOf(prov)) return FALSE;
    auto* h = orvik::crypt::hashOf(hash);
    if (!h) return FALSE;
    if (!key || alg != CALG_3DES) {
        SetLastError(static_cast<DWORD>(key ? NTE_BAD_ALGID : ERROR_INVALID_PARAMETER));
        return FALSE;
    }
    // Only the key length may ride in the upper half of the flags; 0 means the default.
    DWORD length = flags >> 16;
    if ((length && length != 192) || (flags & 0xFFFF & ~CRYPT_EXPORTABLE)) {
        SetLastError(static_cast<DWORD>(NTE_BAD_FLAGS));
        return FALSE;
    }
    if (!orvik::crypt::finish(*h)) {
        SetLastError(static_cast<DWORD>(NTE_BAD_HASH_STATE));
        return FALSE;
    }
    orvik::SecretBytes secret = orvik::crypt::deriveFrom(*h);
    orvik::crypt::setOddParity(secret);
    *key = orvik::crypt::newSessionKey(std::move(secret), CALG_3DES, flags & CRYPT_EXPORTABLE);
    return TRUE;
}

BOOL WINAPI CryptGenKey(HCRYPTPROV prov, ALG_ID alg, DWORD flags, HCRYPTKEY* key) {
    if (!orvik::crypt::providerOf(prov)) return FALSE;
    if (!key || alg != CALG_3DES) {
        SetLastError(static_cast<DWORD>(key ? NTE_BAD_ALGID : ERROR_INVALID_PARAMETER));
        return FALSE;
    }
    orvik::SecretBytes secret(orvik::crypt::k3DesKey);
    if (RAND_bytes(secret.data(), static_cast<int>(secret.size())) != 1) {
        SetLastError(static_cast<DWORD>(NTE_FAIL));
        return FALSE;
    }
    orvik::crypt::setOddParity(secret);
    *key = orvik::crypt::newSessionKey(std::move(secret), CALG_3DES, flags & CRYPT_EXPORTABLE);
    return TRUE;
}

BOOL WINAPI CryptEncrypt(HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data, DWORD* length,
                         DWORD capacity) {
    Key* k = orvik::crypt::keyOf(key);
    if (!k) return FALSE;
    if (!k->symmetric() || hash || flags || !length) {
        SetLastError(static_cast<DWORD>(!k->symmetric() ? NTE_BAD_KEY : ERROR_INVALID_PARAMETER));
        return FALSE;
    }
    const size_t in = *length;
    if (!final && in % orvik::crypt::kBlock) {
        SetLastError(static_cast<DWORD>(NTE_BAD_DATA));
        return FALSE;
    }
    // PKCS #5: one to eight bytes, a whole block when the data is a multiple of eight.
    const size_t out = final ? (in / orvik::crypt::kBlock + 1) * orvik::crypt::kBlock : in;
    if (out > 0xFFFFFFFFu) {
        SetLastError(static_cast<DWORD>(NTE_BAD_LEN));
        return FALSE;
    }
    if (!data) {
        *length = static_cast<DWORD>(out);
        return TRUE;
    }
    if (out > capacity) {
        *length = static_cast<DWORD>(out);
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    if (final) std::memset(data + in, static_cast<int>(out - in), out - in);
    bool ok = orvik::crypt::start(*k, 1) && orvik::crypt::run(*k, data, out);
    if (final || !ok) orvik::crypt::reset(*k);
    if (!ok) {
        SetLastError(static_cast<DWORD>(NTE_FAIL));
        return FALSE;
    }
    *length = static_cast<DWORD>(out);
    return TRUE;
}

BOOL WINAPI CryptDecrypt(HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data, DWORD* length) {
    Key* k = orvik::crypt::keyOf(key);
    if (!k) return FALSE;
    if (!k->symmetric() || hash || flags || !length || (!data && *length)) {
        SetLastError(static_cast<DWORD>(!k->symmetric() ? NTE_BAD_KEY : ERROR_INVALID_PARAMETER));
        return FALSE;
    }
    const size_t in = *length;
    if (in % orvik::crypt::kBlock || (final && in == 0)) {
        orvik::crypt::reset(*k);
        SetLastError(static_cast<DWORD>(NTE_BAD_DATA));
        return FALSE;
    }
    bool ok = orvik::crypt::decryptBlocks(*k, data, in);
    size_t out = in;
    if (ok && final) {
        BYTE pad = data[in - 1];
        ok = pad >= 1 && pad <= orvik::crypt::kBlock;
        for (size_t i = 0; ok && i < pad; ++i) ok = data[in - 1 - i] == pad;
        if (ok) out = in - pad;
    }
    if (final || !ok) orvik::crypt::reset(*k);
    if (!ok) {
        SetLastError(static_cast<DWORD>(NTE_BAD_DATA));
        return FALSE;
    }
    *length = static_cast<DWORD>(out);
    return TRUE;
}

BOOL WINAPI CryptImportPublicKeyInfo(HCRYPTPROV prov, DWORD, PCERT_PUBLIC_KEY_INFO info, HCRYPTKEY* key) {
    if (!orvik::crypt::providerOf(prov)) return FALSE;
    if (!info || !key || !info->Algorithm.pszObjId) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (std::strcmp(info->Algorithm.pszObjId, szOID_RSA_RSA) != 0) {
        SetLastError(static_cast<DWORD>(NTE_BAD_ALGID));
        return FALSE;
    }
    const unsigned char* p = info->PublicKey.pbData;
    EVP_PKEY* pkey = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(info->PublicKey.cbData));
    if (!pkey) {
        SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
        return FALSE;
    }
    auto* k = new Key;
    k->alg = CALG_RSA_KEYX;
    k->pkey = orvik::crypt::shareKey(pkey);
    k->permissions = orvik::crypt::permissionsOf(CRYPT_EXPORTABLE);
    *key = reinterpret_cast<HCRYPTKEY>(k);
    return TRUE;
}

}  // extern "C"
