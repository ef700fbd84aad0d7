// The address book object: finds the personal address book and opens entries.
#pragma once

#include <memory>

#include "ComObject.h"
#include "EntryStore.h"

namespace orvik::wab {

class AddrBook : public PropObject<IAddrBook> {
public:
    explicit AddrBook(std::shared_ptr<EntryStore> store) : store_(std::move(store)) {}

    HRESULT WINAPI OpenEntry(ULONG entryIdSize, LPENTRYID entryId, LPCIID iid, ULONG flags, ULONG* objectType,
                             LPUNKNOWN* object) override;
    HRESULT WINAPI GetPAB(ULONG* entryIdSize, LPENTRYID* entryId) override;

    HRESULT WINAPI CompareEntryIDs(ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG, ULONG*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT WINAPI Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG_PTR*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI Unadvise(ULONG_PTR) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI CreateOneOff(LPSTR, LPSTR, LPSTR, ULONG, ULONG*, LPENTRYID*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI NewEntry(ULONG_PTR, ULONG, ULONG, LPENTRYID, ULONG, LPENTRYID, ULONG*, LPENTRYID*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT WINAPI ResolveName(ULONG_PTR, ULONG, LPSTR, LPADRLIST) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI Address(ULONG_PTR*, LPADRPARM, LPADRLIST*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI Details(ULONG_PTR*, LPFNDISMISS, LPVOID, ULONG, LPENTRYID, LPFNBUTTON, LPVOID, LPSTR,
                           ULONG) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT WINAPI RecipOptions(ULONG_PTR, ULONG, LPADRENTRY) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI QueryDefaultRecipOpt(LPSTR, ULONG, ULONG*, LPSPropValue*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI SetPAB(ULONG, LPENTRYID) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI GetDefaultDir(ULONG*, LPENTRYID*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI SetDefaultDir(ULONG, LPENTRYID) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI GetSearchPath(ULONG, LPSRowSet*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI SetSearchPath(ULONG, LPSRowSet) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI PrepareRecips(ULONG, LPSPropTagArray, LPADRLIST) override { return MAPI_E_NO_SUPPORT; }

private:
    std::shared_ptr<EntryStore> store_;
};

}  // namespace orvik::wab
