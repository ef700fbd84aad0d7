#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <Encodings.h>

#include "support/TempHome.h"

namespace {

std::string encode(const std::string& bytes, int* length = nullptr) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '#');
    int n = -1;
    EXPECT_EQ(base64encoding(bytes.data(), static_cast<unsigned>(bytes.size()), out.data(), &n), 1);
    if (length) *length = n;
    EXPECT_EQ(out.back(), '\0');
    return std::string(out.c_str());
}

}  // namespace

TEST(Base64, EncodesGroupsWithPadding) {
    struct Row {
        std::string in, out;
    } rows[] = {{"abc", "YWJj"},
                {"ab", "YWI="},
                {"a", "YQ=="},
                {"", ""},
                {std::string("\xFF\xEF\x00", 3), "/+8A"},
                {"certificate!", "Y2VydGlmaWNhdGUh"}};
    for (const auto& row : rows) {
        int length = -1;
        EXPECT_EQ(encode(row.in, &length), row.out) << row.in;
        EXPECT_EQ(length, static_cast<int>(row.out.size())) << row.in;
    }
    // Never a line break, however long.
    std::string big(3000, 'x');
    EXPECT_EQ(encode(big).find('\n'), std::string::npos);
    EXPECT_EQ(encode(big).size(), 4000u);
}

TEST(Base64, DecodesSkippingForeignCharacters) {
    struct Row {
        const char* in;
        std::string out;
        int result;
    } rows[] = {
        {"YWI=", "ab", 1},        {"YW\nI=", "ab", 1}, {"YQ==", "a", 1},     {"YWJj", "abc", 1},
        {"Y W\r\nJ-j", "abc", 1}, {"YWJ", "", 0},      {"YWJjYQ", "abc", 0}, {"", "", 1},
    };
    for (const auto& row : rows) {
        char out[64];
        std::memset(out, '#', sizeof out);
        int length = -1;
        EXPECT_EQ(base64decoding(row.in, out, &length), row.result) << row.in;
        EXPECT_EQ(std::string(out, static_cast<size_t>(length)), row.out) << row.in;
    }
}

TEST(Base64, DecodeWritesTheTerminatingZeros) {
    char out[8];
    std::memset(out, '#', sizeof out);
    int length = 0;
    base64decoding("YQ==", out, &length);
    EXPECT_EQ(length, 1);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(out[2], 0);
    EXPECT_EQ(out[3], 0);
    EXPECT_EQ(out[4], '#') << "three bytes a group plus one, no more";
}

TEST(Base64, BoundedDecodeNeverWritesPastTheArea) {
    const char* text = "YWJjZGVm";  // 2 groups: needs 7 bytes
    EXPECT_EQ(base64DecodedCapacity(text), 7);
    char out[16];
    std::memset(out, '#', sizeof out);
    int length = -1;
    EXPECT_EQ(base64decodingBounded(text, out, 6, &length), -1);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(out[0], '#');
    EXPECT_EQ(base64decodingBounded(text, out, 7, &length), 1);
    EXPECT_EQ(std::string(out, 6), "abcdef");
    EXPECT_EQ(out[7], '#');
}

TEST(Base64, CxxFormsRoundTripBinary) {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
    EXPECT_EQ(base64Decode(base64Encode(bytes)), bytes);
    bool complete = true;
    EXPECT_EQ(base64Decode("YWJjZ", &complete), "abc");
    EXPECT_FALSE(complete);
}

TEST(Thumbprint, TwoLowerCaseDigitsPerByteJoinedBySpaces) {
    char out[100];
    BinToThumb("\x00\xff\x10", 3, out);
    EXPECT_STREQ(out, "00 ff 10");
    std::string sha1(20, '\x80');
    BinToThumb(sha1.data(), 20, out);
    EXPECT_EQ(std::strlen(out), 59u);
    EXPECT_EQ(BinToThumb(std::string_view("\xab\x01", 2)), "ab 01");
}

TEST(Thumbprint, LongInputStaysInsideTheArea) {
    std::string bytes(64, '\x5a');
    char area[100 + 16];
    std::memset(area, '#', sizeof area);
    BinToThumb(bytes.data(), static_cast<int>(bytes.size()), area);
    EXPECT_EQ(std::strlen(area), 98u) << "33 pairs fit the 100-byte area";
    EXPECT_EQ(area[100], '#');

    char small[10];
    std::memset(small, '#', sizeof small);
    BinToThumb(bytes.data(), 20, small, 8);
    EXPECT_STREQ(small, "5a 5a");
    EXPECT_EQ(small[8], '#');
}

TEST(HttpEncode, EscapesTheFourCharacters) {
    char* text = new char[16];
    std::strcpy(text, "a=b+c\r\n");
    std::string out;
    EXPECT_EQ(HttpEncode(text, out), 0);
    EXPECT_EQ(out, "a%3Db%2Bc%0D%0A");
    EXPECT_EQ(HttpEncode(std::string_view("100% ok")), "100% ok") << "% itself is not escaped";
    EXPECT_EQ(HttpEncode(std::string_view("")), "");
}

TEST(LogFile, WritesOrSilentlySkips) {
    orvik::test::TempDir dir;
    logFile(dir.file("dump").c_str(), "ab\0c", 4);
    EXPECT_EQ(orvik::test::readFile(dir.file("dump")), std::string("ab\0c", 4));
    logFile(dir.file("dump").c_str(), "z", 1);
    EXPECT_EQ(orvik::test::readFile(dir.file("dump")), "z");
    logFile(dir.file("no/such/dir").c_str(), "z", 1);
    EXPECT_FALSE(orvik::test::fileExists(dir.file("no/such/dir")));
}
