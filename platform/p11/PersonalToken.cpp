#include "PersonalToken.h"

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include <orvik/Owned.h>
#include <wincrypt.h>

#include "Mechanisms.h"

namespace orvik::p11 {

namespace {

using Bytes = std::vector<unsigned char>;
using X509Ptr = Owned<X509, X509_free>;
using BnPtr = Owned<BIGNUM, BN_free>;

Bytes ulongValue(CK_ULONG value) {
    Bytes out(sizeof value);
    std::memcpy(out.data(), &value, sizeof value);
    return out;
}

Bytes boolValue(bool value) { return Bytes{static_cast<unsigned char>(value ? CK_TRUE : CK_FALSE)}; }

Bytes textValue(const std::string& text) { return Bytes(text.begin(), text.end()); }

template <class T, int (*Encode)(const T*, unsigned char**)>
Bytes der(const T* value) {
    unsigned char* out = nullptr;
    int size = Encode(value, &out);
    Bytes bytes;
    if (size > 0) bytes.assign(out, out + size);
    OPENSSL_free(out);
    return bytes;
}

Bytes bignum(const BIGNUM* n) {
    Bytes out(static_cast<size_t>(BN_num_bytes(n)));
    BN_bn2bin(n, out.data());
    return out;
}

// CK_DATE: "YYYYMMDD".
Bytes dateValue(const ASN1_TIME* time) {
    struct tm tm {};
    if (!time || ASN1_TIME_to_tm(time, &tm) != 1) return {};
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d", (tm.tm_year + 1900) % 10000, (tm.tm_mon + 1) % 100,
                  tm.tm_mday % 100);
    return Bytes(text, text + 8);
}

// As the assistant names a certificate that has no friendly name.
std::string displayName(const Bytes& certificate) {
    PCCERT_CONTEXT ctx = CertCreateCertificateContext(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, certificate.data(),
                                                      static_cast<DWORD>(certificate.size()));
    if (!ctx) return {};
    char name[512] = {};
    CertGetNameStringA(ctx, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, sizeof name);
    CertFreeCertificateContext(ctx);
    return name;
}

Bytes mechanismList(bool sign, bool decrypt) {
    Bytes out;
    for (const MechanismInfo& m : mechanisms()) {
        if (!((m.flags & CKF_SIGN) && sign) && !((m.flags & CKF_DECRYPT) && decrypt)) continue;
        Bytes one = ulongValue(m.type);
        out.insert(out.end(), one.begin(), one.end());
    }
    return out;
}

}  // namespace

bool Object::matches(const CK_ATTRIBUTE* templ, CK_ULONG count) const {
    for (CK_ULONG i = 0; i < count; ++i) {
        if (isSensitive(cls, templ[i].type)) return false;
        auto it = attributes.find(templ[i].type);
        if (it == attributes.end() || it->second.size() != templ[i].ulValueLen) return false;
        if (templ[i].ulValueLen &&
            (!templ[i].pValue || std::memcmp(templ[i].pValue, it->second.data(), templ[i].ulValueLen)))
            return false;
    }
    return true;
}

bool isSensitive(CK_OBJECT_CLASS cls, CK_ATTRIBUTE_TYPE type) {
    if (cls != CKO_PRIVATE_KEY) return false;
    switch (type) {
    case CKA_PRIVATE_EXPONENT:
    case CKA_PRIME_1:
    case CKA_PRIME_2:
    case CKA_EXPONENT_1:
    case CKA_EXPONENT_2:
    case CKA_COEFFICIENT:
    case CKA_VALUE: return true;
    default: return false;
    }
}

CK_OBJECT_HANDLE PersonalToken::handleFor(const std::string& key, CK_OBJECT_CLASS cls) {
    auto [it, added] = handles_.emplace(key + "/" + std::to_string(cls), next_);
    if (added) ++next_;
    return it->second;
}

