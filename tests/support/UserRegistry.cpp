#include "UserRegistry.h"

#include <stdexcept>

namespace orvik::test {

void setUserValue(const std::string& key, const char* name, DWORD type, const std::string& bytes) {
    HKEY k = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr) !=
        ERROR_SUCCESS)
        throw std::runtime_error("cannot create " + key);
    LONG rc =
        RegSetValueExA(k, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
    RegCloseKey(k);
    if (rc != ERROR_SUCCESS) throw std::runtime_error("cannot set " + key + " " + name);
}

bool readUserBinary(const std::string& key, const char* name, std::string& out) {
    HKEY k = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    BYTE buf[64];
    DWORD size = sizeof buf, type = 0;
    LONG rc = RegQueryValueExA(k, name, nullptr, &type, buf, &size);
    RegCloseKey(k);
    if (rc != ERROR_SUCCESS || type != REG_BINARY) return false;
    out.assign(reinterpret_cast<char*>(buf), size);
    return true;
}

}  // namespace orvik::test
