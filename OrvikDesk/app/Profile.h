// The assistant's profile: HKEY_CURRENT_USER\Software\Orvikon\Orvik数字证书助手, a section per
// subkey ("ServiceURL\\00000001" nests), an entry per string value.
#pragma once

#include <optional>
#include <string>

namespace orvikdesk::profile {

inline constexpr const char* kRoot = "Software\\Orvikon\\Orvik数字证书助手";

// The entry's text, or fallback when the section or the entry is missing or not a string.
std::string read(const std::string& section, const std::string& entry, const std::string& fallback = {});
// The entry's text, or nothing when the section or the entry is missing or not a string.
std::optional<std::string> find(const std::string& section, const std::string& entry);
// Creates the section as needed; false when the registry refused.
bool write(const std::string& section, const std::string& entry, const std::string& value);
// Removes one entry, or a whole section with what it holds.
void erase(const std::string& section, const std::string& entry);
void eraseSection(const std::string& section);

}  // namespace orvikdesk::profile
