// Importing registry editor exports: each encoding, each kind of value, deletions, and that a
// faulty file writes nothing.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <orvik/CodePage.h>
#include <orvik/RegFile.h>
#include <windows.h>

#include "support/TempHome.h"

using orvik::importRegFile;
using orvik::RegImportResult;
using orvik::RegImportScope;
using orvik::test::TempHome;

namespace {

// The tests of the format write keys of their own, outside the default scope.
constexpr RegImportScope kAnyKey = RegImportScope::AnyKey;

const std::string kManager = "Software\\Microsoft\\Internet Account Manager";
const std::string kAccounts = kManager + "\\Accounts";
const std::string kShownAccounts = "HKEY_CURRENT_USER\\" + kAccounts;

// Line ends as the registry editor writes them.
std::string crlf(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out.push_back('\r');
        out.push_back(c);
    }
    return out;
}

std::string utf16le(std::string_view utf8, bool bom = true) {
    std::string out = bom ? "\xFF\xFE" : "";
    for (char16_t unit : orvik::utf8ToUtf16(utf8)) {
        out.push_back(static_cast<char>(unit & 0xFF));
        out.push_back(static_cast<char>(unit >> 8));
    }
    return out;
}

std::string sz(std::string_view text) { return std::string(text) + '\0'; }

std::string dword(DWORD v) { return std::string(reinterpret_cast<const char*>(&v), sizeof v); }

