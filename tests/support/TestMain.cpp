// The main of every test program: a child entry when asked for one, the tests otherwise. Every
// test runs in the users' time zone, so local-time texts are checked as they will read.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "ChildProcess.h"

int main(int argc, char** argv) {
    setenv("TZ", "Asia/Shanghai", 1);
    tzset();
    int code = 0;
    if (orvik::test::runChildEntry(argc, argv, &code)) return code;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
