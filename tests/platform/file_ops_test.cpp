#include "platform/file_ops.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_system.h"
#include "platform/fingerprint.h"
#include "platform/text_file.h"
#include "tests/support/faulty_file_ops.h"
#include "tests/support/test_support.h"

namespace norv::platform {
namespace {

using norv::testing::FaultyFileOps;
using norv::testing::ReadAll;
using norv::testing::TempDir;
using Op = FaultyFileOps::Op;

// A test's instance is in use only inside its scope; nested scopes hand back in order.
TEST(FileOps, ScopesInstallAndRestoreTheInstance) {
    FileOps& system = Files();
    EXPECT_EQ(&system, &SystemFileOps());
    FaultyFileOps outer;
    FaultyFileOps inner;
    {
        ScopedFileOps a(outer);
        EXPECT_EQ(&Files(), &outer);
        {
            ScopedFileOps b(inner);
            EXPECT_EQ(&Files(), &inner);
        }
        EXPECT_EQ(&Files(), &outer);
    }
    EXPECT_EQ(&Files(), &system);
}

// A write that takes only part of the data is continued until all of it is there.
TEST(FileOps, WriteFullyContinuesShortWrites) {
    TempDir dir;
    const std::string path = dir / "out.bin";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    std::string data;
    for (int i = 0; i < 1000; ++i) data += std::to_string(i) + ",";
    FaultyFileOps faults;
    faults.Limit(Op::kWrite, 7);
    {
        ScopedFileOps scope(faults);
        Status written = WriteFully(fd, data, path);
        EXPECT_TRUE(written.ok()) << written.message();
    }
    ::close(fd);
    EXPECT_GT(faults.MatchedCalls(Op::kWrite), 100);
    EXPECT_EQ(ReadAll(path), data);
}

// A disk that takes nothing more (write returns 0) is reported as full, naming the file.
TEST(FileOps, AWriteThatTakesNothingIsAFullDisk) {
    TempDir dir;
    const std::string path = dir / "out.bin";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    FaultyFileOps faults;
    faults.Limit(Op::kWrite, 4);
    faults.Fail(Op::kWrite, 0, 2);
    Status written;
    {
        ScopedFileOps scope(faults);
        written = WriteFully(fd, "0123456789", path);
    }
    ::close(fd);
    ASSERT_FALSE(written.ok());
    EXPECT_EQ(written.code(), ENOSPC);
    EXPECT_TRUE(written.Is(ErrorKind::kIo));
    EXPECT_NE(written.message().find(path), std::string::npos) << written.message();
    EXPECT_EQ(ReadAll(path), "0123");
}

// A read interrupted by a signal is tried again, not taken for a failure.
TEST(FileOps, AnInterruptedReadIsRetried) {
    TempDir dir;
    const std::string path = dir.Write("rules.txt", "<rule>/srv/www,3</rule>\r\n");
    FaultyFileOps faults;
    faults.Fail(Op::kRead, EINTR, 1, "*/rules.txt");
    ScopedFileOps scope(faults);
    auto bytes = ReadFileBytes(path);
    ASSERT_TRUE(bytes.ok()) << bytes.status().message();
    EXPECT_EQ(bytes.value(), "<rule>/srv/www,3</rule>\r\n");
    EXPECT_EQ(faults.MatchedCalls(Op::kRead), 3);  // interrupted, the content, the end
}

// A short read before the file's size is reached (as a network file system gives) is not its
// end: the fingerprint covers every byte.
TEST(FileOps, AFingerprintReadsOnAfterAShortRead) {
    TempDir dir;
    std::string content;
    for (int i = 0; i < 5000; ++i) content += static_cast<char>('a' + i % 26);
    dir.Write("page.html", content);
    FaultyFileOps faults;
    faults.Limit(Op::kRead, 1000, "*/page.html");
    ScopedFileOps scope(faults);
    auto folder = OpenDirectory(dir.path());
    ASSERT_TRUE(folder.ok());
    Fingerprint print = FingerprintAt((*folder)->fd(), "page.html");
    EXPECT_EQ(print.facts.size, 5000);
    EXPECT_EQ(print.md5, Md5Hex(content));
    EXPECT_GE(faults.MatchedCalls(Op::kRead), 5);
}

// A read that fails part-way gives the blank digest, never the digest of what was read so far.
TEST(FileOps, AFailingReadGivesTheBlankDigest) {
    TempDir dir;
    const std::string content(300000, 'x');
    const std::string path = dir.Write("data.bin", content);
    FaultyFileOps faults;
    faults.Fail(Op::kRead, EIO, 2, "*/data.bin");
    faults.Fail(Op::kPRead, EIO, 2, "*/data.bin");
    ScopedFileOps scope(faults);
    auto folder = OpenDirectory(dir.path());
    ASSERT_TRUE(folder.ok());
    EXPECT_EQ(FingerprintAt((*folder)->fd(), "data.bin").md5, kUnreadableDigest);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Md5OfDescriptor(fd), kUnreadableDigest);
    ::close(fd);
    EXPECT_EQ(faults.MatchedCalls(Op::kRead), 2);
    EXPECT_EQ(faults.MatchedCalls(Op::kPRead), 2);
}

}  // namespace
}  // namespace norv::platform