struct Stored {
    DWORD type;
    std::string bytes;
    bool operator==(const Stored&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Stored& v) {
    out << "type " << v.type << ", bytes";
    for (unsigned char c : v.bytes) out << ' ' << std::hex << static_cast<int>(c) << std::dec;
    return out;
}

std::optional<Stored> readValue(HKEY root, const std::string& path, const std::string& name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
    DWORD type = 0, size = 0;
    std::optional<Stored> out;
    if (RegQueryValueExA(key, name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        std::string bytes(size, '\0');
        if (RegQueryValueExA(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(bytes.data()), &size) ==
            ERROR_SUCCESS)
            out = Stored{type, bytes.substr(0, size)};
    }
    RegCloseKey(key);
    return out;
}

std::optional<Stored> readAccountValue(const std::string& account, const std::string& name) {
    return readValue(HKEY_CURRENT_USER, kAccounts + "\\" + account, name);
}

bool keyExists(HKEY root, const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

void createWithValue(const std::string& path, const std::string& name, const std::string& text) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    std::string data = sz(text);
    ASSERT_EQ(RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

// Two mail accounts as a Windows machine exports them.
const char kExport[] = R"reg(Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Microsoft\Internet Account Manager]
"Default Mail Account"="00000001"

[HKEY_CURRENT_USER\Software\Microsoft\Internet Account Manager\Accounts]
"Next Account ID"=dword:00000003

[HKEY_CURRENT_USER\Software\Microsoft\Internet Account Manager\Accounts\00000001]
"Account Name"="张三的邮箱"
"Connection Type"=dword:00000003
"SMTP Server"="smtp.example.com"
"SMTP Port"=dword:00000019
"SMTP Display Name"="张三"
"SMTP Email Address"="zhangsan@example.com"
"SMTP Certificate"=hex:3a,7f,09,c4,5e,11,d2,88,b0,6c,4f,e3,92,15,a8,07,dd,31,\
  6e,f0
"SMTP Secure Connection"=dword:00000001
"Account Folder"=hex(2):25,00,41,00,50,00,50,00,44,00,41,00,54,00,41,00,25,00,\
  5c,00,4d,00,61,00,69,00,6c,00,00,00

[HKEY_CURRENT_USER\Software\Microsoft\Internet Account Manager\Accounts\00000002]
"Account Name"="李四 \"工作\""
"SMTP Server"="mail.corp.example.cn"
"SMTP Email Address"="lisi@corp.example.cn"
"SMTP User Name"="CORP\\lisi"
"SMTP Display Name"=hex(1):4e,67,db,56,00,00
"SMTP Timeout"=hex(4):3c,00,00,00

)reg";

const std::string kCertificateHash = "\x3a\x7f\x09\xc4\x5e\x11\xd2\x88\xb0\x6c\x4f\xe3\x92\x15\xa8\x07\xdd\x31\x6e\xf0";

}  // namespace

TEST(RegFile, Utf16ExportOfMailAccountsReadsBackExactly) {
    TempHome home;
    RegImportResult result = importRegFile(utf16le(crlf(kExport)));
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.keysCreated, 4);
    EXPECT_EQ(result.valuesWritten, 16);
    EXPECT_EQ(result.keysDeleted + result.valuesDeleted, 0);
    EXPECT_EQ(result.skipped, std::vector<std::string>{kShownAccounts + "\\00000001\\Account Folder (REG_EXPAND_SZ)"});

    struct Expected {
        std::string path;
        std::string name;
        Stored value;
    };
    const Expected expected[] = {
        {kManager, "Default Mail Account", {REG_SZ, sz("00000001")}},
        {kAccounts, "Next Account ID", {REG_DWORD, dword(3)}},
        {kAccounts + "\\00000001", "Account Name", {REG_SZ, sz("张三的邮箱")}},
        {kAccounts + "\\00000001", "Connection Type", {REG_DWORD, dword(3)}},
        {kAccounts + "\\00000001", "SMTP Server", {REG_SZ, sz("smtp.example.com")}},
        {kAccounts + "\\00000001", "SMTP Port", {REG_DWORD, dword(25)}},
        {kAccounts + "\\00000001", "SMTP Display Name", {REG_SZ, sz("张三")}},
        {kAccounts + "\\00000001", "SMTP Email Address", {REG_SZ, sz("zhangsan@example.com")}},
        {kAccounts + "\\00000001", "SMTP Certificate", {REG_BINARY, kCertificateHash}},
        {kAccounts + "\\00000001", "SMTP Secure Connection", {REG_DWORD, dword(1)}},
        {kAccounts + "\\00000002", "Account Name", {REG_SZ, sz("李四 \"工作\"")}},
        {kAccounts + "\\00000002", "SMTP Server", {REG_SZ, sz("mail.corp.example.cn")}},
        {kAccounts + "\\00000002", "SMTP Email Address", {REG_SZ, sz("lisi@corp.example.cn")}},
        {kAccounts + "\\00000002", "SMTP User Name", {REG_SZ, sz("CORP\\lisi")}},
        {kAccounts + "\\00000002", "SMTP Display Name", {REG_SZ, sz("李四")}},
        {kAccounts + "\\00000002", "SMTP Timeout", {REG_DWORD, dword(60)}},
    };
    for (const auto& e : expected)
        EXPECT_EQ(readValue(HKEY_CURRENT_USER, e.path, e.name), e.value) << e.path << " " << e.name;
    EXPECT_EQ(readAccountValue("00000001", "Account Folder"), std::nullopt);

    // Importing again finds every key and writes every value over.
    result = importRegFile(utf16le(crlf(kExport)));
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.keysCreated, 0);
    EXPECT_EQ(result.valuesWritten, 16);
    EXPECT_EQ(readAccountValue("00000002", "Account Name"), (Stored{REG_SZ, sz("李四 \"工作\"")}));
}

TEST(RegFile, EveryEncodingOfAVersion5ExportGivesTheSameValues) {
    const struct {
        const char* encoding;
        std::string bytes;
    } files[] = {
        {"UTF-16LE", utf16le(crlf(kExport))},
        {"UTF-16LE with LF", utf16le(kExport)},
        {"UTF-8 with BOM", "\xEF\xBB\xBF" + crlf(kExport)},
        {"UTF-8", kExport},
        {"code page 936", orvik::toCp936(crlf(kExport))},
    };
    for (const auto& f : files) {
        SCOPED_TRACE(f.encoding);
        TempHome home;
        RegImportResult result = importRegFile(f.bytes);
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_EQ(result.keysCreated, 4);
        EXPECT_EQ(result.valuesWritten, 16);
        EXPECT_EQ(result.skipped.size(), 1u);
        EXPECT_EQ(readAccountValue("00000001", "Account Name"), (Stored{REG_SZ, sz("张三的邮箱")}));
        EXPECT_EQ(readAccountValue("00000001", "SMTP Certificate"), (Stored{REG_BINARY, kCertificateHash}));
        // The string bytes of hex(1) in a version 5 file are UTF-16LE whatever the file's encoding.
        EXPECT_EQ(readAccountValue("00000002", "SMTP Display Name"), (Stored{REG_SZ, sz("李四")}));
    }
}

