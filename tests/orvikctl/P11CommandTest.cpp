// orvikctl p11 as a script uses it: one line per target, one line on standard error for a failure.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "crypt/MozillaHomeFixture.h"
#include "support/TempHome.h"

using orvik::test::MozillaHome;

namespace {

orvik::test::ShellRun p11(const std::string& args, const char* streams = "2>/dev/null") {
    return orvik::test::runShell(std::string(ORVIKCTL_PATH) + " p11 " + args + " " + streams);
}

}  // namespace

TEST(OrvikctlP11, EveryTargetOnALineAndFailuresOnOneLine) {
    orvik::test::TempHome state;
    MozillaHome home;
    const std::string running = home.profile(".thunderbird", "default");
    // Without --module: the module beside orvikctl, where the build puts it.
    ASSERT_EQ(std::filesystem::path(ORVIKCTL_PATH).parent_path(),
              std::filesystem::path(ORVIK_P11_MODULE).parent_path());
    EXPECT_EQ(p11("status").out, "p11-kit\tnot-registered\nnssdb\tno-database\nthunderbird/default\tnot-registered\n");

    auto missing = p11("--module " + home.path() + "/none.so register", "2>&1");
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.out, "orvikctl: no PKCS#11 module at " + home.path() + "/none.so\n");

    MozillaHome::lock(running);
    auto busy = p11("register", "2>&1 >/dev/null");
    EXPECT_EQ(busy.code, 1);
    EXPECT_EQ(busy.out, "orvikctl: not changed: thunderbird/default (in use: close the program and try again)\n");
    EXPECT_EQ(p11("status").out, "p11-kit\tregistered\nnssdb\tregistered\nthunderbird/default\tin-use\n");
    MozillaHome::unlock(running);

    auto all = p11("register");
    EXPECT_EQ(all.code, 0);
    EXPECT_EQ(all.out, "p11-kit\tregistered\nnssdb\tregistered\nthunderbird/default\tregistered\n");
    auto none = p11("unregister");
    EXPECT_EQ(none.code, 0);
    EXPECT_EQ(none.out, "p11-kit\tnot-registered\nnssdb\tnot-registered\nthunderbird/default\tnot-registered\n");

    EXPECT_EQ(p11("list").code, 2);
}
