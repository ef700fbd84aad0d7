// The .reg import: the file is decoded to UTF-8 text, parsed whole into a list of operations, and
// only then applied through the public registry calls, in one transaction.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <orvik/CodePage.h>
#include <orvik/RegFile.h>
#include <winreg.h>

#include "RegistryDatabase.h"

namespace orvik {
namespace {

const char kVersion5[] = "Windows Registry Editor Version 5.00";
const char kVersion4[] = "REGEDIT4";

// Which encoding the string bytes of hex(1) values carry.
enum class Dialect { Version5, Regedit4 };

struct KeyName {
    HKEY root;
    std::string path;   // below the root
    std::string shown;  // as the file wrote it, for messages
};

struct Operation {
    enum Kind { OpenKey, DeleteKey, SetValue, DeleteValue } kind = OpenKey;
    int line = 0;
    size_t key = 0;  // index into the parsed keys
    std::string name{};
    DWORD type = REG_NONE;
    std::string data{};
};

std::u16string utf16Units(std::string_view bytes) {
    std::u16string units(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i)
        units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                         static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    return units;
}

// The file as UTF-8 text.
bool decodeText(std::string_view bytes, std::string& text, std::string& error) {
    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
        bytes.remove_prefix(2);
        if (bytes.size() % 2) {
            error = "the UTF-16 text ends in the middle of a character";
            return false;
        }
        text = utf16ToUtf8(utf16Units(bytes));
    } else if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        text = bytes.substr(3);
    } else if (orvik::isValidUtf8(bytes)) {
        text = bytes;
    } else {
        // Not UTF-8: the ANSI code page of the users' Windows machines.
        cp936ToUtf8(bytes, text);
    }
    return true;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// 1 to 8 hex digits and nothing else.
bool parseHex32(std::string_view s, DWORD& out) {
    if (s.empty() || s.size() > 8) return false;
    out = 0;
    for (char c : s) {
        int d = hexDigit(c);
        if (d < 0) return false;
        out = out << 4 | static_cast<DWORD>(d);
    }
    return true;
}

std::string typeName(DWORD type) {
    switch (type) {
    case 0: return "REG_NONE";
    case 2: return "REG_EXPAND_SZ";
    case 5: return "REG_DWORD_BIG_ENDIAN";
    case 6: return "REG_LINK";
    case 7: return "REG_MULTI_SZ";
    case 8: return "REG_RESOURCE_LIST";
    case 9: return "REG_FULL_RESOURCE_DESCRIPTOR";
    case 10: return "REG_RESOURCE_REQUIREMENTS_LIST";
    case 11: return "REG_QWORD";
    default: {
        char buf[24];
        std::snprintf(buf, sizeof buf, "type 0x%x", type);
        return buf;
    }
    }
}

// The registry keeps REG_SZ as UTF-8 with its NUL; the text ends at the first NUL as readers see it.
std::string storedText(std::string_view bytes, Dialect dialect) {
    std::string text;
    if (dialect == Dialect::Version5) {
        std::u16string units = utf16Units(bytes);  // a half unit at the end carries no character
        units.resize(std::char_traits<char16_t>::length(units.c_str()));
        text = utf16ToUtf8(units);
    } else {
        cp936ToUtf8(bytes.substr(0, bytes.find('\0')), text);
    }
    text.push_back('\0');
    return text;
}

class Lines {
public:
    explicit Lines(std::string_view text) : rest_(text) {}
    bool next(std::string_view& line) {
        if (done_) return false;
        size_t end = rest_.find('\n');
        line = rest_.substr(0, end);
        if (end == std::string_view::npos) {
            done_ = true;
        } else {
            rest_.remove_prefix(end + 1);
        }
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        ++number_;
        return true;
    }
    int number() const { return number_; }

private:
    std::string_view rest_;
    bool done_ = false;
    int number_ = 0;
};

// Reads the whole file into keys and operations; values of types the registry does not keep go to
// `skipped` instead.
class Parser {
public:
    explicit Parser(std::string_view text) : lines_(text) {}

