// The one writer of files and the one holder of secrets.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include <orvik/AtomicFile.h>
#include <orvik/Secret.h>

#include "support/TempHome.h"

using orvik::AtomicFile;
using orvik::test::readFile;
using orvik::test::TempDir;
using orvik::test::writeFile;
namespace fs = std::filesystem;

namespace {

size_t entries(const TempDir& dir) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(AtomicFile, TheTargetIsTheOldOrTheWholeNewFileAndNothingElseRemains) {
    TempDir dir;
    const std::string target = dir.file("out.txt");
    writeFile(target, "old");
    {
        AtomicFile file(target);
        ASSERT_TRUE(file.ok());
        ASSERT_TRUE(file.write("new "));
        ASSERT_TRUE(file.write(std::string(100000, 'x')));
        EXPECT_EQ(readFile(target), "old");  // untouched until the commit
        EXPECT_EQ(entries(dir), 2u);
    }
    EXPECT_EQ(readFile(target), "old");  // never committed: discarded
    EXPECT_EQ(entries(dir), 1u);

    ASSERT_TRUE(orvik::writeFileAtomically(target, "new", 0640));
    EXPECT_EQ(readFile(target), "new");
    EXPECT_EQ(modeOf(target), 0640u);
    EXPECT_EQ(entries(dir), 1u);

    // Plaintext and keys are the owner's alone unless a caller says otherwise.
    ASSERT_TRUE(orvik::writeFileAtomically(dir.file("secret"), "s"));
    EXPECT_EQ(modeOf(dir.file("secret")), 0600u);
}

TEST(AtomicFile, KeepsAnExistingTargetWhenToldNotToReplaceIt) {
    TempDir dir;
    const std::string target = dir.file("out.txt");
    writeFile(target, "the user's file");
    errno = 0;
    EXPECT_FALSE(orvik::writeFileAtomically(target, "other", 0600, AtomicFile::Replace::No));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(readFile(target), "the user's file");
    EXPECT_EQ(entries(dir), 1u);
    ASSERT_TRUE(orvik::writeFileAtomically(dir.file("fresh"), "new", 0600, AtomicFile::Replace::No));
    EXPECT_EQ(readFile(dir.file("fresh")), "new");
}

TEST(AtomicFile, SweepsWhatADeadWriterLeftAndFailsWithTheReason) {
    TempDir dir;
    // A writer that was killed: its process id no longer runs.
    writeFile(dir.file(".orvik-part-999999999-abcdef"), "partial");
    ASSERT_TRUE(orvik::writeFileAtomically(dir.file("a"), "a"));
    EXPECT_FALSE(fs::exists(dir.file(".orvik-part-999999999-abcdef")));

    AtomicFile missing(dir.file("no such folder/file"));
    EXPECT_FALSE(missing.ok());
    EXPECT_EQ(missing.error(), ENOENT);
    EXPECT_FALSE(missing.write("x"));
    EXPECT_FALSE(missing.commit());
}

TEST(Secret, WipesWhatItHeldWhenItGrowsAndWhenItIsWiped) {
    orvik::SecretString s("short");
    const char* shortForm = s.data();
    s.wipe();
    EXPECT_TRUE(s.empty());
    EXPECT_EQ(std::string(shortForm, 5), std::string(5, '\0'));

    orvik::SecretString moved(std::string(64, 'k').c_str());
    orvik::SecretString taken(std::move(moved));
    EXPECT_EQ(taken, std::string(64, 'k').c_str());
    EXPECT_TRUE(moved.empty());

    std::string plain = "password";
    orvik::wipe(plain);
    EXPECT_TRUE(plain.empty());
    EXPECT_EQ(std::string(plain.data(), 8), std::string(8, '\0'));
}

}  // namespace
