// The built-in authorities in use: the deployment's own when the registry names them under
// HKLM\Software\Orvikon\Deployment\Authorities ("Root1".., "CA1".., Base64 texts), else the
// compiled-in set.
#include <cstring>
#include <string>
#include <vector>

#include <windows.h>

#include "BuiltinAuthorities.h"

namespace orvik::builtin {

namespace {

std::vector<std::string> fromRegistry(const char* prefix) {
    std::vector<std::string> texts;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Orvikon\\Deployment\\Authorities", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return texts;
    for (int i = 1;; ++i) {
        std::string name = prefix + std::to_string(i);
        DWORD size = 0, type = 0;
        if (RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ)
            break;
        std::string text(size, '\0');
        if (RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) !=
            ERROR_SUCCESS)
            break;
        text.resize(std::strlen(text.c_str()));
        texts.push_back(text);
    }
    RegCloseKey(key);
    return texts;
}

template <size_t N>
std::vector<std::string> compiled(const char* const (&table)[N]) {
    return std::vector<std::string>(table, table + N);
}

}  // namespace

std::vector<std::string> roots() {
    auto texts = fromRegistry("Root");
    return texts.empty() ? compiled(kRoots) : texts;
}

std::vector<std::string> intermediates() {
    auto texts = fromRegistry("CA");
    return texts.empty() ? compiled(kIntermediates) : texts;
}

}  // namespace orvik::builtin
