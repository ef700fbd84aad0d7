#include "Register.h"

#include <vector>

namespace {

std::string fullPath(const std::string& keyPath) { return "Software\\" + keyPath; }

}  // namespace

Register::~Register() { close(); }

void Register::close() {
    if (key) RegCloseKey(key);
    key = nullptr;
}

bool Register::open(const std::string& keyPath, bool write) {
    close();
    if (!write) return RegOpenKeyExA(HKEY_CURRENT_USER, fullPath(keyPath).c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
    return RegCreateKeyExA(HKEY_CURRENT_USER, fullPath(keyPath).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                           nullptr) == ERROR_SUCCESS;
}

std::string Register::GetRegStringValue(std::string keyPath, std::string valueName) {
    if (!open(keyPath, false)) return {};
    std::vector<char> buffer(5000, '\0');
    DWORD size = static_cast<DWORD>(buffer.size() - 1), type = 0;
    LONG rc = RegQueryValueExA(key, valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size);
    close();
    if (rc != ERROR_SUCCESS || type != REG_SZ) return {};
    return std::string(buffer.data());
}

int Register::SetRegStringValue(std::string keyPath, std::string valueName, std::string value) {
    if (!open(keyPath, true)) return 0;
    LONG rc = RegSetValueExA(key, valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1));
    close();
    return rc == ERROR_SUCCESS ? 1 : 0;
}

DWORD Register::GetRegDwordValue(std::string keyPath, std::string valueName) {
    if (!open(keyPath, false)) return 0xFFFFFFFF;
    DWORD value = 0, size = sizeof value, type = 0;
    LONG rc = RegQueryValueExA(key, valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    close();
    return rc == ERROR_SUCCESS && type == REG_DWORD ? value : 0xFFFFFFFF;
}

int Register::SetRegDwordValue(std::string keyPath, std::string valueName, DWORD value) {
    if (!open(keyPath, true)) return 0;
    LONG rc = RegSetValueExA(key, valueName.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    close();
    return rc == ERROR_SUCCESS ? 1 : 0;
}
