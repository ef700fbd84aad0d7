#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include <windows.h>

#include "support/TempHome.h"

using orvik::test::TempHome;

namespace {

HKEY create(HKEY root, const char* path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS)
        << path;
    return key;
}

void setString(HKEY key, const char* name, const std::string& text) {
    ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>(text.size() + 1)),
              ERROR_SUCCESS);
}

std::string readString(HKEY key, const char* name) {
    char buf[512] = {};
    DWORD size = sizeof buf;
    DWORD type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) != ERROR_SUCCESS)
        return "<missing>";
    return std::string(buf);
}

}  // namespace

TEST(Registry, ValuesOfEachTypeReadBackAcrossHandles) {
    TempHome home;
    HKEY key = create(HKEY_CURRENT_USER, "Software\\Orvikon\\Orvik数字证书助手\\Common");
    setString(key, "InstallDir", "/opt/orvik");
    DWORD flag = 0x01020304;
    ASSERT_EQ(RegSetValueExA(key, "Flag", 0, REG_DWORD, reinterpret_cast<BYTE*>(&flag), sizeof flag), ERROR_SUCCESS);
    const BYTE blob[] = {0, 1, 2, 0xFF, 0};
    ASSERT_EQ(RegSetValueExA(key, "Blob", 0, REG_BINARY, blob, sizeof blob), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    HKEY again = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "software\\ORVIKON\\Orvik数字证书助手\\common", 0, KEY_READ, &again),
              ERROR_SUCCESS);
    EXPECT_EQ(readString(again, "installdir"), "/opt/orvik");
    DWORD type = 0, value = 0, size = sizeof value;
    ASSERT_EQ(RegQueryValueExA(again, "FLAG", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value, flag);
    BYTE out[8] = {};
    size = sizeof out;
    ASSERT_EQ(RegQueryValueExA(again, "Blob", nullptr, &type, out, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    ASSERT_EQ(size, sizeof blob);
    EXPECT_EQ(std::memcmp(out, blob, sizeof blob), 0);
    RegCloseKey(again);
}

TEST(Registry, SizeQueryAndShortBufferFollowTheDocumentedRules) {
    TempHome home;
    HKEY key = create(HKEY_LOCAL_MACHINE, "Software\\Test");
    setString(key, "Name", "abcdef");

    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Name", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 7u) << "the size counts the stored NUL";

    char small[4] = {'x', 'x', 'x', 'x'};
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExA(key, "Name", nullptr, nullptr, reinterpret_cast<BYTE*>(small), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 7u) << "a short buffer learns the size it needs";

    char exact[7];
    size = sizeof exact;
    EXPECT_EQ(RegQueryValueExA(key, "Name", nullptr, nullptr, reinterpret_cast<BYTE*>(exact), &size), ERROR_SUCCESS);
    EXPECT_STREQ(exact, "abcdef");

    EXPECT_EQ(RegQueryValueExA(key, "Name", nullptr, nullptr, reinterpret_cast<BYTE*>(exact), nullptr),
              ERROR_INVALID_PARAMETER);
    size = sizeof exact;
    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, reinterpret_cast<BYTE*>(exact), &size),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST(Registry, DefaultValueThroughRegQueryValue) {
    TempHome home;
    HKEY key = create(HKEY_CLASSES_ROOT, ".htm");
    char buf[260];
    LONG size = sizeof buf;
    // A default value that was never set reads as the empty text.
    ASSERT_EQ(RegQueryValueA(HKEY_CLASSES_ROOT, ".htm", buf, &size), ERROR_SUCCESS);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(size, 1);

    setString(key, nullptr, "htmlfile");
    size = sizeof buf;
    ASSERT_EQ(RegQueryValueA(HKEY_CLASSES_ROOT, ".HTM", buf, &size), ERROR_SUCCESS);
    EXPECT_STREQ(buf, "htmlfile");
    EXPECT_EQ(size, 9);
    size = 0;
    ASSERT_EQ(RegQueryValueA(key, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 9);
    size = 3;
    EXPECT_EQ(RegQueryValueA(key, "", buf, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 9);
    EXPECT_EQ(RegQueryValueA(HKEY_CLASSES_ROOT, ".none", buf, &size), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST(Registry, OpeningAMissingKeyFailsAndCreateReportsItsDisposition) {
    TempHome home;
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Nothing", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);

    DWORD disposition = 0;
    ASSERT_EQ(
        RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\A\\B", 0, nullptr, 0, KEY_WRITE, nullptr, &key, &disposition),
        ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    RegCloseKey(key);
    ASSERT_EQ(
        RegCreateKeyExA(HKEY_CURRENT_USER, "software\\a\\b", 0, nullptr, 0, KEY_WRITE, nullptr, &key, &disposition),
        ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    RegCloseKey(key);

    // The hives are separate.
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software\\A", &key), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "Software\\A", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\C", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\V", 0, nullptr, REG_OPTION_VOLATILE, KEY_WRITE, nullptr,
                              &key, nullptr),
              ERROR_NOT_SUPPORTED);
}

TEST(Registry, EnumerationOrderAndBounds) {
    TempHome home;
    HKEY key = create(HKEY_CURRENT_USER, "Software\\Enum");
    for (const char* name : {"beta", "Alpha", "gamma"}) RegCloseKey(create(key, name));
    setString(key, "z", "1");
    setString(key, "a", "2");
    setString(key, "m", "3");
    setString(key, "Z", "4");  // the same value as "z": keeps its place and spelling

    std::vector<std::string> keys;
    char name[64];
    for (DWORD i = 0;; ++i) {
        LONG rc = RegEnumKeyA(key, i, name, sizeof name);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(rc, ERROR_SUCCESS);
        keys.push_back(name);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"Alpha", "beta", "gamma"}));

    DWORD size = 3;
    EXPECT_EQ(RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    size = sizeof name;
    FILETIME written{};
    ASSERT_EQ(RegEnumKeyExA(key, 1, name, &size, nullptr, nullptr, nullptr, &written), ERROR_SUCCESS);
    EXPECT_EQ(size, 4u);
    EXPECT_GT(written.dwHighDateTime, 0u);

    std::vector<std::string> values;
    for (DWORD i = 0;; ++i) {
        DWORD nameSize = sizeof name, type = 0;
        char data[16];
        DWORD dataSize = sizeof data;
        LONG rc = RegEnumValueA(key, i, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataSize);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(rc, ERROR_SUCCESS);
        EXPECT_EQ(nameSize, std::strlen(name));
        values.push_back(std::string(name) + "=" + data);
    }
    EXPECT_EQ(values, (std::vector<std::string>{"z=4", "a=2", "m=3"}));

    DWORD nameSize = sizeof name, dataSize = 1;
    char data[1];
    EXPECT_EQ(RegEnumValueA(key, 0, name, &nameSize, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &dataSize),
              ERROR_MORE_DATA);
    EXPECT_EQ(dataSize, 2u);
    nameSize = 1;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &nameSize, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    RegCloseKey(key);
}

TEST(Registry, DeletingKeysAndValues) {
    TempHome home;
    HKEY key = create(HKEY_CURRENT_USER, "Software\\Del\\Child");
    setString(key, "v", "x");
    EXPECT_EQ(RegDeleteValueA(key, "v"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "v"), ERROR_FILE_NOT_FOUND);
    setString(key, "v", "x");

    // A key with subkeys stays.
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Del"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Del\\child"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Del\\Child"), ERROR_FILE_NOT_FOUND);

    // The handle to the deleted key no longer reaches anything, and a new key of the same name
    // starts empty.
    EXPECT_EQ(RegSetValueExA(key, "w", 0, REG_SZ, reinterpret_cast<const BYTE*>("y"), 2), ERROR_KEY_DELETED);
    RegCloseKey(key);
    key = create(HKEY_CURRENT_USER, "Software\\Del\\Child");
    EXPECT_EQ(readString(key, "v"), "<missing>");
    RegCloseKey(key);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Del\\Child"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Del"), ERROR_SUCCESS);
}

TEST(Registry, HandlesAreCheckedAndUnsupportedTypesRefused) {
    TempHome home;
    EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
    int bogus = 0;
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(&bogus)), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegSetValueExA(reinterpret_cast<HKEY>(&bogus), "x", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1),
              ERROR_INVALID_HANDLE);
    HKEY key = create(HKEY_CURRENT_USER, "Software\\T");
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE) << "a second close is refused, not a double free";

    key = create(HKEY_CURRENT_USER, "Software\\T");
    EXPECT_EQ(RegSetValueExA(key, "m", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>("a\0\0"), 3),
              ERROR_NOT_SUPPORTED);
    RegCloseKey(key);
}

