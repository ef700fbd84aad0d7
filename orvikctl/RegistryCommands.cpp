// reg: read and write the registry database of $ORVIK_HOME.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <orvik/RegFile.h>
#include <windows.h>

#include "Command.h"
#include "Options.h"

namespace orvikctl {
namespace {

struct Root {
    const char* shortName;
    const char* longName;
    HKEY key;
};

const Root kRoots[] = {
    {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
};

std::string errorText(LONG rc) {
    switch (rc) {
    case ERROR_FILE_NOT_FOUND: return "not found";
    case ERROR_ACCESS_DENIED: return "access denied (a key with subkeys is not deleted)";
    case ERROR_REGISTRY_CORRUPT: return "the registry database is damaged";
    case ERROR_REGISTRY_IO_FAILED: return "the registry database cannot be opened";
    case ERROR_DISK_FULL: return "the disk is full";
    default: return "error " + std::to_string(rc);
    }
}

// "HKCU\Software\X" into its root and the rest.
bool splitKey(const std::string& path, HKEY& root, std::string& rest) {
    size_t sep = path.find('\\');
    std::string head = path.substr(0, sep);
    rest = sep == std::string::npos ? std::string() : path.substr(sep + 1);
    for (const auto& r : kRoots)
        if (!strcasecmp(head.c_str(), r.shortName) || !strcasecmp(head.c_str(), r.longName)) {
            root = r.key;
            return true;
        }
    return false;
}

// Opens (or creates) the key a command names; prints the failure.
HKEY openKey(const std::string& path, bool create) {
    HKEY root = nullptr;
    std::string rest;
    if (!splitKey(path, root, rest)) {
        fail("a key starts with HKCU, HKLM or HKCR: " + path);
        return nullptr;
    }
    HKEY key = nullptr;
    LONG rc = create ? RegCreateKeyExA(root, rest.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr)
                     : RegOpenKeyExA(root, rest.c_str(), 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS) {
        fail(path + ": " + errorText(rc));
        return nullptr;
    }
    return key;
}

struct KeyCloser {
    HKEY key;
    ~KeyCloser() {
        if (key) RegCloseKey(key);
    }
};

std::string typeName(DWORD type) {
    switch (type) {
    case REG_SZ: return "REG_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    default: return "type " + std::to_string(type);
    }
}

void printValue(const std::string& name, DWORD type, const std::string& data) {
    std::string shown;
    if (type == REG_SZ) {
        shown = std::string(data.c_str(), strnlen(data.data(), data.size()));
    } else if (type == REG_DWORD && data.size() == 4) {
        DWORD v = 0;
        std::memcpy(&v, data.data(), 4);
        char buf[32];
        std::snprintf(buf, sizeof buf, "0x%08x (%u)", v, v);
        shown = buf;
    } else {
        shown = toHex(data);
    }
    std::printf("%s\t%s\t%s\n", name.empty() ? "(default)" : name.c_str(), typeName(type).c_str(), shown.c_str());
}

int query(const Args& args) {
    if (args.empty() || args.size() > 2) return usage("reg-query");
    HKEY key = openKey(args[0], false);
    if (!key) return Failed;
    KeyCloser closer{key};
    if (args.size() == 2) {
        DWORD type = 0, size = 0;
        const char* name = args[1] == "(default)" ? "" : args[1].c_str();
        LONG rc = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size);
        std::string data(size, '\0');
        if (rc == ERROR_SUCCESS)
            rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
        if (rc != ERROR_SUCCESS) return fail(args[1] + ": " + errorText(rc));
        data.resize(size);
        printValue(args[1] == "(default)" ? "" : args[1], type, data);
        return Ok;
    }
    char name[16384];
    for (DWORD i = 0;; ++i) {
        DWORD nameSize = sizeof name, type = 0, size = 0;
        LONG rc = RegEnumValueA(key, i, name, &nameSize, nullptr, &type, nullptr, &size);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) return fail(errorText(rc));
        std::string data(size, '\0');
        nameSize = sizeof name;
        rc = RegEnumValueA(key, i, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
        if (rc != ERROR_SUCCESS) return fail(errorText(rc));
        data.resize(size);
        printValue(name, type, data);
    }
    for (DWORD i = 0;; ++i) {
        LONG rc = RegEnumKeyA(key, i, name, sizeof name);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) return fail(errorText(rc));
        std::printf("%s\\\n", name);
    }
    return Ok;
}

int set(const Args& args) {
    if (args.size() != 4) return usage("reg-set");
    const std::string& kind = args[2];
    std::string data;
    DWORD type = 0;
    if (kind == "sz") {
        type = REG_SZ;
        data = args[3];
        data.push_back('\0');
    } else if (kind == "dword") {
        type = REG_DWORD;
        char* end = nullptr;
        unsigned long v = std::strtoul(args[3].c_str(), &end, 0);
        if (!end || *end || v > 0xFFFFFFFFul) return fail("not a 32-bit number: " + args[3]);
        DWORD d = static_cast<DWORD>(v);
        data.assign(reinterpret_cast<const char*>(&d), 4);
    } else if (kind == "binary") {
        type = REG_BINARY;
        if (!parseHex(args[3], data)) return fail("not hexadecimal: " + args[3]);
    } else {
        return usage("reg-set");
    }
    HKEY key = openKey(args[0], true);
    if (!key) return Failed;
    KeyCloser closer{key};
    const char* name = args[1] == "(default)" ? "" : args[1].c_str();
    LONG rc =
        RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()));
    return rc == ERROR_SUCCESS ? Ok : fail(args[1] + ": " + errorText(rc));
}

