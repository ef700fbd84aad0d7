#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include <orvik/Home.h>
#include <orvik/MessageBoxHandler.h>
#include <windows.h>

#include "support/MessageBoxRecorder.h"
#include "support/TempHome.h"

TEST(LastError, IsKeptPerThread) {
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seen = 1;
    std::thread other([&] {
        seen = GetLastError();
        SetLastError(ERROR_FILE_NOT_FOUND);
    });
    other.join();
    EXPECT_EQ(seen, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(ModuleFileName, NamesTheProgramAndTruncatesSafely) {
    char path[4096];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    ASSERT_GT(n, 0u);
    char expected[4096];
    ssize_t len = readlink("/proc/self/exe", expected, sizeof expected);
    ASSERT_GT(len, 0);
    EXPECT_EQ(std::string(path, n), std::string(expected, static_cast<size_t>(len)));

    char small[8];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), static_cast<DWORD>(sizeof small));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(small[sizeof small - 1], '\0');
    EXPECT_EQ(std::string(small), std::string(expected, 7));
}

TEST(SplitPath, SplitsOnEitherSeparator) {
    struct Row {
        const char* path;
        const char* dir;
        const char* name;
        const char* ext;
    } rows[] = {
        {"/opt/orvik/OrvikDesk", "/opt/orvik/", "OrvikDesk", ""},
        {"C:\\Program Files\\Orvik\\OrvikDesk.exe", "C:\\Program Files\\Orvik\\", "OrvikDesk", ".exe"},
        {"report.tar.gz", "", "report.tar", ".gz"},
        {"/dir.d/file", "/dir.d/", "file", ""},
        {"", "", "", ""},
    };
    for (const auto& row : rows) {
        char drive[_MAX_DRIVE], dir[_MAX_DIR], name[_MAX_FNAME], ext[_MAX_EXT];
        _splitpath(row.path, drive, dir, name, ext);
        EXPECT_STREQ(drive, "") << row.path;
        EXPECT_STREQ(dir, row.dir) << row.path;
        EXPECT_STREQ(name, row.name) << row.path;
        EXPECT_STREQ(ext, row.ext) << row.path;
    }
}

TEST(SplitPath, CutsPartsLongerThanTheirAreas) {
    std::string longDir = "/" + std::string(400, 'd') + "/file.txt";
    char dir[_MAX_DIR + 8];
    std::memset(dir, 'x', sizeof dir);
    _splitpath(longDir.c_str(), nullptr, dir, nullptr, nullptr);
    EXPECT_EQ(std::strlen(dir), static_cast<size_t>(_MAX_DIR - 1));
    EXPECT_EQ(dir[_MAX_DIR], 'x') << "nothing written past the area";
}

TEST(MessageBox, GoesToTheInstalledHandler) {
    orvik::test::MessageBoxRecorder recorder;
    recorder.setNextAnswer(IDNO);
    EXPECT_EQ(MessageBoxA(nullptr, "确定要删除吗？", "证书助手", MB_YESNO | MB_ICONQUESTION), IDNO);
    EXPECT_EQ(MessageBoxA(nullptr, "导入成功！", "证书助手", MB_OK), IDOK);
    ASSERT_EQ(recorder.count(), 2u);
    EXPECT_EQ(recorder.boxes()[0].text, "确定要删除吗？");
    EXPECT_EQ(recorder.boxes()[0].caption, "证书助手");
    EXPECT_EQ(recorder.boxes()[0].type, static_cast<UINT>(MB_YESNO | MB_ICONQUESTION));
}

TEST(MessageBox, WithoutAHandlerTheDefaultButtonAnswers) {
    EXPECT_EQ(MessageBoxA(nullptr, "text", "caption", MB_YESNO), IDYES);
    EXPECT_EQ(MessageBoxA(nullptr, "text", "caption", MB_YESNO | MB_DEFBUTTON2), IDNO);
    EXPECT_EQ(orvik::defaultMessageBoxAnswer(MB_OKCANCEL | MB_DEFBUTTON2), IDCANCEL);
    EXPECT_EQ(orvik::defaultMessageBoxAnswer(MB_YESNOCANCEL | MB_DEFBUTTON3), IDCANCEL);
}

TEST(Home, FollowsTheEnvironment) {
    orvik::test::TempHome home;
    EXPECT_EQ(orvik::homeDir(), home.path());
    unsetenv("ORVIK_HOME");
    setenv("XDG_DATA_HOME", "/xdg", 1);
    EXPECT_EQ(orvik::homeDir(), "/xdg/orvikon");
    unsetenv("XDG_DATA_HOME");
    const char* user = getenv("HOME");
    if (user) {
        EXPECT_EQ(orvik::homeDir(), std::string(user) + "/.local/share/orvikon");
    }
    setenv("ORVIK_HOME", home.path().c_str(), 1);
}

TEST(Home, IsCreatedPrivate) {
    orvik::test::TempDir dir;
    setenv("ORVIK_HOME", dir.file("a/b/home").c_str(), 1);
    std::string made;
    ASSERT_TRUE(orvik::ensureHomeDir(made));
    struct stat st {};
    ASSERT_EQ(stat(made.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    unsetenv("ORVIK_HOME");
}
