#include "platform/md5.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/test_support.h"

namespace norv::platform {
namespace {

using norv::testing::TempDir;

TEST(Md5, Rfc1321KnownAnswers) {
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(
        Md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
        "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, FileDigestStreamsLargeFiles) {
    TempDir dir;
    std::string big(3 * 1024 * 1024 + 17, 'z');
    std::string path = dir.Write("big.bin", big);
    EXPECT_EQ(Md5OfFile(path), Md5Hex(big));
    EXPECT_EQ(Md5OfFile(dir.Write("empty", "")), Md5Hex(""));
}

TEST(Md5, UnreadableOrSpecialFilesGiveBlanks) {
    TempDir dir;
    EXPECT_EQ(Md5OfFile(dir / "missing"), kUnreadableDigest);
    // A FIFO is never read (reading it would hang).
    std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(Md5OfFile(fifo), kUnreadableDigest);
    EXPECT_EQ(Md5OfFile(dir.path()), kUnreadableDigest);
}

TEST(Md5, SymlinkDigestIsItsTargetText) {
    TempDir dir;
    std::string link = dir / "link";
    ASSERT_EQ(::symlink("/etc/shadow", link.c_str()), 0);
    EXPECT_EQ(Md5OfSymlink(link), Md5Hex("/etc/shadow"));
    // The link is never followed for content.
    EXPECT_EQ(Md5OfFile(link), kUnreadableDigest);
}

}  // namespace
}  // namespace norv::platform
