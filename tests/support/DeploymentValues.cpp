#include "DeploymentValues.h"

#include <stdexcept>

#include <windows.h>

namespace orvik::test {

void setDeploymentValue(const std::string& name, const std::string& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Orvikon\\Deployment", 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("cannot create the deployment key");
    LONG rc = RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                             static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) throw std::runtime_error("cannot set deployment value " + name);
}

}  // namespace orvik::test
