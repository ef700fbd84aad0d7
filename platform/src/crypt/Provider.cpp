#include "Provider.h"

#include <pwd.h>
#include <strings.h>
#include <unistd.h>

#include <cstring>

#include <orvik/CodePage.h>
#include <winbase.h>

#include "CertContext.h"
#include "SizeRule.h"
#include "KeyBlob.h"
#include "KeyContainer.h"
#include "../token/TokenProvider.h"

namespace orvik::crypt {

namespace {

const char* const kProviders[] = {MS_DEF_PROV_A, MS_ENHANCED_PROV_A, MS_STRONG_PROV_A};

}  // namespace

bool knownProvider(const char* name) {
    for (const char* p : kProviders)
        if (!strcasecmp(name, p)) return true;
    return false;
}

namespace {

// The default container is named after the user, as on Windows.
std::string defaultContainer() {
    if (const char* user = getenv("USER"); user && *user) return user;
    if (passwd* pw = getpwuid(getuid()); pw && pw->pw_name) return pw->pw_name;
    return "default";
}

std::shared_ptr<EVP_PKEY> share(ossl::PKeyPtr key) { return std::shared_ptr<EVP_PKEY>(key.release(), EVP_PKEY_free); }

ALG_ID algOf(DWORD keySpec) { return keySpec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX; }

bool loadKeys(Provider& prov) {
    std::map<DWORD, StoredKey> stored;
    if (!KeyContainer::load(prov.container, prov.machine, stored)) return false;
    bool ok = true;
    for (auto& [keySpec, entry] : stored) {
        auto key = privateKeyFromBlob(entry.blob.data(), entry.blob.size());
        if (!key) ok = false;
        if (ok) prov.keys[keySpec] = {share(std::move(key)), entry.flags};
    }
    if (!ok) SetLastError(static_cast<DWORD>(NTE_BAD_KEYSET));
    return ok;
}

bool saveKeys(Provider& prov) {
    std::map<DWORD, StoredKey> stored;
    bool ok = true;
    for (auto& [keySpec, pair] : prov.keys) {
        stored[keySpec] = {pair.flags, privateKeyBlob(pair.pkey.get(), algOf(keySpec))};
        if (stored[keySpec].blob.empty()) ok = false;
    }
    if (!ok) {
        SetLastError(static_cast<DWORD>(NTE_BAD_KEY));
    } else {
        ok = KeyContainer::save(prov.container, prov.machine, stored);
    }
    return ok;
}

HCRYPTKEY newKeyHandle(std::shared_ptr<EVP_PKEY> pkey, ALG_ID alg, DWORD keySpec, DWORD permissions) {
    auto* k = new Key;
    k->pkey = std::move(pkey);
    k->alg = alg;
    k->keySpec = keySpec;
    k->permissions = permissions;
    return reinterpret_cast<HCRYPTKEY>(k);
}

// Reads the certificate's key-provider property into its container, provider and flags.
bool keyProvInfo(PCCERT_CONTEXT cert, std::string& container, std::string& provider, DWORD& provType, DWORD& flags,
                 DWORD& keySpec) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
        SetLastError(static_cast<DWORD>(CRYPT_E_NO_KEY_PROPERTY));
        return false;
    }
    std::vector<BYTE> buf(size);
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &size)) return false;
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buf.data());
    container = info->pwszContainerName ? utf16ToUtf8(info->pwszContainerName) : std::string();
    provider = info->pwszProvName ? utf16ToUtf8(info->pwszProvName) : std::string();
    provType = info->dwProvType ? info->dwProvType : PROV_RSA_FULL;
    flags = info->dwFlags & CRYPT_MACHINE_KEYSET;
    keySpec = info->dwKeySpec ? info->dwKeySpec : AT_KEYEXCHANGE;
    return true;
}

}  // namespace

Provider* providerOf(HCRYPTPROV prov) {
    auto* p = reinterpret_cast<Provider*>(prov);
    if (!p || p->magic != Provider::kMagic) {
        SetLastError(static_cast<DWORD>(NTE_BAD_UID));
        return nullptr;
    }
    return p;
}

