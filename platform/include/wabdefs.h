// Types and interfaces of the address book's MAPI-style object model. ULONG and LONG are 32-bit
// as on Windows; the structures keep the SDK's field order.
#pragma once

#include "unknwn.h"
#include "wabcode.h"
#include "wabtags.h"

#define MAPI_DIM 1

typedef struct _ENTRYID {
    BYTE abFlags[4];
    BYTE ab[MAPI_DIM];
} ENTRYID, *LPENTRYID;

typedef struct _SBinary {
    ULONG cb;
    LPBYTE lpb;
} SBinary, *LPSBinary;

typedef struct _SShortArray {
    ULONG cValues;
    SHORT* lpi;
} SShortArray;

typedef struct _SLongArray {
    ULONG cValues;
    LONG* lpl;
} SLongArray;

typedef struct _SLPSTRArray {
    ULONG cValues;
    LPSTR* lppszA;
} SLPSTRArray;

typedef struct _SBinaryArray {
    ULONG cValues;
    SBinary* lpbin;
} SBinaryArray;

typedef SBinaryArray ENTRYLIST, *LPENTRYLIST;

typedef union _PV {
    SHORT i;
    LONG l;
    ULONG ul;
    USHORT b;
    FILETIME ft;
    LPSTR lpszA;
    SBinary bin;
    LPWSTR lpszW;
    LPGUID lpguid;
    LONGLONG li;
    SShortArray MVi;
    SLongArray MVl;
    SLPSTRArray MVszA;
    SBinaryArray MVbin;
    SCODE err;
    LONG x;
} __UPV;

typedef struct _SPropValue {
    ULONG ulPropTag;
    ULONG dwAlignPad;
    union _PV Value;
} SPropValue, *LPSPropValue;

typedef struct _SPropTagArray {
    ULONG cValues;
    ULONG aulPropTag[MAPI_DIM];
} SPropTagArray, *LPSPropTagArray;

// A tag array of a fixed size, for callers that list the tags they read.
#define SizedSPropTagArray(n, name) \
    struct _SPropTagArray_##name {  \
        ULONG cValues;              \
        ULONG aulPropTag[n];        \
    } name

typedef struct _SPropProblem {
    ULONG ulIndex;
    ULONG ulPropTag;
    SCODE scode;
} SPropProblem;

typedef struct _SPropProblemArray {
    ULONG cProblem;
    SPropProblem aProblem[MAPI_DIM];
} SPropProblemArray, *LPSPropProblemArray;

typedef struct _SRow {
    ULONG ulAdrEntryPad;
    ULONG cValues;
    LPSPropValue lpProps;
} SRow, *LPSRow;

typedef struct _SRowSet {
    ULONG cRows;
    SRow aRow[MAPI_DIM];
} SRowSet, *LPSRowSet;

// Sizes of the variable-length structures, as the SDK's macros give them.
#define CbNewSPropTagArray(n) (offsetof(SPropTagArray, aulPropTag) + (n) * sizeof(ULONG))
#define CbNewSRowSet(n) (offsetof(SRowSet, aRow) + (n) * sizeof(SRow))
#define CbNewSPropProblemArray(n) (offsetof(SPropProblemArray, aProblem) + (n) * sizeof(SPropProblem))

typedef struct _MAPIERROR {
    ULONG ulVersion;
    LPSTR lpszError;
    LPSTR lpszComponent;
    ULONG ulLowLevelError;
    ULONG ulContext;
} MAPIERROR, *LPMAPIERROR;

typedef ULONG_PTR BOOKMARK;
#define BOOKMARK_BEGINNING ((BOOKMARK)0)
#define BOOKMARK_CURRENT ((BOOKMARK)1)
#define BOOKMARK_END ((BOOKMARK)2)

// Opaque to this system: it passes null where the SDK takes them.
typedef struct _SRestriction* LPSRestriction;
typedef struct _SSortOrderSet* LPSSortOrderSet;
typedef struct IMAPIAdviseSink* LPMAPIADVISESINK;
typedef struct IMAPIProgress* LPMAPIPROGRESS;
typedef struct _MAPINAMEID* LPMAPINAMEID;
typedef struct _ADRLIST* LPADRLIST;
typedef struct _FlagList* LPFlagList;

// Flags.
#define MAPI_MODIFY 0x00000001
#define MAPI_BEST_ACCESS 0x00000010
#define MAPI_DEFERRED_ERRORS 0x00000008
#define MAPI_UNICODE 0x80000000
#define KEEP_OPEN_READONLY 0x00000001
#define KEEP_OPEN_READWRITE 0x00000002
#define FORCE_SAVE 0x00000004
#define CREATE_CHECK_DUP_STRICT 0x00000001
#define CREATE_CHECK_DUP_LOOSE 0x00000002
#define CREATE_REPLACE 0x00000004
#define TBL_NOWAIT 0x00000001

