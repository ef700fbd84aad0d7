#include <gtest/gtest.h>

#include <set>
#include <string>

#include <windows.h>

#include "support/ChildProcess.h"
#include "support/TempHome.h"

namespace {

// Writes `count` values named "<prefix><i>" into one key, one call each.
int writeValues(const std::vector<std::string>& args) {
    if (args.size() != 2) return 2;
    const std::string prefix = args[0];
    const int count = std::stoi(args[1]);
    HKEY key = nullptr;
    if (RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Orvikon\\Shared", &key) != ERROR_SUCCESS) return 3;
    for (int i = 0; i < count; ++i) {
        std::string name = prefix + std::to_string(i);
        DWORD value = static_cast<DWORD>(i);
        if (RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), sizeof value) !=
            ERROR_SUCCESS)
            return 4;
    }
    RegCloseKey(key);
    return 0;
}

ORVIK_CHILD_ENTRY("write-values", writeValues);

}  // namespace

TEST(RegistryConcurrency, TwoProcessesWritingOneKeyLoseNoValue) {
    orvik::test::TempHome home;
    constexpr int kEach = 1000;
    orvik::test::ChildProcess a("write-values", {"a", std::to_string(kEach)});
    orvik::test::ChildProcess b("write-values", {"b", std::to_string(kEach)});
    ASSERT_TRUE(a.started());
    ASSERT_TRUE(b.started());
    EXPECT_EQ(a.wait(), 0);
    EXPECT_EQ(b.wait(), 0);

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "Software\\Orvikon\\Shared", &key), ERROR_SUCCESS);
    std::set<std::string> names;
    char name[32];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof name;
        DWORD value = 0, valueSize = sizeof value;
        LONG rc = RegEnumValueA(key, i, name, &size, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &valueSize);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(rc, ERROR_SUCCESS);
        EXPECT_EQ(std::to_string(value), std::string(name + 1)) << name;
        names.insert(name);
    }
    RegCloseKey(key);
    EXPECT_EQ(names.size(), 2u * kEach);
}
