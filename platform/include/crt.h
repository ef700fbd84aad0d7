// The few C runtime functions of the Windows runtime that the system calls.
#pragma once

#include "windef.h"

#define _MAX_PATH 260
#define _MAX_DRIVE 3
#define _MAX_DIR 256
#define _MAX_FNAME 256
#define _MAX_EXT 256

extern "C" {

// Splits a path into drive (always empty here), directory (with its trailing separator), file
// name and extension (with its dot). Either separator counts. Any output may be null; each is
// written as a NUL-terminated text of at most its _MAX_* size, cut when the part is longer.
ORVIK_PLATFORM_API void _splitpath(const char* path, char* drive, char* dir, char* fname, char* ext);

}  // extern "C"
