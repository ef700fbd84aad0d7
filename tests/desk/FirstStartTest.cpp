// A user's first start of each version: the authorities, the installation folder and the per-user
// file-manager entries, once; what fails is said and tried again.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include <BuiltinAuthorities.h>
#include <Registration.h>
#include <windows.h>

#include "app/AssistantApp.h"
#include "app/FirstStart.h"
#include "app/Profile.h"
#include "support/Shell.h"
#include "support/TempHome.h"

namespace fs = orvikdesk::firststart;
using orvik::test::fileExists;
using orvik::test::readFile;
using orvik::test::writeFile;

namespace {

// A fresh state folder, the user's XDG folders, the system's data folders and a program folder
// with an orvikmenu in it.
class FirstStart : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_DATA_DIRS"}) {
            const char* v = std::getenv(name);
            saved_.push_back({name, v ? v : "", v != nullptr});
        }
        config = dirs.path() + "/config";
        data = dirs.path() + "/data";
        system = dirs.path() + "/system";
        program = dirs.path() + "/program";
        for (const std::string& d : {config, data, system, program}) mkdir(d.c_str(), 0755);
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        setenv("XDG_DATA_HOME", data.c_str(), 1);
        setenv("XDG_DATA_DIRS", system.c_str(), 1);
        helper = program + "/orvikmenu";
        writeFile(helper, "#!/bin/sh\n");
        chmod(helper.c_str(), 0755);
    }
    void TearDown() override {
        for (const auto& [name, value, had] : saved_)
            had ? setenv(name.c_str(), value.c_str(), 1) : unsetenv(name.c_str());
    }

    std::string thunarFile() const { return config + "/Thunar/uca.xml"; }
    std::string nemoAction() const { return data + "/nemo/actions/orvik-file-encrypt.nemo_action"; }

    orvik::test::TempHome home;
    orvik::test::TempDir dirs;
    std::string config, data, system, program, helper;

private:
    struct Saved {
        std::string name, value;
        bool had;
    };
    std::vector<Saved> saved_;
};

bool rootInstalled(const char* thumb) {
    HKEY key = nullptr;
    std::string path = std::string("Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\") + thumb;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

void removeRoot(const char* thumb) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\SystemCertificates\\Root\\Certificates", 0,
                            KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(key, thumb), ERROR_SUCCESS);
    RegCloseKey(key);
}

}  // namespace

TEST_F(FirstStart, DoesTheInstallersWorkOncePerVersion) {
    fs::Outcome first = fs::run(program);
    EXPECT_TRUE(first.due);
    EXPECT_TRUE(first.problems.empty());
    EXPECT_TRUE(first.authorities);
    for (const char* thumb : orvik::builtin::kRootThumbprints) EXPECT_TRUE(rootInstalled(thumb)) << thumb;
    EXPECT_EQ(orvikdesk::profile::read("Common", "InstallDir"), program);
    // Nothing for every user on this machine: the user's folders get every file manager's entries.
    EXPECT_EQ(first.menus, fs::Menus::User);
    EXPECT_TRUE(fileExists(nemoAction()));
    EXPECT_NE(readFile(thunarFile()).find(helper), std::string::npos);

    // The user distrusts a built-in root: later starts of the same version leave that alone.
    removeRoot(orvik::builtin::kRootThumbprints[0]);
    fs::Outcome again = fs::run(program);
    EXPECT_FALSE(again.due);
    EXPECT_FALSE(rootInstalled(orvik::builtin::kRootThumbprints[0]));

    // A new version registers its entries again; the same authorities are not forced back.
    ASSERT_TRUE(orvikdesk::profile::write("FirstStart", "Version", "0.9"));
    std::remove(nemoAction().c_str());
    fs::Outcome upgrade = fs::run(program);
    EXPECT_TRUE(upgrade.due);
    EXPECT_FALSE(upgrade.authorities);
    EXPECT_TRUE(fileExists(nemoAction()));
    EXPECT_FALSE(rootInstalled(orvik::builtin::kRootThumbprints[0]));

    // Another program folder (the program was moved or installed) is recorded at its next start.
    const std::string moved = dirs.path() + "/moved";
    mkdir(moved.c_str(), 0755);
    EXPECT_TRUE(fs::run(moved).due);
    EXPECT_EQ(orvikdesk::profile::read("Common", "InstallDir"), moved);
}