TEST(RegFile, Regedit4InCodePage936) {
    TempHome home;
    const char text[] = R"reg(REGEDIT4

[HKEY_CURRENT_USER\Software\Microsoft\Internet Account Manager\Accounts\00000003]
"Account Name"="王五的邮箱"
"SMTP Server"="smtp.example.net"
"SMTP Email Address"="wangwu@example.net"
"SMTP Display Name"=hex(1):cd,f5,ce,e5,00
"SMTP Port"=dword:000001d1
"备注"="测试账户"
"Account Folder"=hex(2):25,41,50,50,44,41,54,41,25,5c,4d,61,69,6c,00

)reg";
    std::string gbk = orvik::toCp936(crlf(text));
    ASSERT_NE(gbk, crlf(text));
    RegImportResult result = importRegFile(gbk);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.keysCreated, 1);
    EXPECT_EQ(result.valuesWritten, 6);
    EXPECT_EQ(result.skipped, std::vector<std::string>{kShownAccounts + "\\00000003\\Account Folder (REG_EXPAND_SZ)"});
    EXPECT_EQ(readAccountValue("00000003", "Account Name"), (Stored{REG_SZ, sz("王五的邮箱")}));
    EXPECT_EQ(readAccountValue("00000003", "SMTP Server"), (Stored{REG_SZ, sz("smtp.example.net")}));
    // In an ANSI file the string bytes of hex(1) are code page 936 too.
    EXPECT_EQ(readAccountValue("00000003", "SMTP Display Name"), (Stored{REG_SZ, sz("王五")}));
    EXPECT_EQ(readAccountValue("00000003", "SMTP Port"), (Stored{REG_DWORD, dword(465)}));
    EXPECT_EQ(readAccountValue("00000003", "备注"), (Stored{REG_SZ, sz("测试账户")}));
}

TEST(RegFile, EachKindOfValueStoresItsBytes) {
    const struct {
        const char* line;
        const char* name;
        Stored value;
    } cases[] = {
        {R"("v"="smtp.example.com")", "v", {REG_SZ, sz("smtp.example.com")}},
        {R"("v"="")", "v", {REG_SZ, sz("")}},
        {R"x("v"="C:\\Mail \"张三\"")x", "v", {REG_SZ, sz("C:\\Mail \"张三\"")}},
        {R"("v" = "blanks around the sign")", "v", {REG_SZ, sz("blanks around the sign")}},
        {R"(@="the default value")", "", {REG_SZ, sz("the default value")}},
        {R"("显示名称"="张三")", "显示名称", {REG_SZ, sz("张三")}},
        {R"("v"=dword:0000000a)", "v", {REG_DWORD, dword(10)}},
        {R"("v"=DWORD:FFFFFFFF)", "v", {REG_DWORD, dword(0xFFFFFFFF)}},
        {R"("v"=dword:19)", "v", {REG_DWORD, dword(0x19)}},
        {R"("v"=hex:)", "v", {REG_BINARY, ""}},
        {R"("v"=hex:00,ff,7F)", "v", {REG_BINARY, std::string("\x00\xff\x7f", 3)}},
        {R"("v"=hex(3):01,02)", "v", {REG_BINARY, "\x01\x02"}},
        {R"("v"=hex(4):78,56,34,12)", "v", {REG_DWORD, dword(0x12345678)}},
        {R"("v"=hex(1):4e,67,db,56,00,00)", "v", {REG_SZ, sz("李四")}},
        {R"("v"=hex(1):41,00,00,00,43,00,00,00)", "v", {REG_SZ, sz("A")}},
        {R"("v"=hex(1):)", "v", {REG_SZ, sz("")}},
        // Remarks people add after the data; a ';' inside quotes belongs to the text.
        {R"("v"="smtp.example.com" ; the outgoing server)", "v", {REG_SZ, sz("smtp.example.com")}},
        {R"("v"="a;b";c)", "v", {REG_SZ, sz("a;b")}},
        {R"("v"="\";\"" ;)", "v", {REG_SZ, sz("\";\"")}},
        {R"("v;w"="x" ; name with a ';')", "v;w", {REG_SZ, sz("x")}},
        {R"(@="d";default)", "", {REG_SZ, sz("d")}},
        {R"("v"=dword:00000019 ; port 25)", "v", {REG_DWORD, dword(0x19)}},
        {R"("v"=dword:19;)", "v", {REG_DWORD, dword(0x19)}},
        {R"("v"=hex:00,ff ; two bytes)", "v", {REG_BINARY, std::string("\x00\xff", 2)}},
        {"\"v\"=hex:01,02,\\ ; continued\r\n  03 ; last", "v", {REG_BINARY, "\x01\x02\x03"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        TempHome home;
        RegImportResult result =
            importRegFile(std::string("Windows Registry Editor Version 5.00\r\n\r\n") +
                              "[HKEY_CURRENT_USER\\Software\\Orvikon\\Kinds]\r\n" + c.line + "\r\n",
                          kAnyKey);
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_EQ(result.valuesWritten, 1);
        EXPECT_EQ(readValue(HKEY_CURRENT_USER, "Software\\Orvikon\\Kinds", c.name), c.value);
    }
}

