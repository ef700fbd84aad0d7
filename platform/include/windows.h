// The subset of the Windows SDK that the system calls, for the POSIX build.
#pragma once

#include "crt.h"
#include "windef.h"
#include "winerror.h"
#include "winbase.h"
#include "winreg.h"
#include "winuser.h"
#include "winnls.h"
#include "shellapi.h"
#include "wincrypt.h"
