#include "platform/digest/fingerprint.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/held_lease.h"
#include "tests/support/race_env.h"
#include "tests/support/stepped_clock_env.h"
#include "tests/support/test_support.h"

namespace norv::platform {
namespace {

using norv::testing::HeldLease;
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
    EXPECT_EQ(Md5OfFile(testing::SystemEnv(), path), Md5Hex(big));
    EXPECT_EQ(Md5OfFile(testing::SystemEnv(), dir.Write("empty", "")), Md5Hex(""));
}

TEST(Md5, UnreadableOrSpecialFilesGiveBlanks) {
    TempDir dir;
    EXPECT_EQ(Md5OfFile(testing::SystemEnv(), dir / "missing"), kUnreadableDigest);
    // A FIFO is never read (reading it would hang).
    std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(Md5OfFile(testing::SystemEnv(), fifo), kUnreadableDigest);
    EXPECT_EQ(Md5OfFile(testing::SystemEnv(), dir.path()), kUnreadableDigest);
}

TEST(Md5, SymlinkDigestIsItsTargetText) {
    TempDir dir;
    std::string link = dir / "link";
    ASSERT_EQ(::symlink("/etc/shadow", link.c_str()), 0);
    EXPECT_EQ(Md5OfSymlink(testing::SystemEnv(), link), Md5Hex("/etc/shadow"));
    // The link is never followed for content.
    EXPECT_EQ(Md5OfFile(testing::SystemEnv(), link), kUnreadableDigest);
}

// A file of `size` bytes that holds `head` at its start and nothing else on disk.
std::string SparseFile(TempDir& dir, const std::string& name, const std::string& head, off_t size) {
    std::string path = dir.Write(name, head);
    EXPECT_EQ(::truncate(path.c_str(), size), 0);
    return path;
}

Fingerprint FingerprintOf(const std::string& path, const HashBudget& budget) {
    const size_t slash = path.rfind('/');
    auto folder = OpenDirectory(testing::SystemEnv(), path.substr(0, slash));
    return FingerprintAt(**folder, path.substr(slash + 1), nullptr, budget);
}

// A file that grows between the moment it is measured and its first read is hashed as measured:
// nothing past its size is read into the digest.
TEST(Md5, AFileGrowingAsItIsReadIsHashedAsMeasured) {
    TempDir dir;
    const std::string path = dir.Write("access.log", "first line\n");
    testing::RaceEnv race;
    race.Before(testing::Call::kRead, "access.log", [&] {
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        ASSERT_EQ(::write(fd, "second line\n", 12), 12);
        ::close(fd);
    });
    auto folder = OpenDirectory(race, dir.path());
    ASSERT_TRUE(folder.ok());
    const Fingerprint print = FingerprintAt(**folder, "access.log");
    EXPECT_EQ(race.Fired(), 1);
    EXPECT_EQ(print.facts.size, 11);
    EXPECT_EQ(print.Md5Text(), Md5Hex("first line\n"));
}

TEST(Md5, FileOverTheSizeBudgetIsSampledNeverHashedWhole) {
    TempDir dir;
    HashBudget small;
    small.most_bytes = 1 << 20;
    Fingerprint over = FingerprintOf(SparseFile(dir, "over", "x", 3 << 20), small);
    EXPECT_FALSE(over.content_whole);
    EXPECT_TRUE(IsSampledDigest(over.Md5Text()));
    EXPECT_EQ(over.Md5Text().size(), 32u);
    EXPECT_NE(over.Md5Text(), Md5OfFile(testing::SystemEnv(), dir / "over"));
    // The budget holds for both digests of the one read.
    EXPECT_TRUE(IsSampledDigest(over.sha256.text()));
    EXPECT_EQ(over.sha256.text().size(), 64u);
    // The size is part of the sample: the same beginning and end, another size.
    Fingerprint longer = FingerprintOf(SparseFile(dir, "longer", "x", (3 << 20) + 1), small);
    EXPECT_NE(over.Md5Text(), longer.Md5Text());

    Fingerprint within = FingerprintOf(dir.Write("within", "page"), small);
    EXPECT_TRUE(within.content_whole);
    EXPECT_EQ(within.Md5Text(), Md5Hex("page"));
    EXPECT_EQ(within.sha256.text(), Sha256Hex("page"));

    // A terabyte of holes takes no time with the default budget: it is never read whole.
    Fingerprint huge = FingerprintOf(SparseFile(dir, "huge", "x", off_t{1} << 40), {});
    EXPECT_FALSE(huge.content_whole);
    EXPECT_EQ(huge.facts.size, int64_t{1} << 40);
}

TEST(Md5, FileOverTheTimeBudgetIsSampled) {
    TempDir dir;
    HashBudget no_time;
    no_time.longest = std::chrono::nanoseconds(0);
    Fingerprint slow = FingerprintOf(SparseFile(dir, "slow", "x", 4 << 20), no_time);
    EXPECT_FALSE(slow.content_whole);
    EXPECT_TRUE(IsSampledDigest(slow.Md5Text()));
    EXPECT_TRUE(IsSampledDigest(slow.sha256.text()));
    // A file read in one block is whole before any time is measured.
    EXPECT_TRUE(FingerprintOf(dir.Write("small", "page"), no_time).content_whole);
}

// The pauses' own time is not the file's: work between its blocks (the watch restoring a page)
// never pushes a file read in time past its budget.
TEST(Md5, ThePausesTimeIsNotCountedAgainstTheFile) {
    TempDir dir;
    const int64_t size = 2 << 20;
    const int fd = ::open(SparseFile(dir, "paused", "x", size).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    testing::SteppedClockEnv clock;
    HashBudget budget;
    budget.longest = std::chrono::minutes(1);
    const std::function<void()> pause = [&] { clock.Step(std::chrono::hours(1)); };
    EXPECT_TRUE(DigestOfOpenFile(clock, fd, size, budget, nullptr, &pause).whole);
    ::close(fd);
}

// A file read by offsets hands out its holes as zeros, and pauses only between blocks: not after
// the last one, whose end is known without another read.
TEST(Md5, ASparseReadHandsOutTheContentAndPausesOnlyBetweenBlocks) {
    TempDir dir;
    const int64_t size = 3 << 20;
    const std::string path = SparseFile(dir, "sparse", "x", size);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int pauses = 0;
    int blocks = 0;
    const std::function<void()> pause = [&] { ++pauses; };
    ContentRead read(testing::SystemEnv(), fd, size, kDefaultHashBudget, nullptr, &pause);
    std::vector<char> buffer(1 << 18);
    std::string content;
    std::string_view block;
    ContentRead::Next next;
    while ((next = read.Read(buffer, block)) == ContentRead::Next::kBlock) {
        ++blocks;
        content += block;
    }
    ::close(fd);
    EXPECT_EQ(next, ContentRead::Next::kEnd);
    EXPECT_EQ(pauses, blocks - 1);
    EXPECT_EQ(content, "x" + std::string(size - 1, '\0'));
}

TEST(Md5, FileUnderAnotherProcesssWriteLeaseIsWaitedFor) {
    TempDir dir;
    std::string path = dir.Write("leased.html", "page");
    HeldLease lease(path);
    if (!lease.held()) GTEST_SKIP() << "no leases on this file system";
    Fingerprint print = FingerprintOf(path, {});
    EXPECT_EQ(print.Md5Text(), Md5Hex("page"));
    EXPECT_TRUE(lease.broken());
}

}  // namespace
}  // namespace norv::platform
