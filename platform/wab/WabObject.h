// The helper object WABOpen hands out with the address book: the book's allocator.
#pragma once

#include "ComObject.h"

namespace orvik::wab {

class WabObject : public ComObject<IWABObject> {
public:
    HRESULT WINAPI AllocateBuffer(ULONG size, LPVOID* buffer) override;
    HRESULT WINAPI AllocateMore(ULONG size, LPVOID parent, LPVOID* buffer) override;
    HRESULT WINAPI FreeBuffer(LPVOID buffer) override;

    HRESULT WINAPI GetLastError(HRESULT, ULONG, LPMAPIERROR* error) override {
        if (error) *error = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT WINAPI Backup(LPSTR) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI Import(LPSTR) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI Find(LPADRBOOK, HWND) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI VCardDisplay(LPADRBOOK, HWND, LPSTR) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI LDAPUrl(LPADRBOOK, HWND, ULONG, LPSTR, LPMAILUSER*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI VCardCreate(LPADRBOOK, ULONG, LPSTR, LPMAILUSER) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI VCardRetrieve(LPADRBOOK, ULONG, LPSTR, LPMAILUSER*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI GetMe(LPADRBOOK, ULONG, DWORD*, SBinary*, HWND) override { return MAPI_E_NO_SUPPORT; }
    HRESULT WINAPI SetMe(LPADRBOOK, ULONG, SBinary, HWND) override { return MAPI_E_NO_SUPPORT; }
};

}  // namespace orvik::wab
