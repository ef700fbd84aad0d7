#include "TokenProvider.h"

#include <openssl/core_names.h>
#include <openssl/sha.h>

#include <cstring>

#include <winbase.h>

#include "../crypt/KeyBlob.h"
#include "TokenKey.h"
#include "TokenLibrary.h"

namespace orvik::token {

namespace {

const CK_OBJECT_CLASS kPrivateKey = CKO_PRIVATE_KEY;
const CK_OBJECT_CLASS kPublicKey = CKO_PUBLIC_KEY;
const CK_OBJECT_CLASS kCertificate = CKO_CERTIFICATE;
const CK_KEY_TYPE kRsa = CKK_RSA;
const CK_CERTIFICATE_TYPE kX509 = CKC_X_509;

Attribute classOf(const CK_OBJECT_CLASS& kind) { return Attribute::of(CKA_CLASS, &kind, sizeof kind); }

std::vector<CK_OBJECT_HANDLE> objects(TokenSession& s, const CK_OBJECT_CLASS& kind, const std::vector<BYTE>& id) {
    return s.find({classOf(kind), Attribute::bytes(CKA_ID, id)});
}

std::shared_ptr<EVP_PKEY> share(ossl::PKeyPtr key) { return {key.release(), EVP_PKEY_free}; }

// The public numbers of a pair: its public key object, else what the private key object shows,
// else its certificate.
bool publicNumbers(TokenSession& s, const std::vector<BYTE>& id, CK_OBJECT_HANDLE privateKey, std::vector<BYTE>& n,
                   std::vector<BYTE>& e) {
    auto fromObject = [&](CK_OBJECT_HANDLE o) {
        auto modulus = s.attribute(o, CKA_MODULUS);
        auto exponent = s.attribute(o, CKA_PUBLIC_EXPONENT);
        if (!modulus || !exponent || modulus->empty() || exponent->empty()) return false;
        n = *modulus;
        e = *exponent;
        return true;
    };
    for (CK_OBJECT_HANDLE o : objects(s, kPublicKey, id))
        if (fromObject(o)) return true;
    if (privateKey != CK_INVALID_HANDLE && fromObject(privateKey)) return true;
    for (CK_OBJECT_HANDLE o : objects(s, kCertificate, id)) {
        auto value = s.attribute(o, CKA_VALUE);
        if (!value) continue;
        const unsigned char* p = value->data();
        ossl::X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(value->size())));
        EVP_PKEY* pub = x ? X509_get0_pubkey(x.get()) : nullptr;
        const SecretBytes modulus = rsaNumber(pub, OSSL_PKEY_PARAM_RSA_N),
                          exponent = rsaNumber(pub, OSSL_PKEY_PARAM_RSA_E);
        n.assign(modulus.begin(), modulus.end());
        e.assign(exponent.begin(), exponent.end());
        if (!n.empty() && !e.empty()) return true;
    }
    return false;
}

// The first key pair on the token, for a caller that names no container.
std::vector<BYTE> firstPair(TokenSession& s) {
    for (CK_OBJECT_HANDLE o : s.find({classOf(kPrivateKey)}))
        if (auto id = s.attribute(o, CKA_ID); id && !id->empty()) return *id;
    return {};
}

std::string labelOf(X509* cert) {
    X509_NAME* subject = X509_get_subject_name(cert);
    int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    ASN1_STRING* cn = at >= 0 ? X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at)) : nullptr;
    unsigned char* utf8 = nullptr;
    int n = cn ? ASN1_STRING_to_UTF8(&utf8, cn) : -1;
    std::string out = n > 0 ? std::string(reinterpret_cast<char*>(utf8), static_cast<size_t>(n)) : std::string();
    OPENSSL_free(utf8);
    return out;
}

template <class F>
std::vector<BYTE> derOf(F encode) {
    unsigned char* p = nullptr;
    int n = encode(&p);
    std::vector<BYTE> out = n > 0 ? std::vector<BYTE>(p, p + n) : std::vector<BYTE>();
    OPENSSL_free(p);
    return out;
}

// Removes the objects of a kind and id other than the one just written.
void dropOlder(TokenSession& s, const CK_OBJECT_CLASS& kind, const std::vector<BYTE>& id, CK_OBJECT_HANDLE keep) {
    for (CK_OBJECT_HANDLE o : objects(s, kind, id))
        if (o != keep) s.destroy(o);
}

}  // namespace

std::string containerOf(const std::vector<BYTE>& id) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (BYTE b : id) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

bool idOf(const std::string& container, std::vector<BYTE>& id) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    id.clear();
    if (container.empty() || container.size() % 2) return false;
    for (size_t i = 0; i < container.size(); i += 2) {
        int hi = digit(container[i]), lo = digit(container[i + 1]);
        if (hi < 0 || lo < 0) return false;
        id.push_back(static_cast<BYTE>(hi << 4 | lo));
    }
    return true;
}

