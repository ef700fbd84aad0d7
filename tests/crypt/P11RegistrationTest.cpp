// The personal store's module registered in a home made with NSS's own tools, and read back with
// them: modutil for the databases' module lists, the p11-kit file as p11-kit reads it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include <P11Registration.h>

#include "crypt/MozillaHomeFixture.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;
using orvik::test::MozillaHome;
using orvik::test::readFile;
using Targets = std::vector<CP11Registration::Target>;

namespace {

class P11Registration : public ::testing::Test {
protected:
    // Whether modutil lists our module, from this library, in the database.
    static bool listed(const std::string& dir, const std::string& library) {
        const std::string list = MozillaHome::modules(dir);
        const size_t at = list.find("Orvik个人证书");
        return at != std::string::npos && list.find("library name: " + library + "\n", at) != std::string::npos;
    }
    static std::string states(const Targets& targets) {
        std::string out;
        for (const auto& t : targets) out += t.name + "=" + CP11Registration::StateName(t.state) + " ";
        return out;
    }
    std::string p11Kit() const { return home.path() + "/.config/pkcs11/modules/orvik-personal.module"; }

    orvik::test::TempHome orvikHome;  // what the module reads when NSS loads it
    MozillaHome home;
    CP11Registration registration{{}, ORVIK_P11_MODULE};
};

TEST_F(P11Registration, EveryDatabaseGetsTheModuleAndUnregisteringLeavesEachListAsItWas) {
    const std::vector<std::string> dirs = {home.sharedDatabase(), home.profile(".mozilla/firefox", "default-release"),
                                           home.profile("snap/firefox/common/.mozilla/firefox", "work"),
                                           home.profile(".var/app/org.mozilla.Thunderbird/.thunderbird", "mail")};
    // A module the user added himself stays, before ours and after it.
    auto addOther = [](const std::string& dir) {
        MozillaHome::tool("modutil -force -add 'Builtin Roots' -libfile libnssckbi.so -dbdir sql:" + dir);
    };
    addOther(dirs[0]);
    std::vector<std::string> lists, files;
    for (const auto& dir : dirs)
        lists.push_back(MozillaHome::modules(dir)), files.push_back(readFile(dir + "/pkcs11.txt"));
    const std::string none =
        "p11-kit=not-registered nssdb=not-registered firefox/default-release=not-registered "
        "firefox-snap/work=not-registered thunderbird-flatpak/mail=not-registered ";
    EXPECT_EQ(states(registration.Status()), none);

    Targets after;
    ASSERT_EQ(registration.Register(after), CP11Registration::Ok) << states(after);
    EXPECT_EQ(states(CP11Registration({}, ORVIK_P11_MODULE).Status()), states(after));
    EXPECT_EQ(states(after).find("not-registered"), std::string::npos) << states(after);
    for (const auto& dir : dirs) EXPECT_TRUE(listed(dir, ORVIK_P11_MODULE)) << dir;
    EXPECT_NE(readFile(p11Kit()).find("\nmodule: " ORVIK_P11_MODULE "\n"), std::string::npos) << readFile(p11Kit());
    const std::string once = readFile(dirs[1] + "/pkcs11.txt");
    ASSERT_EQ(registration.Register(after), CP11Registration::Ok);
    EXPECT_EQ(readFile(dirs[1] + "/pkcs11.txt"), once) << "twice is once";

    addOther(dirs[1]);
    ASSERT_EQ(registration.Unregister(after), CP11Registration::Ok) << states(after);
    EXPECT_EQ(states(after), none);
    EXPECT_FALSE(fs::exists(p11Kit()));
    for (size_t i : {0u, 2u, 3u}) {
        EXPECT_EQ(MozillaHome::modules(dirs[i]), lists[i]) << dirs[i];
        EXPECT_EQ(readFile(dirs[i] + "/pkcs11.txt"), files[i]) << "byte for byte: " << dirs[i];
    }
    EXPECT_NE(MozillaHome::modules(dirs[1]).find("Builtin Roots"), std::string::npos);
    EXPECT_FALSE(listed(dirs[1], ORVIK_P11_MODULE));
}

TEST_F(P11Registration, AProfileInUseIsLeftAloneAndTheOthersGoOn) {
    const std::string running = home.profile(".mozilla/firefox", "running");
    const std::string idle = home.profile(".thunderbird", "idle", false);
    const std::string untouched = readFile(running + "/pkcs11.txt");
    MozillaHome::lock(running);
    Targets after;
    EXPECT_EQ(registration.Register(after), CP11Registration::Incomplete);
    EXPECT_EQ(states(after),
              "p11-kit=registered nssdb=registered firefox/running=in-use thunderbird/idle=no-database ");
    EXPECT_EQ(states(registration.Status()), states(after));
    EXPECT_EQ(readFile(running + "/pkcs11.txt"), untouched);
    EXPECT_FALSE(fs::exists(idle + "/cert9.db")) << "only ~/.pki/nssdb is made";
    struct stat st {};
    ASSERT_EQ(::stat((home.path() + "/.pki/nssdb").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(MozillaHome::tool("certutil -L -d sql:" + home.path() + "/.pki/nssdb").code, 0);

    // Closed, it is registered; open again, it keeps the module while the others lose it.
    MozillaHome::unlock(running);
    ASSERT_EQ(registration.Register(after), CP11Registration::Ok) << states(after);
    MozillaHome::lock(running);
    EXPECT_EQ(registration.Unregister(after), CP11Registration::Incomplete);
    EXPECT_EQ(states(after),
              "p11-kit=not-registered nssdb=not-registered firefox/running=in-use thunderbird/idle=no-database ");
    MozillaHome::unlock(running);
    EXPECT_TRUE(listed(running, ORVIK_P11_MODULE));
}

TEST_F(P11Registration, AMovedModuleReplacesItsOldEntryAndP11KitFollowsXdgConfigHome) {
    const std::string firefox = home.profile(".mozilla/firefox", "default");
    const std::string moved = home.path() + "/moved/libOrvikP11.so";
    fs::create_directories(home.path() + "/moved");
    fs::create_symlink(ORVIK_P11_MODULE, moved);
    Targets after;
    ASSERT_EQ(registration.Register(after), CP11Registration::Ok);

    setenv("XDG_CONFIG_HOME", (home.path() + "/xdg").c_str(), 1);
    CP11Registration there({}, moved);
    EXPECT_EQ(states(there.Status()), "p11-kit=not-registered nssdb=not-registered firefox/default=not-registered ");
    ASSERT_EQ(there.Register(after), CP11Registration::Ok) << states(after);
    EXPECT_TRUE(listed(firefox, moved));
    EXPECT_EQ(readFile(firefox + "/pkcs11.txt").find("library=" ORVIK_P11_MODULE "\n"), std::string::npos);
    EXPECT_NE(readFile(home.path() + "/xdg/pkcs11/modules/orvik-personal.module").find("module: " + moved + "\n"),
              std::string::npos);
    unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