TEST(RegFile, TypesThisRegistryDoesNotKeepAreListedAndLeftAlone) {
    TempHome home;
    createWithValue("Software\\Orvikon\\Kinds", "Mail", "before");
    RegImportResult result = importRegFile(crlf(R"reg(Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Orvikon\Kinds]
"Mail"=hex(7):61,00,40,00,62,00,00,00,63,00,00,00,00,00
"Path"=hex(2):25,00,41,00,25,00,00,00
"Size"=hex(b):00,00,00,00,01,00,00,00
"Nothing"=hex(0):
@=hex(2):00,00
"Big End"=hex(5):00,00,00,01
"Kept"="yes"
)reg"),
                                           kAnyKey);
    ASSERT_TRUE(result.ok) << result.error;
    const std::string key = "HKEY_CURRENT_USER\\Software\\Orvikon\\Kinds\\";
    EXPECT_EQ(result.skipped, (std::vector<std::string>{
                                  key + "Mail (REG_MULTI_SZ)",
                                  key + "Path (REG_EXPAND_SZ)",
                                  key + "Size (REG_QWORD)",
                                  key + "Nothing (REG_NONE)",
                                  key + "(default) (REG_EXPAND_SZ)",
                                  key + "Big End (REG_DWORD_BIG_ENDIAN)",
                              }));
    EXPECT_EQ(result.valuesWritten, 1);
    EXPECT_EQ(readValue(HKEY_CURRENT_USER, "Software\\Orvikon\\Kinds", "Mail"), (Stored{REG_SZ, sz("before")}));
    for (const char* name : {"Path", "Size", "Nothing", "", "Big End"})
        EXPECT_EQ(readValue(HKEY_CURRENT_USER, "Software\\Orvikon\\Kinds", name), std::nullopt) << name;
    EXPECT_EQ(readValue(HKEY_CURRENT_USER, "Software\\Orvikon\\Kinds", "Kept"), (Stored{REG_SZ, sz("yes")}));
}

TEST(RegFile, ContinuedHexKeepsEveryByteAndTheLineCount) {
    // A 1 MiB value wrapped as the registry editor wraps, starting on the line after "hex:".
    std::string text = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Orvikon\\Big]\n";
    text += "\"Blob\"=hex:\\\n";
    std::string bytes;
    const int rows = 65536;
    for (int row = 0; row < rows; ++row) {
        text += "  ";
        for (int i = 0; i < 16; ++i) {
            unsigned char b = static_cast<unsigned char>((row * 16 + i) * 7 + row / 256);
            bytes.push_back(static_cast<char>(b));
            static const char digits[] = "0123456789abcdef";
            text += digits[b >> 4];
            text += digits[b & 15];
            text += i < 15 ? "," : row < rows - 1 ? ",\\\n" : "\n";
        }
    }
    {
        TempHome home;
        RegImportResult result = importRegFile(utf16le(crlf(text)), kAnyKey);
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_EQ(readValue(HKEY_CURRENT_USER, "Software\\Orvikon\\Big", "Blob"), (Stored{REG_BINARY, bytes}));
    }
    {
        // Four lines before the data and one after it: the bad value is on the line after those.
        TempHome home;
        RegImportResult result = importRegFile(text + "\"After\"=hex:0g\n");
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error.rfind("line " + std::to_string(4 + rows + 1) + ": ", 0), 0u) << result.error;
        EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, "Software\\Orvikon\\Big"));
    }
}

