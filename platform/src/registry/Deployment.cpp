#include "orvik/Deployment.h"

#include <cstdlib>
#include <strings.h>

#include <cstring>

#include "winreg.h"

namespace orvik::deployment {

namespace {

struct Default {
    const char* name;
    const char* value;
};

constexpr Default kDefaults[] = {
    {kDirectoryHost1, "ldap.orvikon.cn"},
    {kDirectoryHost2, "dir.orvikon.cn"},
    {kDirectoryBase, "dc=orvikon,dc=cn"},
    {kDirectoryConnectTimeout, "10"},
    {kDirectoryTimeout, "30"},
    {kDirectorySizeLimit, "200"},
    {kDirectoryTls, "none"},
    {kHomePage, "https://www.orvikon.cn/"},
    {kProblemReport, "support@orvikon.cn"},
    {kServiceSite, "https://ca.orvikon.cn/"},
    {kUpdateHost, "https://update.orvikon.cn"},
    {kUpdatePath, "/products/applications/assistant/update/linux/"},
    {kSystemDir, ""},
    {kUpdateTimeout, "30"},
    // None: an installation takes updates only once its deployment names its publisher's
    // update-signing authority, and until then each check says that none is set.
    {kUpdateAuthority, ""},
    {kUpdateServerCa, ""},
    {kUpdateRedirectHosts, ""},
};

const char* defaultOf(const char* name) {
    for (const auto& d : kDefaults)
        if (strcasecmp(d.name, name) == 0) return d.value;
    return "";
}

// The raw registry value and its type; false when there is none.
bool fromRegistry(const char* name, std::string& bytes, DWORD& type) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Orvikon\\Deployment", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD size = 0;
    bool ok = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
    if (ok) {
        bytes.assign(size, '\0');
        ok = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()), &size) == ERROR_SUCCESS;
        bytes.resize(size);
    }
    RegCloseKey(key);
    return ok;
}

bool digitsOnly(const std::string& s) {
    if (s.empty() || s.size() > 9) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

std::string text(const char* name) {
    std::string bytes;
    DWORD type = 0;
    if (fromRegistry(name, bytes, type) && type == REG_SZ) return std::string(bytes.c_str());
    return defaultOf(name);
}

unsigned long number(const char* name) {
    std::string bytes;
    DWORD type = 0;
    if (fromRegistry(name, bytes, type)) {
        if (type == REG_DWORD && bytes.size() == sizeof(DWORD)) {
            DWORD v = 0;
            std::memcpy(&v, bytes.data(), sizeof v);
            return v;
        }
        std::string digits = bytes.c_str();
        if (type == REG_SZ && digitsOnly(digits)) return std::strtoul(digits.c_str(), nullptr, 10);
    }
    std::string fallback = defaultOf(name);
    return digitsOnly(fallback) ? std::strtoul(fallback.c_str(), nullptr, 10) : 0;
}

}  // namespace orvik::deployment
