// The file managers' submenu: its items, the assistant's argument vectors, the secure-file
// properties, and the files `orvikmenu register` writes and `unregister` takes back.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include <MyCertStore.h>
#include <SecureFile.h>
#include <windows.h>

#include "MenuItems.h"
#include "Registration.h"
#include "SecureFileSummary.h"
#include "support/Shell.h"
#include "support/TempHome.h"
#include "support/TestPki.h"
#include "support/UserRegistry.h"

using orvik::test::readFile;
using orvik::test::TempDir;
using orvik::test::TempHome;
using orvik::test::writeFile;
using namespace orvikmenu;

namespace {

std::string quote(const std::string& s) { return orvik::test::shellQuoted(s); }

using Outcome = orvik::test::ShellRun;

Outcome shell(const std::string& command) { return orvik::test::runShell(command + " 2>&1"); }

bool have(const char* tool) { return shell(std::string("command -v ") + tool + " >/dev/null").code == 0; }

void setInstallDir(const std::string& dir) {
    orvik::test::setUserValue("Software\\Orvikon\\Orvik数字证书助手\\Common", "InstallDir", REG_SZ,
                              std::string(dir.c_str(), dir.size() + 1));
}

TEST(MenuItems, OneLocalFileGetsTheItemsOfItsKind) {
    EXPECT_TRUE(isSecureFile("a.ovk"));
    EXPECT_TRUE(isSecureFile("/x/a.OVK"));
    EXPECT_FALSE(isSecureFile("ovk"));
    EXPECT_FALSE(isSecureFile("a.ovkx"));
    EXPECT_FALSE(isSecureFile("a.ov"));

    TempDir dir;
    writeFile(dir.file("a.doc"), "x");
    writeFile(dir.file("b.OVK"), "x");
    EXPECT_EQ(itemTexts({dir.file("a.doc")}), (std::vector<std::string>{"文件加密...", "加密并发送...", "配置"}));
    EXPECT_EQ(itemTexts({dir.file("b.OVK")}), (std::vector<std::string>{"文件解密...", "安全文件属性", "配置"}));
    EXPECT_TRUE(itemTexts({dir.file("a.doc"), dir.file("b.OVK")}).empty()) << "two files";
    EXPECT_TRUE(itemTexts({dir.path()}).empty()) << "a folder";
    EXPECT_TRUE(itemTexts({dir.file("missing")}).empty());
    EXPECT_TRUE(itemTexts({}).empty());
}

TEST(MenuItems, ArgumentVectorsPassThePathVerbatim) {
    const std::string odd = "/home/u/my \"quoted\" file's name.doc";
    EXPECT_EQ(commandFor(0, odd, "/opt/o d/OrvikDesk"), (std::vector<std::string>{"/opt/o d/OrvikDesk", "/E", odd}));
    EXPECT_EQ(commandFor(1, odd, "P"), (std::vector<std::string>{"P", "/M", odd}));
    EXPECT_EQ(commandFor(0, "/x/a.ovk", "P"), (std::vector<std::string>{"P", "/D", "/x/a.ovk"}));
    EXPECT_EQ(commandFor(1, "/x/a.ovk", "P"), (std::vector<std::string>{"P", "/P", "/x/a.ovk"}));
    EXPECT_EQ(commandFor(2, odd, "P"), (std::vector<std::string>{"P", "/C"})) << "no path for the settings";
    EXPECT_TRUE(commandFor(3, odd, "P").empty());
    EXPECT_TRUE(commandFor(-1, odd, "P").empty());
}

TEST(SecureFileSummary, EachVersionAndAForeignFile) {
    TempHome home;
    TempDir dir;
    auto& pki = orvik::test::TestPki::instance();
    std::vector<std::unique_ptr<CDigitalCertificate>> people;
    for (const char* cn : {"本人", "甲", "乙"}) {
        auto c = pki.issue({.cn = cn, .keyUsage = 0x20});
        people.push_back(std::make_unique<CDigitalCertificate>(c.der.data(), static_cast<int>(c.der.size()),
                                                               CDigitalCertificate::ENC_DER));
    }
    writeFile(dir.file("a.doc"), std::string(3000, 'x'));
    ASSERT_EQ(CSecureFile::Encrypt(dir.file("a.doc"), dir.file("v2.ovk"),
                                   {people[0].get(), people[1].get(), people[2].get()}, "")
                  .code,
              0);
    SecureFileSummary v2 = summarize(dir.file("v2.ovk"));
    EXPECT_EQ(v2.type, "加密文件(Version 2.0)");
    EXPECT_EQ(v2.extension, ".doc");
    EXPECT_EQ(v2.size, "3000 Byte");
    EXPECT_EQ(v2.algorithm, "RSA-3DES");
    EXPECT_EQ(v2.protection, "未设置密码保护");
    EXPECT_EQ(v2.recipients, (std::vector<std::string>{"乙", "甲", "本人"})) << "the encryptor last";

    writeFile(dir.file("v1.ovk"), "OrvikFileType=1;anything");
    SecureFileSummary v1 = summarize(dir.file("v1.ovk"));
    EXPECT_EQ(v1.type, "加密文件(Version 1.0)");
    EXPECT_EQ(v1.algorithm, "RSA-3DES");
    EXPECT_EQ(v1.protection, "未设置密码保护");
    EXPECT_TRUE(v1.extension.empty() && v1.size.empty() && v1.recipients.empty());

    writeFile(dir.file("v0.ovk"), "OrvikFileType=0;" + std::string(900, 'z'));
    EXPECT_EQ(summarize(dir.file("v0.ovk")).type, "文件格式错误!");
    std::string noise(10000, '\0');
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>(i * 7919 + 13);
    writeFile(dir.file("random"), noise);
    EXPECT_EQ(summarize(dir.file("random")).type, "文件格式错误!");
    EXPECT_EQ(summarize(dir.file("missing")).type, "文件格式错误!");

    std::string foreign = readFile(dir.file("v2.ovk"));
    foreign.replace(0, 16, "OrvikFileType=7;");
    writeFile(dir.file("foreign.ovk"), foreign);
    SecureFileSummary f = summarize(dir.file("foreign.ovk"));
    EXPECT_TRUE(f.type.empty() && f.algorithm.empty() && f.recipients.empty()) << "records behind a foreign tag";
}

TEST(Orvikmenu, InvokeStartsTheAssistantOfInstallDirWithAnArgumentVector) {
    TempHome home;
    TempDir dir;
    const std::string install = dir.file("install dir");
    std::filesystem::create_directory(install);
    // A stand-in assistant that writes down its arguments, one per line.
    writeFile(install + "/OrvikDesk",
              "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$RECORD.tmp\"; mv \"$RECORD.tmp\" "
              "\"$RECORD\"\n");
    std::filesystem::permissions(install + "/OrvikDesk", std::filesystem::perms::owner_all);
    setInstallDir(install);
    const std::string file = dir.file("my \"odd\" name's.doc");
    writeFile(file, "x");
    const std::string record = dir.file("record");
    auto invoke = [&](const std::string& offset, const std::string& path) {
        std::filesystem::remove(record);
        // No screen: what it tells the user goes to standard error.
        Outcome r = shell("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM RECORD=" + quote(record) + " " +
                          std::string(ORVIKMENU_PATH) + " invoke " + offset + " " + quote(path));
        for (int i = 0; i < 200 && r.code == 0 && !orvik::test::fileExists(record); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return r;
    };
    ASSERT_EQ(invoke("0", file).code, 0);
    EXPECT_EQ(readFile(record), "/E\n" + file + "\n");
    ASSERT_EQ(invoke("2", file).code, 0);
    EXPECT_EQ(readFile(record), "/C\n");
    writeFile(dir.file("s.Ovk"), "x");
    ASSERT_EQ(invoke("1", dir.file("s.Ovk")).code, 0);
    EXPECT_EQ(readFile(record), "/P\n" + dir.file("s.Ovk") + "\n");

    Outcome folder = invoke("0", dir.path());
    EXPECT_NE(folder.code, 0) << "a folder gets nothing";
    EXPECT_NE(folder.out.find("不是文件"), std::string::npos) << folder.out;
    EXPECT_NE(invoke("9", file).code, 0);
    EXPECT_FALSE(orvik::test::fileExists(record));
}

class Registering : public ::testing::Test {
protected:
    TempDir dir;
    Folders folders{dir.file("data"), dir.file("config")};
    const std::string helper = "/opt/orvik/lib/orvik/orvikmenu";
    const std::string userActions =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n<action>\n\t<icon>utilities-terminal</icon>\n"
        "\t<name>Open Terminal Here</name>\n\t<unique-id>1-1</unique-id>\n\t<command>exo-open --launch "
        "TerminalEmulator</command>\n\t<description></description>\n\t<patterns>*</patterns>\n"
        "\t<startup-notify/>\n\t<directories/>\n</action>\n</actions>\n";
};

TEST_F(Registering, WritesEveryFileManagersEntriesAndTakesBackOnlyOurs) {
    writeFile(dir.file("keep"), "");
    std::filesystem::create_directories(folders.config + "/Thunar");
    writeFile(folders.config + "/Thunar/uca.xml", userActions);
    ASSERT_EQ(registerMenus(folders, helper), "");
    ASSERT_EQ(registerMenus(folders, helper), "") << "a second registration replaces the first";

    for (const GeneratedFile& f : generatedFiles(folders, helper)) {
        ASSERT_TRUE(orvik::test::fileExists(f.path)) << f.path;
        EXPECT_EQ(readFile(f.path), f.text);
        struct stat st {};
        stat(f.path.c_str(), &st);
        EXPECT_EQ((st.st_mode & 0100) != 0, f.executable) << f.path << ": service menus must be executable";
    }
    const std::string dolphin = folders.data + "/kio/servicemenus/orvik-file.desktop";
    EXPECT_NE(readFile(dolphin).find("X-KDE-Submenu=Orvik数字证书助手"), std::string::npos);
    EXPECT_NE(readFile(dolphin).find("Exec=\"" + helper + "\" invoke --file 1 %f"), std::string::npos);
    // The validator knows the application entries of the format, not KDE's service menus: what it
    // says of their own keys (a service with MIME types and actions, "all/allfiles",
    // ExcludeServiceTypes) is expected; anything else is a fault.
    if (have("desktop-file-validate"))
        for (const char* name : {"orvik-file.desktop", "orvik-secure-file.desktop"}) {
            Outcome v = shell("desktop-file-validate --no-hints " + quote(folders.data + "/kio/servicemenus/" + name));
            std::istringstream lines(v.out);
            for (std::string line; std::getline(lines, line);)
                if (line.find("but the type is \"Service\"") == std::string::npos &&
                    line.find("\"all\" is an unregistered media type") == std::string::npos &&
                    line.find("\"ExcludeServiceTypes\"") == std::string::npos)
                    ADD_FAILURE() << line;
        }
    else
        ADD_FAILURE() << "desktop-file-validate is missing: scripts/install-deps.sh installs it";

    const std::string uca = readFile(folders.config + "/Thunar/uca.xml");
    EXPECT_NE(uca.find("<unique-id>1-1</unique-id>"), std::string::npos) << "the user's action stays";
    size_t ours = 0;
    for (size_t at = uca.find("<unique-id>orvik-"); at != std::string::npos; at = uca.find("<unique-id>orvik-", at + 1))
        ++ours;
    EXPECT_EQ(ours, 5u) << "one set of ours after two registrations";
    Outcome lint = shell("xmllint --noout " + quote(folders.config + "/Thunar/uca.xml"));
    EXPECT_EQ(lint.code, 0) << lint.out;

    const std::string extension = folders.data + "/nautilus-python/extensions/orvik_menu.py";
    Outcome compiled =
        shell("python3 -c " + quote("import ast,sys; ast.parse(open(sys.argv[1]).read())") + " " + quote(extension));
    EXPECT_EQ(compiled.code, 0) << compiled.out;
    if (shell("python3 -c \"import gi; gi.require_version('Nautilus', '4.0'); from gi.repository import "
              "Nautilus\"")
            .code == 0) {
        Outcome imported =
            shell("cd " + quote(folders.data + "/nautilus-python/extensions") +
                  " && python3 -c \"import gi; gi.require_version('Nautilus', '4.0'); import orvik_menu\"");
        EXPECT_EQ(imported.code, 0) << imported.out;
    }

    ASSERT_EQ(unregisterMenus(folders), "");
    for (const GeneratedFile& f : generatedFiles(folders, helper)) EXPECT_FALSE(orvik::test::fileExists(f.path));
    EXPECT_EQ(readFile(folders.config + "/Thunar/uca.xml"), userActions) << "the user's file as it was";
    EXPECT_TRUE(orvik::test::fileExists(dir.file("keep")));
}

TEST_F(Registering, AFailureHalfwayRemovesWhatWasWritten) {
    // Nemo's folder cannot be made: a file stands where it would be.
    std::filesystem::create_directories(folders.data);
    writeFile(folders.data + "/nemo", "in the way");
    std::filesystem::create_directories(folders.config + "/Thunar");
    writeFile(folders.config + "/Thunar/uca.xml", userActions);
    std::string failed = registerMenus(folders, helper);
    EXPECT_NE(failed.find("nemo"), std::string::npos) << failed;
    for (const GeneratedFile& f : generatedFiles(folders, helper))
        EXPECT_FALSE(orvik::test::fileExists(f.path)) << f.path;
    EXPECT_EQ(readFile(folders.config + "/Thunar/uca.xml"), userActions);
}

TEST_F(Registering, ThunarActionsAppearInAFileThatHadNone) {
    std::string made = mergedThunarActions("", helper);
    EXPECT_EQ(made.rfind("<?xml", 0), 0u);
    EXPECT_NE(made.find("<submenu>Orvik数字证书助手</submenu>"), std::string::npos);
    EXPECT_NE(made.find("<patterns>*.ovk;*.ovK;*.oVk;*.oVK;*.Ovk;*.OvK;*.OVk;*.OVK</patterns>"), std::string::npos);
    EXPECT_EQ(withoutThunarActions(made), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n</actions>\n");
}

}  // namespace