PersonalToken::Entry PersonalToken::build(const RegisteredCertificate& entry, const std::string& key, bool personal) {
    Entry out;
    out.blob = entry.blob;
    const unsigned char* p = entry.der.data();
    X509Ptr x509(d2i_X509(nullptr, &p, static_cast<long>(entry.der.size())));
    if (!x509) return out;
    EVP_PKEY* pub = X509_get0_pubkey(x509.get());
    const bool rsa = pub && EVP_PKEY_get_base_id(pub) == EVP_PKEY_RSA;
    if (personal && !rsa) return out;

    // CKA_ID: the SHA-1 of the public key's bits, as key identifiers are usually made.
    Bytes id(SHA_DIGEST_LENGTH);
    const ASN1_BIT_STRING* bits = X509_get0_pubkey_bitstr(x509.get());
    SHA1(bits ? bits->data : nullptr, bits ? static_cast<size_t>(bits->length) : 0, id.data());
    const std::string label = !entry.friendlyName.empty() ? entry.friendlyName : displayName(entry.der);
    const Bytes subject = der<X509_NAME, i2d_X509_NAME>(X509_get_subject_name(x509.get()));

    auto common = [&](Object& o, CK_OBJECT_CLASS cls) {
        o.cls = cls;
        o.handle = handleFor(key, cls);
        o.attributes[CKA_CLASS] = ulongValue(cls);
        o.attributes[CKA_TOKEN] = boolValue(true);
        o.attributes[CKA_PRIVATE] = boolValue(false);
        o.attributes[CKA_MODIFIABLE] = boolValue(false);
        o.attributes[CKA_COPYABLE] = boolValue(false);
        o.attributes[CKA_DESTROYABLE] = boolValue(false);
        o.attributes[CKA_LABEL] = textValue(label);
        o.attributes[CKA_ID] = id;
        o.attributes[CKA_SUBJECT] = subject;
    };

    auto cert = std::make_shared<Object>();
    common(*cert, CKO_CERTIFICATE);
    Bytes value = entry.der;
    Bytes check(SHA_DIGEST_LENGTH);
    SHA1(value.data(), value.size(), check.data());
    check.resize(3);
    cert->attributes[CKA_CERTIFICATE_TYPE] = ulongValue(CKC_X_509);
    // Nothing here is ever a trust anchor: programs keep their own trust.
    cert->attributes[CKA_TRUSTED] = boolValue(false);
    cert->attributes[CKA_CERTIFICATE_CATEGORY] = ulongValue(personal ? 1 : 2);
    cert->attributes[CKA_CHECK_VALUE] = check;
    cert->attributes[CKA_START_DATE] = dateValue(X509_get0_notBefore(x509.get()));
    cert->attributes[CKA_END_DATE] = dateValue(X509_get0_notAfter(x509.get()));
    cert->attributes[CKA_ISSUER] = der<X509_NAME, i2d_X509_NAME>(X509_get_issuer_name(x509.get()));
    cert->attributes[CKA_SERIAL_NUMBER] = der<ASN1_INTEGER, i2d_ASN1_INTEGER>(X509_get0_serialNumber(x509.get()));
    cert->attributes[CKA_URL] = {};
    cert->attributes[CKA_HASH_OF_SUBJECT_PUBLIC_KEY] = {};
    cert->attributes[CKA_HASH_OF_ISSUER_PUBLIC_KEY] = {};
    cert->attributes[CKA_JAVA_MIDP_SECURITY_DOMAIN] = ulongValue(0);
    cert->attributes[CKA_NAME_HASH_ALGORITHM] = ulongValue(CKM_SHA_1);
    cert->attributes[CKA_VALUE] = std::move(value);
    out.objects.push_back(cert);
    if (!personal) return out;

    BIGNUM* n = nullptr;
    BIGNUM* e = nullptr;
    EVP_PKEY_get_bn_param(pub, "n", &n);
    EVP_PKEY_get_bn_param(pub, "e", &e);
    BnPtr modulus(n), exponent(e);
    if (!modulus || !exponent) return out;
    const Bytes spki = der<X509_PUBKEY, i2d_X509_PUBKEY>(X509_get_X509_PUBKEY(x509.get()));
    const CK_ULONG modulusBits = static_cast<CK_ULONG>(BN_num_bits(modulus.get()));

    // What the certificate lets its key do; a signature container's key never decrypts.
    uint32_t usage = X509_get_key_usage(x509.get());
    bool sign = usage & (KU_DIGITAL_SIGNATURE | KU_NON_REPUDIATION);
    bool decrypt = (usage & (KU_KEY_ENCIPHERMENT | KU_DATA_ENCIPHERMENT)) && entry.keySpec == AT_KEYEXCHANGE;

    auto keyCommon = [&](Object& o, CK_OBJECT_CLASS cls) {
        common(o, cls);
        o.attributes[CKA_KEY_TYPE] = ulongValue(CKK_RSA);
        o.attributes[CKA_START_DATE] = {};
        o.attributes[CKA_END_DATE] = {};
        o.attributes[CKA_DERIVE] = boolValue(false);
        o.attributes[CKA_LOCAL] = boolValue(false);
        o.attributes[CKA_KEY_GEN_MECHANISM] = ulongValue(CK_UNAVAILABLE_INFORMATION);
        o.attributes[CKA_ALLOWED_MECHANISMS] = mechanismList(sign, decrypt);
        o.attributes[CKA_MODULUS] = bignum(modulus.get());
        o.attributes[CKA_MODULUS_BITS] = ulongValue(modulusBits);
        o.attributes[CKA_PUBLIC_EXPONENT] = bignum(exponent.get());
        o.attributes[CKA_PUBLIC_KEY_INFO] = spki;
    };

    auto publicKey = std::make_shared<Object>();
    keyCommon(*publicKey, CKO_PUBLIC_KEY);
    publicKey->attributes[CKA_ENCRYPT] = boolValue(decrypt);
    publicKey->attributes[CKA_VERIFY] = boolValue(sign);
    publicKey->attributes[CKA_VERIFY_RECOVER] = boolValue(false);
    publicKey->attributes[CKA_WRAP] = boolValue(false);
    publicKey->attributes[CKA_TRUSTED] = boolValue(false);
    out.objects.push_back(publicKey);

    auto privateKey = std::make_shared<Object>();
    keyCommon(*privateKey, CKO_PRIVATE_KEY);
    privateKey->attributes[CKA_SENSITIVE] = boolValue(true);
    privateKey->attributes[CKA_EXTRACTABLE] = boolValue(false);
    privateKey->attributes[CKA_ALWAYS_SENSITIVE] = boolValue(false);
    privateKey->attributes[CKA_NEVER_EXTRACTABLE] = boolValue(false);
    privateKey->attributes[CKA_DECRYPT] = boolValue(decrypt);
    privateKey->attributes[CKA_SIGN] = boolValue(sign);
    privateKey->attributes[CKA_SIGN_RECOVER] = boolValue(false);
    privateKey->attributes[CKA_UNWRAP] = boolValue(false);
    privateKey->attributes[CKA_WRAP_WITH_TRUSTED] = boolValue(false);
    privateKey->attributes[CKA_ALWAYS_AUTHENTICATE] = boolValue(false);
    privateKey->container = entry.container;
    privateKey->machineKeyset = entry.machineKeyset;
    privateKey->keySpec = entry.keySpec;
    privateKey->publicKey.reset(X509_get_pubkey(x509.get()), EVP_PKEY_free);
    privateKey->canSign = sign;
    privateKey->canDecrypt = decrypt;
    privateKey->modulusBits = modulusBits;
    out.objects.push_back(privateKey);
    return out;
}

