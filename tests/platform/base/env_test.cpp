// The read and write loops over an Env that shortens, interrupts or fails calls.
#include "platform/base/env.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "platform/digest/fingerprint.h"
#include "platform/fs/file_system.h"
#include "platform/text/text_file.h"
#include "tests/support/fault_env.h"
#include "tests/support/test_support.h"

namespace norv::platform {
namespace {

using norv::testing::Call;
using norv::testing::FaultEnv;
using norv::testing::ReadAll;
using norv::testing::TempDir;

// A write that takes only part of the data is continued until all of it is there.
TEST(Env, WriteFullyContinuesShortWrites) {
    TempDir dir;
    const std::string path = dir / "out.bin";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    std::string data;
    for (int i = 0; i < 1000; ++i) data += std::to_string(i) + ",";
    FaultEnv faults;
    faults.Limit(Call::kWrite, 7);
    Status written = WriteFully(faults, fd, data, path);
    EXPECT_TRUE(written.ok()) << written.message();
    ::close(fd);
    EXPECT_GT(faults.MatchedCalls(Call::kWrite), 100);
    EXPECT_EQ(ReadAll(path), data);
}

// A disk that takes nothing more (write returns 0) is reported as full, naming the file.
TEST(Env, AWriteThatTakesNothingIsAFullDisk) {
    TempDir dir;
    const std::string path = dir / "out.bin";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    FaultEnv faults;
    faults.Limit(Call::kWrite, 4);
    faults.Fail(Call::kWrite, 0, 2);
    Status written = WriteFully(faults, fd, "0123456789", path);
    ::close(fd);
    ASSERT_FALSE(written.ok());
    EXPECT_EQ(written.code(), ENOSPC);
    EXPECT_TRUE(written.Is(ErrorKind::kNoSpace));
    EXPECT_NE(written.message().find(path), std::string::npos) << written.message();
    EXPECT_EQ(ReadAll(path), "0123");
}

// A read interrupted by a signal is tried again, not taken for a failure.
TEST(Env, AnInterruptedReadIsRetried) {
    TempDir dir;
    const std::string path = dir.Write("rules.txt", "<rule>/srv/www,3</rule>\r\n");
    FaultEnv faults;
    faults.Fail(Call::kRead, EINTR, 1, "rules.txt");
    auto bytes = ReadFileBytes(faults, path);
    ASSERT_TRUE(bytes.ok()) << bytes.status().message();
    EXPECT_EQ(bytes.value(), "<rule>/srv/www,3</rule>\r\n");
    EXPECT_EQ(faults.MatchedCalls(Call::kRead), 3);  // interrupted, the content, the end
}

// A short read before the file's size is reached (as a network file system gives) is not its
// end: the fingerprint covers every byte.
TEST(Env, AFingerprintReadsOnAfterAShortRead) {
    TempDir dir;
    std::string content;
    for (int i = 0; i < 5000; ++i) content += static_cast<char>('a' + i % 26);
    dir.Write("page.html", content);
    FaultEnv faults;
    faults.Limit(Call::kRead, 1000, "*/page.html");
    auto folder = OpenDirectory(faults, dir.path());
    ASSERT_TRUE(folder.ok());
    Fingerprint print = FingerprintAt(**folder, "page.html");
    EXPECT_EQ(print.facts.size, 5000);
    EXPECT_EQ(print.Md5Text(), Md5Hex(content));
    EXPECT_GE(faults.MatchedCalls(Call::kRead), 5);
}

// A read that fails part-way gives the blank digest, never the digest of what was read so far.
TEST(Env, AFailingReadGivesTheBlankDigest) {
    TempDir dir;
    const std::string content(300000, 'x');
    const std::string path = dir.Write("data.bin", content);
    FaultEnv faults;
    faults.Fail(Call::kRead, EIO, 2, "*/data.bin");
    faults.Fail(Call::kPRead, EIO, 2, "*/data.bin");
    auto folder = OpenDirectory(faults, dir.path());
    ASSERT_TRUE(folder.ok());
    EXPECT_EQ(FingerprintAt(**folder, "data.bin").Md5Text(), kUnreadableDigest);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Md5OfDescriptor(faults, fd), kUnreadableDigest);
    ::close(fd);
    EXPECT_EQ(faults.MatchedCalls(Call::kRead), 2);
    EXPECT_EQ(faults.MatchedCalls(Call::kPRead), 2);
}

}  // namespace
}  // namespace norv::platform
