#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <BBuffer.h>

#include "support/TempHome.h"

namespace {

std::string bytesOf(const CBBuffer& b) { return std::string(reinterpret_cast<const char*>(b.GetBuffer()), b.size()); }

}  // namespace

TEST(BBuffer, GetStrBufferAddsOneNulEachCall) {
    CBBuffer b;
    b.AttachBuffer("hello", 5);
    unsigned char* text = b.GetStrBuffer();
    EXPECT_EQ(b.size(), 6);
    EXPECT_EQ(text[5], 0);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "hello");
    b.GetStrBuffer();
    EXPECT_EQ(b.size(), 7);
}

TEST(BBuffer, AttachRules) {
    CBBuffer b;
    b.AttachBuffer("abc", 0);
    EXPECT_EQ(b.size(), 0) << "no storage yet: a count of 0 appends nothing";
    b.AttachBuffer("ab", 2);
    b.AttachBuffer("cde", 0);
    EXPECT_EQ(bytesOf(b), "abcde") << "with storage, a count of 0 reads a NUL-terminated text";
    EXPECT_EQ(b.Attachstr("fg"), 2);
    CBBuffer other;
    other.AttachBuffer("\0h", 2);
    b.Attach(other);
    EXPECT_EQ(bytesOf(b), std::string("abcdefg\0h", 9));
    // Appending a buffer to itself reads the bytes before they move.
    b.Attach(b);
    EXPECT_EQ(bytesOf(b), std::string("abcdefg\0habcdefg\0h", 18));
}

TEST(BBuffer, ResizeGrowsClearsNewBlocksAndShrinksInPlace) {
    CBBuffer b;
    b.resize(16);
    ASSERT_EQ(b.size(), 16);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(b.GetBuffer()[i], 0) << "a new block is cleared";
    std::memcpy(b.GetBuffer(), "0123456789abcdef", 16);
    unsigned char* block = b.GetBuffer();
    b.resize(4);
    EXPECT_EQ(b.size(), 4);
    EXPECT_EQ(b.GetBuffer(), block) << "shrinking keeps the block";
    b.resize(10);
    EXPECT_EQ(b.size(), 10);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b.GetBuffer()), 4), "0123");
}

TEST(BBuffer, ForeignBlocksAreNeverFreedOrReallocated) {
    unsigned char foreign[8] = {'f', 'o', 'r', 'e', 'i', 'g', 'n', '!'};
    {
        CBBuffer b(foreign, 8, false);
        b.Free();
        EXPECT_EQ(b.size(), 0);
        EXPECT_EQ(b.GetBuffer(), nullptr);
    }
    {
        CBBuffer b(foreign, 8, false);
        b.AttachBuffer("+", 1);  // grows into a block of its own
        EXPECT_NE(b.GetBuffer(), foreign);
        EXPECT_EQ(bytesOf(b), "foreign!+");
    }
    EXPECT_EQ(std::string(reinterpret_cast<char*>(foreign), 8), "foreign!");
}

TEST(BBuffer, OwnedBlocksHandedInAreTakenOver) {
    auto* block = static_cast<unsigned char*>(std::malloc(4));
    std::memcpy(block, "abcd", 4);
    CBBuffer b;
    b.SetBuffer(block, 4, true);
    EXPECT_EQ(bytesOf(b), "abcd");
    b.SetBuffer(nullptr, 0, true);  // frees the block (the sanitizer build checks for a leak)
    EXPECT_EQ(b.size(), 0);
}

TEST(BBuffer, CopiesOwnTheirBytes) {
    CBBuffer a;
    a.AttachBuffer("secret", 6);
    CBBuffer b;
    b.AttachBuffer("old", 3);
    b = a;
    ASSERT_NE(a.GetBuffer(), b.GetBuffer());
    EXPECT_EQ(bytesOf(b), "secret");
    a.GetBuffer()[0] = 'S';
    EXPECT_EQ(bytesOf(b), "secret");
    CBBuffer c(a);
    a.Free();
    EXPECT_EQ(bytesOf(c), "Secret");
    b = b;
    EXPECT_EQ(bytesOf(b), "secret");
    CBBuffer empty;
    b = empty;
    EXPECT_EQ(b.size(), 0);
}

TEST(BBuffer, DumpWritesTheBytesOrNothing) {
    orvik::test::TempDir dir;
    CBBuffer b;
    b.AttachBuffer("\x01\x02\x00\x03", 4);
    EXPECT_EQ(b.Dump(dir.file("out.bin").c_str()), 0);
    EXPECT_EQ(orvik::test::readFile(dir.file("out.bin")), std::string("\x01\x02\x00\x03", 4));
    EXPECT_EQ(b.Dump(dir.file("missing/out.bin").c_str()), 0);
    EXPECT_FALSE(orvik::test::fileExists(dir.file("missing/out.bin")));
}

TEST(BBuffer, CleanseZeroesTheBytes) {
    CBBuffer b;
    b.AttachBuffer("key!", 4);
    b.Cleanse();
    EXPECT_EQ(bytesOf(b), std::string(4, '\0'));
}
