#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include <windows.h>

namespace {

// 2026-12-07 04:20:52 UTC, a Monday: 1796617252 s after 1970, in 100 ns ticks after 1601.
constexpr uint64_t kTicks = 134410908520000000ULL;

uint64_t ticksOf(const FILETIME& ft) { return static_cast<uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime; }

FILETIME fileTimeOf(uint64_t ticks) { return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)}; }

}  // namespace

TEST(Time, SystemTimeAndFileTimeConvertBothWays) {
    FILETIME ft = fileTimeOf(kTicks);
    SYSTEMTIME st{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(st.wYear, 2026);
    EXPECT_EQ(st.wMonth, 12);
    EXPECT_EQ(st.wDay, 7);
    EXPECT_EQ(st.wDayOfWeek, 1) << "Monday";
    EXPECT_EQ(st.wHour, 4);
    EXPECT_EQ(st.wMinute, 20);
    EXPECT_EQ(st.wSecond, 52);
    EXPECT_EQ(st.wMilliseconds, 0);

    FILETIME back{};
    ASSERT_TRUE(SystemTimeToFileTime(&st, &back));
    EXPECT_EQ(ticksOf(back), kTicks);
}

TEST(Time, LocalFileTimeFollowsTheProcessTimeZone) {
    const char* old = std::getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "Asia/Shanghai", 1);
    tzset();
    FILETIME ft = fileTimeOf(kTicks), local{};
    ASSERT_TRUE(FileTimeToLocalFileTime(&ft, &local));
    EXPECT_EQ(ticksOf(local) - kTicks, 8ULL * 3600 * 10000000) << "China Standard Time is UTC+8 all year";
    SYSTEMTIME st{};
    ASSERT_TRUE(FileTimeToSystemTime(&local, &st));
    EXPECT_EQ(st.wHour, 12);
    EXPECT_EQ(st.wMinute, 20);
    if (old) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

TEST(Time, DateAndTimePicturesAndTheirSizeQuery) {
    FILETIME ft = fileTimeOf(kTicks);
    SYSTEMTIME st{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
    char buf[32] = {};
    EXPECT_EQ(GetDateFormatA(LOCALE_USER_DEFAULT, 0, &st, "yyyy'-'MM'-'dd", buf, sizeof buf), 11);
    EXPECT_STREQ(buf, "2026-12-07");
    EXPECT_EQ(GetDateFormatA(LOCALE_USER_DEFAULT, 0, &st, "yyyy'-'MM'-'dd", nullptr, 0), 11) << "length + NUL";
    EXPECT_EQ(GetTimeFormatA(LOCALE_USER_DEFAULT, TIME_FORCE24HOURFORMAT, &st, "HH':'mm':'ss", buf, sizeof buf), 9);
    EXPECT_STREQ(buf, "04:20:52");
    EXPECT_EQ(GetTimeFormatA(LOCALE_USER_DEFAULT, TIME_FORCE24HOURFORMAT, &st, "HH':'mm':'ss", nullptr, 0), 9);
    st.wHour = 16;
    EXPECT_EQ(GetTimeFormatA(LOCALE_USER_DEFAULT, TIME_FORCE24HOURFORMAT, &st, "hh':'mm", buf, sizeof buf), 6);
    EXPECT_STREQ(buf, "16:20") << "the flag turns 12-hour fields into 24-hour ones";
}

TEST(Time, CodePageConversionsCountTheNulOfTerminatedTexts) {
    struct Row {
        UINT codePage;
        std::string narrow;
        const char* what;
    };
    const Row rows[] = {
        {CP_ACP, "中文", "the ANSI code page is UTF-8"},
        {936, "\xD6\xD0\xCE\xC4", "code page 936 is GBK"},
    };
    for (const Row& row : rows) {
        WCHAR wide[8] = {};
        EXPECT_EQ(MultiByteToWideChar(row.codePage, 0, row.narrow.c_str(), -1, nullptr, 0), 3) << row.what;
        ASSERT_EQ(MultiByteToWideChar(row.codePage, 0, row.narrow.c_str(), -1, wide, 8), 3) << row.what;
        EXPECT_EQ(std::u16string(wide), u"中文") << row.what;
        EXPECT_EQ(wide[2], u'\0') << row.what;

        char narrow[16] = {'x'};
        int need = static_cast<int>(row.narrow.size()) + 1;
        EXPECT_EQ(WideCharToMultiByte(row.codePage, 0, u"中文", -1, nullptr, 0, nullptr, nullptr), need) << row.what;
        ASSERT_EQ(WideCharToMultiByte(row.codePage, 0, u"中文", -1, narrow, sizeof narrow, nullptr, nullptr), need)
            << row.what;
        EXPECT_EQ(std::string(narrow), row.narrow) << row.what;
    }
}
