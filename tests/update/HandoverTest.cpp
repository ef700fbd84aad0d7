// The install of a downloaded update: what goes where, all or nothing, and what is left of temp.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Installer.h"
#include "support/DeploymentValues.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;
using handover::Installer;
using orvik::test::fileExists;
using orvik::test::readFile;
using orvik::test::writeFile;

namespace {

const std::string kInUse = "程序正在被使用，请重启计算机并执行“检查更新...”";
const std::string kNoList = "本次更新无法下载清单文件，请稍候重试";

std::string entry(const std::string& name, const std::string& path = "", const std::string& reg = "") {
    std::string e = "  <File><FileName>" + name + "</FileName>";
    if (!path.empty()) e += "<FilePath>" + path + "</FilePath>";
    if (!reg.empty()) e += "<FileReg>" + reg + "</FileReg>";
    return e + "</File>\n";
}

std::string listOf(const std::string& entries) {
    return "<?xml version=\"1.0\" encoding=\"gb2312\"?>\n<FileList Version=\"1.5.7\">\n" + entries + "</FileList>\n";
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::set<std::string> namesIn(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

// Every entry below `dir` but temp, with mode and content: what a failed run must leave as it was.
std::map<std::string, std::string> snapshot(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
        std::string rel = fs::relative(it->path(), dir).string();
        if (rel == "temp") {
            it.disable_recursion_pending();
            continue;
        }
        std::string value = std::to_string(modeOf(it->path().string())) + ":";
        value += it->is_directory() ? "<dir>" : readFile(it->path().string());
        out[rel] = value;
    }
    return out;
}

class HandoverTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(temp);
        fs::create_directories(system);
    }

    static void put(const std::string& path, const std::string& bytes, mode_t mode = 0644) {
        writeFile(path, bytes);
        chmod(path.c_str(), mode);
    }

    // Installed files in both folders and their new versions in temp, listed with `extra`.
    void populate(const std::string& extra = "") {
        put(program + "/a.dat", "old a");
        put(program + "/b.dat", "old b", 0755);
        put(program + "/FileList.xml", "old list");
        put(system + "/s.so", "old s");
        put(temp + "/a.dat", "new a");
        put(temp + "/b.dat", "new b");
        put(temp + "/new.dat", "new file");
        put(temp + "/s.so", "new s");
        put(temp + "/FileList.xml",
            listOf(entry("a.dat") + entry("b.dat") + entry("new.dat") + entry("s.so", "sys") + extra));
    }

    Installer::Result run(const std::string& systemDir) {
        Installer installer(program, systemDir, [this](const std::string& text) { messages.push_back(text); });
        return installer.run();
    }
    Installer::Result run() { return run(system); }

    // A run that could not install: both folders as before, one message, no temp.
    void expectRolledBack(bool tempRemovable = true) {
        auto programBefore = snapshot(program), systemBefore = snapshot(system);
        auto result = run();
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.installed, 0);
        EXPECT_EQ(messages, std::vector<std::string>{kInUse});
        EXPECT_EQ(snapshot(program), programBefore);
        EXPECT_EQ(snapshot(system), systemBefore);
        EXPECT_EQ(readFile(program + "/FileList.xml"), "old list");
        EXPECT_TRUE(tempRemovable ? !fileExists(temp) : fs::is_empty(temp));
    }

    orvik::test::TempDir root;
    const std::string program = root.file("program");
    const std::string system = root.file("system");
    const std::string temp = program + "/temp";
    std::vector<std::string> messages;
};

