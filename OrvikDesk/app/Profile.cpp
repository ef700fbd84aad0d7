#include "app/Profile.h"

#include <windows.h>

namespace orvikdesk::profile {

std::optional<std::string> find(const std::string& section, const std::string& entry) {
    HKEY key = nullptr;
    std::string path = std::string(kRoot) + "\\" + section;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
    DWORD type = 0, size = 0;
    std::optional<std::string> value;
    if (RegQueryValueExA(key, entry.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_SZ) {
        std::string bytes(size, '\0');
        if (RegQueryValueExA(key, entry.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()), &size) ==
            ERROR_SUCCESS)
            value = bytes.c_str();
    }
    RegCloseKey(key);
    return value;
}

std::string read(const std::string& section, const std::string& entry, const std::string& fallback) {
    return find(section, entry).value_or(fallback);
}

bool write(const std::string& section, const std::string& entry, const std::string& value) {
    HKEY key = nullptr;
    std::string path = std::string(kRoot) + "\\" + section;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return false;
    LONG rc = RegSetValueExA(key, entry.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

void erase(const std::string& section, const std::string& entry) {
    HKEY key = nullptr;
    std::string path = std::string(kRoot) + "\\" + section;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    RegDeleteValueA(key, entry.c_str());
    RegCloseKey(key);
}

void eraseSection(const std::string& section) {
    RegDeleteKeyA(HKEY_CURRENT_USER, (std::string(kRoot) + "\\" + section).c_str());
}

}  // namespace orvikdesk::profile