TEST(RegFile, DeletesKeysWithTheirSubkeysAndValues) {
    TempHome home;
    createWithValue("Software\\Orvikon\\Old", "Stale", "1");
    createWithValue("Software\\Orvikon\\Old\\A\\B", "Deep", "2");
    createWithValue("Software\\Orvikon\\Old\\A\\C", "Deep", "3");
    createWithValue("Software\\Orvikon\\Old\\D", "Side", "4");
    createWithValue("Software\\Orvikon\\OldKeep", "Stay", "5");
    createWithValue("Software\\Orvikon\\Keep", "Gone", "6");
    createWithValue("Software\\Orvikon\\Keep", "Stay", "7");
    RegImportResult result = importRegFile(utf16le(crlf(R"reg(Windows Registry Editor Version 5.00

[-HKEY_CURRENT_USER\Software\Orvikon\Old]

[-HKEY_CURRENT_USER\Software\Orvikon\NeverThere]

[HKEY_CURRENT_USER\Software\Orvikon\Old\A]
"Fresh"="8"

[HKEY_CURRENT_USER\Software\Orvikon\Keep]
"Gone"=- ; a remark after a deletion
"NeverSet"=-
)reg")),
                                           kAnyKey);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.keysDeleted, 5);
    EXPECT_EQ(result.valuesDeleted, 1);
    EXPECT_EQ(result.keysCreated, 1);
    EXPECT_EQ(result.valuesWritten, 1);
    EXPECT_EQ(readValue(HKEY_CURRENT_USER, "Software\\Orvikon\\Old", "Stale"), std::nullopt);
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, "Software\\Orvikon\\Old\\A\\B"));
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, "Software\\Orvikon\\Old\\D"));
    EXPECT_EQ(readValue(HKEY_CURRENT_USER, "Software\\Orvikon\\Old\\A", "Fresh"), (Stored{REG_SZ, sz("8")}));
    EXPECT_EQ(readValue(HKEY_CURRENT_USER, "Software\\Orvikon\\OldKeep", "Stay"), (Stored{REG_SZ, sz("5")}));
    EXPECT_EQ(readValue(HKEY_CURRENT_USER, "Software\\Orvikon\\Keep", "Gone"), std::nullopt);
    EXPECT_EQ(readValue(HKEY_CURRENT_USER, "Software\\Orvikon\\Keep", "Stay"), (Stored{REG_SZ, sz("7")}));
}

TEST(RegFile, RootsByLongAndShortName) {
    TempHome home;
    RegImportResult result = importRegFile(R"reg(Windows Registry Editor Version 5.00

[HKLM\Software\Orvikon\Deployment]
"Site"="https://ca.example.cn"

[hkey_classes_root\.p7s]
@="Orvik.Signature"

[HKCU\Software\Orvikon]
"Language"="zh-CN"

[HKEY_LOCAL_MACHINE\Software\Orvikon\Deployment]
"Mode"=dword:00000002
)reg",
                                           kAnyKey);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(readValue(HKEY_LOCAL_MACHINE, "Software\\Orvikon\\Deployment", "Site"),
              (Stored{REG_SZ, sz("https://ca.example.cn")}));
    EXPECT_EQ(readValue(HKEY_LOCAL_MACHINE, "Software\\Orvikon\\Deployment", "Mode"), (Stored{REG_DWORD, dword(2)}));
    EXPECT_EQ(readValue(HKEY_CLASSES_ROOT, ".p7s", ""), (Stored{REG_SZ, sz("Orvik.Signature")}));
    EXPECT_EQ(readValue(HKEY_CURRENT_USER, "Software\\Orvikon", "Language"), (Stored{REG_SZ, sz("zh-CN")}));
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, "Software\\Orvikon\\Deployment"));
    EXPECT_EQ(result.keysCreated, 3);
}