TEST(Registry, EachHomeHasItsOwnDatabase) {
    std::string first;
    {
        TempHome home;
        first = home.path();
        HKEY key = create(HKEY_CURRENT_USER, "Software\\Only");
        RegCloseKey(key);
        EXPECT_TRUE(orvik::test::fileExists(home.file("registry.db")));
    }
    TempHome other;
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "Software\\Only", &key), ERROR_FILE_NOT_FOUND);
}

TEST(Registry, DamagedDatabaseFailsWithoutBeingOverwritten) {
    TempHome home;
    const std::string garbage(8192, 'G');
    orvik::test::writeFile(home.file("registry.db"), garbage);
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\X", &key), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "Software", &key), ERROR_REGISTRY_CORRUPT);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(HKEY_CURRENT_USER, "x", nullptr, nullptr, nullptr, &size), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(orvik::test::readFile(home.file("registry.db")), garbage);
}

TEST(Registry, UnopenableDatabaseFailsWithAnErrorCode) {
    orvik::test::TempDir dir;
    // A home below a regular file can never be created, not even by root.
    orvik::test::writeFile(dir.file("plain"), "x");
    setenv("ORVIK_HOME", dir.file("plain/home").c_str(), 1);
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\X", &key), ERROR_REGISTRY_IO_FAILED);
    unsetenv("ORVIK_HOME");
}

TEST(Registry, TheHomeAndItsDatabaseAreTheUsersAlone) {
    const auto modeOf = [](const std::string& path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
    };
    for (bool existing : {false, true}) {
        SCOPED_TRACE(existing ? "a home made earlier, open to all" : "a new home");
        TempHome home;
        if (existing) {
            // As an older version or a user's mkdir left it.
            ASSERT_EQ(chmod(home.path().c_str(), 0755), 0);
            orvik::test::writeFile(home.file("registry.db"), "");
            ASSERT_EQ(chmod(home.file("registry.db").c_str(), 0644), 0);
        } else {
            ASSERT_EQ(rmdir(home.path().c_str()), 0);
        }
        HKEY key = create(HKEY_CURRENT_USER, "Software\\Orvikon\\Private");
        ASSERT_NE(key, nullptr);
        setString(key, "Value", "written");
        RegCloseKey(key);
        EXPECT_EQ(modeOf(home.path()), 0700);
        EXPECT_EQ(modeOf(home.file("registry.db")), 0600);
        // The journal takes the database's mode.
        if (modeOf(home.file("registry.db-wal")) != -1) {
            EXPECT_EQ(modeOf(home.file("registry.db-wal")), 0600);
        }
    }
}
