// The address book object that WABOpen returns.
#pragma once

#include "wabdefs.h"

typedef struct _ADRPARM* LPADRPARM;
typedef struct _ADRENTRY* LPADRENTRY;
typedef void* LPFNDISMISS;
typedef void* LPFNBUTTON;

struct IAddrBook : public IMAPIProp {
    virtual HRESULT WINAPI OpenEntry(ULONG entryIdSize, LPENTRYID entryId, LPCIID iid, ULONG flags, ULONG* objectType,
                                     LPUNKNOWN* object) = 0;
    virtual HRESULT WINAPI CompareEntryIDs(ULONG size1, LPENTRYID id1, ULONG size2, LPENTRYID id2, ULONG flags,
                                           ULONG* result) = 0;
    virtual HRESULT WINAPI Advise(ULONG entryIdSize, LPENTRYID entryId, ULONG eventMask, LPMAPIADVISESINK sink,
                                  ULONG_PTR* connection) = 0;
    virtual HRESULT WINAPI Unadvise(ULONG_PTR connection) = 0;
    virtual HRESULT WINAPI CreateOneOff(LPSTR name, LPSTR addressType, LPSTR address, ULONG flags, ULONG* entryIdSize,
                                        LPENTRYID* entryId) = 0;
    virtual HRESULT WINAPI NewEntry(ULONG_PTR uiParam, ULONG flags, ULONG containerIdSize, LPENTRYID containerId,
                                    ULONG templateIdSize, LPENTRYID templateId, ULONG* newIdSize, LPENTRYID* newId) = 0;
    virtual HRESULT WINAPI ResolveName(ULONG_PTR uiParam, ULONG flags, LPSTR title, LPADRLIST addresses) = 0;
    virtual HRESULT WINAPI Address(ULONG_PTR* uiParam, LPADRPARM parameters, LPADRLIST* addresses) = 0;
    virtual HRESULT WINAPI Details(ULONG_PTR* uiParam, LPFNDISMISS dismiss, LPVOID dismissContext, ULONG entryIdSize,
                                   LPENTRYID entryId, LPFNBUTTON button, LPVOID buttonContext, LPSTR buttonText,
                                   ULONG flags) = 0;
    virtual HRESULT WINAPI RecipOptions(ULONG_PTR uiParam, ULONG flags, LPADRENTRY recipient) = 0;
    virtual HRESULT WINAPI QueryDefaultRecipOpt(LPSTR addressType, ULONG flags, ULONG* count,
                                                LPSPropValue* options) = 0;
    virtual HRESULT WINAPI GetPAB(ULONG* entryIdSize, LPENTRYID* entryId) = 0;
    virtual HRESULT WINAPI SetPAB(ULONG entryIdSize, LPENTRYID entryId) = 0;
    virtual HRESULT WINAPI GetDefaultDir(ULONG* entryIdSize, LPENTRYID* entryId) = 0;
    virtual HRESULT WINAPI SetDefaultDir(ULONG entryIdSize, LPENTRYID entryId) = 0;
    virtual HRESULT WINAPI GetSearchPath(ULONG flags, LPSRowSet* searchPath) = 0;
    virtual HRESULT WINAPI SetSearchPath(ULONG flags, LPSRowSet searchPath) = 0;
    virtual HRESULT WINAPI PrepareRecips(ULONG flags, LPSPropTagArray tags, LPADRLIST recipients) = 0;
};
typedef IAddrBook* LPADRBOOK;
