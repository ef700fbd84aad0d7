#include "ContentsTable.h"

#include <cstring>

#include "EntryId.h"
#include "WabMemory.h"

namespace orvik::wab {

namespace {

constexpr ULONG kColumns = 4;

void setString(SPropValue& value, ULONG tag, const std::optional<std::string>& text, LPVOID parent, bool& ok) {
    if (!text) {
        std::memset(&value, 0, sizeof value);
        value.ulPropTag = PROP_TAG(PT_ERROR, PROP_ID(tag));
        value.Value.err = MAPI_E_NOT_FOUND;
        return;
    }
    value.ulPropTag = tag;
    value.Value.lpszA = static_cast<LPSTR>(WabMemory::copy(text->data(), text->size(), parent, true));
    ok = ok && value.Value.lpszA;
}

// Frees what was handed out so far when a later row cannot be made.
void freeRows(LPSRowSet set, ULONG filled) {
    for (ULONG i = 0; i < filled; ++i) WabMemory::FreeBuffer(set->aRow[i].lpProps);
    WabMemory::FreeBuffer(set);
}

}  // namespace

HRESULT ContentsTable::load() {
    if (loaded_) return S_OK;
    HRESULT hr = store_->rows(rows_);
    if (SUCCEEDED(hr)) loaded_ = true;
    return hr;
}

HRESULT WINAPI ContentsTable::GetRowCount(ULONG flags, ULONG* count) {
    return guarded([&]() -> HRESULT {
        if (!count) return MAPI_E_INVALID_PARAMETER;
        *count = 0;
        if (flags) return MAPI_E_UNKNOWN_FLAGS;
        if (HRESULT hr = load(); FAILED(hr)) return hr;
        *count = static_cast<ULONG>(rows_.size());
        return S_OK;
    });
}

HRESULT WINAPI ContentsTable::SeekRow(BOOKMARK origin, LONG rowCount, LONG* rowsSought) {
    return guarded([&]() -> HRESULT {
        if (HRESULT hr = load(); FAILED(hr)) return hr;
        long long base;
        switch (origin) {
        case BOOKMARK_BEGINNING: base = 0; break;
        case BOOKMARK_CURRENT: base = static_cast<long long>(position_); break;
        case BOOKMARK_END: base = static_cast<long long>(rows_.size()); break;
        default: return MAPI_E_INVALID_PARAMETER;
        }
        long long target = base + rowCount;
        if (target < 0) target = 0;
        if (target > static_cast<long long>(rows_.size())) target = static_cast<long long>(rows_.size());
        if (rowsSought) *rowsSought = static_cast<LONG>(target - base);
        position_ = static_cast<size_t>(target);
        return S_OK;
    });
}

HRESULT WINAPI ContentsTable::QueryRows(LONG rowCount, ULONG flags, LPSRowSet* rows) {
    return guarded([&]() -> HRESULT {
        if (!rows) return MAPI_E_INVALID_PARAMETER;
        *rows = nullptr;
        // Reading backwards is for scrolling views; the system reads forwards only.
        if (rowCount < 0) return MAPI_E_NO_SUPPORT;
        if (flags) return MAPI_E_UNKNOWN_FLAGS;
        if (HRESULT hr = load(); FAILED(hr)) return hr;
        size_t n = std::min(static_cast<size_t>(rowCount), rows_.size() - position_);
        void* block = nullptr;
        if (FAILED(WabMemory::AllocateBuffer(static_cast<ULONG>(CbNewSRowSet(n ? n : 1)), &block)))
            return MAPI_E_NOT_ENOUGH_MEMORY;
        auto* set = static_cast<LPSRowSet>(block);
        set->cRows = 0;
        for (size_t i = 0; i < n; ++i) {
            const EntryRow& row = rows_[position_ + i];
            void* props = nullptr;
            if (FAILED(WabMemory::AllocateBuffer(kColumns * sizeof(SPropValue), &props))) {
                freeRows(set, set->cRows);
                return MAPI_E_NOT_ENOUGH_MEMORY;
            }
            auto* values = static_cast<LPSPropValue>(props);
            bool ok = true;
            values[0].ulPropTag = PR_ENTRYID;
            values[0].Value.bin.cb = EntryId::kSize;
            values[0].Value.bin.lpb = reinterpret_cast<LPBYTE>(EntryId::allocate(row.key, props));
            ok = values[0].Value.bin.lpb != nullptr;
            setString(values[1], PR_DISPLAY_NAME, row.displayName, props, ok);
            setString(values[2], PR_EMAIL_ADDRESS, row.email, props, ok);
            values[3].ulPropTag = PR_OBJECT_TYPE;
            values[3].Value.l = static_cast<LONG>(row.type);
            set->aRow[i] = {0, kColumns, values};
            set->cRows = static_cast<ULONG>(i + 1);
            if (!ok) {
                freeRows(set, set->cRows);
                return MAPI_E_NOT_ENOUGH_MEMORY;
            }
        }
        position_ += n;
        *rows = set;
        return S_OK;
    });
}

}  // namespace orvik::wab