void PersonalToken::refresh() {
    // Read outside the lock: a slow database must not hold up operations of other sessions.
    std::vector<RegisteredCertificate> personal = readRegisteredCertificates("MY");
    std::vector<RegisteredCertificate> authorities = readRegisteredCertificates("CA");
    std::lock_guard guard(lock_);
    std::map<std::string, Entry> next;
    auto take = [&](const RegisteredCertificate& entry, const char* store, bool isPersonal) {
        const std::string key = std::string(store) + "/" + entry.thumbprint;
        auto old = entries_.find(key);
        if (old != entries_.end() && old->second.blob == entry.blob)
            next.emplace(key, std::move(old->second));
        else
            next.emplace(key, build(entry, key, isPersonal));
    };
    for (const auto& entry : personal)
        if (entry.diskKey) take(entry, "MY", true);
    for (const auto& entry : authorities) take(entry, "CA", false);
    entries_ = std::move(next);
    objects_.clear();
    for (const auto& [key, entry] : entries_)
        for (const auto& object : entry.objects) objects_.emplace(object->handle, object);
    // A key whose certificate went, or changed, is not kept in memory.
    std::lock_guard keysGuard(keysLock_);
    std::erase_if(keys_, [&](const auto& cached) {
        auto it = objects_.find(cached.first);
        return it == objects_.end() || it->second != cached.second.first;
    });
}

void PersonalToken::clear() {
    std::lock_guard guard(lock_);
    entries_.clear();
    objects_.clear();
    std::lock_guard keysGuard(keysLock_);
    keys_.clear();
}

std::vector<CK_OBJECT_HANDLE> PersonalToken::find(const CK_ATTRIBUTE* templ, CK_ULONG count) {
    std::lock_guard guard(lock_);
    std::vector<CK_OBJECT_HANDLE> out;
    for (const auto& [handle, object] : objects_)
        if (object->matches(templ, count)) out.push_back(handle);
    return out;
}

std::shared_ptr<const Object> PersonalToken::object(CK_OBJECT_HANDLE handle) {
    std::lock_guard guard(lock_);
    auto it = objects_.find(handle);
    return it == objects_.end() ? nullptr : it->second;
}

std::shared_ptr<EVP_PKEY> PersonalToken::privateKey(const Object& key, CK_RV& rv) {
    {
        std::lock_guard guard(keysLock_);
        auto it = keys_.find(key.handle);
        if (it != keys_.end() && it->second.first.get() == &key) return it->second.second;
    }
    // The container may have gone with its certificate since the object was found.
    std::shared_ptr<EVP_PKEY> loaded = loadContainerKey(key.container, key.machineKeyset, key.keySpec);
    if (!loaded || !key.publicKey || EVP_PKEY_eq(loaded.get(), key.publicKey.get()) != 1) {
        rv = CKR_KEY_HANDLE_INVALID;
        return nullptr;
    }
    auto owner = object(key.handle);
    std::lock_guard guard(keysLock_);
    if (owner.get() == &key) keys_[key.handle] = {owner, loaded};
    return loaded;
}

}  // namespace orvik::p11
