// Validity times in the forms real authorities write, read as UTC and as OpenSSL reads them.
#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include <windows.h>

#include "support/CertHandles.h"
#include "support/TestPki.h"

using orvik::test::CertPtr;
using orvik::test::CertSpec;
using orvik::test::contextOf;
using orvik::test::TestPki;

namespace {

uint64_t ticksOf(const FILETIME& ft) { return static_cast<uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime; }

uint64_t ticksAt(int y, int mo, int d, int h, int mi, int s) {
    struct tm t {};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    return (static_cast<uint64_t>(timegm(&t)) + 11644473600ULL) * 10000000ULL;
}

// OpenSSL's own reading of the same certificate, as FILETIME ticks.
uint64_t opensslTicks(const CERT_CONTEXT* c, bool notBefore) {
    const unsigned char* p = c->pbCertEncoded;
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(c->cbCertEncoded));
    if (!x) return 0;
    struct tm t {};
    const int ok = ASN1_TIME_to_tm(notBefore ? X509_get0_notBefore(x) : X509_get0_notAfter(x), &t);
    X509_free(x);
    return ok ? (static_cast<uint64_t>(timegm(&t)) + 11644473600ULL) * 10000000ULL : 0;
}

}  // namespace

TEST(CertTime, EveryFormInUseReadsAsUtc) {
    struct Row {
        bool generalized;
        const char* text;
        uint64_t utc;
    } rows[] = {
        {false, "260115123045Z", ticksAt(2026, 1, 15, 12, 30, 45)},
        {false, "2601151230Z", ticksAt(2026, 1, 15, 12, 30, 0)},         // no seconds
        {false, "260115123045-0800", ticksAt(2026, 1, 15, 20, 30, 45)},  // west of UTC
        {false, "2601151230+0800", ticksAt(2026, 1, 15, 4, 30, 0)},      // east, no seconds
        {false, "2601150030+0800", ticksAt(2026, 1, 14, 16, 30, 0)},     // the day before in UTC
        {false, "5001010000Z", ticksAt(1950, 1, 1, 0, 0, 0)},            // 50-99 are the 1900s
        {false, "491231235959Z", ticksAt(2049, 12, 31, 23, 59, 59)},
        {true, "20260115123045Z", ticksAt(2026, 1, 15, 12, 30, 45)},
        {true, "202601151230Z", ticksAt(2026, 1, 15, 12, 30, 0)},
        {true, "20260115123045.125Z", ticksAt(2026, 1, 15, 12, 30, 45)},
        {true, "20260115123045+0530", ticksAt(2026, 1, 15, 7, 0, 45)},
        {true, "20241231233000-0100", ticksAt(2025, 1, 1, 0, 30, 0)},  // the next year in UTC
        {true, "20240229120000Z", ticksAt(2024, 2, 29, 12, 0, 0)},
        {true, "99991231235959Z", ticksAt(9999, 12, 31, 23, 59, 59)},
    };
    auto& pki = TestPki::instance();
    for (const Row& row : rows) {
        CertSpec wanted{.cn = "time"};
        wanted.notAfterText = CertSpec::TimeText{row.generalized, row.text};
        wanted.notBeforeText = CertSpec::TimeText{row.generalized, row.text};
        CertPtr c = contextOf(pki.issue(wanted).der);
        ASSERT_TRUE(c) << row.text << " refused: 0x" << std::hex << GetLastError();
        EXPECT_EQ(ticksOf(c->pCertInfo->NotBefore), row.utc) << row.text;
        EXPECT_EQ(ticksOf(c->pCertInfo->NotAfter), row.utc) << row.text;
        EXPECT_EQ(opensslTicks(c.get(), false), row.utc) << row.text;
    }
}

TEST(CertTime, MalformedTimesAreRefused) {
    struct Row {
        bool generalized;
        const char* text;
    } rows[] = {
        {false, "2601151230"},       // no zone
        {false, "26011512Z"},        // no minutes
        {false, "2602301230Z"},      // February 30
        {false, "2502291230Z"},      // not a leap year
        {false, "2601151230+2400"},  // offset out of range
        {false, "2601151230+08"},    // half an offset
        {false, "2601151230Z0"},     // trailing text
        {false, "2601151260Z"},      // minute 60
        {false, "260115123045.5Z"},  // fractions only in GeneralizedTime
        {true, "20260115123045."},   // a point without digits
        {true, "2026011512Z"},       // no minutes
        {true, "20261315123045Z"},   // month 13
    };
    auto& pki = TestPki::instance();
    for (const Row& row : rows) {
        CertSpec wanted{.cn = "bad time"};
        wanted.notAfterText = CertSpec::TimeText{row.generalized, row.text};
        CertPtr c = contextOf(pki.issue(wanted).der);
        EXPECT_FALSE(c) << row.text;
    }
}

TEST(CertTime, LocalTextsOfOffsetTimes) {
    // What the viewer shows: the UTC instant in the process's zone.
    auto& pki = TestPki::instance();
    CertSpec wanted{.cn = "shown"};
    wanted.notBeforeText = CertSpec::TimeText{false, "2601151230-0800"};
    wanted.notAfterText = CertSpec::TimeText{true, "99991231235959Z"};
    CertPtr c = contextOf(pki.issue(wanted).der);
    ASSERT_TRUE(c);
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    setenv("TZ", "Asia/Shanghai", 1);
    tzset();
    FILETIME local{};
    SYSTEMTIME st{};
    ASSERT_TRUE(FileTimeToLocalFileTime(&c->pCertInfo->NotBefore, &local));
    ASSERT_TRUE(FileTimeToSystemTime(&local, &st));
    EXPECT_EQ(st.wYear, 2026);
    EXPECT_EQ(st.wMonth, 1);
    EXPECT_EQ(st.wDay, 16);
    EXPECT_EQ(st.wHour, 4);
    EXPECT_EQ(st.wMinute, 30);
    // Never expires: the local time is past 9999, the instant is not.
    ASSERT_TRUE(FileTimeToLocalFileTime(&c->pCertInfo->NotAfter, &local));
    ASSERT_TRUE(FileTimeToSystemTime(&local, &st));
    EXPECT_EQ(st.wYear, 10000);
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}
