// The registry functions over RegistryDatabase. Handles are heap objects that remember the
// database they were opened in, so a test that moves ORVIK_HOME never mixes two databases.
#include <cstring>
#include <mutex>
#include <unordered_set>

#include <winreg.h>

#include "RegistryDatabase.h"
#include "RegistryInternal.h"

using orvik::registry::KeyRecord;
using orvik::registry::RegistryDatabase;
using orvik::registry::ValueRecord;

namespace {

struct OpenKey {
    std::shared_ptr<RegistryDatabase> db;
    int64_t id;
};

std::mutex& handlesLock() {
    static std::mutex lock;
    return lock;
}

std::unordered_set<OpenKey*>& handles() {
    static std::unordered_set<OpenKey*> set;
    return set;
}

bool isPredefined(HKEY key) {
    return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE;
}

// Resolves a handle to its database and key id.
LONG resolve(HKEY key, OpenKey& out) {
    if (isPredefined(key)) {
        LONG error = ERROR_SUCCESS;
        out.db = RegistryDatabase::current(&error);
        if (!out.db) return error;
        out.id = key == HKEY_CLASSES_ROOT   ? RegistryDatabase::ClassesRoot
                 : key == HKEY_CURRENT_USER ? RegistryDatabase::CurrentUser
                                            : RegistryDatabase::LocalMachine;
        return ERROR_SUCCESS;
    }
    std::lock_guard guard(handlesLock());
    auto* open = reinterpret_cast<OpenKey*>(key);
    if (!key || !handles().count(open)) return ERROR_INVALID_HANDLE;
    out = *open;
    return ERROR_SUCCESS;
}

HKEY newHandle(const OpenKey& key) {
    auto* open = new OpenKey(key);
    std::lock_guard guard(handlesLock());
    handles().insert(open);
    return reinterpret_cast<HKEY>(open);
}

// "A\\B\\C" into its names; empty names from doubled or trailing separators are ignored.
std::vector<std::string> splitPath(const char* path) {
    std::vector<std::string> names;
    if (!path) return names;
    std::string name;
    for (const char* p = path; *p; ++p) {
        if (*p == '\\') {
            if (!name.empty()) names.push_back(std::move(name));
            name.clear();
        } else {
            name.push_back(*p);
        }
    }
    if (!name.empty()) names.push_back(std::move(name));
    return names;
}

LONG openPath(HKEY key, const char* subKey, PHKEY result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    OpenKey base;
    if (LONG rc = resolve(key, base); rc != ERROR_SUCCESS) return rc;
    OpenKey found{base.db, 0};
    if (LONG rc = base.db->findKey(base.id, splitPath(subKey), found.id); rc != ERROR_SUCCESS) return rc;
    *result = newHandle(found);
    return ERROR_SUCCESS;
}

// Copies a name into a caller's buffer of `capacity` characters including the NUL.
bool copyName(const std::string& name, char* out, DWORD capacity) {
    if (!out || name.size() + 1 > capacity) return false;
    std::memcpy(out, name.c_str(), name.size() + 1);
    return true;
}

// The size-query and bounded-buffer rule of the value functions.
LONG copyData(const std::vector<BYTE>& data, LPBYTE out, LPDWORD size) {
    if (!size) return out ? ERROR_INVALID_PARAMETER : ERROR_SUCCESS;
    DWORD capacity = *size;
    *size = static_cast<DWORD>(data.size());
    if (!out) return ERROR_SUCCESS;
    if (data.size() > capacity) return ERROR_MORE_DATA;
    if (!data.empty()) std::memcpy(out, data.data(), data.size());
    return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

LONG WINAPI RegOpenKeyA(HKEY key, LPCSTR subKey, PHKEY result) {
    if (result && isPredefined(key) && (!subKey || !*subKey)) {
        *result = key;
        return ERROR_SUCCESS;
    }
    return openPath(key, subKey, result);
}

LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM, PHKEY result) {
    // Only REG_OPTION_OPEN_LINK exists besides 0, and links are not kept here.
    if (options != 0) return ERROR_NOT_SUPPORTED;
    return openPath(key, subKey, result);
}

LONG WINAPI RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD options, REGSAM, const SECURITY_ATTRIBUTES*,
                            PHKEY result, LPDWORD disposition) {
    if (!result || !subKey) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    // Volatile keys, links and backup semantics are not kept here.
    if (options != REG_OPTION_NON_VOLATILE) return ERROR_NOT_SUPPORTED;
    OpenKey base;
    if (LONG rc = resolve(key, base); rc != ERROR_SUCCESS) return rc;
    OpenKey made{base.db, 0};
    bool created = false;
    if (LONG rc = base.db->createKey(base.id, splitPath(subKey), made.id, created); rc != ERROR_SUCCESS) return rc;
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = newHandle(made);
    return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyA(HKEY key, LPCSTR subKey, PHKEY result) {
    if (result && isPredefined(key) && (!subKey || !*subKey)) {
        *result = key;
        return ERROR_SUCCESS;
    }
    return RegCreateKeyExA(key, subKey ? subKey : "", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                           result, nullptr);
}

LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    if (data && !dataSize) return ERROR_INVALID_PARAMETER;
    OpenKey open;
    if (LONG rc = resolve(key, open); rc != ERROR_SUCCESS) return rc;
    ValueRecord value;
    if (LONG rc = open.db->getValue(open.id, valueName ? valueName : "", value); rc != ERROR_SUCCESS) return rc;
    if (type) *type = value.type;
    return copyData(value.data, data, dataSize);
}

