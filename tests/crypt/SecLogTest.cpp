#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <SecLog.h>
#include <windows.h>

#include "support/TempHome.h"

using orvik::test::readFile;
using orvik::test::TempHome;

namespace {

// The log of this test program: beside it, in its own folder.
std::string logPath() {
    auto dirs = CSecLog::LogDirectories();
    return dirs.empty() ? std::string() : dirs.front() + "OrvikCrypt.log";
}

class SecLogTest : public ::testing::Test {
protected:
    void SetUp() override { unlink(logPath().c_str()); }
    void TearDown() override { unlink(logPath().c_str()); }
    TempHome home;
};

}  // namespace

TEST_F(SecLogTest, LineHasLabelTimeFileAndLine) {
    CSecLog log;
    SetLastError(0x80092004);
    EXPECT_EQ(SEC_LOG_FAILURE(log, "CertOpenSystemStore"), 0);
    EXPECT_EQ(log.Log(CSecLog::SEC_LOG_ERROR, 621, "C:\\src\\OrvikCrypt\\DigitalCertificate", "%s %d", "x", 7), 0);
    EXPECT_EQ(log.Log(CSecLog::SEC_LOG_ERROR, 9, "src/OrvikCrypt/CertStore.cpp", "plain"), 0);
    std::string text = readFile(logPath());
    std::regex line1(
        R"(^ERROR \d\d/\d\d/\d{4} \d\d:\d\d:\d\d SecLogTest\.cpp\(\d+\):CertOpenSystemStore Error: 0x80092004\n)");
    EXPECT_TRUE(std::regex_search(text, line1)) << text;
    EXPECT_NE(text.find(" DigitalCertificate(621):x 7\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" CertStore.cpp(9):plain\n"), std::string::npos) << text;
}

TEST_F(SecLogTest, LevelsDecideWhatIsWritten) {
    CSecLog log;
    log.Log(CSecLog::SEC_LOG_NONE, 1, "f", "never");
    log.Log(CSecLog::SEC_LOG_WARNING, 1, "f", "warning at 4");
    EXPECT_EQ(log.SetLogLevel(CSecLog::SEC_LOG_ERROR), 0);
    log.Log(CSecLog::SEC_LOG_WARNING, 1, "f", "warning at 1");
    log.Log(CSecLog::SEC_LOG_ERROR, 1, "f", "error at 1");
    CSecLog copy(log);
    copy.Log(CSecLog::SEC_LOG_INFO, 1, "f", "info in copy");
    std::string text = readFile(logPath());
    EXPECT_EQ(text.find("never"), std::string::npos);
    EXPECT_NE(text.find("WARNING "), std::string::npos);
    EXPECT_NE(text.find("warning at 4"), std::string::npos);
    EXPECT_EQ(text.find("warning at 1"), std::string::npos);
    EXPECT_NE(text.find("error at 1"), std::string::npos);
    EXPECT_EQ(text.find("info in copy"), std::string::npos) << "a copy keeps the level";
}

TEST_F(SecLogTest, RotatesOnlyPastTheLimit) {
    const std::string path = logPath();
    orvik::test::writeFile(path, std::string(5242880, 'x'));
    CSecLog log;
    log.Log(CSecLog::SEC_LOG_ERROR, 1, "f", "appended");
    EXPECT_GT(readFile(path).size(), 5242880u) << "exactly the limit is appended to";
    orvik::test::writeFile(path, std::string(5242881, 'x'));
    log.Log(CSecLog::SEC_LOG_ERROR, 1, "f", "fresh");
    std::string text = readFile(path);
    EXPECT_LT(text.size(), 200u) << "one byte more: emptied first";
    EXPECT_NE(text.find("fresh"), std::string::npos);
}

TEST_F(SecLogTest, LinesOfThreadsNeverInterleave) {
    constexpr int kThreads = 4, kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            CSecLog log;
            for (int i = 0; i < kLines; ++i)
                log.Log(CSecLog::SEC_LOG_ERROR, i, "thread", "T%d-%s", t, std::string(300, 'a' + t).c_str());
        });
    for (auto& th : threads) th.join();
    std::string text = readFile(logPath());
    std::regex whole(R"(^ERROR [0-9/: ]+ thread\(\d+\):T(\d)-([a-d])\2{299}$)");
    int count = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        std::string line = text.substr(start, end - start);
        EXPECT_TRUE(std::regex_match(line, whole)) << line.substr(0, 80);
        ++count;
        start = end + 1;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

TEST_F(SecLogTest, UnwritableProgramFolderFallsBackToHome) {
    orvik::test::TempDir dir;
    orvik::test::writeFile(dir.file("plain"), "x");
    // A folder below a regular file cannot take a file, not even for root.
    std::vector<std::string> dirs{dir.file("plain/sub/"), home.path() + "/"};
    std::string chosen;
    FILE* out = CSecLog::OpenLogFile(dirs, &chosen);
    ASSERT_NE(out, nullptr);
    fclose(out);
    EXPECT_EQ(chosen, home.file("OrvikCrypt.log"));
    EXPECT_EQ(CSecLog::OpenLogFile({dir.file("plain/sub/")}), nullptr);
    auto defaults = CSecLog::LogDirectories();
    ASSERT_EQ(defaults.size(), 2u);
    EXPECT_EQ(defaults[1], home.path() + "/");
}
