// COM's base interface and identifiers, as far as the address book's interfaces need them. The
// interfaces are C++ classes of pure virtual functions with no virtual destructor, so their vtables
// hold exactly the SDK's methods in the SDK's order.
#pragma once

#include "windef.h"
#include "winerror.h"

typedef struct _GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
} GUID, *LPGUID;
typedef GUID IID;
typedef const IID& REFIID;
typedef const IID* LPCIID;

struct IUnknown {
    virtual HRESULT WINAPI QueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG WINAPI AddRef() = 0;
    virtual ULONG WINAPI Release() = 0;
};
typedef IUnknown* LPUNKNOWN;
