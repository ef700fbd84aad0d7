// The assistant's profile: HKEY_CURRENT_USER\Software\Orvikon\Orvik数字证书助手, a section per
// subkey ("ServiceURL\\00000001" nests), an entry per string value.
#pragma once

#include <string>

namespace orvikdesk::profile {

inline constexpr const char* kRoot = "Software\\Orvikon\\Orvik数字证书助手";

// The entry's text, or fallback when the section or the entry is missing or not a string.
std::string read(const std::string& section, const std::string& entry, const std::string& fallback = {});
// Creates the section as needed; false when the registry refused.
bool write(const std::string& section, const std::string& entry, const std::string& value);

}  // namespace orvikdesk::profile