TEST(RegFile, SyntaxErrorsNameTheirLineAndWriteNothing) {
    // Lines 1 to 4 are good, and create a key if anything is applied.
    const std::string good = "Windows Registry Editor Version 5.00\r\n\r\n[" + kShownAccounts +
                             "\\00000001]\r\n\"SMTP Server\"=\"smtp.example.com\"\r\n";
    const struct {
        std::string text;
        int line;
        const char* says;
    } cases[] = {
        {good + "\"Account Name\"=\"张三的邮箱\r\n", 5, "unterminated string"},
        {good + "\"Account Name=\"张三\"\r\n", 5, "\"=\" missing"},
        {good + "\"Account Name\"\r\n", 5, "\"=\" missing"},
        {good + "\"Account Name\"=\r\n", 5, "unrecognised value data"},
        {good + "\"Account Name\"=\"张三\" x\r\n", 5, "after the closing quote"},
        {good + "\"Account Name\"=\"张三\" x ; remark\r\n", 5, "after the closing quote"},
        {good + "\"Account Name\"=\"张三;\r\n", 5, "unterminated string"},
        {good + "\"Account Name\"=; remark\r\n", 5, "unrecognised value data"},
        {good + "\"SMTP Port\"=dword:19 1a ; remark\r\n", 5, "dword"},
        {good + "\"Store Root\"=\"C:\\Mail\"\r\n", 5, "unknown escape"},
        {good + "\"SMTP Port\"=dword:000000019\r\n", 5, "dword"},
        {good + "\"SMTP Port\"=dword:0000001g\r\n", 5, "dword"},
        {good + "\"SMTP Port\"=qword:19\r\n", 5, "unrecognised value data"},
        {good + "\"SMTP Certificate\"=hex:3a,7g\r\n", 5, "\"g\" in hex data"},
        {good + "\"SMTP Certificate\"=hex:3a,,7f\r\n", 5, "comma with no hex byte"},
        {good + "\"SMTP Certificate\"=hex:3a7f\r\n", 5, "two digits"},
        {good + "\"SMTP Certificate\"=hex:3a,\r\n", 5, "ends with a comma"},
        {good + "\"SMTP Certificate\"=hex:3a,7f,\\\r\n  09,zz\r\n", 6, "\"z\" in hex data"},
        {good + "\"SMTP Certificate\"=hex:3a,7f,\\\r\n\r\n\"x\"=\"y\"\r\n", 6, "ends with a comma"},
        {good + "\"SMTP Certificate\"=hex:3a,7f,\\", 5, "past the end of the file"},
        {good + "\"SMTP Certificate\"=hex:3a,7f\\\r\n  09\r\n", 5, "comma missing"},
        {good + "\"Mail\"=hex(7):61,00,0g,00\r\n", 5, "\"g\" in hex data"},
        {good + "\"Mail\"=hex(z):00\r\n", 5, "value type"},
        {good + "\"Mail\"=hex(7)61,00\r\n", 5, "value type"},
        {good + "[HKEY_CURRENT_USER\\Software\\Orvikon\r\n", 5, "no closing \"]\""},
        {good + "[HKEY_USERS\\S-1-5-21-1004\\Software\\Orvikon]\r\n", 5, "HKEY_USERS is not kept"},
        {good + "[HKEY_CURRENT_CONFIG\\Software]\r\n", 5, "HKEY_CURRENT_CONFIG is not kept"},
        {good + "[HKEY_DYN_DATA\\Config Manager]\r\n", 5, "not a registry root"},
        {good + "[-HKEY_CURRENT_USER]\r\n", 5, "root key cannot be deleted"},
        {good + "SMTP Server=smtp.example.com\r\n", 5, "not a key, a value or a comment"},
        {good + "[-HKEY_CURRENT_USER\\Software\\Orvikon]\r\n\"Stale\"=\"x\"\r\n", 6, "outside a key"},
        {"Windows Registry Editor Version 5.00\r\n\r\n\"SMTP Server\"=\"x\"\r\n[" + kShownAccounts + "\\00000001]\r\n",
         3, "outside a key"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        TempHome home;
        RegImportResult result = importRegFile(utf16le(c.text));
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error.rfind("line " + std::to_string(c.line) + ": ", 0), 0u) << result.error;
        EXPECT_NE(result.error.find(c.says), std::string::npos) << result.error;
        EXPECT_EQ(result.keysCreated + result.valuesWritten + result.keysDeleted + result.valuesDeleted, 0);
        EXPECT_TRUE(result.skipped.empty());
        EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, kManager));
    }
}

