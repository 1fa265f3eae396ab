#include "platform/text_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/charset.h"
#include "tests/support/test_support.h"

namespace norv::platform {
namespace {

using norv::testing::ReadAll;
using norv::testing::TempDir;

TEST(TextFile, ReadsCrLfBareLfAndAMissingLastLineEnd) {
    TempDir dir;
    std::string path = dir.Write("a.txt", "one\r\ntwo\nthree");
    auto lines = ReadTextLines(path, kUtf8);
    ASSERT_TRUE(lines.ok());
    EXPECT_EQ(lines.value(), (std::vector<std::string>{"one", "two", "three"}));

    dir.Write("b.txt", "");
    EXPECT_TRUE(ReadTextLines(dir / "b.txt", kUtf8)->empty());
    dir.Write("c.txt", "\r\n\r\nx\r\n");
    EXPECT_EQ(ReadTextLines(dir / "c.txt", kUtf8).value(), (std::vector<std::string>{"", "", "x"}));
}

TEST(TextFile, WritesCrLfWithoutByteOrderMark) {
    TempDir dir;
    ASSERT_TRUE(WriteTextFileAtomic(dir / "out.txt", {"設定", "", "x"}, kUtf8).ok());
    EXPECT_EQ(ReadAll(dir / "out.txt"), "設定\r\n\r\nx\r\n");
    ASSERT_TRUE(WriteTextFileAtomic(dir / "sjis.txt", {"設定"}, kCp932).ok());
    EXPECT_EQ(ReadAll(dir / "sjis.txt"), "\x90\xDD\x92\xE8\r\n");
    // A Shift_JIS file read with the UTF-8 locale comes back as the same text.
    EXPECT_EQ(ReadTextLines(dir / "sjis.txt", kUtf8).value(), std::vector<std::string>{"設定"});
}

TEST(TextFile, FailedWriteLeavesTheOldFileWhole) {
    TempDir dir;
    std::string path = dir.Write("keep.txt", "old\r\n");
    Status status = WriteTextFileAtomic(path, {"fine", "caf\u00E9"}, kCp932);
    ASSERT_FALSE(status.ok());
    EXPECT_NE(status.message().find("keep.txt"), std::string::npos);
    EXPECT_NE(status.message().find("2 行目"), std::string::npos);
    EXPECT_EQ(ReadAll(path), "old\r\n");
    // No temporary file is left beside it.
    EXPECT_EQ(norv::testing::CountEntries(dir.path()), 1);
}

TEST(TextFile, WriteSetsTheRequestedPermissions) {
    TempDir dir;
    std::string path = dir / "secret.txt";
    ASSERT_TRUE(WriteTextFileAtomic(path, {"pw"}, kUtf8, 0600).ok());
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(TextFile, MissingFileNamesTheFile) {
    TempDir dir;
    auto lines = ReadTextLines(dir / "nothing.txt", kUtf8);
    ASSERT_FALSE(lines.ok());
    EXPECT_EQ(lines.status().code(), ENOENT);
    EXPECT_NE(lines.status().message().find("nothing.txt"), std::string::npos);
}

}  // namespace
}  // namespace norv::platform
