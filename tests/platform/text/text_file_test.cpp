#include "platform/text/text_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/base/notice_code.h"
#include "platform/text/charset.h"
#include "tests/support/fault_env.h"
#include "tests/support/test_support.h"

namespace norv::platform {
namespace {

using norv::testing::ReadAll;
using norv::testing::TempDir;

TEST(TextFile, ReadsCrLfBareLfAndAMissingLastLineEnd) {
    TempDir dir;
    std::string path = dir.Write("a.txt", "one\r\ntwo\nthree");
    auto lines = ReadTextLines(testing::SystemEnv(), path, kUtf8);
    ASSERT_TRUE(lines.ok());
    EXPECT_EQ(lines.value(), (std::vector<std::string>{"one", "two", "three"}));

    dir.Write("b.txt", "");
    EXPECT_TRUE(ReadTextLines(testing::SystemEnv(), dir / "b.txt", kUtf8)->empty());
    dir.Write("c.txt", "\r\n\r\nx\r\n");
    EXPECT_EQ(ReadTextLines(testing::SystemEnv(), dir / "c.txt", kUtf8).value(),
              (std::vector<std::string>{"", "", "x"}));
}

// An administrator's file is read only from a folder nobody else may write, and only when it is
// root's alone; a file of anyone's may still be read by those that do not ask.
TEST(TextFile, AnAdministratorsFileIsReadOnlyFromATrustedFolderAndWhenRootsAlone) {
    TempDir dir;
    const std::string path = dir.Write("sub/rules.txt", "x\r\n");
    ASSERT_TRUE(
        ReadTextLines(testing::SystemEnv(), path, kUtf8, kNoSizeLimit, FileTrust::kAdministrator)
            .ok());
    ASSERT_EQ(::chmod((dir / "sub").c_str(), 0777), 0);
    auto in_open_folder =
        ReadTextLines(testing::SystemEnv(), path, kUtf8, kNoSizeLimit, FileTrust::kAdministrator);
    ASSERT_FALSE(in_open_folder.ok());
    EXPECT_TRUE(in_open_folder.status().Is(ErrorKind::kRefused));
    EXPECT_NE(in_open_folder.status().message().find(path), std::string::npos);
    EXPECT_NE(in_open_folder.status().message().find("kOwnFolderNotTrusted(" + (dir / "sub")),
              std::string::npos)
        << in_open_folder.status().message();
    EXPECT_TRUE(ReadTextLines(testing::SystemEnv(), path, kUtf8).ok());
}

TEST(TextFile, WritesCrLfWithoutByteOrderMark) {
    TempDir dir;
    ASSERT_TRUE(
        WriteTextFileAtomic(testing::SystemEnv(), dir / "out.txt", {"設定", "", "x"}, kUtf8).ok());
    EXPECT_EQ(ReadAll(dir / "out.txt"), "設定\r\n\r\nx\r\n");
    ASSERT_TRUE(WriteTextFileAtomic(testing::SystemEnv(), dir / "sjis.txt", {"設定"}, kCp932).ok());
    EXPECT_EQ(ReadAll(dir / "sjis.txt"), "\x90\xDD\x92\xE8\r\n");
    // A Shift_JIS file read with the UTF-8 locale comes back as the same text.
    EXPECT_EQ(ReadTextLines(testing::SystemEnv(), dir / "sjis.txt", kUtf8).value(),
              std::vector<std::string>{"設定"});
}

// "設定" in CP932, as Japanese Windows writes it.
constexpr const char* kCp932Settei = "\x90\xDD\x92\xE8";

// UTF-16 bytes of `text` in the given byte order, with no byte-order mark.
std::string Utf16Bytes(std::u16string_view text, bool big_endian) {
    std::string bytes;
    for (char16_t unit : text) {
        char high = static_cast<char>(unit >> 8);
        char low = static_cast<char>(unit & 0xFF);
        bytes += big_endian ? high : low;
        bytes += big_endian ? low : high;
    }
    return bytes;
}

TEST(TextFile, EachLineIsUtf8WhenValidElseCp932) {
    TempDir dir;
    // The UTF-8 bytes of 写真 are also valid CP932 (蜀咏悄): deciding for the whole file would
    // turn them into mojibake because of the one Windows line among them.
    std::string path = dir.Write("user_rule.txt",
                                 "<rule>/home/user/写真,3</rule>\r\n"
                                 "<rule>/srv/" +
                                     std::string(kCp932Settei) +
                                     ",1</rule>\r\n"
                                     "<rule>/var/www/日本語,3</rule>\r\n");
    auto lines = ReadTextLines(testing::SystemEnv(), path, kUtf8);
    ASSERT_TRUE(lines.ok()) << lines.status().message();
    EXPECT_EQ(lines.value(), (std::vector<std::string>{"<rule>/home/user/写真,3</rule>",
                                                       "<rule>/srv/設定,1</rule>",
                                                       "<rule>/var/www/日本語,3</rule>"}));
}

TEST(TextFile, ALineNeitherUtf8NorCp932NamesItsLineNumber) {
    TempDir dir;
    std::string path = dir.Write("norvcfg.txt", "ok\r\n" + std::string(kCp932Settei) +
                                                    "\r\n写真\r\nbad \x80\xFF\r\nafter\r\n");
    auto lines = ReadTextLines(testing::SystemEnv(), path, kUtf8);
    ASSERT_FALSE(lines.ok());
    EXPECT_EQ(lines.status().code(), kErrCharset);
    EXPECT_EQ(lines.status().what(),
              Message(NoticeCode::kTextLineError,
                      {path, std::string("4"), Message(NoticeCode::kCharsetUnreadableEither)}));
}

TEST(TextFile, ByteOrderMarkNamesTheEncoding) {
    TempDir dir;
    const std::vector<std::string> expected = {"設定", "/home/写真", "\U0001D11E x", ""};
    // UTF-8 with a mark: read as UTF-8 even where the locale's set is another.
    dir.Write("utf8.txt", "\xEF\xBB\xBF設定\r\n/home/写真\r\n\U0001D11E x\r\n\r\n");
    EXPECT_EQ(ReadTextLines(testing::SystemEnv(), dir / "utf8.txt", kUtf8).value(), expected);
    EXPECT_EQ(ReadTextLines(testing::SystemEnv(), dir / "utf8.txt", "EUC-JP").value(), expected);
    // UTF-16 either way round, with CR LF and bare LF and a surrogate pair.
    const std::u16string text = u"設定\r\n/home/写真\n\U0001D11E x\r\n\r\n";
    dir.Write("le.txt", "\xFF\xFE" + Utf16Bytes(text, false));
    dir.Write("be.txt", "\xFE\xFF" + Utf16Bytes(text, true));
    for (const char* name : {"le.txt", "be.txt"}) {
        auto lines = ReadTextLines(testing::SystemEnv(), dir / name, kUtf8);
        ASSERT_TRUE(lines.ok()) << name << ": " << lines.status().message();
        EXPECT_EQ(lines.value(), expected) << name;
    }
    // A mark repeated after the first is dropped too, else it would come back as the mark of
    // the file written from these lines.
    dir.Write("twice8.txt", "\xEF\xBB\xBF\xEF\xBB\xBFx\r\n");
    EXPECT_EQ(ReadTextLines(testing::SystemEnv(), dir / "twice8.txt", kUtf8).value(),
              std::vector<std::string>{"x"});
    dir.Write("twice16.txt", "\xFF\xFE" + Utf16Bytes(u"\uFEFFx\r\n", false));
    EXPECT_EQ(ReadTextLines(testing::SystemEnv(), dir / "twice16.txt", kUtf8).value(),
              std::vector<std::string>{"x"});
    // The mark alone is an empty file; a last line without a line end is kept.
    dir.Write("mark.txt", "\xFF\xFE");
    EXPECT_TRUE(ReadTextLines(testing::SystemEnv(), dir / "mark.txt", kUtf8)->empty());
    dir.Write("open.txt", "\xFE\xFF" + Utf16Bytes(u"a\nb", true));
    EXPECT_EQ(ReadTextLines(testing::SystemEnv(), dir / "open.txt", kUtf8).value(),
              (std::vector<std::string>{"a", "b"}));
}

TEST(TextFile, BrokenUtf16NamesTheLine) {
    TempDir dir;
    // A high surrogate with no low one after it, on line 2.
    dir.Write("lone.txt", "\xFF\xFE" + Utf16Bytes(u"one\r\nt\xD800o\r\nthree", false));
    auto lone = ReadTextLines(testing::SystemEnv(), dir / "lone.txt", kUtf8);
    ASSERT_FALSE(lone.ok());
    EXPECT_EQ(lone.status().what(),
              Message(NoticeCode::kTextLineError,
                      {dir / "lone.txt", std::string("2"),
                       Message(NoticeCode::kCharsetLoneSurrogate, {std::string("U+D800")})}));
    // A last byte without its partner, on line 3.
    dir.Write("odd.txt", "\xFE\xFF" + Utf16Bytes(u"one\ntwo\nthree", true) + "x");
    auto odd = ReadTextLines(testing::SystemEnv(), dir / "odd.txt", kUtf8);
    ASSERT_FALSE(odd.ok());
    EXPECT_EQ(odd.status().code(), kErrCharset);
    EXPECT_EQ(odd.status().what(),
              Message(NoticeCode::kTextLineError,
                      {dir / "odd.txt", std::string("3"), Message(NoticeCode::kCharsetUtf16Cut)}));
}

TEST(TextFile, AnotherLocaleSetDecodesEveryLineFromIt) {
    TempDir dir;
    // "設定" in EUC-JP.
    dir.Write("euc.txt", "\xC0\xDF\xC4\xEA\r\nx\r\n");
    EXPECT_EQ(ReadTextLines(testing::SystemEnv(), dir / "euc.txt", "EUC-JP").value(),
              (std::vector<std::string>{"設定", "x"}));
    // No CP932 guess there: a line that is not EUC-JP is an error naming it.
    dir.Write("sjis.txt", "x\r\n" + std::string(kCp932Settei) + "\r\n");
    auto lines = ReadTextLines(testing::SystemEnv(), dir / "sjis.txt", "EUC-JP");
    ASSERT_FALSE(lines.ok());
    EXPECT_EQ(lines.status().what(),
              Message(NoticeCode::kTextLineError,
                      {dir / "sjis.txt", std::string("2"),
                       Message(NoticeCode::kCharsetUnreadable, {std::string("EUC-JP")})}));
}

TEST(TextFile, FailedWriteLeavesTheOldFileWhole) {
    TempDir dir;
    std::string path = dir.Write("keep.txt", "old\r\n");
    Status status = WriteTextFileAtomic(testing::SystemEnv(), path, {"fine", "caf\u00E9"}, kCp932);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.what(), Message(NoticeCode::kTextLineError,
                                     {path, std::string("2"),
                                      Message(NoticeCode::kCharsetCannotHold,
                                              {std::string("U+00E9"), std::string(kCp932)})}));
    EXPECT_EQ(ReadAll(path), "old\r\n");
    // No temporary file is left beside it.
    EXPECT_EQ(norv::testing::CountEntries(dir.path()), 1);
}

TEST(TextFile, TheTemporaryFileIsNotInheritedByAProgramStarted) {
    TempDir dir;
    auto file = AtomicFile::Create(testing::SystemEnv(), dir / "arcive.lzh");
    ASSERT_TRUE(file.ok());
    EXPECT_NE(::fcntl((*file)->fd(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST(TextFile, WriteSetsTheRequestedPermissions) {
    TempDir dir;
    std::string path = dir / "secret.txt";
    ASSERT_TRUE(WriteTextFileAtomic(testing::SystemEnv(), path, {"pw"}, kUtf8, 0600).ok());
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// The disk fills half-way through the new content: the error names the file, the old file is
// byte for byte what it was, and no temporary file is left beside it.
TEST(TextFile, AFullDiskHalfWayLeavesTheOldFileWhole) {
    TempDir dir;
    const std::string old_content = "old settings\r\n1\r\n";
    const std::string path = dir.Write("norvcfg.txt", old_content);
    std::vector<std::string> lines;
    for (int i = 0; i < 2000; ++i) lines.push_back("line " + std::to_string(i));
    testing::FaultEnv faults;
    faults.Limit(testing::Call::kWrite, 4096, "*/norvcfg.txt.tmp-*");
    faults.Fail(testing::Call::kWrite, ENOSPC, 2, "*/norvcfg.txt.tmp-*");
    Status status = WriteTextFileAtomic(faults, path, lines, kUtf8);
    EXPECT_EQ(faults.MatchedCalls(testing::Call::kWrite), 2);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.code(), ENOSPC);
    EXPECT_NE(status.message().find(path), std::string::npos) << status.message();
    EXPECT_TRUE(ReadAll(path) == old_content);
    EXPECT_EQ(norv::testing::CountEntries(dir.path()), 1);
}

// The flush before the rename fails: the same guarantees, and the new content never takes the
// old file's place.
TEST(TextFile, AFailingFlushAtCommitLeavesTheOldFileWhole) {
    TempDir dir;
    const std::string path = dir.Write("arcive.lzh", "the last good archive");
    testing::FaultEnv faults;
    faults.Fail(testing::Call::kFsync, EIO, 1, "*/arcive.lzh.tmp-*");
    auto file = AtomicFile::Create(faults, path);
    ASSERT_TRUE(file.ok());
    ASSERT_TRUE((*file)->Write("a new archive").ok());
    Status status = (*file)->Commit(0600);
    EXPECT_EQ(faults.MatchedCalls(testing::Call::kFsync), 1);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.code(), EIO);
    EXPECT_NE(status.message().find(path), std::string::npos) << status.message();
    EXPECT_EQ(ReadAll(path), "the last good archive");
    EXPECT_EQ(norv::testing::CountEntries(dir.path()), 1);
}

// A file that keeps growing after it was measured: every read fills the buffer.
class EndlessReads : public EnvWrapper {
  public:
    EndlessReads() : EnvWrapper(Env::Default()) {}
    ssize_t Read(int, void* buffer, size_t size) override {
        std::memset(buffer, 'x', size);
        total += static_cast<int64_t>(size);
        return static_cast<ssize_t>(size);
    }
    int64_t total = 0;
};

TEST(TextFile, OnlyARegularFileOfBoundedSizeIsReadAndNeverPastItsBound) {
    TempDir dir;
    const std::string pipe = dir / "pipe.txt";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    auto from_pipe = ReadTextLines(testing::SystemEnv(), pipe, kUtf8,
                                   100);  // returns at once: no writer is awaited
    ASSERT_FALSE(from_pipe.ok());
    EXPECT_EQ(from_pipe.status().what(),
              Message(NoticeCode::kTextNotRegular, {pipe, Message(NoticeCode::kTextKindPipe)}));
    const std::string link = dir / "link.txt";
    ASSERT_EQ(::symlink("/dev/zero", link.c_str()), 0);
    EXPECT_TRUE(
        ReadTextLines(testing::SystemEnv(), link, kUtf8, 100).status().Is(ErrorKind::kLink));
    EXPECT_FALSE(ReadFileBytes(testing::SystemEnv(), "/dev/zero", 100).ok());

    const std::string full = dir.Write("full.txt", std::string(100, 'a'));
    EXPECT_TRUE(ReadFileBytes(testing::SystemEnv(), full, 100).ok());
    dir.Write("over.txt", std::string(101, 'a'));
    auto over = ReadFileBytes(testing::SystemEnv(), dir / "over.txt", 100);
    ASSERT_FALSE(over.ok());
    EXPECT_TRUE(over.status().Is(ErrorKind::kLimit));
    EXPECT_EQ(
        over.status().what(),
        Message(NoticeCode::kTextTooLarge,
                {dir / "over.txt", Message(NoticeCode::kTextSizeBytes, {std::string("100")})}));

    EndlessReads growing;
    Result<std::string> grown = ReadFileBytes(growing, full, 100);
    ASSERT_FALSE(grown.ok());
    EXPECT_TRUE(grown.status().Is(ErrorKind::kLimit));
    EXPECT_EQ(growing.total, 101);
}

TEST(TextFile, MissingFileNamesTheFile) {
    TempDir dir;
    auto lines = ReadTextLines(testing::SystemEnv(), dir / "nothing.txt", kUtf8);
    ASSERT_FALSE(lines.ok());
    EXPECT_EQ(lines.status().code(), ENOENT);
    EXPECT_TRUE(lines.status().what().Has(NoticeCode::kTextCannotOpen));
    EXPECT_NE(lines.status().message().find("nothing.txt"), std::string::npos);
}

}  // namespace
}  // namespace norv::platform