LONG WINAPI RegQueryValueA(HKEY key, LPCSTR subKey, LPSTR data, PLONG dataSize) {
    if (data && !dataSize) return ERROR_INVALID_PARAMETER;
    if (dataSize && *dataSize < 0) return ERROR_INVALID_PARAMETER;
    HKEY target = key;
    bool opened = false;
    if (subKey && *subKey) {
        if (LONG rc = RegOpenKeyExA(key, subKey, 0, KEY_QUERY_VALUE, &target); rc != ERROR_SUCCESS) return rc;
        opened = true;
    }
    DWORD size = dataSize ? static_cast<DWORD>(*dataSize) : 0;
    DWORD type = REG_NONE;
    LONG rc = RegQueryValueExA(target, "", nullptr, &type, reinterpret_cast<LPBYTE>(data), dataSize ? &size : nullptr);
    if (rc == ERROR_FILE_NOT_FOUND) {
        // A key whose default value was never set reads as the empty text.
        rc = ERROR_SUCCESS;
        if (dataSize) {
            if (data && *dataSize < 1) {
                rc = ERROR_MORE_DATA;
            } else if (data) {
                *data = '\0';
            }
            size = 1;
        }
    } else if (rc == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ) {
        rc = ERROR_INVALID_DATA;
    }
    if (dataSize && (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA)) *dataSize = static_cast<LONG>(size);
    if (opened) RegCloseKey(target);
    return rc;
}

LONG WINAPI RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD dataSize) {
    if (type != REG_SZ && type != REG_BINARY && type != REG_DWORD) return ERROR_NOT_SUPPORTED;
    if (!data && dataSize) return ERROR_NOACCESS;
    OpenKey open;
    if (LONG rc = resolve(key, open); rc != ERROR_SUCCESS) return rc;
    return open.db->setValue(open.id, valueName ? valueName : "", type, data, dataSize);
}

