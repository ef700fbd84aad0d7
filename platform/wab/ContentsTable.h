// The container's contents table: one row per entry with its identifier, display name, address
// and object type. The rows are read when first asked for and then kept, like a snapshot.
#pragma once

#include <memory>
#include <vector>

#include "ComObject.h"
#include "EntryStore.h"

namespace orvik::wab {

class ContentsTable : public ComObject<IMAPITable> {
public:
    explicit ContentsTable(std::shared_ptr<EntryStore> store) : store_(std::move(store)) {}

    HRESULT WINAPI GetRowCount(ULONG flags, ULONG* count) override;
    HRESULT WINAPI QueryRows(LONG rowCount, ULONG flags, LPSRowSet* rows) override;
    HRESULT WINAPI SeekRow(BOOKMARK origin, LONG rowCount, LONG* rowsSought) override;

    HRESULT WINAPI GetLastError(HRESULT, ULONG, LPMAPIERROR* error) override {
        if (error) *error = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT WINAPI Advise(ULONG, LPMAPIADVISESINK, ULONG_PTR*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI Unadvise(ULONG_PTR) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI GetStatus(ULONG*, ULONG*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI SetColumns(LPSPropTagArray, ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI QueryColumns(ULONG, LPSPropTagArray*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI SeekRowApprox(ULONG, ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI QueryPosition(ULONG*, ULONG*, ULONG*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI FindRow(LPSRestriction, BOOKMARK, ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI Restrict(LPSRestriction, ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI CreateBookmark(BOOKMARK*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI FreeBookmark(BOOKMARK) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI SortTable(LPSSortOrderSet, ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI QuerySortOrder(LPSSortOrderSet*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI Abort() override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI ExpandRow(ULONG, LPBYTE, ULONG, ULONG, LPSRowSet*, ULONG*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI CollapseRow(ULONG, LPBYTE, ULONG, ULONG*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI WaitForCompletion(ULONG, ULONG, ULONG*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI GetCollapseState(ULONG, ULONG, LPBYTE, ULONG*, LPBYTE*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI SetCollapseState(ULONG, ULONG, LPBYTE, BOOKMARK*) override { return MAPI_E_NO_SUPPORT; }

private:
    HRESULT load();

    std::shared_ptr<EntryStore> store_;
    std::vector<EntryRow> rows_;
    bool loaded_ = false;
    size_t position_ = 0;
};

}  // namespace orvik::wab