TEST_F(FirstStart, ChangedAuthoritiesAreInstalledAgain) {
    ASSERT_TRUE(fs::run(program).authorities);
    removeRoot(orvik::builtin::kRootThumbprints[1]);
    // A new set of authorities (here the deployment's own): it goes in, the rest stays as it was.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\Orvikon\\Deployment\\Authorities", &key), ERROR_SUCCESS);
    const std::string root = orvik::builtin::kRoots[1];
    ASSERT_EQ(RegSetValueExA(key, "Root1", 0, REG_SZ, reinterpret_cast<const BYTE*>(root.c_str()),
                             static_cast<DWORD>(root.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
    fs::Outcome changed = fs::run(program);
    EXPECT_TRUE(changed.due);
    EXPECT_TRUE(changed.authorities);
    EXPECT_EQ(changed.menus, fs::Menus::Skipped) << "same version, same folder: entries as they were";
    EXPECT_TRUE(rootInstalled(orvik::builtin::kRootThumbprints[1]));
    EXPECT_FALSE(fs::run(program).due);
}

TEST_F(FirstStart, BesideAnInstallForEveryUserOnlyThunarIsAddedPerUser) {
    // The package put the other file managers' entries where they read the system's.
    for (const orvikmenu::GeneratedFile& file : orvikmenu::generatedFiles({system, ""}, helper)) {
        std::string dir = file.path.substr(0, file.path.find_last_of('/'));
        orvik::test::runShell("mkdir -p " + orvik::test::shellQuoted(dir));
        writeFile(file.path, file.text);
    }
    ASSERT_TRUE(fs::systemWideMenus(helper));
    mkdir((config + "/Thunar").c_str(), 0755);
    const std::string own = "<action><icon></icon><name>Mine</name><unique-id>1-2</unique-id></action>";
    writeFile(thunarFile(), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<actions>\n" + own + "\n</actions>\n");

    fs::Outcome out = fs::run(program);
    EXPECT_TRUE(out.problems.empty());
    EXPECT_EQ(out.menus, fs::Menus::ThunarOnly);
    EXPECT_FALSE(fileExists(nemoAction())) << "no second copy of what the system provides";
    EXPECT_FALSE(fileExists(data + "/kio/servicemenus/orvik-file.desktop"));
    const std::string uca = readFile(thunarFile());
    EXPECT_NE(uca.find(own), std::string::npos) << "the user's own action stays";
    EXPECT_NE(uca.find(helper), std::string::npos);
}

TEST_F(FirstStart, AStepThatFailsIsSaidAndTriedAgain) {
    // The user's configuration folder cannot be made: a file is in its way.
    writeFile(dirs.path() + "/blocked", "");
    setenv("XDG_CONFIG_HOME", (dirs.path() + "/blocked/config").c_str(), 1);
    fs::Outcome failed = fs::run(program);
    ASSERT_EQ(failed.problems.size(), 1u);
    EXPECT_EQ(failed.problems[0].step, fs::Step::Menus);
    EXPECT_TRUE(failed.authorities) << "the other steps are done all the same";
    EXPECT_EQ(orvikdesk::profile::read("Common", "InstallDir"), program);
    const QString message = orvikdesk::CAssistantApp::firstStartMessage(failed.problems);
    EXPECT_TRUE(message.contains(QStringLiteral("在文件管理器中添加右键菜单失败"))) << message.toStdString();
    EXPECT_TRUE(message.contains(QStringLiteral("程序可以照常使用"))) << message.toStdString();

    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    fs::Outcome retried = fs::run(program);
    EXPECT_TRUE(retried.due);
    EXPECT_TRUE(retried.problems.empty());
    EXPECT_FALSE(retried.authorities) << "done the first time";
    EXPECT_TRUE(fileExists(thunarFile()));
    EXPECT_FALSE(fs::run(program).due);
}

TEST_F(FirstStart, OrvikctlRunsItAndSaysWhenTheDiskIsFull) {
    const std::string ctl = orvik::test::shellQuoted(ORVIKCTL_PATH);
    auto run = [&](const std::string& args, const std::string& env = {}) {
        return orvik::test::runShell("ORVIK_HOME=" + orvik::test::shellQuoted(home.path()) + " " + env + " " + ctl +
                                     " first-start " + args + " 2>&1");
    };
    // No room for a single byte more: nothing is recorded, and the user is told why.
    ASSERT_TRUE(orvikdesk::profile::write("Common", "SartOnlineCRLCheck", "0"));
    orvik::test::ShellRun full = run("", "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0 LD_PRELOAD=" +
                                             orvik::test::shellQuoted(FAULT_SHIM_PATH) + " ORVIK_FAULT_ENOSPC=0");
    EXPECT_EQ(full.code, 1) << full.out;
    EXPECT_NE(full.out.find("orvikctl: first start: cannot write the built-in authorities: the disk is full"),
              std::string::npos)
        << full.out;

    orvik::test::ShellRun done = run("");
    EXPECT_EQ(done.code, 0) << done.out;
    EXPECT_NE(done.out.find("Authorities\tinstalled"), std::string::npos) << done.out;
    for (const char* thumb : orvik::builtin::kRootThumbprints) EXPECT_TRUE(rootInstalled(thumb)) << thumb;
    orvik::test::ShellRun again = run("");
    EXPECT_NE(again.out.find("already done"), std::string::npos) << again.out;
    EXPECT_NE(run("--force").out.find("Authorities\tinstalled"), std::string::npos);
    EXPECT_EQ(run("--bogus").code, 2);
}
