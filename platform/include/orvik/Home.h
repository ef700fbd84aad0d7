// Where the per-user state lives: $ORVIK_HOME, else $XDG_DATA_HOME/orvikon, else
// ~/.local/share/orvikon.
#pragma once

#include <string>

#include "../windef.h"

namespace orvik {

// The folder, read from the environment on every call (tests change it). Empty when no folder can
// be named at all.
ORVIK_PLATFORM_API std::string homeDir();

// The folder, created with mode 0700 when missing. False when it cannot be created.
ORVIK_PLATFORM_API bool ensureHomeDir(std::string& dir);

// The per-user platform database (the registry's hives, the address book's entries), in the
// folder above, which is created when missing. Empty when it cannot be.
ORVIK_PLATFORM_API std::string platformDatabasePath();

}  // namespace orvik