    bool run() {
        std::string_view line;
        lines_.next(line);
        line = trim(line);
        if (line == kVersion5) {
            dialect_ = Dialect::Version5;
        } else if (line == kVersion4) {
            dialect_ = Dialect::Regedit4;
        } else {
            return fail("not a registry file");
        }
        while (lines_.next(line)) {
            line = trim(line);
            if (line.empty() || line.front() == ';') continue;
            bool ok = line.front() == '['                          ? keyLine(line)
                      : line.front() == '"' || line.front() == '@' ? valueLine(line)
                                                                   : fail("not a key, a value or a comment");
            if (!ok) return false;
        }
        return true;
    }

    std::vector<KeyName> keys;
    std::vector<Operation> operations;
    std::vector<std::string> skipped;
    std::string error;

private:
    bool fail(const std::string& message) {
        error = "line " + std::to_string(lines_.number()) + ": " + message;
        return false;
    }

    bool keyLine(std::string_view line) {
        if (line.size() < 2 || line.back() != ']') return fail("the key has no closing \"]\"");
        std::string_view inner = line.substr(1, line.size() - 2);
        const bool remove = !inner.empty() && inner.front() == '-';
        if (remove) inner.remove_prefix(1);
        if (inner.find('\0') != std::string_view::npos) return fail("a NUL character in a key name");
        size_t sep = inner.find('\\');
        std::string_view path = sep == std::string_view::npos ? std::string_view() : inner.substr(sep + 1);
        HKEY root = nullptr;
        if (!rootFor(inner.substr(0, sep), root)) return false;
        if (remove && path.find_first_not_of('\\') == std::string_view::npos)
            return fail("a root key cannot be deleted");
        keys.push_back({root, std::string(path), std::string(inner)});
        operations.push_back({.kind = remove ? Operation::DeleteKey : Operation::OpenKey,
                              .line = lines_.number(),
                              .key = keys.size() - 1});
        // The values after a deleted key have no key to go to.
        hasKey_ = !remove;
        return true;
    }

    bool rootFor(std::string_view name, HKEY& root) {
        struct Root {
            const char* longName;
            const char* shortName;
            HKEY key;
        };
        static const Root kept[] = {
            {"hkey_current_user", "hkcu", HKEY_CURRENT_USER},
            {"hkey_local_machine", "hklm", HKEY_LOCAL_MACHINE},
            {"hkey_classes_root", "hkcr", HKEY_CLASSES_ROOT},
        };
        auto is = [&](const char* lower) { return name.size() == std::strlen(lower) && startsWithNoCase(name, lower); };
        for (const auto& r : kept)
            if (is(r.longName) || is(r.shortName)) {
                root = r.key;
                return true;
            }
        for (const char* other : {"hkey_users", "hku", "hkey_current_config", "hkcc"})
            if (is(other)) return fail(std::string(name) + " is not kept in this registry");
        return fail("\"" + std::string(name) + "\" is not a registry root");
    }

    static std::string_view withoutComment(std::string_view s) { return trim(s.substr(0, s.find(';'))); }

    // A "..." string with \\ and \" escapes, from `pos`, which it leaves after the closing quote.
    bool quoted(std::string_view line, size_t& pos, std::string& out) {
        ++pos;
        while (pos < line.size()) {
            char c = line[pos++];
            if (c == '"') return true;
            if (c == '\\') {
                if (pos == line.size()) break;
                c = line[pos++];
                if (c != '\\' && c != '"') return fail(std::string("unknown escape \"\\") + c + "\"");
            }
            out.push_back(c);
        }
        return fail("unterminated string");
    }