struct IMAPIProp : public IUnknown {
    virtual HRESULT WINAPI GetLastError(HRESULT result, ULONG flags, LPMAPIERROR* error) = 0;
    virtual HRESULT WINAPI SaveChanges(ULONG flags) = 0;
    virtual HRESULT WINAPI GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* values) = 0;
    virtual HRESULT WINAPI GetPropList(ULONG flags, LPSPropTagArray* tags) = 0;
    virtual HRESULT WINAPI OpenProperty(ULONG tag, LPCIID iid, ULONG interfaceOptions, ULONG flags,
                                        LPUNKNOWN* object) = 0;
    virtual HRESULT WINAPI SetProps(ULONG count, LPSPropValue values, LPSPropProblemArray* problems) = 0;
    virtual HRESULT WINAPI DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) = 0;
    virtual HRESULT WINAPI CopyTo(ULONG excludedInterfaces, LPCIID excluded, LPSPropTagArray excludedProps,
                                  ULONG_PTR uiParam, LPMAPIPROGRESS progress, LPCIID iid, LPVOID destination,
                                  ULONG flags, LPSPropProblemArray* problems) = 0;
    virtual HRESULT WINAPI CopyProps(LPSPropTagArray included, ULONG_PTR uiParam, LPMAPIPROGRESS progress, LPCIID iid,
                                     LPVOID destination, ULONG flags, LPSPropProblemArray* problems) = 0;
    virtual HRESULT WINAPI GetNamesFromIDs(LPSPropTagArray* tags, LPGUID propSet, ULONG flags, ULONG* count,
                                           LPMAPINAMEID** names) = 0;
    virtual HRESULT WINAPI GetIDsFromNames(ULONG count, LPMAPINAMEID* names, ULONG flags, LPSPropTagArray* tags) = 0;
};
typedef IMAPIProp* LPMAPIPROP;

struct IMAPITable : public IUnknown {
    virtual HRESULT WINAPI GetLastError(HRESULT result, ULONG flags, LPMAPIERROR* error) = 0;
    virtual HRESULT WINAPI Advise(ULONG eventMask, LPMAPIADVISESINK sink, ULONG_PTR* connection) = 0;
    virtual HRESULT WINAPI Unadvise(ULONG_PTR connection) = 0;
    virtual HRESULT WINAPI GetStatus(ULONG* status, ULONG* type) = 0;
    virtual HRESULT WINAPI SetColumns(LPSPropTagArray tags, ULONG flags) = 0;
    virtual HRESULT WINAPI QueryColumns(ULONG flags, LPSPropTagArray* tags) = 0;
    virtual HRESULT WINAPI GetRowCount(ULONG flags, ULONG* count) = 0;
    virtual HRESULT WINAPI SeekRow(BOOKMARK origin, LONG rowCount, LONG* rowsSought) = 0;
    virtual HRESULT WINAPI SeekRowApprox(ULONG numerator, ULONG denominator) = 0;
    virtual HRESULT WINAPI QueryPosition(ULONG* row, ULONG* numerator, ULONG* denominator) = 0;
    virtual HRESULT WINAPI FindRow(LPSRestriction restriction, BOOKMARK origin, ULONG flags) = 0;
    virtual HRESULT WINAPI Restrict(LPSRestriction restriction, ULONG flags) = 0;
    virtual HRESULT WINAPI CreateBookmark(BOOKMARK* position) = 0;
    virtual HRESULT WINAPI FreeBookmark(BOOKMARK position) = 0;
    virtual HRESULT WINAPI SortTable(LPSSortOrderSet criteria, ULONG flags) = 0;
    virtual HRESULT WINAPI QuerySortOrder(LPSSortOrderSet* criteria) = 0;
    virtual HRESULT WINAPI QueryRows(LONG rowCount, ULONG flags, LPSRowSet* rows) = 0;
    virtual HRESULT WINAPI Abort() = 0;
    virtual HRESULT WINAPI ExpandRow(ULONG instanceKeySize, LPBYTE instanceKey, ULONG rowCount, ULONG flags,
                                     LPSRowSet* rows, ULONG* moreRows) = 0;
    virtual HRESULT WINAPI CollapseRow(ULONG instanceKeySize, LPBYTE instanceKey, ULONG flags, ULONG* rowCount) = 0;
    virtual HRESULT WINAPI WaitForCompletion(ULONG flags, ULONG timeout, ULONG* status) = 0;
    virtual HRESULT WINAPI GetCollapseState(ULONG flags, ULONG instanceKeySize, LPBYTE instanceKey, ULONG* stateSize,
                                            LPBYTE* state) = 0;
    virtual HRESULT WINAPI SetCollapseState(ULONG flags, ULONG stateSize, LPBYTE state, BOOKMARK* location) = 0;
};
typedef IMAPITable* LPMAPITABLE;

struct IMAPIContainer : public IMAPIProp {
    virtual HRESULT WINAPI GetContentsTable(ULONG flags, LPMAPITABLE* table) = 0;
    virtual HRESULT WINAPI GetHierarchyTable(ULONG flags, LPMAPITABLE* table) = 0;
    virtual HRESULT WINAPI OpenEntry(ULONG entryIdSize, LPENTRYID entryId, LPCIID iid, ULONG flags, ULONG* objectType,
                                     LPUNKNOWN* object) = 0;
    virtual HRESULT WINAPI SetSearchCriteria(LPSRestriction restriction, LPENTRYLIST containers, ULONG flags) = 0;
    virtual HRESULT WINAPI GetSearchCriteria(ULONG flags, LPSRestriction* restriction, LPENTRYLIST* containers,
                                             ULONG* state) = 0;
};

struct IABContainer : public IMAPIContainer {
    virtual HRESULT WINAPI CreateEntry(ULONG entryIdSize, LPENTRYID entryId, ULONG flags, LPMAPIPROP* entry) = 0;
    virtual HRESULT WINAPI CopyEntries(LPENTRYLIST entries, ULONG_PTR uiParam, LPMAPIPROGRESS progress,
                                       ULONG flags) = 0;
    virtual HRESULT WINAPI DeleteEntries(LPENTRYLIST entries, ULONG flags) = 0;
    virtual HRESULT WINAPI ResolveNames(LPSPropTagArray tags, ULONG flags, LPADRLIST addresses,
                                        LPFlagList flagList) = 0;
};
typedef IABContainer* LPABCONT;

struct IMailUser : public IMAPIProp {};
typedef IMailUser* LPMAILUSER;
