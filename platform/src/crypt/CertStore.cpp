#include "CertStore.h"

#include <strings.h>

#include <algorithm>
#include <cstring>

#include <orvik/PendingKeyContainer.h>
#include <winbase.h>
#include <winreg.h>

#include "../registry/RegistryInternal.h"
#include "StoreEntry.h"
#include "../token/TokenStore.h"

namespace orvik::crypt {

namespace {

std::string upperHex(const std::array<BYTE, 20>& sha1) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (BYTE b : sha1) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

// Writes one entry of a system store: the key named by the thumbprint, value "Blob".
class RegistryEntrySink : public ElementSink {
public:
    RegistryEntrySink(HKEY hive, std::string storeKey) : hive_(hive), storeKey_(std::move(storeKey)) {}

    bool write(const std::vector<BYTE>& serialized, const std::array<BYTE, 20>& sha1) override {
        HKEY key = nullptr;
        std::string path = storeKey_ + "\\" + upperHex(sha1);
        LONG rc = RegCreateKeyExA(hive_, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        if (rc == ERROR_SUCCESS) {
            rc = RegSetValueExA(key, "Blob", 0, REG_BINARY, serialized.data(), static_cast<DWORD>(serialized.size()));
            RegCloseKey(key);
        }
        if (rc != ERROR_SUCCESS) SetLastError(static_cast<DWORD>(rc));
        return rc == ERROR_SUCCESS;
    }

    bool erase(const std::array<BYTE, 20>& sha1) override {
        std::string path = storeKey_ + "\\" + upperHex(sha1);
        LONG rc = RegDeleteKeyA(hive_, path.c_str());
        if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;  // already gone
        if (rc != ERROR_SUCCESS) SetLastError(static_cast<DWORD>(rc));
        return rc == ERROR_SUCCESS;
    }

private:
    HKEY hive_;
    std::string storeKey_;
};

// Reads every entry of one hive's store key, in key order. Entries whose Blob is missing or
// damaged are passed over: one bad entry must not hide the others.
void loadHive(StoreCore& core, HKEY hive, const std::string& storeKey) {
    std::vector<std::pair<std::string, std::vector<BYTE>>> entries;
    if (registry::readSubKeyValues(hive, storeKey, "Blob", entries) != ERROR_SUCCESS) return;
    auto sink = makeRegistrySink(hive, storeKey);
    for (auto& [name, blob] : entries) {
        Properties props;
        std::vector<BYTE> der;
        if (blob.empty() || !decodeElement(blob.data(), blob.size(), props, der)) continue;
        auto data = parseCertificate(der.data(), der.size());
        if (!data) continue;
        bool duplicate = std::any_of(core.elements.begin(), core.elements.end(),
                                     [&](CertCtx* c) { return c->data->sha1 == data->sha1; });
        if (duplicate) continue;
        CertCtx* ctx = newContext(std::move(data));
        ctx->props = std::move(props);
        // An entry is written back where it came from, the machine hive included.
        ctx->sink = sink;
        core.elements.push_back(ctx);
    }
}

}  // namespace

std::shared_ptr<ElementSink> makeRegistrySink(HKEY hive, const std::string& storeKey) {
    return std::make_shared<RegistryEntrySink>(hive, storeKey);
}

namespace {

HCERTSTORE newHandle(std::shared_ptr<StoreCore> core) {
    auto* handle = new StoreHandle;
    handle->core = std::move(core);
    return handle;
}

void attach(CertCtx* ctx, const std::shared_ptr<StoreCore>& core, HCERTSTORE handle) {
    ctx->store = core;
    ctx->pub.hCertStore = handle;
}

}  // namespace

StoreCore::~StoreCore() {
    for (CertCtx* ctx : elements) release(ctx);
}

StoreHandle* storeOf(HCERTSTORE store) {
    auto* handle = static_cast<StoreHandle*>(store);
    if (!handle || handle->magic != StoreHandle::kMagic) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    return handle;
}

std::string systemStoreKey(const std::string& name) {
    return "Software\\Microsoft\\SystemCertificates\\" + name + "\\Certificates";
}

}  // namespace orvik::crypt

using orvik::crypt::CertCtx;
using orvik::crypt::StoreCore;
using orvik::crypt::StoreHandle;

namespace {

HCERTSTORE openSystem(const char* name, DWORD flags) {
    DWORD location = flags & CERT_SYSTEM_STORE_LOCATION_MASK;
    if (!name || !*name) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    auto core = std::make_shared<StoreCore>();
    core->systemName = name;
    core->readOnly = flags & CERT_STORE_READONLY_FLAG;
    if (location == CERT_SYSTEM_STORE_CURRENT_USER) {
        core->hives.push_back(HKEY_CURRENT_USER);
        // The user's view of the trust stores includes the machine's entries.
        if (!strcasecmp(name, "Root") || !strcasecmp(name, "CA") || !strcasecmp(name, "Disallowed"))
            core->hives.push_back(HKEY_LOCAL_MACHINE);
    } else if (location == CERT_SYSTEM_STORE_LOCAL_MACHINE) {
        core->hives.push_back(HKEY_LOCAL_MACHINE);
    } else {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    const std::string storeKey = orvik::crypt::systemStoreKey(name);
    // A store is opened by creating its key, as Windows does for a system store it does not know.
    HKEY key = nullptr;
    LONG rc = (flags & CERT_STORE_OPEN_EXISTING_FLAG) || core->readOnly
                  ? RegOpenKeyExA(core->hives.front(), storeKey.c_str(), 0, KEY_READ, &key)
                  : RegCreateKeyExA(core->hives.front(), storeKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                    nullptr);
    if (rc != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(rc));
        return nullptr;
    }
    RegCloseKey(key);
    // What an import that died left: a key container no certificate names.
    if (location == CERT_SYSTEM_STORE_CURRENT_USER && !strcasecmp(name, "MY")) orvik::sweepPendingKeyContainers();
    for (size_t i = 0; i < core->hives.size(); ++i) orvik::crypt::loadHive(*core, core->hives[i], storeKey);
    if (location == CERT_SYSTEM_STORE_CURRENT_USER && !strcasecmp(name, "MY"))
        orvik::token::appendTokenCertificates(*core);
    HCERTSTORE handle = orvik::crypt::newHandle(core);
    for (CertCtx* ctx : core->elements) orvik::crypt::attach(ctx, core, handle);
    SetLastError(ERROR_SUCCESS);
    return handle;
}

// Where an equal certificate (same SHA-1) stands in the store, or -1.
ptrdiff_t findEqual(const StoreCore& core, const CertCtx& ctx) {
    for (size_t i = 0; i < core.elements.size(); ++i)
        if (core.elements[i]->data->sha1 == ctx.data->sha1) return static_cast<ptrdiff_t>(i);
    return -1;
}

}  // namespace

extern "C" {

HCERTSTORE WINAPI CertOpenStore(LPCSTR provider, DWORD, HCRYPTPROV_LEGACY, DWORD flags, const void* para) {
    if (provider == CERT_STORE_PROV_MEMORY) return orvik::crypt::newHandle(std::make_shared<StoreCore>());
    if (provider == CERT_STORE_PROV_SYSTEM_A) return openSystem(static_cast<const char*>(para), flags);
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
}

HCERTSTORE WINAPI CertOpenSystemStoreA(HCRYPTPROV_LEGACY, LPCSTR name) {
    return openSystem(name, CERT_SYSTEM_STORE_CURRENT_USER);
}

HCERTSTORE WINAPI CertDuplicateStore(HCERTSTORE store) {
    StoreHandle* handle = orvik::crypt::storeOf(store);
    if (!handle) return nullptr;
    handle->refs.fetch_add(1);
    return store;
}

BOOL WINAPI CertCloseStore(HCERTSTORE store, DWORD) {
    if (!store) return TRUE;
    StoreHandle* handle = orvik::crypt::storeOf(store);
    if (!handle) return FALSE;
    if (handle->refs.fetch_sub(1) == 1) {
        // Contexts still held by callers stay valid: they keep their own references.
        std::shared_ptr<StoreCore> core = std::move(handle->core);
        handle->magic = 0;
        delete handle;
        if (core) {
            std::lock_guard guard(core->lock);
            for (CertCtx* ctx : core->elements) ctx->pub.hCertStore = nullptr;
        }
    }
    return TRUE;
}

PCCERT_CONTEXT WINAPI CertEnumCertificatesInStore(HCERTSTORE store, PCCERT_CONTEXT previous) {
    StoreHandle* handle = orvik::crypt::storeOf(store);
    CertCtx* prev = previous ? orvik::crypt::contextOf(previous) : nullptr;
    if (!handle || (previous && !prev)) return nullptr;
    CertCtx* next = nullptr;
    {
        std::lock_guard guard(handle->core->lock);
        auto& list = handle->core->elements;
        size_t at = 0;
        if (prev) {
            if (prev->indexHint < list.size() && list[prev->indexHint] == prev) {
                at = prev->indexHint + 1;
            } else {
                auto it = std::find(list.begin(), list.end(), prev);
                // A context deleted during the enumeration: the next one has moved into its place.
                at = it == list.end() ? std::min(prev->indexHint, list.size())
                                      : static_cast<size_t>(it - list.begin()) + 1;
            }
        }
        if (at < list.size()) {
            next = orvik::crypt::addRef(list[at]);
            next->indexHint = at;
        }
    }
    // The previous context is always freed, as the documentation promises.
    if (prev) orvik::crypt::release(prev);
    if (!next) {
        SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
        return nullptr;
    }
    return &next->pub;
}

PCCERT_CONTEXT WINAPI CertFindCertificateInStore(HCERTSTORE store, DWORD, DWORD, DWORD findType, const void* findPara,
                                                 PCCERT_CONTEXT previous) {
    if (findType != CERT_FIND_ANY && findType != CERT_FIND_SHA1_HASH && findType != CERT_FIND_EXISTING &&
        findType != CERT_FIND_SUBJECT_CERT) {
        if (previous) CertFreeCertificateContext(previous);
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    PCCERT_CONTEXT ctx = previous;
    while ((ctx = CertEnumCertificatesInStore(store, ctx))) {
        switch (findType) {
        case CERT_FIND_ANY: return ctx;
        case CERT_FIND_SHA1_HASH: {
            const auto* hash = static_cast<const CRYPT_HASH_BLOB*>(findPara);
            auto* c = orvik::crypt::contextOf(ctx);
            if (hash && hash->cbData == 20 && !std::memcmp(hash->pbData, c->data->sha1.data(), 20)) return ctx;
            break;
        }
        case CERT_FIND_EXISTING: {
            auto* wanted = orvik::crypt::contextOf(static_cast<PCCERT_CONTEXT>(findPara));
            if (wanted && wanted->data->sha1 == orvik::crypt::contextOf(ctx)->data->sha1) return ctx;
            break;
        }
        case CERT_FIND_SUBJECT_CERT: {
            if (CertCompareCertificate(X509_ASN_ENCODING, ctx->pCertInfo,
                                       static_cast<PCERT_INFO>(const_cast<void*>(findPara))))
                return ctx;
            break;
        }
        }
    }
    SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
    return nullptr;
}

BOOL WINAPI CertAddCertificateContextToStore(HCERTSTORE store, PCCERT_CONTEXT context, DWORD disposition,
                                             PCCERT_CONTEXT* added) {
    if (added) *added = nullptr;
    StoreHandle* handle = orvik::crypt::storeOf(store);
    CertCtx* source = orvik::crypt::contextOf(context);
    if (!handle || !source) return FALSE;
    if (disposition < CERT_STORE_ADD_NEW || disposition > CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    std::shared_ptr<StoreCore> core = handle->core;
    if (core->readOnly) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    orvik::crypt::Properties props;
    {
        std::lock_guard guard(source->lock);
        props = source->props;
    }
    std::lock_guard guard(core->lock);
    ptrdiff_t existing = findEqual(*core, *source);
    // In a registry store one key holds one entry per thumbprint: "always" can only replace there.
    if (disposition == CERT_STORE_ADD_ALWAYS && !core->systemName.empty())
        disposition = CERT_STORE_ADD_REPLACE_EXISTING;
    if (existing >= 0) {
        CertCtx* old = core->elements[static_cast<size_t>(existing)];
        switch (disposition) {
        case CERT_STORE_ADD_NEW: SetLastError(static_cast<DWORD>(CRYPT_E_EXISTS)); return FALSE;
        case CERT_STORE_ADD_USE_EXISTING: {
            // The existing element is used; properties it lacks are taken from the new one.
            orvik::crypt::Properties before;
            {
                std::lock_guard g(old->lock);
                before = old->props;
                for (auto& [id, bytes] : props) old->props.emplace(id, bytes);
            }
            if (!orvik::crypt::persist(*old)) {
                std::lock_guard g(old->lock);
                old->props = std::move(before);
                return FALSE;
            }
            if (added) *added = &orvik::crypt::addRef(old)->pub;
            return TRUE;
        }
        case CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES: {
            std::lock_guard g(old->lock);
            for (auto& [id, bytes] : old->props) props.emplace(id, bytes);
            break;
        }
        default: break;
        }
    }
    CertCtx* fresh = orvik::crypt::newContext(source->data);
    fresh->props = std::move(props);
    if (!core->systemName.empty()) {
        fresh->sink = existing >= 0 ? core->elements[static_cast<size_t>(existing)]->sink : nullptr;
        // New entries of a system store go to the hive it is written in (the user's).
        if (!fresh->sink)
            fresh->sink =
                orvik::crypt::makeRegistrySink(core->hives.front(), orvik::crypt::systemStoreKey(core->systemName));
    }
    if (!orvik::crypt::persist(*fresh)) {
        DWORD error = GetLastError();
        orvik::crypt::release(fresh);
        SetLastError(error);
        return FALSE;
    }
    orvik::crypt::attach(fresh, core, store);
    if (existing >= 0 && disposition != CERT_STORE_ADD_ALWAYS) {
        CertCtx* old = core->elements[static_cast<size_t>(existing)];
        // The replaced element no longer belongs to the store or its registry entry.
        old->store.reset();
        old->sink.reset();
        core->elements[static_cast<size_t>(existing)] = fresh;
        orvik::crypt::release(old);
    } else {
        core->elements.push_back(fresh);
    }
    if (added) *added = &orvik::crypt::addRef(fresh)->pub;
    return TRUE;
}

BOOL WINAPI CertAddEncodedCertificateToStore(HCERTSTORE store, DWORD encoding, const BYTE* encoded, DWORD size,
                                             DWORD disposition, PCCERT_CONTEXT* added) {
    if (added) *added = nullptr;
    PCCERT_CONTEXT parsed = CertCreateCertificateContext(encoding, encoded, size);
    if (!parsed) return FALSE;
    BOOL ok = CertAddCertificateContextToStore(store, parsed, disposition, added);
    DWORD error = GetLastError();
    CertFreeCertificateContext(parsed);
    SetLastError(error);
    return ok;
}

BOOL WINAPI CertAddCertificateLinkToStore(HCERTSTORE store, PCCERT_CONTEXT context, DWORD disposition,
                                          PCCERT_CONTEXT* added) {
    if (added) *added = nullptr;
    StoreHandle* handle = orvik::crypt::storeOf(store);
    CertCtx* source = orvik::crypt::contextOf(context);
    if (!handle || !source) return FALSE;
    std::shared_ptr<StoreCore> core = handle->core;
    // A link shares the original's properties; a registry store cannot hold one.
    if (!core->systemName.empty()) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    std::lock_guard guard(core->lock);
    ptrdiff_t existing = findEqual(*core, *source);
    if (existing >= 0) {
        if (disposition == CERT_STORE_ADD_NEW) {
            SetLastError(static_cast<DWORD>(CRYPT_E_EXISTS));
            return FALSE;
        }
        if (disposition == CERT_STORE_ADD_USE_EXISTING) {
            if (added) *added = &orvik::crypt::addRef(core->elements[static_cast<size_t>(existing)])->pub;
            return TRUE;
        }
    }
    orvik::crypt::addRef(source);
    if (existing >= 0 && disposition != CERT_STORE_ADD_ALWAYS) {
        orvik::crypt::release(core->elements[static_cast<size_t>(existing)]);
        core->elements[static_cast<size_t>(existing)] = source;
    } else {
        core->elements.push_back(source);
    }
    if (added) *added = &orvik::crypt::addRef(source)->pub;
    return TRUE;
}

BOOL WINAPI CertDeleteCertificateFromStore(PCCERT_CONTEXT context) {
    CertCtx* ctx = orvik::crypt::contextOf(context);
    if (!ctx) return FALSE;
    // The call always frees its argument, success or not.
    struct Releaser {
        CertCtx* c;
        ~Releaser() { orvik::crypt::release(c); }
    } owned{ctx};
    std::shared_ptr<StoreCore> core = ctx->store.lock();
    if (ctx->sink && !ctx->sink->erase(ctx->data->sha1)) return FALSE;
    if (core) {
        std::lock_guard guard(core->lock);
        auto it = std::find(core->elements.begin(), core->elements.end(), ctx);
        if (it != core->elements.end()) {
            ctx->indexHint = static_cast<size_t>(it - core->elements.begin());
            core->elements.erase(it);
            orvik::crypt::release(ctx);
        }
    } else if (!ctx->sink) {
        SetLastError(static_cast<DWORD>(CRYPT_E_NOT_FOUND));
        return FALSE;
    }
    ctx->store.reset();
    ctx->sink.reset();
    ctx->pub.hCertStore = nullptr;
    return TRUE;
}

BOOL WINAPI CertSerializeCertificateStoreElement(PCCERT_CONTEXT context, DWORD, BYTE* out, DWORD* size) {
    CertCtx* ctx = orvik::crypt::contextOf(context);
    if (!ctx || !size) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    std::vector<BYTE> bytes = orvik::crypt::serializeElement(*ctx);
    DWORD need = static_cast<DWORD>(bytes.size());
    if (!out) {
        *size = need;
        return TRUE;
    }
    if (*size < need) {
        *size = need;
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    std::memcpy(out, bytes.data(), need);
    *size = need;
    return TRUE;
}

BOOL WINAPI CertAddSerializedElementToStore(HCERTSTORE store, const BYTE* element, DWORD size, DWORD disposition, DWORD,
                                            DWORD, DWORD* contextType, const void** context) {
    if (context) *context = nullptr;
    orvik::crypt::Properties props;
    std::vector<BYTE> der;
    if (!element || !orvik::crypt::decodeElement(element, size, props, der)) {
        SetLastError(static_cast<DWORD>(CRYPT_E_FILE_ERROR));
        return FALSE;
    }
    auto data = orvik::crypt::parseCertificate(der.data(), der.size());
    if (!data) return FALSE;
    CertCtx* temp = orvik::crypt::newContext(std::move(data));
    temp->props = std::move(props);
    PCCERT_CONTEXT added = nullptr;
    BOOL ok = CertAddCertificateContextToStore(store, &temp->pub, disposition, context ? &added : nullptr);
    DWORD error = GetLastError();
    orvik::crypt::release(temp);
    if (ok && contextType) *contextType = 1;  // CERT_STORE_CERTIFICATE_CONTEXT
    if (context) *context = added;
    SetLastError(error);
    return ok;
}

}  // extern "C"