    bool valueLine(std::string_view line) {
        if (!hasKey_) return fail("a value outside a key");
        size_t pos = 0;
        Operation op{.kind = Operation::SetValue, .line = lines_.number(), .key = keys.size() - 1};
        if (line.front() == '@') {
            pos = 1;
        } else {
            if (!quoted(line, pos, op.name)) return false;
            if (op.name.find('\0') != std::string::npos) return fail("a NUL character in a value name");
        }
        while (pos < line.size() && isBlank(line[pos])) ++pos;
        if (pos == line.size() || line[pos] != '=') return fail("\"=\" missing after the value name");
        std::string_view data = trim(line.substr(pos + 1));
        // Hand-edited files carry "; ..." remarks after the data; a ';' inside the quotes is text.
        if (!data.empty() && data.front() == '"') {
            size_t end = 0;
            std::string text;
            if (!quoted(data, end, text)) return false;
            std::string_view after = trim(data.substr(end));
            if (!after.empty() && after.front() != ';') return fail("text after the closing quote");
            data = data.substr(0, end);
        } else {
            data = withoutComment(data);
        }
        if (data == "-") {
            op.kind = Operation::DeleteValue;
            operations.push_back(std::move(op));
            return true;
        }
        if (!data.empty() && data.front() == '"') {
            size_t end = 0;
            if (!quoted(data, end, op.data)) return false;
            op.type = REG_SZ;
            op.data.push_back('\0');
        } else if (startsWithNoCase(data, "dword:")) {
            DWORD v = 0;
            if (!parseHex32(data.substr(6), v)) return fail("a dword is 1 to 8 hex digits");
            op.type = REG_DWORD;
            for (int i = 0; i < 4; ++i) op.data.push_back(static_cast<char>(v >> (8 * i) & 0xFF));
        } else if (startsWithNoCase(data, "hex:") || startsWithNoCase(data, "hex(")) {
            size_t colon = data.find(':');
            op.type = REG_BINARY;
            if (data[3] == '(') {
                size_t close = data.find(')');
                if (close == std::string_view::npos || close + 1 != colon ||
                    !parseHex32(data.substr(4, close - 4), op.type))
                    return fail("a value type is hex(N): with N in hex digits");
            }
            if (!hexBytes(data.substr(colon + 1), op.data)) return false;
            if (op.type == REG_SZ) op.data = storedText(op.data, dialect_);
        } else {
            return fail("unrecognised value data");
        }
        if (op.type != REG_SZ && op.type != REG_BINARY && op.type != REG_DWORD) {
            skipped.push_back(keys.back().shown + "\\" + (op.name.empty() ? "(default)" : op.name) + " (" +
                              typeName(op.type) + ")");
            return true;
        }
        operations.push_back(std::move(op));
        return true;
    }

    // Comma-separated hex bytes, continued over lines that end with "\"; a byte never spans lines.
    bool hexBytes(std::string_view segment, std::string& out) {
        bool needByte = false;  // after a comma
        for (;;) {
            segment = withoutComment(segment);
            const bool more = !segment.empty() && segment.back() == '\\';
            if (more) segment.remove_suffix(1);
            int digits = 0, value = 0;
            bool closed = false;  // blanks after the digits
            for (char c : segment) {
                if (isBlank(c)) {
                    closed = digits > 0;
                } else if (c == ',') {
                    if (digits == 0) return fail("a comma with no hex byte before it");
                    out.push_back(static_cast<char>(value));
                    digits = value = 0;
                    closed = false;
                    needByte = true;
                } else if (int d = hexDigit(c); d >= 0) {
                    if (closed || digits == 2) return fail("hex bytes are two digits with commas between them");
                    value = value << 4 | d;
                    ++digits;
                } else {
                    return fail(std::string("\"") + c + "\" in hex data");
                }
            }
            if (digits > 0) {
                out.push_back(static_cast<char>(value));
                needByte = false;
            }
            if (!more) break;
            if (digits > 0) return fail("a comma missing before the line continues");
            std::string_view next;
            if (!lines_.next(next)) return fail("the value continues past the end of the file");
            segment = next;
        }
        if (needByte) return fail("hex data ends with a comma");
        return true;
    }

