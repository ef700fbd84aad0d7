// Registry services. The hives live in one database per user under ORVIK_HOME; several processes
// may use it at once.
#pragma once

#include "windef.h"
#include "winerror.h"

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_MULTI_SZ 7

#define REG_OPTION_RESERVED 0x00000000L
#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L

#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000L

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define KEY_READ ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & (~SYNCHRONIZE))
#define KEY_WRITE ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & (~SYNCHRONIZE))
#define KEY_EXECUTE ((KEY_READ) & (~SYNCHRONIZE))
#define KEY_ALL_ACCESS                                                                                      \
    ((STANDARD_RIGHTS_ALL | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS | \
      KEY_NOTIFY | KEY_CREATE_LINK) &                                                                       \
     (~SYNCHRONIZE))

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

extern "C" {

// Every function returns the error code (ERROR_SUCCESS on success) and does not touch the last
// error, as on Windows.
ORVIK_PLATFORM_API LONG WINAPI RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result);
ORVIK_PLATFORM_API LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result);
ORVIK_PLATFORM_API LONG WINAPI RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result);
ORVIK_PLATFORM_API LONG WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR className, DWORD options,
                                               REGSAM desired, const SECURITY_ATTRIBUTES* security, PHKEY result,
                                               LPDWORD disposition);
ORVIK_PLATFORM_API LONG WINAPI RegQueryValueA(HKEY key, LPCSTR subKey, LPSTR data, PLONG dataSize);
ORVIK_PLATFORM_API LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                                LPDWORD dataSize);
ORVIK_PLATFORM_API LONG WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                                              DWORD dataSize);
ORVIK_PLATFORM_API LONG WINAPI RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD nameSize);
ORVIK_PLATFORM_API LONG WINAPI RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved,
                                             LPSTR className, LPDWORD classSize, PFILETIME lastWriteTime);
ORVIK_PLATFORM_API LONG WINAPI RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameSize,
                                             LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataSize);
ORVIK_PLATFORM_API LONG WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey);
ORVIK_PLATFORM_API LONG WINAPI RegDeleteValueA(HKEY key, LPCSTR valueName);
ORVIK_PLATFORM_API LONG WINAPI RegCloseKey(HKEY key);

}  // extern "C"