Key* keyOf(HCRYPTKEY key) {
    auto* k = reinterpret_cast<Key*>(key);
    if (!k || k->magic != Key::kMagic) {
        SetLastError(static_cast<DWORD>(NTE_BAD_KEY));
        return nullptr;
    }
    return k;
}

bool isTokenError(DWORD error) {
    switch (static_cast<HRESULT>(error)) {
    case SCARD_E_NO_SMARTCARD:
    case SCARD_W_WRONG_CHV:
    case SCARD_W_CHV_BLOCKED:
    case SCARD_W_CANCELLED_BY_USER:
    case NTE_PERM:
    case NTE_NO_KEY:
    case NTE_BAD_KEY: return true;
    default: return false;
    }
}

DWORD permissionsOf(DWORD flags) {
    DWORD permissions = CRYPT_ENCRYPT | CRYPT_DECRYPT | CRYPT_READ | CRYPT_WRITE | CRYPT_MAC;
    if (flags & CRYPT_EXPORTABLE) permissions |= CRYPT_EXPORT;
    return permissions;
}

std::shared_ptr<EVP_PKEY> certificatePrivateKey(PCCERT_CONTEXT cert, DWORD* keySpec, DWORD* permissions) {
    std::string container, provider;
    DWORD provType = 0, flags = 0, kind = 0;
    if (!keyProvInfo(cert, container, provider, provType, flags, kind)) return nullptr;
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, container.c_str(), provider.empty() ? nullptr : provider.c_str(), provType, flags))
        return nullptr;
    Provider* p = providerOf(prov);
    KeyPair pair;
    {
        std::lock_guard guard(p->lock);
        auto it = p->keys.find(kind);
        if (it != p->keys.end()) pair = it->second;
    }
    CryptReleaseContext(prov, 0);
    if (!pair.pkey) {
        SetLastError(static_cast<DWORD>(NTE_NO_KEY));
        return nullptr;
    }
    // The container's key must be the certificate's.
    auto* ctx = contextOf(cert);
    EVP_PKEY* pub = ctx ? X509_get0_pubkey(ctx->data->x509()) : nullptr;
    if (!pub || EVP_PKEY_eq(pub, pair.pkey.get()) != 1) {
        SetLastError(static_cast<DWORD>(NTE_BAD_KEYSET));
        return nullptr;
    }
    if (keySpec) *keySpec = kind;
    if (permissions) *permissions = permissionsOf(pair.flags);
    return pair.pkey;
}

}  // namespace orvik::crypt

using orvik::crypt::copyOut;
using orvik::crypt::Key;
using orvik::crypt::Provider;