TEST_F(HandoverTest, InstallsEveryListedFileWhereItBelongsWithItsMode) {
    const std::string elf =
        "\x7f"
        "ELF";
    put(program + "/OrvikDesk", elf + "old desk", 0755);
    put(program + "/libOrvikPlatform.so", elf + "old lib", 0640);
    put(program + "/help.html", "old help");
    put(program + "/FileList.xml", "old list");
    put(system + "/orvikcsp.so", elf + "old csp", 0600);

    put(temp + "/OrvikDesk", elf + "new desk");
    put(temp + "/libOrvikPlatform.so", elf + "new lib");
    put(temp + "/NewTool", elf + "tool", 0600);
    put(temp + "/run.sh", "#!/bin/sh\n", 0700);
    put(temp + "/notes.txt", "notes", 0600);
    put(temp + "/Foo.DLL", "foo");
    put(temp + "/orvikcsp.so", elf + "new csp");
    put(temp + "/stray.bin", "not listed");
    put(temp + "/Manual.pdf.part", "half a download");
    fs::create_directories(temp + "/docs");
    put(temp + "/docs/inner.txt", "in a sub-folder");
    fs::create_symlink(program + "/help.html", temp + "/stray-link");
    const std::string list = listOf(entry("orvikdesk") + entry("LIBORVIKPLATFORM.SO", "", "yes") + entry("NewTool") +
                                    entry("run.sh") + entry("Notes.TXT") + entry("foo.dll") +
                                    entry("OrvikCSP.so", "SYS", "yes") + entry("manual.pdf.part") + entry("docs"));
    put(temp + "/FileList.xml", list);

    // A running program keeps reading the file it was started from.
    int running = open((program + "/OrvikDesk").c_str(), O_RDONLY);
    ASSERT_GE(running, 0);

    auto result = run();
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.installed, 7);
    EXPECT_TRUE(messages.empty());

    char buf[32] = {};
    EXPECT_EQ(pread(running, buf, sizeof buf, 0), 12);
    EXPECT_EQ(std::string(buf), elf + "old desk");
    close(running);

    struct Expected {
        std::string path, bytes;
        mode_t mode;
    };
    for (const auto& e : std::vector<Expected>{{program + "/OrvikDesk", elf + "new desk", 0755},
                                               {program + "/libOrvikPlatform.so", elf + "new lib", 0640},
                                               {program + "/NewTool", elf + "tool", 0755},
                                               {program + "/run.sh", "#!/bin/sh\n", 0755},
                                               {program + "/notes.txt", "notes", 0644},
                                               {program + "/Foo.DLL", "foo", 0644},
                                               {program + "/help.html", "old help", 0644},
                                               {system + "/orvikcsp.so", elf + "new csp", 0600},
                                               {program + "/FileList.xml", list, 0644}}) {
        SCOPED_TRACE(e.path);
        EXPECT_EQ(readFile(e.path), e.bytes);
        EXPECT_EQ(modeOf(e.path), e.mode);
    }
    // Nothing unlisted, unfinished or linked, no staging or backup left behind, and no temp.
    EXPECT_EQ(namesIn(program), (std::set<std::string>{"OrvikDesk", "libOrvikPlatform.so", "NewTool", "run.sh",
                                                       "notes.txt", "Foo.DLL", "help.html", "FileList.xml"}));
    EXPECT_EQ(namesIn(system), std::set<std::string>{"orvikcsp.so"});
}

TEST_F(HandoverTest, EachEntryKeepsToItsOwnElement) {
    for (const char* name : {"a.dat", "b.dat", "c.dat", "e.dat"}) put(temp + "/" + name, name);
    put(temp + "/FileList.xml", listOf(entry("a.dat") + entry("b.dat", "sys") +
                                       "  <File><FilePath>sys</FilePath><FileName>c.dat</FileName></File>\n"
                                       "  <File Id=\"5\">\n    <FileName>e.dat</FileName>\n  </File>\n"));
    EXPECT_TRUE(run().ok);
    EXPECT_EQ(namesIn(program), (std::set<std::string>{"a.dat", "e.dat", "FileList.xml"}));
    EXPECT_EQ(namesIn(system), (std::set<std::string>{"b.dat", "c.dat"}));
}

TEST_F(HandoverTest, SystemFolderComesFromTheDeploymentElseTheProgramFolder) {
    orvik::test::TempHome home;
    EXPECT_EQ(Installer::systemFolder(program), program);
    orvik::test::setDeploymentValue("SystemDir", system);
    EXPECT_EQ(Installer::systemFolder(program), system);

    populate();
    EXPECT_TRUE(run("").ok);
    EXPECT_EQ(readFile(program + "/s.so"), "new s");
    EXPECT_EQ(readFile(system + "/s.so"), "old s");
}

TEST_F(HandoverTest, ARenameThatFailsLateRollsEveryFileBack) {
    // Sorted last, so the files before it are already swapped when its rename fails.
    populate(entry("zz.dat"));
    fs::create_directories(program + "/zz.dat");
    put(temp + "/zz.dat", "new zz");
    ino_t before = fs::status(program + "/b.dat").type() == fs::file_type::regular ? 0 : 1;
    struct stat st {};
    ASSERT_EQ(stat((program + "/b.dat").c_str(), &st), 0);
    before = st.st_ino;
    expectRolledBack();
    ASSERT_EQ(stat((program + "/b.dat").c_str(), &st), 0);
    EXPECT_EQ(st.st_ino, before);
}

TEST_F(HandoverTest, ReadOnlyFoldersRollBack) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
    for (const std::string& locked : {system, program}) {
        SCOPED_TRACE(locked);
        fs::remove_all(program);
        fs::remove_all(system);
        SetUp();
        messages.clear();
        populate();
        chmod(locked.c_str(), 0555);
        expectRolledBack(locked != program);
        chmod(locked.c_str(), 0755);
    }
}

