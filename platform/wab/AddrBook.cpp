#include "AddrBook.h"

#include "Container.h"
#include "EntryId.h"

namespace orvik::wab {

HRESULT WINAPI AddrBook::OpenEntry(ULONG entryIdSize, LPENTRYID entryId, LPCIID, ULONG flags, ULONG* objectType,
                                   LPUNKNOWN* object) {
    return guarded([&]() { return Container::openEntry(store_, entryIdSize, entryId, flags, objectType, object); });
}

HRESULT WINAPI AddrBook::GetPAB(ULONG* entryIdSize, LPENTRYID* entryId) {
    return guarded([&]() -> HRESULT {
        if (!entryIdSize || !entryId) return MAPI_E_INVALID_PARAMETER;
        *entryIdSize = 0;
        *entryId = EntryId::allocate(EntryId::containerKey(), nullptr);
        if (!*entryId) return MAPI_E_NOT_ENOUGH_MEMORY;
        *entryIdSize = EntryId::kSize;
        return S_OK;
    });
}

}  // namespace orvik::wab
