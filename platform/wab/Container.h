// The personal address book: the one container of the book.
#pragma once

#include <memory>

#include "ComObject.h"
#include "EntryStore.h"

namespace orvik::wab {

class Container : public PropObject<IABContainer> {
public:
    explicit Container(std::shared_ptr<EntryStore> store) : store_(std::move(store)) {}

    // Opens an entry of the book for the address book and the container alike.
    static HRESULT openEntry(const std::shared_ptr<EntryStore>& store, ULONG entryIdSize, LPENTRYID entryId,
                             ULONG flags, ULONG* objectType, LPUNKNOWN* object);

    HRESULT WINAPI GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* values) override;
    HRESULT WINAPI GetContentsTable(ULONG flags, LPMAPITABLE* table) override;
    HRESULT WINAPI OpenEntry(ULONG entryIdSize, LPENTRYID entryId, LPCIID iid, ULONG flags, ULONG* objectType,
                             LPUNKNOWN* object) override;
    HRESULT WINAPI CreateEntry(ULONG entryIdSize, LPENTRYID entryId, ULONG flags, LPMAPIPROP* entry) override;
    HRESULT WINAPI DeleteEntries(LPENTRYLIST entries, ULONG flags) override;

    HRESULT WINAPI GetHierarchyTable(ULONG, LPMAPITABLE* table) override {
        if (table) *table = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT WINAPI SetSearchCriteria(LPSRestriction, LPENTRYLIST, ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI GetSearchCriteria(ULONG, LPSRestriction*, LPENTRYLIST*, ULONG*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT WINAPI CopyEntries(LPENTRYLIST, ULONG_PTR, LPMAPIPROGRESS, ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI ResolveNames(LPSPropTagArray, ULONG, LPADRLIST, LPFlagList) override { return MAPI_E_NO_SUPPORT; }

private:
    std::shared_ptr<EntryStore> store_;
};

}  // namespace orvik::wab