TEST(RegFile, OtherFilesAreRefused) {
    const std::string probe = "[HKEY_CURRENT_USER\\Software\\Orvikon\\Probe]\r\n\"a\"=\"b\"\r\n";
    std::string utf16be = "\xFE\xFF";
    for (char c : "Windows Registry Editor Version 5.00\r\n") {
        if (!c) break;
        utf16be += '\0';
        utf16be += c;
    }
    const struct {
        const char* what;
        std::string bytes;
        const char* says;
    } cases[] = {
        {"empty", "", "line 1: not a registry file"},
        {"no first line", probe, "line 1: not a registry file"},
        {"unknown version", "Windows Registry Editor Version 4.00\r\n\r\n" + probe, "line 1: not a registry file"},
        {"REGEDIT5", "REGEDIT5\r\n\r\n" + probe, "line 1: not a registry file"},
        {"UTF-16BE", utf16be + utf16le(probe, false), "line 1: not a registry file"},
        {"UTF-16LE without BOM", utf16le("Windows Registry Editor Version 5.00\r\n\r\n" + probe, false),
         "line 1: not a registry file"},
        {"half a UTF-16 unit", utf16le("Windows Registry Editor Version 5.00\r\n\r\n" + probe) + "\n",
         "middle of a character"},
        {"binary", "\x89PNG\r\n\x1a\n\xD6\xD0" + probe, "line 1: not a registry file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempHome home;
        RegImportResult result = importRegFile(c.bytes);
        EXPECT_FALSE(result.ok);
        EXPECT_NE(result.error.find(c.says), std::string::npos) << result.error;
        EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, "Software\\Orvikon\\Probe"));
    }
}

TEST(RegFile, FilesUpTo64MiBAreRead) {
    TempHome home;
    std::string text = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Orvikon\\Big]\r\n;";
    text.resize(orvik::kMaxRegFileBytes, 'x');
    RegImportResult result = importRegFile(text, kAnyKey);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_TRUE(keyExists(HKEY_CURRENT_USER, "Software\\Orvikon\\Big"));

    text.replace(text.find("Big"), 3, "Too");
    text.push_back('x');
    result = importRegFile(text, kAnyKey);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("64 MiB"), std::string::npos) << result.error;
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, "Software\\Orvikon\\Too"));
}

TEST(RegFile, ARegistryFailureNamesTheKeyAndItsCode) {
    TempHome home;
    // A damaged database is reported, never written over.
    orvik::test::writeFile(home.file("registry.db"), std::string(4096, 'x'));
    RegImportResult result = importRegFile(utf16le(crlf(kExport)));
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error,
              "line 3: HKEY_CURRENT_USER\\" + kManager + ": registry error " + std::to_string(ERROR_REGISTRY_CORRUPT));
    EXPECT_EQ(result.keysCreated + result.valuesWritten, 0);
}