TEST_F(HandoverTest, AListThatCannotBeReadInstallsNothing) {
    const std::string outside = root.file("good-list.xml");
    writeFile(outside, listOf(entry("a.dat")));
    std::vector<std::pair<const char*, std::function<void()>>> cases = {
        {"no temp folder", [&] { fs::remove_all(temp); }},
        {"no list", [&] { fs::remove(temp + "/FileList.xml"); }},
        {"empty list", [&] { writeFile(temp + "/FileList.xml", ""); }},
        {"list is a link", [&] {
             fs::remove(temp + "/FileList.xml");
             fs::create_symlink(outside, temp + "/FileList.xml");
         }}};
    for (const auto& [name, spoil] : cases) {
        SCOPED_TRACE(name);
        fs::remove_all(program);
        fs::remove_all(system);
        SetUp();
        messages.clear();
        populate();
        spoil();
        auto programBefore = snapshot(program), systemBefore = snapshot(system);
        auto result = run();
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.installed, 0);
        EXPECT_EQ(messages, std::vector<std::string>{kNoList});
        EXPECT_EQ(snapshot(program), programBefore);
        EXPECT_EQ(snapshot(system), systemBefore);
        EXPECT_FALSE(fileExists(temp));
    }
    EXPECT_EQ(readFile(outside), listOf(entry("a.dat")));
}

TEST_F(HandoverTest, RecoversWhatACrashedRunLeftBehind) {
    put(program + "/.a.dat.old", "old a");  // crashed between its two renames
    put(program + "/b.dat", "new b");
    put(program + "/.b.dat.old", "old b");
    put(program + "/.c.dat.new", "staged c");
    put(program + "/.settings", "not ours");
    put(system + "/.s.so.old", "old s");
    fs::remove_all(temp);
    run();
    EXPECT_EQ(namesIn(program), (std::set<std::string>{"a.dat", "b.dat", ".settings"}));
    EXPECT_EQ(readFile(program + "/a.dat"), "old a");
    EXPECT_EQ(readFile(program + "/b.dat"), "new b");
    EXPECT_EQ(namesIn(system), std::set<std::string>{"s.so"});
    EXPECT_EQ(readFile(system + "/s.so"), "old s");
}

TEST_F(HandoverTest, AJournalledSwapCutShortIsUndoneWholeAndAFinishedOneKept) {
    // What a run killed half-way through its renames leaves: two files swapped, one added.
    auto leaveHalfSwapped = [&](bool done) {
        fs::remove_all(program);
        fs::remove_all(system);
        fs::create_directories(program);
        fs::create_directories(system);
        put(program + "/a.dat", "new a");
        put(program + "/.a.dat.old", "old a");
        put(program + "/new.dat", "new file");
        put(program + "/b.dat", "old b");
        put(program + "/.b.dat.new", "new b");
        put(program + "/FileList.xml", done ? "new list" : "old list");
        if (done) put(program + "/.FileList.xml.old", "old list");
        put(system + "/s.so", "old s");
        put(program + "/.install.journal", program + "\ta.dat\t1\n" + program + "\tnew.dat\t0\n" + program +
                                               "\tb.dat\t1\n" + system + "\ts.so\t1\n" + program +
                                               "\tFileList.xml\t1\n" + (done ? "done\n" : ""));
    };
    leaveHalfSwapped(false);
    run();
    EXPECT_EQ(namesIn(program), (std::set<std::string>{"a.dat", "b.dat", "FileList.xml"}));
    EXPECT_EQ(readFile(program + "/a.dat"), "old a");
    EXPECT_EQ(readFile(program + "/b.dat"), "old b");
    EXPECT_EQ(readFile(program + "/FileList.xml"), "old list");
    EXPECT_EQ(readFile(system + "/s.so"), "old s");

    leaveHalfSwapped(true);
    run();
    EXPECT_EQ(namesIn(program), (std::set<std::string>{"a.dat", "b.dat", "new.dat", "FileList.xml"}));
    EXPECT_EQ(readFile(program + "/a.dat"), "new a");
    EXPECT_EQ(readFile(program + "/FileList.xml"), "new list");
}

TEST_F(HandoverTest, ALinkInTempIsNeverFollowed) {
    const std::string outside = root.file("outside");
    fs::create_directories(outside + "/dir");
    writeFile(outside + "/secret", "secret");
    writeFile(outside + "/dir/keep", "keep");
    populate();
    fs::remove(temp + "/a.dat");
    fs::create_symlink(outside + "/secret", temp + "/a.dat");
    fs::create_symlink(outside + "/dir", temp + "/linked-dir");
    expectRolledBack();
    EXPECT_EQ(readFile(outside + "/secret"), "secret");
    EXPECT_EQ(readFile(outside + "/dir/keep"), "keep");
}

}  // namespace
