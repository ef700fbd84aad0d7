// orvikctl status and seal-keys: where the state lives and how its private keys are kept, with and
// without a Secret Service.
#include <gtest/gtest.h>

#include <string>

#include "support/SecretService.h"
#include "support/Shell.h"
#include "support/TempHome.h"
#include "support/TestPki.h"

using orvik::test::NoSessionBus;
using orvik::test::runShell;
using orvik::test::SecretService;
using orvik::test::shellQuoted;
using orvik::test::TempHome;
using orvik::test::TestPki;

namespace {

std::string hexOf(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) out += {digits[c >> 4], digits[c & 15]};
    return out;
}

orvik::test::ShellRun ctl(const std::string& args) {
    return runShell(std::string(ORVIKCTL_PATH) + " " + args + " 2>&1");
}

}  // namespace

TEST(OrvikctlStatus, SaysWhereTheHomeIsAndHowKeysAreKept) {
    TempHome home;
    auto cert = TestPki::instance().issue({.cn = "Status", .keyUsage = 0xA0});
    TestPki::save(home.file("me.pem"), cert.pem);
    TestPki::save(home.file("me.key"), cert.keyPem);
    {
        NoSessionBus none;
        ASSERT_EQ(
            ctl("import-cert " + shellQuoted(home.file("me.pem")) + " --key " + shellQuoted(home.file("me.key"))).code,
            0);
        auto run = ctl("status");
        EXPECT_EQ(run.code, 0) << run.out;
        EXPECT_NE(run.out.find("Home\t" + home.path() + "\n"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("Keys\tstored plain"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("Containers\t0 sealed, 1 plain"), std::string::npos) << run.out;
        auto seal = ctl("seal-keys");
        EXPECT_EQ(seal.code, 1);
        EXPECT_NE(seal.out.find("orvikctl: there is no Secret Service in this session"), std::string::npos) << seal.out;
    }
    SecretService service;
    ASSERT_TRUE(service.ready());
    EXPECT_NE(ctl("status").out.find("Keys\tsealed by the Secret Service\nContainers\t0 sealed, 1 plain\n"),
              std::string::npos);
    auto seal = ctl("seal-keys");
    EXPECT_EQ(seal.code, 0) << seal.out;
    EXPECT_EQ(seal.out, "Sealed\t1\n");
    EXPECT_NE(ctl("status").out.find("Containers\t1 sealed, 0 plain"), std::string::npos);

    ASSERT_TRUE(service.lockKeyring());
    auto run = ctl("status");
    EXPECT_NE(run.out.find("Keys\tsealed by the Secret Service, whose keyring is locked"), std::string::npos)
        << run.out;
    // A key the locked keyring keeps is refused with the keyring's own message.
    auto sign = ctl("sign " + shellQuoted(home.file("me.pem")) + " " + shellQuoted(home.file("me.p7s")) + " --cert " +
                    hexOf(cert.sha1));
    EXPECT_EQ(sign.code, 1);
    EXPECT_NE(sign.out.find("密钥环已锁定，无法使用私钥。请解锁后重试。"), std::string::npos) << sign.out;
    EXPECT_NE(sign.out.find("orvikctl: signing failed"), std::string::npos) << sign.out;
}

TEST(OrvikctlStatus, ASessionThatNamesNoBusKeepsKeysPlainAndStartsNoBus) {
    TempHome home;
    orvik::test::TempDir runtime;
    // A display but no bus address: GLib's fallback would launch a bus of its own.
    auto run = runShell("env -u DBUS_SESSION_BUS_ADDRESS DISPLAY=:99 XDG_RUNTIME_DIR=" + shellQuoted(runtime.path()) +
                        " " + ORVIKCTL_PATH + " status 2>&1");
    EXPECT_EQ(run.code, 0) << run.out;
    EXPECT_NE(run.out.find("Keys\tstored plain"), std::string::npos) << run.out;
}
