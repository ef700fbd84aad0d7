#include "Provider.h"

#include <pwd.h>
#include <strings.h>
#include <unistd.h>

#include <cstring>

#include <orvik/CodePage.h>
#include <winbase.h>

#include "CertContext.h"
#include "KeyBlob.h"
#include "KeyContainer.h"

namespace orvik::crypt {

namespace {

const char* const kProviders[] = {MS_DEF_PROV_A, MS_ENHANCED_PROV_A, MS_STRONG_PROV_A};

bool knownProvider(const char* name) {
    for (const char* p : kProviders)
        if (!strcasecmp(name, p)) return true;
    return false;
}

// The default container is named after the user, as on Windows.
std::string defaultContainer() {
    if (const char* user = getenv("USER"); user && *user) return user;
    if (passwd* pw = getpwuid(getuid()); pw && pw->pw_name) return pw->pw_name;
    return "default";
}

std::shared_ptr<EVP_PKEY> share(ossl::PKeyPtr key) { return std::shared_ptr<EVP_PKEY>(key.release(), EVP_PKEY_free); }

bool loadKeys(Provider& prov) {
    std::map<DWORD, std::vector<BYTE>> blobs;
    if (!KeyContainer::load(prov.container, prov.machine, blobs)) return false;
    for (auto& [keySpec, blob] : blobs) {
        auto key = privateKeyFromBlob(blob.data(), blob.size());
        cleanse(blob);
        if (!key) {
            SetLastError(static_cast<DWORD>(NTE_BAD_KEYSET));
            return false;
        }
        prov.keys[keySpec] = share(std::move(key));
    }
    return true;
}

bool saveKeys(Provider& prov) {
    std::map<DWORD, std::vector<BYTE>> blobs;
    for (auto& [keySpec, key] : prov.keys) {
        blobs[keySpec] = privateKeyBlob(key.get(), keySpec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX);
        if (blobs[keySpec].empty()) {
            SetLastError(static_cast<DWORD>(NTE_BAD_KEY));
            return false;
        }
    }
    bool ok = KeyContainer::save(prov.container, prov.machine, blobs);
    for (auto& [keySpec, blob] : blobs) cleanse(blob);
    return ok;
}

bool sameKey(EVP_PKEY* a, EVP_PKEY* b) { return EVP_PKEY_eq(a, b) == 1; }

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

HCRYPTKEY newKeyHandle(std::shared_ptr<EVP_PKEY> pkey, ALG_ID alg, DWORD keySpec) {
    auto* k = new Key;
    k->pkey = std::move(pkey);
    k->alg = alg;
    k->keySpec = keySpec;
    return reinterpret_cast<HCRYPTKEY>(k);
}

std::shared_ptr<EVP_PKEY> certificatePrivateKey(PCCERT_CONTEXT cert, DWORD* keySpec) {
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size)) {
        SetLastError(static_cast<DWORD>(CRYPT_E_NO_KEY_PROPERTY));
        return nullptr;
    }
    std::vector<BYTE> buf(size);
    if (!CertGetCertificateContextProperty(cert, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &size)) return nullptr;
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buf.data());
    std::string container = info->pwszContainerName ? utf16ToUtf8(info->pwszContainerName) : std::string();
    std::string provider = info->pwszProvName ? utf16ToUtf8(info->pwszProvName) : std::string();
    HCRYPTPROV prov = 0;
    if (!CryptAcquireContextA(&prov, container.c_str(), provider.empty() ? nullptr : provider.c_str(),
                              info->dwProvType ? info->dwProvType : PROV_RSA_FULL,
                              info->dwFlags & CRYPT_MACHINE_KEYSET))
        return nullptr;
    Provider* p = providerOf(prov);
    std::shared_ptr<EVP_PKEY> key;
    {
        std::lock_guard guard(p->lock);
        auto it = p->keys.find(info->dwKeySpec ? info->dwKeySpec : AT_KEYEXCHANGE);
        if (it != p->keys.end()) key = it->second;
    }
    CryptReleaseContext(prov, 0);
    if (!key) {
        SetLastError(static_cast<DWORD>(NTE_NO_KEY));
        return nullptr;
    }
    // The container's key must be the certificate's.
    auto* ctx = contextOf(cert);
    ossl::PKeyPtr pub(X509_get_pubkey(ctx->data->x509.get()));
    if (!pub || !sameKey(pub.get(), key.get())) {
        SetLastError(static_cast<DWORD>(0x80090016L));  // NTE_BAD_KEYSET: no matching key in the container
        return nullptr;
    }
    if (keySpec) *keySpec = info->dwKeySpec ? info->dwKeySpec : AT_KEYEXCHANGE;
    return key;
}

}  // namespace orvik::crypt

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
    if (provider && *provider && !orvik::crypt::knownProvider(provider)) {
        SetLastError(static_cast<DWORD>(NTE_KEYSET_NOT_DEF));
        return FALSE;
    }
    const DWORD known =
        CRYPT_VERIFYCONTEXT | CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET | CRYPT_SILENT;
    if (flags & ~known) {
        SetLastError(static_cast<DWORD>(NTE_BAD_FLAGS));
        return FALSE;
    }
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
    if (flags & CRYPT_DELETEKEYSET) {
        return orvik::crypt::KeyContainer::remove(p->container, p->machine) ? TRUE : FALSE;
    }
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

