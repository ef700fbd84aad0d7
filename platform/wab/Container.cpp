#include "Container.h"

#include <vector>

#include "ContentsTable.h"
#include "EntryId.h"
#include "MailUser.h"
#include "PropertyCodec.h"
#include "WabMemory.h"

namespace orvik::wab {

namespace {

constexpr ULONG kOpenFlags = MAPI_MODIFY | MAPI_BEST_ACCESS | MAPI_DEFERRED_ERRORS;

PropertyMap containerProps() {
    PropertyMap out;
    std::string self = EntryId::bytes(EntryId::containerKey());
    out[PROP_ID(PR_ENTRYID)] = {PR_ENTRYID, self};
    out[PROP_ID(PR_RECORD_KEY)] = {PR_RECORD_KEY, self};
    out[PROP_ID(PR_DEF_CREATE_MAILUSER)] = {PR_DEF_CREATE_MAILUSER, EntryId::bytes(EntryId::mailUserTemplateKey())};
    out[PROP_ID(PR_OBJECT_TYPE)] = {PR_OBJECT_TYPE, std::string("\x04\0\0\0", 4)};
    out[PROP_ID(PR_DISPLAY_NAME)] = {PR_DISPLAY_NAME, "联系人"};
    return out;
}

}  // namespace

HRESULT Container::openEntry(const std::shared_ptr<EntryStore>& store, ULONG entryIdSize, LPENTRYID entryId,
                             ULONG flags, ULONG* objectType, LPUNKNOWN* object) {
    if (!objectType || !object) return MAPI_E_INVALID_PARAMETER;
    *object = nullptr;
    *objectType = 0;
    if (flags & ~kOpenFlags) return MAPI_E_UNKNOWN_FLAGS;
    EntryKey key{};
    // No identifier names the root, which here is the personal address book itself.
    if (entryIdSize == 0 && !entryId) {
        key = EntryId::containerKey();
    } else if (!EntryId::parse(entryIdSize, entryId, key)) {
        return MAPI_E_INVALID_ENTRYID;
    }
    if (key == EntryId::containerKey()) {
        *object = new Container(store);
        *objectType = MAPI_ABCONT;
        return S_OK;
    }
    ULONG type = 0;
    PropertyMap props;
    if (HRESULT hr = store->load(key, type, props); FAILED(hr)) return hr;
    bool writable = (flags & (MAPI_MODIFY | MAPI_BEST_ACCESS)) != 0;
    *object = new MailUser(store, key, type, std::move(props), writable);
    *objectType = type;
    return S_OK;
}

HRESULT WINAPI Container::GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* values) {
    return guarded([&]() -> HRESULT {
        if (!count || !values) return MAPI_E_INVALID_PARAMETER;
        *count = 0;
        *values = nullptr;
        if (flags & MAPI_UNICODE) return MAPI_E_BAD_CHARWIDTH;
        if (flags) return MAPI_E_UNKNOWN_FLAGS;
        return PropertyCodec::getProps(containerProps(), tags, count, values);
    });
}

HRESULT WINAPI Container::GetContentsTable(ULONG flags, LPMAPITABLE* table) {
    return guarded([&]() -> HRESULT {
        if (!table) return MAPI_E_INVALID_PARAMETER;
        *table = nullptr;
        if (flags & ~(TBL_NOWAIT | MAPI_DEFERRED_ERRORS)) return MAPI_E_UNKNOWN_FLAGS;
        *table = new ContentsTable(store_);
        return S_OK;
    });
}

HRESULT WINAPI Container::OpenEntry(ULONG entryIdSize, LPENTRYID entryId, LPCIID, ULONG flags, ULONG* objectType,
                                    LPUNKNOWN* object) {
    return guarded([&]() { return openEntry(store_, entryIdSize, entryId, flags, objectType, object); });
}

HRESULT WINAPI Container::CreateEntry(ULONG entryIdSize, LPENTRYID entryId, ULONG flags, LPMAPIPROP* entry) {
    return guarded([&]() -> HRESULT {
        if (!entry) return MAPI_E_INVALID_PARAMETER;
        *entry = nullptr;
        if (flags & ~(CREATE_CHECK_DUP_STRICT | CREATE_CHECK_DUP_LOOSE | CREATE_REPLACE)) return MAPI_E_UNKNOWN_FLAGS;
        // Replacing a duplicate is a choice the system never makes.
        if (flags & CREATE_REPLACE) return MAPI_E_NO_SUPPORT;
        EntryKey key{};
        if (!EntryId::parse(entryIdSize, entryId, key) || key != EntryId::mailUserTemplateKey())
            return MAPI_E_INVALID_ENTRYID;
        *entry = new MailUser(store_, flags);
        return S_OK;
    });
}

HRESULT WINAPI Container::DeleteEntries(LPENTRYLIST entries, ULONG flags) {
    return guarded([&]() -> HRESULT {
        if (!entries || (entries->cValues && !entries->lpbin)) return MAPI_E_INVALID_PARAMETER;
        if (flags) return MAPI_E_UNKNOWN_FLAGS;
        std::vector<EntryKey> keys;
        for (ULONG i = 0; i < entries->cValues; ++i) {
            EntryKey key{};
            if (!EntryId::parse(entries->lpbin[i].cb, reinterpret_cast<LPENTRYID>(entries->lpbin[i].lpb), key))
                return MAPI_E_INVALID_ENTRYID;
            keys.push_back(key);
        }
        size_t removed = 0;
        if (HRESULT hr = store_->remove(keys, removed); FAILED(hr)) return hr;
        // Some entries were already gone: the SDK's answer is a partial completion.
        return removed == keys.size() ? S_OK : MAPI_W_PARTIAL_COMPLETION;
    });
}

}  // namespace orvik::wab
