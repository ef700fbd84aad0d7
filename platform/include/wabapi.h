// The address book's entry point and its helper object.
#pragma once

#include "wabiab.h"

typedef struct _WABIMPORTPARAM* LPWABIMPORTPARAM;

struct IWABObject : public IUnknown {
    virtual HRESULT WINAPI GetLastError(HRESULT result, ULONG flags, LPMAPIERROR* error) = 0;
    // Blocks from AllocateMore belong to their parent and are freed with it.
    virtual HRESULT WINAPI AllocateBuffer(ULONG size, LPVOID* buffer) = 0;
    virtual HRESULT WINAPI AllocateMore(ULONG size, LPVOID parent, LPVOID* buffer) = 0;
    virtual HRESULT WINAPI FreeBuffer(LPVOID buffer) = 0;
    virtual HRESULT WINAPI Backup(LPSTR fileName) = 0;
    virtual HRESULT WINAPI Import(LPSTR importParam) = 0;
    virtual HRESULT WINAPI Find(LPADRBOOK addressBook, HWND window) = 0;
    virtual HRESULT WINAPI VCardDisplay(LPADRBOOK addressBook, HWND window, LPSTR fileName) = 0;
    virtual HRESULT WINAPI LDAPUrl(LPADRBOOK addressBook, HWND window, ULONG flags, LPSTR url,
                                   LPMAILUSER* mailUser) = 0;
    virtual HRESULT WINAPI VCardCreate(LPADRBOOK addressBook, ULONG flags, LPSTR fileName, LPMAILUSER mailUser) = 0;
    virtual HRESULT WINAPI VCardRetrieve(LPADRBOOK addressBook, ULONG flags, LPSTR fileName, LPMAILUSER* mailUser) = 0;
    virtual HRESULT WINAPI GetMe(LPADRBOOK addressBook, ULONG flags, DWORD* action, SBinary* entryId, HWND window) = 0;
    virtual HRESULT WINAPI SetMe(LPADRBOOK addressBook, ULONG flags, SBinary entryId, HWND window) = 0;
};
typedef IWABObject* LPWABOBJECT;

typedef struct _tagWAB_PARAM {
    ULONG cbSize;  // sizeof(WAB_PARAM) of the caller's build
    HWND hwnd;
    LPSTR szFileName;
    ULONG ulFlags;
    GUID guidPSExt;
} WAB_PARAM, *LPWAB_PARAM;

#define WAB_USE_OE_SENDMAIL 0x00000001
#define WAB_ENABLE_PROFILES 0x00400000

typedef HRESULT(WINAPI WABOPEN)(LPADRBOOK* addressBook, LPWABOBJECT* wabObject, LPWAB_PARAM parameters, DWORD reserved);
typedef WABOPEN* LPWABOPEN;

#define WAB_DLL_PATH_KEY "Software\\Microsoft\\WAB\\DLLPath"
