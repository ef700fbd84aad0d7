// Importing the .reg files that Windows' registry editor exports, so a user can bring the
// settings of their Windows machine (mail accounts above all) into this registry.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "../windef.h"

namespace orvik {

struct RegImportResult {
    bool ok = false;
    // "line N: ..." for a faulty line, then for a registry failure the key and the error code.
    std::string error;
    int keysCreated = 0;  // keys the file names that did not exist yet
    int keysDeleted = 0;  // subkeys of a deleted key included
    int valuesWritten = 0;
    int valuesDeleted = 0;  // only values that were there
    // "KEY\name (REG_MULTI_SZ)" for each value of a type this registry does not keep; such values
    // are left as they are. Filled once the whole file has parsed.
    std::vector<std::string> skipped;
};

// Larger files are refused unread.
inline constexpr size_t kMaxRegFileBytes = size_t{64} << 20;

// Imports the bytes of a .reg file: "Windows Registry Editor Version 5.00" in UTF-16LE, UTF-8 or
// code page 936, or "REGEDIT4". Nothing is written unless the whole file parses; applying stops at
// the first registry failure, and what was applied before it stays.
ORVIK_PLATFORM_API RegImportResult importRegFile(std::string_view fileBytes);

}  // namespace orvik
