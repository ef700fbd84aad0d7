// The module's one export.
#include <wab.h>

#include "AddrBook.h"
#include "WabObject.h"

using namespace orvik::wab;

extern "C" __attribute__((visibility("default"))) HRESULT WINAPI WABOpen(LPADRBOOK* addressBook, LPWABOBJECT* wabObject,
                                                                         LPWAB_PARAM parameters, DWORD) {
    return guarded([&]() -> HRESULT {
        if (!addressBook || !wabObject) return MAPI_E_INVALID_PARAMETER;
        *addressBook = nullptr;
        *wabObject = nullptr;
        if (parameters) {
            // A caller built with another layout of the record would pass its fields misread.
            if (parameters->cbSize != sizeof(WAB_PARAM)) return MAPI_E_INVALID_PARAMETER;
            if (parameters->ulFlags & ~(WAB_ENABLE_PROFILES | WAB_USE_OE_SENDMAIL)) return MAPI_E_UNKNOWN_FLAGS;
            // A book file of its own is the old single-file form; this book lives in the database.
            if (parameters->szFileName && *parameters->szFileName) return MAPI_E_NO_SUPPORT;
        }
        std::shared_ptr<EntryStore> store;
        if (HRESULT hr = EntryStore::open(store); FAILED(hr)) return hr;
        *addressBook = new AddrBook(store);
        *wabObject = new WabObject();
        return S_OK;
    });
}
