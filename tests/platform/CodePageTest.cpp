#include <gtest/gtest.h>

#include <orvik/CodePage.h>

TEST(CodePage, ChineseTextHasItsCodePage936Bytes) {
    // 中文 in GBK is D6 D0 CE C4; ASCII passes through.
    std::string out;
    EXPECT_TRUE(orvik::utf8ToCp936("中文 ok", out));
    EXPECT_EQ(out, "\xD6\xD0\xCE\xC4 ok");
    EXPECT_TRUE(orvik::cp936ToUtf8(out, out));
    EXPECT_EQ(out, "中文 ok");
    EXPECT_EQ(orvik::fromCp936(orvik::toCp936("证书助手")), "证书助手");
}

TEST(CodePage, UnmappableCharactersBecomeQuestionMarks) {
    std::string out;
    // U+1F600 has no code page 936 form; a stray continuation byte is not UTF-8.
    EXPECT_FALSE(
        orvik::utf8ToCp936("a\xF0\x9F\x98\x80"
                           "b\x80"
                           "c",
                           out));
    EXPECT_EQ(out, "a?b?c");
    // A lead byte at the very end, and a lead byte followed by an invalid trail.
    EXPECT_FALSE(orvik::cp936ToUtf8("x\xD6", out));
    EXPECT_EQ(out, "x?");
    EXPECT_FALSE(orvik::cp936ToUtf8("\xD6\x20y", out));
    EXPECT_EQ(out, "? y");
}

TEST(CodePage, LongTextsConvertWhole) {
    std::string text;
    for (int i = 0; i < 2000; ++i) text += "数字证书";
    std::string gbk = orvik::toCp936(text);
    EXPECT_EQ(gbk.size(), 2000u * 8);
    EXPECT_EQ(orvik::fromCp936(gbk), text);
}

TEST(CodePage, ValidUtf8IsToldFromCodePage936Bytes) {
    struct Row {
        std::string text;
        bool valid;
    } rows[] = {{"", true},
                {"plain", true},
                {"张三", true},
                {"\xF0\x9F\x98\x80", true},
                {orvik::toCp936("张三"), false},
                {"\xC0\xAF", false},          // overlong "/"
                {"\xED\xA0\x80", false},      // a surrogate
                {"\xF4\x90\x80\x80", false},  // past U+10FFFF
                {"\xE5\xBC", false}};         // cut short
    for (const auto& row : rows) EXPECT_EQ(orvik::isValidUtf8(row.text), row.valid) << row.text;
}
