#include "SealedContainer.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>

#include <orvik/Owned.h>

namespace orvik::secret {

namespace {

const unsigned char kMagic[8] = {'O', 'R', 'V', 'K', 'S', 'E', 'A', 'L'};
constexpr unsigned char kVersion = 1;
constexpr size_t kKeyBytes = 32;
constexpr size_t kNonceBytes = 12;
constexpr size_t kTagBytes = 16;
constexpr size_t kIdBytes = 8;  // random, shown as 16 hex digits

using CipherCtx = Owned<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;

std::string header(const std::string& id, const unsigned char* nonce) {
    std::string h(reinterpret_cast<const char*>(kMagic), sizeof kMagic);
    h.push_back(static_cast<char>(kVersion));
    h.push_back(static_cast<char>(id.size()));
    h += id;
    h.append(reinterpret_cast<const char*>(nonce), kNonceBytes);
    return h;
}

bool addAad(EVP_CIPHER_CTX* ctx, const std::string& aad) {
    int n = 0;
    return EVP_CipherUpdate(ctx, nullptr, &n, reinterpret_cast<const unsigned char*>(aad.data()),
                            static_cast<int>(aad.size())) == 1;
}

// A new sealing key in the Secret Service, then the one every process agrees to seal with.
Outcome makeKey(SealingKey& key, std::string& detail) {
    SealingKey fresh;
    fresh.bytes.resize(kKeyBytes);
    unsigned char id[kIdBytes];
    if (RAND_bytes(fresh.bytes.data(), kKeyBytes) != 1 || RAND_bytes(id, sizeof id) != 1) {
        detail = "no random bytes";
        return Outcome::Failed;
    }
    static const char digits[] = "0123456789abcdef";
    for (unsigned char c : id) {
        fresh.id.push_back(digits[c >> 4]);
        fresh.id.push_back(digits[c & 15]);
    }
    if (Outcome o = secretStore().add(fresh, detail); o != Outcome::Ok) return o;
    Outcome o = secretStore().find("", true, &key, detail);
    return o == Outcome::NotFound ? Outcome::Failed : o;
}

}  // namespace

bool looksSealed(const unsigned char* data, size_t size) {
    return size >= sizeof kMagic && std::memcmp(data, kMagic, sizeof kMagic) == 0;
}

Outcome seal(const std::string& context, const SecretBytes& plain, SecretBytes& out, std::string& detail) {
    out.clear();
    SealingKey key;
    Outcome o = secretStore().find("", true, &key, detail);
    if (o == Outcome::NotFound) o = makeKey(key, detail);
    if (o != Outcome::Ok) return o;
    if (key.bytes.size() != kKeyBytes || key.id.empty() || key.id.size() > 255) {
        detail = "the keyring holds a sealing key of the wrong form";
        return Outcome::Failed;
    }
    unsigned char nonce[kNonceBytes];
    if (RAND_bytes(nonce, sizeof nonce) != 1) {
        detail = "no random bytes";
        return Outcome::Failed;
    }
    const std::string head = header(key.id, nonce);
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    out.resize(head.size() + plain.size() + kTagBytes);
    std::memcpy(out.data(), head.data(), head.size());
    int n = 0, last = 0;
    bool ok =
        ctx && EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.bytes.data(), nonce) == 1 &&
        addAad(ctx.get(), head + context) &&
        EVP_EncryptUpdate(ctx.get(), out.data() + head.size(), &n, plain.data(), static_cast<int>(plain.size())) == 1 &&
        EVP_EncryptFinal_ex(ctx.get(), out.data() + head.size() + n, &last) == 1 &&
        static_cast<size_t>(n + last) == plain.size() &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagBytes, out.data() + head.size() + plain.size()) == 1;
    if (!ok) {
        out.clear();
        detail = "sealing failed";
        return Outcome::Failed;
    }
    return Outcome::Ok;
}

Opened open(const std::string& context, const unsigned char* data, size_t size, SecretBytes& plain,
            std::string& detail) {
    plain.clear();
    if (!looksSealed(data, size) || size < sizeof kMagic + 2 || data[sizeof kMagic] != kVersion) return Opened::Damaged;
    const size_t idLength = data[sizeof kMagic + 1];
    const size_t headLength = sizeof kMagic + 2 + idLength + kNonceBytes;
    // A container holds its own magic at least, so a sealed one is never empty inside.
    if (idLength == 0 || size < headLength + sizeof kMagic + kTagBytes) return Opened::Damaged;
    const std::string id(reinterpret_cast<const char*>(data) + sizeof kMagic + 2, idLength);
    const unsigned char* nonce = data + headLength - kNonceBytes;

    SealingKey key;
    switch (secretStore().find(id, true, &key, detail)) {
    case Outcome::Ok: break;
    case Outcome::NotFound: return Opened::KeyMissing;
    case Outcome::Absent: return Opened::Absent;
    case Outcome::Locked: return Opened::Locked;
    case Outcome::Failed: return Opened::Failed;
    }
    if (key.bytes.size() != kKeyBytes) return Opened::KeyMissing;

    const size_t cipherLength = size - headLength - kTagBytes;
    const std::string head(reinterpret_cast<const char*>(data), headLength);
    // The tag is set from a copy: the call takes a non-const buffer.
    unsigned char tag[kTagBytes];
    std::memcpy(tag, data + size - kTagBytes, kTagBytes);
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    plain.resize(cipherLength);
    int n = 0, last = 0;
    bool ok = ctx && EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.bytes.data(), nonce) == 1 &&
              addAad(ctx.get(), head + context) &&
              EVP_DecryptUpdate(ctx.get(), plain.data(), &n, data + headLength, static_cast<int>(cipherLength)) == 1 &&
              EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagBytes, tag) == 1 &&
              EVP_DecryptFinal_ex(ctx.get(), plain.data() + n, &last) == 1;
    if (!ok) {
        plain.clear();
        return Opened::Damaged;
    }
    return Opened::Ok;
}

}  // namespace orvik::secret