LONG WINAPI RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD, LPSTR className,
                          LPDWORD classSize, PFILETIME lastWriteTime) {
    if (!name || !nameSize) return ERROR_INVALID_PARAMETER;
    OpenKey open;
    if (LONG rc = resolve(key, open); rc != ERROR_SUCCESS) return rc;
    KeyRecord sub;
    if (LONG rc = open.db->subKeyAt(open.id, index, sub); rc != ERROR_SUCCESS) return rc;
    if (!copyName(sub.name, name, *nameSize)) return ERROR_MORE_DATA;
    *nameSize = static_cast<DWORD>(sub.name.size());
    // Keys here have no class.
    if (className && classSize && *classSize > 0) *className = '\0';
    if (classSize) *classSize = 0;
    if (lastWriteTime) {
        lastWriteTime->dwLowDateTime = static_cast<DWORD>(sub.written & 0xFFFFFFFF);
        lastWriteTime->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(sub.written) >> 32);
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD nameSize) {
    DWORD size = nameSize;
    return RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr);
}

LONG WINAPI RegEnumValueA(HKEY key, DWORD index, LPSTR valueName, LPDWORD valueNameSize, LPDWORD, LPDWORD type,
                          LPBYTE data, LPDWORD dataSize) {
    if (!valueName || !valueNameSize) return ERROR_INVALID_PARAMETER;
    if (data && !dataSize) return ERROR_INVALID_PARAMETER;
    OpenKey open;
    if (LONG rc = resolve(key, open); rc != ERROR_SUCCESS) return rc;
    ValueRecord value;
    if (LONG rc = open.db->valueAt(open.id, index, value); rc != ERROR_SUCCESS) return rc;
    if (!copyName(value.name, valueName, *valueNameSize)) return ERROR_MORE_DATA;
    *valueNameSize = static_cast<DWORD>(value.name.size());
    if (type) *type = value.type;
    return copyData(value.data, data, dataSize);
}

LONG WINAPI RegDeleteKeyA(HKEY key, LPCSTR subKey) {
    if (!subKey) return ERROR_INVALID_PARAMETER;
    OpenKey open;
    if (LONG rc = resolve(key, open); rc != ERROR_SUCCESS) return rc;
    std::vector<std::string> names = splitPath(subKey);
    // The key itself cannot be deleted through its own handle here.
    if (names.empty()) return ERROR_BADKEY;
    std::string last = names.back();
    names.pop_back();
    int64_t parent = 0;
    if (LONG rc = open.db->findKey(open.id, names, parent); rc != ERROR_SUCCESS) return rc;
    return open.db->deleteKey(parent, last);
}

LONG WINAPI RegDeleteValueA(HKEY key, LPCSTR valueName) {
    OpenKey open;
    if (LONG rc = resolve(key, open); rc != ERROR_SUCCESS) return rc;
    return open.db->deleteValue(open.id, valueName ? valueName : "");
}

LONG WINAPI RegCloseKey(HKEY key) {
    if (isPredefined(key)) return ERROR_SUCCESS;
    OpenKey* open = reinterpret_cast<OpenKey*>(key);
    {
        std::lock_guard guard(handlesLock());
        if (!key || !handles().erase(open)) return ERROR_INVALID_HANDLE;
    }
    delete open;
    return ERROR_SUCCESS;
}

}  // extern "C"

namespace orvik::registry {

LONG readSubKeyValues(HKEY hive, const std::string& path, const std::string& valueName,
                      std::vector<std::pair<std::string, std::vector<BYTE>>>& out) {
    out.clear();
    HKEY key = nullptr;
    if (LONG rc = RegOpenKeyExA(hive, path.c_str(), 0, KEY_READ, &key); rc != ERROR_SUCCESS) return rc;
    OpenKey open;
    LONG rc = resolve(key, open);
    std::vector<std::pair<std::string, ValueRecord>> rows;
    if (rc == ERROR_SUCCESS) rc = open.db->subKeyValues(open.id, valueName, rows);
    RegCloseKey(key);
    for (auto& [name, value] : rows) out.emplace_back(std::move(name), std::move(value.data));
    return rc;
}

}  // namespace orvik::registry