BOOL acquire(HCRYPTPROV* prov, const char* container, const std::string& label, DWORD flags) {
    std::shared_ptr<TokenSession> session = TokenLibrary::instance().session(label);
    if (!session) return FALSE;
    auto p = std::make_unique<crypt::Provider>();
    p->name = label;
    p->machine = flags & CRYPT_MACHINE_KEYSET;
    p->token = session;
    if ((flags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT) {
        // Session keys only: nothing of the token is touched.
        p->ephemeral = true;
        *prov = reinterpret_cast<HCRYPTPROV>(p.release());
        return TRUE;
    }
    if (flags & CRYPT_DELETEKEYSET) return deleteContainer(label, container, flags);
    const bool silent = flags & CRYPT_SILENT;
    if (!session->login(silent)) return FALSE;
    std::vector<BYTE> id;
    const bool named = container && *container;
    if (flags & CRYPT_NEWKEYSET) {
        // The container takes its real name, the key's id, when a key is imported into it.
        if (named && idOf(container, id) && !objects(*session, kPrivateKey, id).empty()) {
            SetLastError(static_cast<DWORD>(NTE_EXISTS));
            return FALSE;
        }
        p->container = named ? container : "";
        *prov = reinterpret_cast<HCRYPTPROV>(p.release());
        return TRUE;
    }
    if (named ? !idOf(container, id) : (id = firstPair(*session)).empty()) {
        SetLastError(static_cast<DWORD>(NTE_BAD_KEYSET));
        return FALSE;
    }
    auto keys = objects(*session, kPrivateKey, id);
    std::vector<BYTE> n, e;
    if (keys.empty() || !publicNumbers(*session, id, keys.front(), n, e)) {
        SetLastError(static_cast<DWORD>(session->alive() ? NTE_BAD_KEYSET : SCARD_E_NO_SMARTCARD));
        return FALSE;
    }
    auto key = tokenPrivateKey(session, id, n, e);
    if (!key) {
        SetLastError(static_cast<DWORD>(NTE_BAD_KEY));
        return FALSE;
    }
    p->container = containerOf(id);
    p->keys[AT_KEYEXCHANGE] = {share(std::move(key)), 0};
    *prov = reinterpret_cast<HCRYPTPROV>(p.release());
    return TRUE;
}

BOOL deleteContainer(const std::string& label, const char* container, DWORD flags) {
    std::shared_ptr<TokenSession> session = TokenLibrary::instance().session(label);
    if (!session) return FALSE;
    std::vector<BYTE> id;
    if (!container || !idOf(container, id)) {
        SetLastError(static_cast<DWORD>(NTE_BAD_KEYSET));
        return FALSE;
    }
    if (!session->login(flags & CRYPT_SILENT)) return FALSE;
    auto found = session->find({Attribute::bytes(CKA_ID, id)});
    if (found.empty()) {
        SetLastError(static_cast<DWORD>(NTE_BAD_KEYSET));
        return FALSE;
    }
    for (CK_OBJECT_HANDLE o : found)
        if (!session->destroy(o)) return FALSE;
    return TRUE;
}

bool importPrivateKey(crypt::Provider& p, const BYTE* blob, size_t size, DWORD* keySpec, ALG_ID* alg) {
    auto pkey = crypt::privateKeyFromBlob(blob, size, alg);
    if (!pkey) {
        SetLastError(static_cast<DWORD>(NTE_BAD_DATA));
        return false;
    }
    TokenSession& s = *p.token;
    if (!s.login(false)) return false;
    const char* names[] = {OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,
                           OSSL_PKEY_PARAM_RSA_D,         OSSL_PKEY_PARAM_RSA_FACTOR1,
                           OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
                           OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    const CK_ATTRIBUTE_TYPE types[] = {CKA_MODULUS, CKA_PUBLIC_EXPONENT, CKA_PRIVATE_EXPONENT, CKA_PRIME_1,
                                       CKA_PRIME_2, CKA_EXPONENT_1,      CKA_EXPONENT_2,       CKA_COEFFICIENT};
    Template secret;
    for (size_t i = 0; i < 8; ++i) secret.push_back({types[i], rsaNumber(pkey.get(), names[i])});
    pkey.reset();
    for (const auto& a : secret)
        if (a.value.empty()) {
            SetLastError(static_cast<DWORD>(NTE_BAD_DATA));
            return false;
        }
    const std::vector<BYTE> n(secret[0].value.begin(), secret[0].value.end());
    const std::vector<BYTE> e(secret[1].value.begin(), secret[1].value.end());
    // The id most tools give a pair: the SHA-1 of its modulus.
    std::vector<BYTE> id(SHA_DIGEST_LENGTH);
    SHA1(n.data(), n.size(), id.data());

    Template priv{classOf(kPrivateKey),
                  Attribute::of(CKA_KEY_TYPE, &kRsa, sizeof kRsa),
                  Attribute::flag(CKA_TOKEN, true),
                  Attribute::flag(CKA_PRIVATE, true),
                  Attribute::flag(CKA_SENSITIVE, true),
                  Attribute::flag(CKA_EXTRACTABLE, false),
                  Attribute::flag(CKA_DECRYPT, true),
                  Attribute::flag(CKA_SIGN, true),
                  Attribute::flag(CKA_UNWRAP, true),
                  Attribute::bytes(CKA_ID, id)};
    priv.insert(priv.end(), secret.begin(), secret.end());
    Template pub{classOf(kPublicKey),
                 Attribute::of(CKA_KEY_TYPE, &kRsa, sizeof kRsa),
                 Attribute::flag(CKA_TOKEN, true),
                 Attribute::flag(CKA_PRIVATE, false),
                 Attribute::flag(CKA_ENCRYPT, true),
                 Attribute::flag(CKA_VERIFY, true),
                 Attribute::flag(CKA_WRAP, true),
                 Attribute::bytes(CKA_ID, id),
                 Attribute::bytes(CKA_MODULUS, n),
                 Attribute::bytes(CKA_PUBLIC_EXPONENT, e)};
    std::vector<CK_OBJECT_HANDLE> created;
    // The same key imported again: its pair is there already and stays as it is.
    if (objects(s, kPrivateKey, id).empty()) {
        CK_OBJECT_HANDLE privateObject = CK_INVALID_HANDLE, publicObject = CK_INVALID_HANDLE;
        if (!s.create(priv, &privateObject)) return false;
        if (!s.create(pub, &publicObject)) {
            DWORD error = GetLastError();
            s.destroy(privateObject);  // never half a pair
            SetLastError(error);
            return false;
        }
        dropOlder(s, kPublicKey, id, publicObject);
        created = {privateObject, publicObject};
    }
    auto key = tokenPrivateKey(p.token, id, n, e);
    if (!key) {
        for (CK_OBJECT_HANDLE o : created) s.destroy(o);
        SetLastError(static_cast<DWORD>(NTE_BAD_KEY));
        return false;
    }
    *tokenKeyOf(key.get())->created = std::move(created);
    *keySpec = *alg == CALG_RSA_SIGN ? AT_SIGNATURE : AT_KEYEXCHANGE;
    p.container = containerOf(id);
    p.keys[*keySpec] = {share(std::move(key)), 0};
    return true;
}

bool storeCertificate(const EVP_PKEY* key, const BYTE* der, size_t size) {
    const TokenKeyRef* ref = tokenKeyOf(key);
    if (!ref) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    const unsigned char* p = der;
    ossl::X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(size)));
    EVP_PKEY* certKey = x ? X509_get0_pubkey(x.get()) : nullptr;
    if (!certKey || EVP_PKEY_eq(certKey, key) != 1) {
        SetLastError(static_cast<DWORD>(x ? NTE_BAD_KEY : CRYPT_E_ASN1_BADTAG));
        return false;
    }
    TokenSession& s = *ref->session;
    const std::string label = labelOf(x.get());
    X509* cert = x.get();
    Template t{
        classOf(kCertificate),
        Attribute::of(CKA_CERTIFICATE_TYPE, &kX509, sizeof kX509),
        Attribute::flag(CKA_TOKEN, true),
        Attribute::flag(CKA_PRIVATE, false),
        Attribute::bytes(CKA_ID, ref->id),
        Attribute::text(CKA_LABEL, label),
        Attribute::bytes(CKA_SUBJECT,
                         derOf([&](unsigned char** o) { return i2d_X509_NAME(X509_get_subject_name(cert), o); })),
        Attribute::bytes(CKA_ISSUER,
                         derOf([&](unsigned char** o) { return i2d_X509_NAME(X509_get_issuer_name(cert), o); })),
        Attribute::bytes(CKA_SERIAL_NUMBER,
                         derOf([&](unsigned char** o) { return i2d_ASN1_INTEGER(X509_get_serialNumber(cert), o); })),
        Attribute::of(CKA_VALUE, der, size)};
    CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
    if (!s.create(t, &object)) {
        // A pair the import just wrote goes with its certificate; one that was there stays.
        DWORD error = GetLastError();
        for (CK_OBJECT_HANDLE o : *ref->created) s.destroy(o);
        ref->created->clear();
        SetLastError(error);
        return false;
    }
    ref->created->clear();
    // One certificate per pair: a renewed one replaces the one before, once it stands.
    dropOlder(s, kCertificate, ref->id, object);
    // The key objects carry the certificate's name too, as token tools show them.
    for (const CK_OBJECT_CLASS* kind : {&kPrivateKey, &kPublicKey})
        for (CK_OBJECT_HANDLE o : objects(s, *kind, ref->id)) s.setAttribute(o, Attribute::text(CKA_LABEL, label));
    return true;
}

bool readCertificate(const EVP_PKEY* key, std::vector<BYTE>& der) {
    const TokenKeyRef* ref = tokenKeyOf(key);
    if (!ref) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    for (CK_OBJECT_HANDLE o : objects(*ref->session, kCertificate, ref->id))
        if (auto value = ref->session->attribute(o, CKA_VALUE)) {
            der = std::move(*value);
            return true;
        }
    SetLastError(static_cast<DWORD>(SCARD_E_NO_SUCH_CERTIFICATE));
    return false;
}

std::vector<std::string> providerNames() {
    std::vector<std::string> names;
    for (const Slot& slot : TokenLibrary::instance().tokens()) names.push_back(slot.facts.label);
    return names;
}

}  // namespace orvik::token