    Lines lines_;
    Dialect dialect_ = Dialect::Version5;
    bool hasKey_ = false;
};

struct KeyHandle {
    HKEY key = nullptr;
    ~KeyHandle() { reset(); }
    void reset() {
        if (key) RegCloseKey(key);
        key = nullptr;
    }
};

// RegDeleteKeyA only deletes a key without subkeys: depth first, without recursion, as a key
// may nest deeper than a stack should.
LONG deleteTree(HKEY root, const std::string& path, int& deleted) {
    struct Frame {
        HKEY key;
        HKEY parent;
        std::string name;
    };
    HKEY top = nullptr;
    LONG rc = RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, &top);
    if (rc != ERROR_SUCCESS) return rc;
    std::vector<Frame> stack{{top, root, path}};
    std::string name(256, '\0');
    while (!stack.empty()) {
        DWORD size = static_cast<DWORD>(name.size());
        rc = RegEnumKeyExA(stack.back().key, 0, name.data(), &size, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_MORE_DATA) {
            name.resize(name.size() * 2);
            continue;
        }
        if (rc == ERROR_SUCCESS) {
            HKEY sub = nullptr;
            std::string child(name.data(), size);
            rc = RegOpenKeyExA(stack.back().key, child.c_str(), 0, KEY_ALL_ACCESS, &sub);
            if (rc != ERROR_SUCCESS) break;
            stack.push_back({sub, stack.back().key, std::move(child)});
            continue;
        }
        if (rc != ERROR_NO_MORE_ITEMS) break;
        Frame done = std::move(stack.back());
        stack.pop_back();
        RegCloseKey(done.key);
        rc = RegDeleteKeyA(done.parent, done.name.c_str());
        if (rc != ERROR_SUCCESS) break;
        ++deleted;
    }
    for (const Frame& f : stack) RegCloseKey(f.key);
    return rc;
}

std::string registryError(const Operation& op, const KeyName& key, LONG rc) {
    std::string what = key.shown;
    if (op.kind == Operation::SetValue || op.kind == Operation::DeleteValue)
        what += ", value \"" + (op.name.empty() ? std::string("(default)") : op.name) + "\"";
    return "line " + std::to_string(op.line) + ": " + what + ": registry error " + std::to_string(rc);
}

// What a default import may write. A whole area takes any key and value below it; an area with
// values named takes only those values of the key itself: the rest of those keys (the update
// server, the installation folder whose program Explorer's menu starts) is not a user's setting.
struct Area {
    const char* path;  // below HKEY_CURRENT_USER
    std::vector<const char*> values;
};

const std::vector<Area>& areas() {
    static const std::vector<Area> all = {
        {"Software\\Microsoft\\Internet Account Manager", {}},
        {"Software\\Microsoft\\WAB", {}},
        {"Software\\Aerofox\\Foxmail", {}},
        {"Software\\Orvikon\\Orvik数字证书助手\\ServiceURL", {}},
        {"Software\\Orvikon\\Orvik数字证书助手\\DefaultEncCert", {}},
        {"Software\\Orvikon\\Orvik数字证书助手\\Common", {"SartOnlineCRLCheck"}},
        {"Software\\Orvikon\\Orvik数字证书助手\\UpdateConfig", {"StartUpCheckNew"}},
    };
    return all;
}

// A path's names as the registry compares them; doubled separators name nothing.
std::vector<std::string> foldedNames(std::string_view path) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) names.push_back(registry::RegistryDatabase::fold(path.substr(start, end - start)));
        start = end + 1;
    }
    return names;
}

bool startsWith(const std::vector<std::string>& names, const std::vector<std::string>& prefix) {
    return names.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), names.begin());
}

// How far a key lies within the areas.
struct Reach {
    enum Kind { Outside, Above, Whole, Values } kind = Outside;
    const Area* area = nullptr;
};

Reach reachOf(const KeyName& key) {
    if (key.root != HKEY_CURRENT_USER) return {};
    const std::vector<std::string> names = foldedNames(key.path);
    Reach reach;
    for (const Area& area : areas()) {
        const std::vector<std::string> top = foldedNames(area.path);
        if (area.values.empty() && startsWith(names, top)) return {Reach::Whole, &area};
        if (names == top) return {Reach::Values, &area};
        if (startsWith(top, names)) reach.kind = Reach::Above;
    }
    return reach;
}

bool valueAllowed(const Reach& reach, const std::string& name) {
    if (reach.kind == Reach::Whole) return true;
    if (reach.kind != Reach::Values) return false;
    for (const char* allowed : reach.area->values)
        if (registry::RegistryDatabase::fold(allowed) == registry::RegistryDatabase::fold(name)) return true;
    return false;
}

