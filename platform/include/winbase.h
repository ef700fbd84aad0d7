// Process, module and last-error services.
#pragma once

#include "windef.h"
#include "winerror.h"

extern "C" {

// The last error is kept per thread, as on Windows.
ORVIK_PLATFORM_API DWORD WINAPI GetLastError(void);
ORVIK_PLATFORM_API void WINAPI SetLastError(DWORD code);

// A null module names the program itself (/proc/self/exe); a handle from dlopen names that
// library. A short buffer gets the truncated, NUL-terminated path, the return value nSize and
// ERROR_INSUFFICIENT_BUFFER.
ORVIK_PLATFORM_API DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);

}  // extern "C"
