// Code pages and date and time texts. CP_ACP is UTF-8 in this build; 936 is GBK.
#pragma once

#include "winbase.h"

typedef DWORD LCID;
#define LOCALE_USER_DEFAULT 0x0400
#define LOCALE_USE_CP_ACP 0x40000000
#define TIME_FORCE24HOURFORMAT 0x00000008
#define CP_ACP 0
#define CP_UTF8 65001

#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_NO_BEST_FIT_CHARS 0x00000400

extern "C" {

ORVIK_PLATFORM_API int WINAPI GetDateFormatA(LCID locale, DWORD flags, const SYSTEMTIME* date, LPCSTR format, LPSTR out,
                                             int size);
ORVIK_PLATFORM_API int WINAPI GetTimeFormatA(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCSTR format, LPSTR out,
                                             int size);

ORVIK_PLATFORM_API int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int size, LPWSTR out,
                                                  int outSize);
ORVIK_PLATFORM_API int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int size, LPSTR out,
                                                  int outSize, LPCSTR defaultChar, LPBOOL usedDefault);

}  // extern "C"
