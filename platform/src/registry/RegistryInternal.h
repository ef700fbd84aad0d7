// Registry reads for the platform's own services that need more than the public calls give.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <winreg.h>

namespace orvik::registry {

// The value `valueName` of every subkey of `hive\path` that has one, in key order, as
// (subkey name, REG_BINARY or other bytes) pairs: one query instead of one enumeration step,
// one open and two reads per subkey.
LONG readSubKeyValues(HKEY hive, const std::string& path, const std::string& valueName,
                      std::vector<std::pair<std::string, std::vector<BYTE>>>& out);

}  // namespace orvik::registry