TEST(RegFile, ByDefaultOnlyMailAccountsAddressBookFoxmailAndTheAssistantsSettingsAreImported) {
    const std::string profile = "HKEY_CURRENT_USER\\Software\\Orvikon\\Orvik数字证书助手";
    // An export of the profile starts with the keys above the sections; the sections a user sets
    // and the mail keys go in, in any spelling of their names.
    const std::string allowed =
        "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Orvikon]\n\n[" + profile + "]\n\n[" +
        profile + "\\ServiceURL\\我的证书服务站点]\n\"Value\"=\"https://ca.example.cn\"\n\n[" + profile +
        "\\UpdateConfig]\n\"StartUpCheckNew\"=\"1\"\n\n[" + profile + "\\Common]\n\"SartOnlineCRLCheck\"=\"1\"\n\n[" +
        profile +
        "\\DefaultEncCert]\n\"CertHash\"=\"3a 7f\"\n\n"
        "[hkcu\\SOFTWARE\\aerofox\\FOXMAIL\\V3.1]\n\"Executable\"=\"C:\\\\Foxmail\\\\Foxmail.exe\"\n\n"
        "[HKCU\\Software\\Microsoft\\WAB\\WAB4]\n\"First Run\"=hex:01\n\n"
        "[HKCU\\Software\\\\Microsoft\\Internet Account Manager\\Accounts\\00000001]\n"
        "\"SMTP Server\"=\"smtp.example.com\"\n";
    {
        TempHome home;
        RegImportResult result = importRegFile(allowed);
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_TRUE(result.refused.empty());
        EXPECT_EQ(readValue(HKEY_CURRENT_USER, "Software\\Aerofox\\Foxmail\\V3.1", "Executable"),
                  (Stored{REG_SZ, sz("C:\\Foxmail\\Foxmail.exe")}));
        EXPECT_EQ(readAccountValue("00000001", "SMTP Server"), (Stored{REG_SZ, sz("smtp.example.com")}));
    }
    // Each of these alone stops the whole file, the allowed part too.
    const struct {
        std::string lines;
        std::string refused;
    } cases[] = {
        {"[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\WAB\\DLLPath]\n@=\"/srv/evil/libwab.so\"\n",
         "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\WAB\\DLLPath"},
        {"[" + profile + "\\UpdateConfig]\n\"ServerName\"=\"update.evil.example\"\n",
         profile + "\\UpdateConfig\\ServerName"},
        {"[" + profile + "\\Common]\n\"InstallDir\"=\"/srv/evil\"\n", profile + "\\Common\\InstallDir"},
        {"[" + profile + "]\n\"Anything\"=\"x\"\n", profile + "\\Anything"},
        {"[-" + profile + "]\n", "-" + profile},
        {"[-" + profile + "\\UpdateConfig]\n", "-" + profile + "\\UpdateConfig"},
        {"[" + profile + "\\Common\\Deeper]\n", profile + "\\Common\\Deeper"},
        {"[HKEY_CURRENT_USER\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\AB]\n\"Blob\"=hex:00\n",
         "HKEY_CURRENT_USER\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\AB"},
        {"[HKEY_CURRENT_USER\\Software\\Microsoft\\Internet Account Manager Extra]\n",
         "HKEY_CURRENT_USER\\Software\\Microsoft\\Internet Account Manager Extra"},
        {"[HKEY_CLASSES_ROOT\\.ovk]\n@=\"Evil\"\n", "HKEY_CLASSES_ROOT\\.ovk"},
        {"[HKEY_LOCAL_MACHINE\\Software\\Orvikon\\Deployment]\n\"UpdateHost\"=\"evil\"\n",
         "HKEY_LOCAL_MACHINE\\Software\\Orvikon\\Deployment"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines);
        TempHome home;
        RegImportResult result = importRegFile(allowed + "\n" + c.lines);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.refused, std::vector<std::string>{c.refused});
        EXPECT_NE(result.error.find("outside the mail accounts"), std::string::npos) << result.error;
        EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, "Software\\Aerofox"));
        EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, kManager));

        result = importRegFile(allowed + "\n" + c.lines, kAnyKey);
        EXPECT_TRUE(result.ok) << result.error;
        EXPECT_TRUE(keyExists(HKEY_CURRENT_USER, "Software\\Aerofox"));
    }
}

TEST(RegFile, AFailureHalfwayLeavesTheRegistryAsItWas) {
    TempHome home;
    createWithValue(kAccounts + "\\00000001", "SMTP Server", "before");
    createWithValue(kAccounts + "\\00000002", "Account Name", "stays");
    // The database fails the file's last write, as a full disk would.
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(home.file("registry.db").c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db,
                               "CREATE TRIGGER fail_last BEFORE INSERT ON reg_values WHEN NEW.name = 'Last' "
                               "BEGIN SELECT RAISE(ABORT, 'disk full'); END;",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    RegImportResult result = importRegFile(
        "Windows Registry Editor Version 5.00\n\n[" + kShownAccounts + "\\00000001]\n\"SMTP Server\"=\"after\"\n\n[-" +
        kShownAccounts + "\\00000002]\n\n[" + kShownAccounts + "\\00000003]\n\"First\"=\"1\"\n\"Last\"=\"2\"\n");
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error.rfind("line 10: " + kShownAccounts + "\\00000003, value \"Last\": registry error ", 0), 0u)
        << result.error;
    EXPECT_EQ(result.keysCreated + result.keysDeleted + result.valuesWritten + result.valuesDeleted, 0);
    EXPECT_EQ(readAccountValue("00000001", "SMTP Server"), (Stored{REG_SZ, sz("before")}));
    EXPECT_EQ(readAccountValue("00000002", "Account Name"), (Stored{REG_SZ, sz("stays")}));
    EXPECT_FALSE(keyExists(HKEY_CURRENT_USER, kAccounts + "\\00000003"));
    // The registry works on as before.
    createWithValue(kAccounts + "\\00000004", "Account Name", "new");
    EXPECT_EQ(readAccountValue("00000004", "Account Name"), (Stored{REG_SZ, sz("new")}));
}
