#include "MailUser.h"

#include <cstring>
#include <vector>

#include "EntryId.h"
#include "PropertyCodec.h"
#include "WabMemory.h"

namespace orvik::wab {

namespace {

// Problems of a SetProps or DeleteProps call, handed over when the caller asked for them.
HRESULT giveProblems(const std::vector<SPropProblem>& problems, LPSPropProblemArray* out) {
    if (!out) return S_OK;
    *out = nullptr;
    if (problems.empty()) return S_OK;
    void* block = nullptr;
    if (FAILED(WabMemory::AllocateBuffer(static_cast<ULONG>(CbNewSPropProblemArray(problems.size())), &block)))
        return MAPI_E_NOT_ENOUGH_MEMORY;
    auto* array = static_cast<LPSPropProblemArray>(block);
    array->cProblem = static_cast<ULONG>(problems.size());
    std::memcpy(array->aProblem, problems.data(), problems.size() * sizeof(SPropProblem));
    *out = array;
    return S_OK;
}

StoredProperty longValue(ULONG tag, ULONG value) {
    std::string bytes;
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    return {tag, bytes};
}

}  // namespace

MailUser::MailUser(std::shared_ptr<EntryStore> store, const EntryKey& key, ULONG type, PropertyMap props, bool writable)
    : store_(std::move(store)), key_(key), type_(type), props_(std::move(props)), writable_(writable), isNew_(false) {}

MailUser::MailUser(std::shared_ptr<EntryStore> store, ULONG createFlags)
    : store_(std::move(store)),
      key_(EntryStore::newKey()),
      type_(MAPI_MAILUSER),
      writable_(true),
      isNew_(true),
      createFlags_(createFlags) {}

bool MailUser::isComputed(ULONG tag) {
    ULONG id = PROP_ID(tag);
    return id == PROP_ID(PR_ENTRYID) || id == PROP_ID(PR_RECORD_KEY) || id == PROP_ID(PR_OBJECT_TYPE) ||
           id == PROP_ID(PR_DISPLAY_TYPE);
}

PropertyMap MailUser::computed() const {
    PropertyMap out;
    std::string id = EntryId::bytes(key_);
    out[PROP_ID(PR_ENTRYID)] = {PR_ENTRYID, id};
    out[PROP_ID(PR_RECORD_KEY)] = {PR_RECORD_KEY, id};
    out[PROP_ID(PR_OBJECT_TYPE)] = longValue(PR_OBJECT_TYPE, type_);
    out[PROP_ID(PR_DISPLAY_TYPE)] = longValue(PR_DISPLAY_TYPE, DT_MAILUSER);
    return out;
}

HRESULT WINAPI MailUser::GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* values) {
    return guarded([&]() -> HRESULT {
        if (!count || !values) return MAPI_E_INVALID_PARAMETER;
        *count = 0;
        *values = nullptr;
        if (flags & MAPI_UNICODE) return MAPI_E_BAD_CHARWIDTH;
        if (flags) return MAPI_E_UNKNOWN_FLAGS;
        if (closed_) return MAPI_E_INVALID_OBJECT;
        PropertyMap all = computed();
        for (const auto& [id, prop] : props_) all[id] = prop;
        return PropertyCodec::getProps(all, tags, count, values);
    });
}

HRESULT WINAPI MailUser::GetPropList(ULONG flags, LPSPropTagArray* tags) {
    return guarded([&]() -> HRESULT {
        if (!tags) return MAPI_E_INVALID_PARAMETER;
        *tags = nullptr;
        if (flags) return MAPI_E_UNKNOWN_FLAGS;
        PropertyMap all = computed();
        for (const auto& [id, prop] : props_) all[id] = prop;
        void* block = nullptr;
        if (FAILED(WabMemory::AllocateBuffer(static_cast<ULONG>(CbNewSPropTagArray(all.size())), &block)))
            return MAPI_E_NOT_ENOUGH_MEMORY;
        auto* array = static_cast<LPSPropTagArray>(block);
        array->cValues = 0;
        for (const auto& [id, prop] : all) array->aulPropTag[array->cValues++] = prop.tag;
        *tags = array;
        return S_OK;
    });
}

HRESULT WINAPI MailUser::SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) {
    return guarded([&]() -> HRESULT {
        if (problems) *problems = nullptr;
        if (count && !values) return MAPI_E_INVALID_PARAMETER;
        if (closed_) return MAPI_E_INVALID_OBJECT;
        if (!writable_) return MAPI_E_NO_ACCESS;
        std::vector<SPropProblem> found;
        for (ULONG i = 0; i < count; ++i) {
            ULONG tag = values[i].ulPropTag;
            if (isComputed(tag)) {
                found.push_back({i, tag, MAPI_E_COMPUTED});
                continue;
            }
            StoredProperty stored;
            if (HRESULT hr = PropertyCodec::encode(values[i], stored); FAILED(hr)) {
                found.push_back({i, tag, hr});
                continue;
            }
            ULONG id = PROP_ID(tag);
            props_[id] = std::move(stored);
            changed_.insert(id);
            deleted_.erase(id);
        }
        return giveProblems(found, problems);
    });
}

HRESULT WINAPI MailUser::DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) {
    return guarded([&]() -> HRESULT {
        if (problems) *problems = nullptr;
        if (!tags) return MAPI_E_INVALID_PARAMETER;
        if (closed_) return MAPI_E_INVALID_OBJECT;
        if (!writable_) return MAPI_E_NO_ACCESS;
        std::vector<SPropProblem> found;
        for (ULONG i = 0; i < tags->cValues; ++i) {
            ULONG tag = tags->aulPropTag[i];
            if (isComputed(tag)) {
                found.push_back({i, tag, MAPI_E_COMPUTED});
                continue;
            }
            ULONG id = PROP_ID(tag);
            // Deleting a value that is not there is not an error in the SDK.
            if (props_.erase(id)) {
                deleted_.insert(id);
                changed_.erase(id);
            }
        }
        return giveProblems(found, problems);
    });
}

HRESULT WINAPI MailUser::SaveChanges(ULONG flags) {
    return guarded([&]() -> HRESULT {
        if (flags & ~(KEEP_OPEN_READONLY | KEEP_OPEN_READWRITE | FORCE_SAVE | MAPI_DEFERRED_ERRORS))
            return MAPI_E_UNKNOWN_FLAGS;
        if (closed_) return MAPI_E_INVALID_OBJECT;
        if (!writable_) return MAPI_E_NO_ACCESS;
        HRESULT hr;
        if (isNew_) {
            hr = store_->create(key_, type_, props_, (createFlags_ & CREATE_CHECK_DUP_STRICT) != 0);
        } else {
            PropertyMap changed;
            for (ULONG id : changed_) changed[id] = props_[id];
            hr = store_->update(key_, changed, deleted_);
        }
        if (FAILED(hr)) return hr;
        isNew_ = false;
        changed_.clear();
        deleted_.clear();
        if (flags & KEEP_OPEN_READWRITE) return S_OK;
        if (flags & KEEP_OPEN_READONLY)
            writable_ = false;
        else
            closed_ = true;
        return S_OK;
    });
}

}  // namespace orvik::wab