int remove(const Args& args) {
    if (args.empty() || args.size() > 2) return usage("reg-delete");
    if (args.size() == 2) {
        HKEY key = openKey(args[0], false);
        if (!key) return Failed;
        KeyCloser closer{key};
        LONG rc = RegDeleteValueA(key, args[1] == "(default)" ? "" : args[1].c_str());
        return rc == ERROR_SUCCESS ? Ok : fail(args[1] + ": " + errorText(rc));
    }
    HKEY root = nullptr;
    std::string rest;
    if (!splitKey(args[0], root, rest) || rest.empty()) return fail("name a key below a root: " + args[0]);
    LONG rc = RegDeleteKeyA(root, rest.c_str());
    return rc == ERROR_SUCCESS ? Ok : fail(args[0] + ": " + errorText(rc));
}

std::string count(int n, const char* noun) { return std::to_string(n) + " " + noun + (n == 1 ? "" : "s"); }

int importFile(const Args& args) {
    Parsed p = parseOptions(args, {}, {"any-key"});
    if (!p.ok) return fail(p.error);
    if (p.positional.size() != 1) return usage("reg-import");
    const std::string& path = p.positional[0];
    // Refused before it is read into memory: a larger file, a FIFO, a device.
    std::string bytes, error;
    if (!readAll(path, bytes, kRegistryFile, error)) return fail(error);
    const orvik::RegImportScope scope =
        p.has("any-key") ? orvik::RegImportScope::AnyKey : orvik::RegImportScope::MailAndAssistant;
    orvik::RegImportResult result = orvik::importRegFile(bytes, scope);
    if (!result.refused.empty()) {
        fail(path + ": " + result.error + "; nothing was imported (--any-key imports them too):");
        for (const std::string& key : result.refused) std::fprintf(stderr, "refused: %s\n", key.c_str());
        return Failed;
    }
    if (!result.ok) return fail(path + ": " + result.error + "; nothing was imported");
    std::string summary = "imported: " + count(result.keysCreated, "key") + ", " + count(result.valuesWritten, "value");
    if (result.keysDeleted || result.valuesDeleted)
        summary += "; deleted: " + count(result.keysDeleted, "key") + ", " + count(result.valuesDeleted, "value");
    std::printf("%s\n", summary.c_str());
    for (const std::string& value : result.skipped) std::printf("skipped: %s\n", value.c_str());
    return Ok;
}

const bool added = registered({
    {"reg-query", "KEY [VALUE]", "show a key's values and subkeys, or one value (KEY like HKCU\\Software\\Orvikon)",
     query},
    {"reg-set", "KEY VALUE sz|dword|binary DATA", "write a value, creating the key; (default) names the unnamed one",
     set},
    {"reg-delete", "KEY [VALUE]", "delete a value, or a key that has no subkeys", remove},
    {"reg-import", "FILE.reg [--any-key]",
     "import a file exported by the Windows registry editor, whole or not at all: mail accounts, address book, "
     "Foxmail and the assistant's settings; any other key only with --any-key",
     importFile},
});

}  // namespace
}  // namespace orvikctl
