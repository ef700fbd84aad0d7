// Process, module and last-error services.
#pragma once

#include "windef.h"
#include "winerror.h"

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

extern "C" {

// The last error is kept per thread, as on Windows.
ORVIK_PLATFORM_API DWORD WINAPI GetLastError(void);
ORVIK_PLATFORM_API void WINAPI SetLastError(DWORD code);

// A null module names the program itself (/proc/self/exe); a handle from dlopen names that
// library. A short buffer gets the truncated, NUL-terminated path, the return value nSize and
// ERROR_INSUFFICIENT_BUFFER.
ORVIK_PLATFORM_API DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);

typedef INT_PTR(WINAPI* FARPROC)();

// Absolute paths only: a bare or relative name would be looked up in the loader's search path,
// which is not where Windows looks. ERROR_MOD_NOT_FOUND / ERROR_PROC_NOT_FOUND on failure.
ORVIK_PLATFORM_API HMODULE WINAPI LoadLibraryA(LPCSTR fileName);
ORVIK_PLATFORM_API FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName);
ORVIK_PLATFORM_API BOOL WINAPI FreeLibrary(HMODULE module);

// FILETIME is UTC; "local" is the TZ of the process.
ORVIK_PLATFORM_API BOOL WINAPI FileTimeToLocalFileTime(const FILETIME* fileTime, LPFILETIME localTime);
ORVIK_PLATFORM_API BOOL WINAPI FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime);
ORVIK_PLATFORM_API BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* systemTime, LPFILETIME fileTime);
ORVIK_PLATFORM_API void WINAPI GetLocalTime(LPSYSTEMTIME systemTime);
ORVIK_PLATFORM_API void WINAPI GetSystemTime(LPSYSTEMTIME systemTime);
}  // extern "C"
