// The main of every test program: a child entry when asked for one, the tests otherwise.
#include <gtest/gtest.h>

#include "ChildProcess.h"

int main(int argc, char** argv) {
    int code = 0;
    if (orvik::test::runChildEntry(argc, argv, &code)) return code;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