BOOL WINAPI CryptImportKey(HCRYPTPROV prov, const BYTE* data, DWORD size, HCRYPTKEY pubKey, DWORD flags,
                           HCRYPTKEY* key) {
    Provider* p = orvik::crypt::providerOf(prov);
    if (!p) return FALSE;
    if (!data || !key || size < 8) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *key = 0;
    ALG_ID alg = 0;
    if (data[0] == PRIVATEKEYBLOB) {
        auto pkey = orvik::crypt::privateKeyFromBlob(data, size, &alg);
        if (!pkey) {
            SetLastError(static_cast<DWORD>(NTE_BAD_DATA));
            return FALSE;
        }
        DWORD keySpec = alg == CALG_RSA_SIGN ? AT_SIGNATURE : AT_KEYEXCHANGE;
        auto shared = orvik::crypt::share(std::move(pkey));
        std::lock_guard guard(p->lock);
        auto before = p->keys;
        p->keys[keySpec] = shared;
        if (!p->ephemeral && !orvik::crypt::saveKeys(*p)) {
            p->keys = std::move(before);
            return FALSE;
        }
        *key = orvik::crypt::newKeyHandle(shared, alg, keySpec);
        return TRUE;
    }
    if (data[0] == PUBLICKEYBLOB) {
        auto pkey = orvik::crypt::publicKeyFromBlob(data, size, &alg);
        if (!pkey) {
            SetLastError(static_cast<DWORD>(NTE_BAD_DATA));
            return FALSE;
        }
        *key = orvik::crypt::newKeyHandle(orvik::crypt::share(std::move(pkey)), alg, 0);
        return TRUE;
    }
    SetLastError(static_cast<DWORD>(NTE_BAD_TYPE));
    return FALSE;
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
    *key = orvik::crypt::newKeyHandle(it->second, keySpec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX, keySpec);
    return TRUE;
}

BOOL WINAPI CryptDestroyKey(HCRYPTKEY key) {
    auto* k = orvik::crypt::keyOf(key);
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
    DWORD found = 0;
    if (!orvik::crypt::certificatePrivateKey(context, &found)) return FALSE;
    DWORD size = 0;
    CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, nullptr, &size);
    std::vector<BYTE> buf(size);
    CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, buf.data(), &size);
    const auto* info = reinterpret_cast<const CRYPT_KEY_PROV_INFO*>(buf.data());
    std::string container = info->pwszContainerName ? orvik::utf16ToUtf8(info->pwszContainerName) : std::string();
    std::string provider = info->pwszProvName ? orvik::utf16ToUtf8(info->pwszProvName) : std::string();
    if (!CryptAcquireContextA(prov, container.c_str(), provider.empty() ? nullptr : provider.c_str(), PROV_RSA_FULL,
                              info->dwFlags & CRYPT_MACHINE_KEYSET))
        return FALSE;
    if (keySpec) *keySpec = found;
    if (callerFree) *callerFree = TRUE;
    return TRUE;
}

}  // extern "C"