// The keys and values outside the areas, each named once, in file order.
std::vector<std::string> outOfScope(const std::vector<KeyName>& keys, const std::vector<Operation>& operations) {
    std::vector<std::string> refused;
    std::vector<bool> keyRefused(keys.size(), false);
    auto add = [&refused](const std::string& what) {
        if (std::find(refused.begin(), refused.end(), what) == refused.end()) refused.push_back(what);
    };
    for (const Operation& op : operations) {
        const KeyName& key = keys[op.key];
        const Reach reach = reachOf(key);
        switch (op.kind) {
        case Operation::OpenKey:
            // Keys above an area only lead to it: an export of an area starts with them.
            if (reach.kind == Reach::Outside) keyRefused[op.key] = true;
            break;
        case Operation::DeleteKey:
            if (reach.kind != Reach::Whole) keyRefused[op.key] = true;
            break;
        case Operation::SetValue:
        case Operation::DeleteValue:
            if (keyRefused[op.key]) break;
            if (!valueAllowed(reach, op.name))
                add(key.shown + "\\" + (op.name.empty() ? std::string("(default)") : op.name));
            continue;
        }
        if (keyRefused[op.key]) add((op.kind == Operation::DeleteKey ? "-" : "") + key.shown);
    }
    return refused;
}

void apply(const std::vector<KeyName>& keys, const std::vector<Operation>& operations, RegImportResult& result) {
    KeyHandle open;
    for (const Operation& op : operations) {
        const KeyName& key = keys[op.key];
        LONG rc = ERROR_SUCCESS;
        switch (op.kind) {
        case Operation::OpenKey: {
            open.reset();
            DWORD disposition = 0;
            rc = RegCreateKeyExA(key.root, key.path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                 nullptr, &open.key, &disposition);
            if (rc == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY) ++result.keysCreated;
            break;
        }
        case Operation::DeleteKey:
            open.reset();
            rc = deleteTree(key.root, key.path, result.keysDeleted);
            // As the registry editor does: deleting what is not there is no failure.
            if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
            break;
        case Operation::SetValue:
            rc = RegSetValueExA(open.key, op.name.c_str(), 0, op.type, reinterpret_cast<const BYTE*>(op.data.data()),
                                static_cast<DWORD>(op.data.size()));
            if (rc == ERROR_SUCCESS) ++result.valuesWritten;
            break;
        case Operation::DeleteValue:
            rc = RegDeleteValueA(open.key, op.name.c_str());
            if (rc == ERROR_SUCCESS) ++result.valuesDeleted;
            if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
            break;
        }
        if (rc != ERROR_SUCCESS) {
            result.error = registryError(op, key, rc);
            return;
        }
    }
    result.ok = true;
}

}  // namespace

RegImportResult importRegFile(std::string_view fileBytes, RegImportScope scope) {
    RegImportResult result;
    if (fileBytes.size() > kMaxRegFileBytes) {
        result.error = "the file is larger than 64 MiB";
        return result;
    }
    std::string text;
    if (!decodeText(fileBytes, text, result.error)) return result;
    Parser parser(text);
    if (!parser.run()) {
        result.error = std::move(parser.error);
        return result;
    }
    if (scope == RegImportScope::MailAndAssistant) {
        result.refused = outOfScope(parser.keys, parser.operations);
        if (!result.refused.empty()) {
            result.error = std::to_string(result.refused.size()) +
                           (result.refused.size() == 1 ? " key lies" : " keys lie") +
                           " outside the mail accounts, the address book, Foxmail and the assistant's settings";
            return result;
        }
    }
    result.skipped = std::move(parser.skipped);
    // A database that cannot be opened takes no batch; the first call then says why.
    LONG opened = ERROR_SUCCESS;
    std::shared_ptr<registry::RegistryDatabase> db = registry::RegistryDatabase::current(&opened);
    std::unique_ptr<registry::RegistryDatabase::Batch> batch;
    if (db) {
        batch = std::make_unique<registry::RegistryDatabase::Batch>(db);
        if (batch->rc() != ERROR_SUCCESS) {
            result.error =
                "the registry database is busy or cannot be written: registry error " + std::to_string(batch->rc());
            return result;
        }
    }
    apply(parser.keys, parser.operations, result);
    if (result.ok && batch) {
        if (LONG rc = batch->commit(); rc != ERROR_SUCCESS) {
            result.ok = false;
            result.error = "the import could not be committed: registry error " + std::to_string(rc);
        }
    }
    if (!result.ok) result.keysCreated = result.keysDeleted = result.valuesWritten = result.valuesDeleted = 0;
    return result;
}

}  // namespace orvik