extern "C" {

BOOL WINAPI CryptAcquireContextA(HCRYPTPROV* prov, LPCSTR container, LPCSTR provider, DWORD provType, DWORD flags) {
    if (!prov) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *prov = 0;
    if (provType != PROV_RSA_FULL) {
        SetLastError(static_cast<DWORD>(NTE_BAD_PROV_TYPE));
        return FALSE;
    }
    const DWORD known =
        CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET | CRYPT_SILENT;
    if (flags & ~known) {
        SetLastError(static_cast<DWORD>(NTE_BAD_FLAGS));
        return FALSE;
    }
    // Any other name is a token's label: absent, it is a card not inserted.
    if (provider && *provider && !orvik::crypt::knownProvider(provider))
        return orvik::token::acquire(prov, container, provider, flags);
    auto p = std::make_unique<Provider>();
    p->name = provider && *provider ? provider : MS_DEF_PROV_A;
    p->machine = flags & CRYPT_MACHINE_KEYSET;
    if ((flags & CRYPT_VERIFYCONTEXT) == CRYPT_VERIFYCONTEXT) {
        p->ephemeral = true;
        *prov = reinterpret_cast<HCRYPTPROV>(p.release());
        return TRUE;
    }
    p->container = container && *container ? container : orvik::crypt::defaultContainer();
    bool exists = orvik::crypt::KeyContainer::exists(p->container, p->machine);
    if (flags & CRYPT_DELETEKEYSET) return orvik::crypt::KeyContainer::remove(p->container, p->machine) ? TRUE : FALSE;
    if (flags & CRYPT_NEWKEYSET) {
        if (exists) {
            SetLastError(static_cast<DWORD>(NTE_EXISTS));
            return FALSE;
        }
        if (!orvik::crypt::saveKeys(*p)) return FALSE;
    } else if (!exists || !orvik::crypt::loadKeys(*p)) {
        SetLastError(static_cast<DWORD>(NTE_BAD_KEYSET));
        return FALSE;
    }
    *prov = reinterpret_cast<HCRYPTPROV>(p.release());
    return TRUE;
}

BOOL WINAPI CryptReleaseContext(HCRYPTPROV prov, DWORD flags) {
    Provider* p = orvik::crypt::providerOf(prov);
    if (!p) return FALSE;
    if (flags) {
        SetLastError(static_cast<DWORD>(NTE_BAD_FLAGS));
        return FALSE;
    }
    p->magic = 0;
    delete p;
    return TRUE;
}

BOOL WINAPI CryptGetProvParam(HCRYPTPROV prov, DWORD param, BYTE* data, DWORD* size, DWORD flags) {
    Provider* p = orvik::crypt::providerOf(prov);
    if (!p) return FALSE;
    if (flags) {
        SetLastError(static_cast<DWORD>(NTE_BAD_FLAGS));
        return FALSE;
    }
    std::string text;
    switch (param) {
    case PP_NAME: text = p->name; break;
    case PP_CONTAINER: text = p->container; break;
    case PP_IMPTYPE: {
        DWORD value = p->token ? CRYPT_IMPL_HARDWARE : CRYPT_IMPL_SOFTWARE;
        return copyOut(&value, sizeof value, data, size);
    }
    default: SetLastError(static_cast<DWORD>(NTE_BAD_TYPE)); return FALSE;
    }
    return copyOut(text.c_str(), text.size() + 1, data, size);
}

BOOL WINAPI CryptEnumProvidersA(DWORD index, DWORD* reserved, DWORD flags, DWORD* provType, LPSTR name, DWORD* size) {
    if (reserved || flags) {
        SetLastError(static_cast<DWORD>(reserved ? ERROR_INVALID_PARAMETER : NTE_BAD_FLAGS));
        return FALSE;
    }
    constexpr DWORD software = sizeof orvik::crypt::kProviders / sizeof orvik::crypt::kProviders[0];
    std::string found;
    if (index < software) {
        found = orvik::crypt::kProviders[index];
    } else {
        auto tokens = orvik::token::providerNames();
        if (index - software >= tokens.size()) {
            SetLastError(ERROR_NO_MORE_ITEMS);
            return FALSE;
        }
        found = tokens[index - software];
    }
    if (provType) *provType = PROV_RSA_FULL;
    return copyOut(found.c_str(), found.size() + 1, name, size);
}

BOOL WINAPI CryptImportKey(HCRYPTPROV prov, const BYTE* data, DWORD size, HCRYPTKEY pubKey, DWORD flags,
                           HCRYPTKEY* key) {
    Provider* p = orvik::crypt::providerOf(prov);
    if (!p) return FALSE;
    if (!data || !key || size < 8) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (data[1] != CUR_BLOB_VERSION) {
        SetLastError(static_cast<DWORD>(NTE_BAD_VER));
        return FALSE;
    }
    *key = 0;
    ALG_ID alg = 0;
    if (data[0] == PRIVATEKEYBLOB && p->token && !p->ephemeral) {
        std::lock_guard guard(p->lock);
        DWORD keySpec = 0;
        if (!orvik::token::importPrivateKey(*p, data, size, &keySpec, &alg)) return FALSE;
        const auto& pair = p->keys[keySpec];
        *key = orvik::crypt::newKeyHandle(pair.pkey, alg, keySpec, orvik::crypt::permissionsOf(pair.flags));
        return TRUE;
    }
    if (data[0] == PRIVATEKEYBLOB) {
        auto pkey = orvik::crypt::privateKeyFromBlob(data, size, &alg);
        if (!pkey) {
            SetLastError(static_cast<DWORD>(NTE_BAD_DATA));
            return FALSE;
        }
        DWORD keySpec = alg == CALG_RSA_SIGN ? AT_SIGNATURE : AT_KEYEXCHANGE;
        orvik::crypt::KeyPair pair{orvik::crypt::share(std::move(pkey)), flags & CRYPT_EXPORTABLE};
        std::lock_guard guard(p->lock);
        auto before = p->keys;
        p->keys[keySpec] = pair;
        if (!p->ephemeral && !orvik::crypt::saveKeys(*p)) {
            p->keys = std::move(before);
            return FALSE;
        }
        *key = orvik::crypt::newKeyHandle(pair.pkey, alg, keySpec, orvik::crypt::permissionsOf(pair.flags));
        return TRUE;
    }
    if (data[0] == PUBLICKEYBLOB) {
        auto pkey = orvik::crypt::publicKeyFromBlob(data, size, &alg);
        if (!pkey) {
            SetLastError(static_cast<DWORD>(NTE_BAD_DATA));
            return FALSE;
        }
        *key = orvik::crypt::newKeyHandle(orvik::crypt::share(std::move(pkey)), alg, 0,
                                          orvik::crypt::permissionsOf(CRYPT_EXPORTABLE));
        return TRUE;
    }
    if (data[0] == SIMPLEBLOB) {
        Key* exchange = orvik::crypt::keyOf(pubKey);
        if (!exchange) return FALSE;
        return orvik::crypt::importSimpleBlob(data, size, *exchange, flags, key) ? TRUE : FALSE;
    }
    SetLastError(static_cast<DWORD>(NTE_BAD_TYPE));
    return FALSE;
}

BOOL WINAPI CryptExportKey(HCRYPTKEY key, HCRYPTKEY expKey, DWORD blobType, DWORD flags, BYTE* data, DWORD* size) {
    Key* k = orvik::crypt::keyOf(key);
    if (!k) return FALSE;
    if (flags) {
        SetLastError(static_cast<DWORD>(NTE_BAD_FLAGS));
        return FALSE;
    }
    // Whichever kind it is, the blob is wiped when it goes; the caller owns the copy in `data`.
    orvik::SecretBytes blob;
    auto take = [&blob](const std::vector<BYTE>& bytes) { blob.assign(bytes.begin(), bytes.end()); };
    if (blobType == SIMPLEBLOB) {
        Key* exchange = orvik::crypt::keyOf(expKey);
        if (!exchange) return FALSE;
        if (!k->symmetric() || !exchange->pkey) {
            SetLastError(static_cast<DWORD>(NTE_BAD_KEY));
            return FALSE;
        }
        if (!(k->permissions & CRYPT_EXPORT)) {
            SetLastError(static_cast<DWORD>(NTE_BAD_KEY_STATE));
            return FALSE;
        }
        take(orvik::crypt::simpleBlob(*k, *exchange));
    } else if (expKey) {
        // Wrapping an RSA key under another key is not asked for by the system.
        SetLastError(static_cast<DWORD>(NTE_BAD_FLAGS));
        return FALSE;
    } else if (k->symmetric()) {
        SetLastError(static_cast<DWORD>(NTE_BAD_TYPE));
        return FALSE;
    } else if (blobType == PUBLICKEYBLOB) {
        take(orvik::crypt::publicKeyBlob(k->pkey.get(), k->alg));
    } else if (blobType == PRIVATEKEYBLOB) {
        if (!k->keySpec) {
            SetLastError(static_cast<DWORD>(NTE_BAD_KEY));
            return FALSE;
        }
        if (!(k->permissions & CRYPT_EXPORT)) {
            SetLastError(static_cast<DWORD>(NTE_BAD_KEY_STATE));
            return FALSE;
        }
        blob = orvik::crypt::privateKeyBlob(k->pkey.get(), k->alg);
    } else {
        SetLastError(static_cast<DWORD>(NTE_BAD_TYPE));
        return FALSE;
    }
    if (blob.empty()) {
        SetLastError(static_cast<DWORD>(NTE_BAD_KEY));
        return FALSE;
    }
    return copyOut(blob.data(), blob.size(), data, size);
}

BOOL WINAPI CryptGetUserKey(HCRYPTPROV prov, DWORD keySpec, HCRYPTKEY* key) {
    Provider* p = orvik::crypt::providerOf(prov);
    if (!p) return FALSE;
    if (!key) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard guard(p->lock);
    auto it = p->keys.find(keySpec);
    if (it == p->keys.end()) {
        SetLastError(static_cast<DWORD>(NTE_NO_KEY));
        return FALSE;
    }
    *key = orvik::crypt::newKeyHandle(it->second.pkey, orvik::crypt::algOf(keySpec), keySpec,
                                      orvik::crypt::permissionsOf(it->second.flags));
    return TRUE;
}

BOOL WINAPI CryptGetKeyParam(HCRYPTKEY key, DWORD param, BYTE* data, DWORD* size, DWORD flags) {
    Key* k = orvik::crypt::keyOf(key);
    if (!k) return FALSE;
    if (flags) {
        SetLastError(static_cast<DWORD>(NTE_BAD_FLAGS));
        return FALSE;
    }
    DWORD value = 0;
    switch (param) {
    case KP_PERMISSIONS: value = k->permissions; break;
    case KP_ALGID: value = k->alg; break;
    case KP_KEYLEN: value = k->symmetric() ? 192 : static_cast<DWORD>(EVP_PKEY_get_bits(k->pkey.get())); break;
    case KP_BLOCKLEN: value = k->symmetric() ? 64 : static_cast<DWORD>(EVP_PKEY_get_bits(k->pkey.get())); break;
    case KP_CERTIFICATE: {
        // Only a token keeps a certificate with its key.
        std::vector<BYTE> der;
        if (!orvik::token::readCertificate(k->pkey.get(), der)) return FALSE;
        return copyOut(der, data, size);
    }
    default: SetLastError(static_cast<DWORD>(NTE_BAD_TYPE)); return FALSE;
    }
    std::vector<BYTE> bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    return copyOut(bytes, data, size);
}

BOOL WINAPI CryptSetKeyParam(HCRYPTKEY key, DWORD param, const BYTE* data, DWORD flags) {
    Key* k = orvik::crypt::keyOf(key);
    if (!k) return FALSE;
    if (!data || flags) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (param == KP_CERTIFICATE) {
        // The certificate's length is in its own DER header.
        const BYTE* p = data;
        orvik::ossl::X509Ptr x(d2i_X509(nullptr, &p, 1L << 20));
        if (!x) {
            SetLastError(static_cast<DWORD>(CRYPT_E_ASN1_BADTAG));
            return FALSE;
        }
        return orvik::token::storeCertificate(k->pkey.get(), data, static_cast<size_t>(p - data)) ? TRUE : FALSE;
    }
    if (param == KP_PERMISSIONS) {
        DWORD value = 0;
        std::memcpy(&value, data, 4);
        // Permissions can be taken away from a handle, never added.
        if (value & ~k->permissions) {
            SetLastError(static_cast<DWORD>(NTE_PERM));
            return FALSE;
        }
        k->permissions = value;
        return TRUE;
    }
    SetLastError(static_cast<DWORD>(NTE_BAD_TYPE));
    return FALSE;
}

BOOL WINAPI CryptDestroyKey(HCRYPTKEY key) {
    Key* k = orvik::crypt::keyOf(key);
    if (!k) return FALSE;
    k->magic = 0;
    delete k;
    return TRUE;
}

BOOL WINAPI CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT context, DWORD, void*, HCRYPTPROV* prov, DWORD* keySpec,
                                              BOOL* callerFree) {
    if (!context || !prov) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    // The key must be there and be the certificate's before a handle is handed out.
    DWORD found = 0;
    if (!orvik::crypt::certificatePrivateKey(context, &found)) return FALSE;
    std::string container, provider;
    DWORD provType = 0, flags = 0, kind = 0;
    if (!orvik::crypt::keyProvInfo(context, container, provider, provType, flags, kind)) return FALSE;
    if (!CryptAcquireContextA(prov, container.c_str(), provider.empty() ? nullptr : provider.c_str(), provType, flags))
        return FALSE;
    if (keySpec) *keySpec = found;
    if (callerFree) *callerFree = TRUE;
    return TRUE;
}

}  // extern "C"
