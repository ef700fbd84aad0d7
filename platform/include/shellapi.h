// Shell: opening documents and addresses with the programs the desktop associates with them.
#pragma once

#include "windef.h"

// Results of ShellExecuteA at or below 32 are errors.
#define SE_ERR_FNF 2
#define SE_ERR_PNF 3
#define SE_ERR_ACCESSDENIED 5
#define SE_ERR_OOM 8
#define SE_ERR_SHARE 26
#define SE_ERR_ASSOCINCOMPLETE 27
#define SE_ERR_DDETIMEOUT 28
#define SE_ERR_DDEFAIL 29
#define SE_ERR_DDEBUSY 30
#define SE_ERR_NOASSOC 31
#define SE_ERR_DLLNOTFOUND 32

extern "C" {

// Only the verbs "open" and null (the default verb), with no parameters: the file or URL is handed to
// xdg-open as one argument, never through a shell. A result above 32 is success; SE_ERR_FNF for a
// local file that does not exist, SE_ERR_NOASSOC when the desktop has no program for it.
ORVIK_PLATFORM_API HINSTANCE WINAPI ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                                                  LPCSTR directory, INT showCommand);

}  // extern "C"
