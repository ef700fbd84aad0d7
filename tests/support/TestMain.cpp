// The main of every test program: a child entry when asked for one, the tests otherwise. Every
// test runs in the users' time zone, so local-time texts are checked as they will read, and
// without the session bus of whoever runs it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "ChildProcess.h"

int main(int argc, char** argv) {
    setenv("TZ", "Asia/Shanghai", 1);
    tzset();
    int code = 0;
    if (orvik::test::runChildEntry(argc, argv, &code)) return code;
    // No test reaches the developer's own keyring: a test that wants a Secret Service starts one,
    // and its children inherit that.
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:abstract=orvik-tests-no-session-bus", 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
