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
    // The keys (or "KEY\name" for a single value) outside the scope of the import, as the file
    // names them, in file order; when there are any, nothing was imported.
    std::vector<std::string> refused;
};

// What an import may write. By default only what the assistant and the mail clients it serves
// read: the mail accounts, the address book's settings, Foxmail, and the parts of the assistant's
// profile a user sets (service sites, the default encryption certificate, the start-up update
// check and the revocation setting). Everything else (certificate stores, the address book's
// library, the update server, the installation folder, the deployment) needs AnyKey.
enum class RegImportScope { MailAndAssistant, AnyKey };

// Larger files are refused unread.
inline constexpr size_t kMaxRegFileBytes = size_t{64} << 20;

// Imports the bytes of a .reg file: "Windows Registry Editor Version 5.00" in UTF-16LE, UTF-8 or
// code page 936, or "REGEDIT4". Nothing is written unless the whole file parses and stays within
// `scope`; the file then applies in one transaction, whole or, at a registry failure, not at all.
ORVIK_PLATFORM_API RegImportResult importRegFile(std::string_view fileBytes,
                                                 RegImportScope scope = RegImportScope::MailAndAssistant);

}  // namespace orvik
