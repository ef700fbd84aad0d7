// COM's task memory and the compound file entry point.
#pragma once

#include "objidl.h"
#include "windef.h"

// Memory that crosses an interface: STATSTG names among it.
ORVIK_PLATFORM_API LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb);
ORVIK_PLATFORM_API LPVOID WINAPI CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
ORVIK_PLATFORM_API void WINAPI CoTaskMemFree(LPVOID pv);

// Opens an existing compound file whole into memory. Direct mode only: STGM_READ with
// STGM_SHARE_DENY_WRITE or STGM_SHARE_EXCLUSIVE, or STGM_READWRITE with STGM_SHARE_EXCLUSIVE.
// Changes reach the file only through the root's Commit, which writes it anew; changes released
// uncommitted are lost (on Windows direct mode would have written them at once).
ORVIK_PLATFORM_API HRESULT WINAPI StgOpenStorage(const OLECHAR* pwcsName, IStorage* pstgPriority, DWORD grfMode,
                                                 SNB snbExclude, DWORD reserved, IStorage** ppstgOpen);
