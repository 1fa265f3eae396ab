#include "platform/lha/lha_archive.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "platform/base/notice_code.h"
#include "platform/lha/lh5_encoder.h"
#include "tests/support/fault_env.h"
#include "tests/support/race_env.h"
#include "tests/support/test_support.h"

namespace norv::platform::lha {
namespace {

using norv::testing::RandomBytes;
using norv::testing::ReadAll;
using norv::testing::TempDir;

TEST(Archive, EmptySourceMakesNoArchiveAndMissingSourceFails) {
    TempDir dir;
    EXPECT_FALSE(AddToArchive(testing::SystemEnv(), dir / "a.lzh", dir / "missing").ok());
    EXPECT_FALSE(norv::platform::FileExists(testing::SystemEnv(), dir / "a.lzh"));
}

// Names in `folder` other than `keep`: what a failed or refused run left behind.
std::vector<std::string> Leftovers(const std::string& folder, const std::string& keep) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().filename() != keep) names.push_back(entry.path().filename().string());
    }
    return names;
}

// Adding `source` over an existing archive fails naming it, and the old archive stays as it was.
void ExpectRefusedKeepingTheOldArchive(const TempDir& dir, const std::string& source,
                                       Env& env = testing::SystemEnv()) {
    const std::string archive = dir.MakeDir("save") + "/arcive.lzh";
    ASSERT_TRUE(
        AddToArchive(testing::SystemEnv(), archive, dir.Write("good.txt", "the last good archive"))
            .ok());
    const std::string before = ReadAll(archive);
    {
        auto writer = ArchiveWriter::Create(env, archive);
        ASSERT_TRUE(writer.ok());
        Status added = (*writer)->Add(source);
        EXPECT_FALSE(added.ok());
        EXPECT_NE(added.message().find(source), std::string::npos) << added.message();
    }
    EXPECT_TRUE(ReadAll(archive) == before);
    EXPECT_EQ(Leftovers(dir / "save", "arcive.lzh"), std::vector<std::string>{});
}

// The level-2 header holds sizes in 32 bits: a larger file is refused before it is read (a
// sparse file, so the test takes no time), whether named alone or found in a folder.
TEST(Archive, FileTooLargeForTheFormatIsRefused) {
    TempDir dir;
    const std::string big = dir.Write("tree/big.img", "");
    const int fd = ::open(big.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(UINT32_MAX) + 2), 0);  // 4 GiB + 1
    ::close(fd);
    ExpectRefusedKeepingTheOldArchive(dir, big);
    ExpectRefusedKeepingTheOldArchive(dir, dir / "tree");
}

// A kernel attribute file claims a size its content does not have (read ends early) or cannot
// be read at all: either fails naming the file; an entry never holds data that was not read.
TEST(Archive, ShortOrFailingReadsAreRefused) {
    const std::string folder = "/sys/devices/virtual/net/lo";
    auto behaviour = [](const std::string& path) -> std::string {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return "";
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return "";
        std::string buffer(static_cast<size_t>(st.st_size), '\0');
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        ::close(fd);
        if (n < 0) return "fails";
        return n < st.st_size ? "short" : "";
    };
    const std::string shorter = folder + "/address";  // "00:00:00:00:00:00" in a 4 KiB file
    const std::string failing = folder + "/speed";    // the loopback has no speed: EINVAL
    if (behaviour(shorter) != "short" || behaviour(failing) != "fails") {
        GTEST_SKIP() << "no sysfs attribute files to read here";
    }
    TempDir dir;
    ExpectRefusedKeepingTheOldArchive(dir, shorter);
    ExpectRefusedKeepingTheOldArchive(dir, failing);
}

// A file whose read ends early (the third read returns 0 before its size is reached) is
// refused naming it, and the old archive stays.
TEST(Archive, AReadThatEndsEarlyIsRefused) {
    TempDir dir;
    const std::string page = dir.Write("site/page.html", RandomBytes(20000, 5));
    testing::FaultEnv faults;
    faults.Limit(testing::Call::kRead, 4096, "*/site/page.html");
    faults.Fail(testing::Call::kRead, 0, 3, "*/site/page.html");
    ExpectRefusedKeepingTheOldArchive(dir, page, faults);
    EXPECT_EQ(faults.MatchedCalls(testing::Call::kRead), 3);
}

// The restored file's flush, or putting it in place, fails, whether it is unnamed until linked
// or (a file system without O_TMPFILE) made under a temporary name: the restore fails naming the
// file, which stays as it was, and no temporary file is left.
TEST(Archive, AFailingFlushOrPlacingAtRestoreLeavesTheFileAsItIs) {
    for (const bool unnamed : {true, false}) {
        const auto place = unnamed ? testing::Call::kLinkAt : testing::Call::kRenameAt;
        for (const auto op : {testing::Call::kFsync, place}) {
            TempDir dir;
            const std::string file = dir.Write("site/page.html", "<h1>archived</h1>");
            const std::string archive = dir / "arcive.lzh";
            ASSERT_TRUE(AddToArchive(testing::SystemEnv(), archive, file).ok());
            ::unlink(file.c_str());  // as the response leaves it, the tampered file moved away
            testing::FaultEnv faults;
            if (!unnamed) faults.Fail(testing::Call::kOpenAt, EOPNOTSUPP, 1, "*/site/.");
            faults.Fail(op, EIO, 1, "*/site/*");
            Status restored =
                RestoreEntryBelow(faults, archive, StoredPathOf(testing::SystemEnv(), file), "/");
            EXPECT_EQ(faults.MatchedCalls(op), 1);
            EXPECT_FALSE(restored.ok());
            EXPECT_NE(restored.message().find(file), std::string::npos) << restored.message();
            EXPECT_FALSE(norv::platform::FileExists(testing::SystemEnv(), file));
            EXPECT_EQ(Leftovers(dir / "site", "page.html"), std::vector<std::string>{});
        }
    }
}

// A file put at the page's place after the restore checked it was free, before its own file is
// put there, is never replaced (it may be evidence): the restore fails, the file keeps its
// content, and no temporary file is left.
TEST(Archive, AFilePutInPlaceDuringTheRestoreIsNeverReplaced) {
    for (const bool unnamed : {true, false}) {
        TempDir dir;
        const std::string file = dir.Write("site/page.html", "<h1>archived</h1>");
        const std::string archive = dir / "arcive.lzh";
        ASSERT_TRUE(AddToArchive(testing::SystemEnv(), archive, file).ok());
        ::unlink(file.c_str());
        testing::FaultEnv faults;
        if (!unnamed) faults.Fail(testing::Call::kOpenAt, EOPNOTSUPP, 1, "*/site/.");
        testing::RaceEnv race(&faults);
        race.Before(unnamed ? testing::Call::kLinkAt : testing::Call::kRenameAt, "page.html",
                    [&] { norv::testing::WriteAll(file, "planted"); });
        Status restored =
            RestoreEntryBelow(race, archive, StoredPathOf(testing::SystemEnv(), file), "/");
        EXPECT_EQ(race.Fired(), 1);
        EXPECT_EQ(restored.code(), EEXIST) << restored.message();
        EXPECT_EQ(restored.what(), Message(NoticeCode::kArchiveWillNotOverwrite, {file}));
        EXPECT_EQ(ReadAll(file), "planted");
        EXPECT_EQ(Leftovers(dir / "site", "page.html"), std::vector<std::string>{});
    }
}

// One byte of an entry's data changed in the archive: the restore fails, the file in place keeps
// its content, and no temporary file is left. A stored entry only its CRC can catch.
TEST(Archive, DamagedEntryIsRefusedAndItsTargetLeftAlone) {
    TempDir dir;
    std::string text;
    for (int i = 0; i < 2000; ++i) text += "line " + std::to_string(i % 13) + " of a page\n";
    for (const auto& [name, content, method] :
         {std::tuple{"page.html", text, "-lh5-"},
          std::tuple{"noise.bin", RandomBytes(5000, 4), "-lh0-"}}) {
        const std::string file = dir.Write(std::string("site/") + name, content);
        const std::string archive = dir / (std::string(name) + ".lzh");
        ASSERT_TRUE(AddToArchive(testing::SystemEnv(), archive, file).ok());
        std::string bytes = ReadAll(archive);
        ASSERT_EQ(bytes.substr(2, 5), method);
        // A level-2 header starts with its own size; the packed size follows the method.
        const size_t data_at = static_cast<uint8_t>(bytes[0]) | static_cast<uint8_t>(bytes[1]) << 8;
        const size_t packed = static_cast<uint8_t>(bytes[7]) | static_cast<uint8_t>(bytes[8]) << 8 |
                              static_cast<uint8_t>(bytes[9]) << 16;
        bytes[data_at + packed / 2] = static_cast<char>(bytes[data_at + packed / 2] ^ 0x10);
        norv::testing::WriteAll(archive, bytes);

        ::unlink(file.c_str());  // as the response leaves it, the tampered file moved away
        Status restored = RestoreEntryBelow(testing::SystemEnv(), archive,
                                            StoredPathOf(testing::SystemEnv(), file), "/");
        EXPECT_FALSE(restored.ok()) << name;
        EXPECT_NE(restored.message().find(file), std::string::npos) << restored.message();
        EXPECT_FALSE(norv::platform::FileExists(testing::SystemEnv(), file)) << name;
        for (const auto& left : Leftovers(dir / "site", "")) {
            EXPECT_EQ(left.find(".norv-restore-"), std::string::npos) << left;
        }
    }
}

TEST(Archive, HostileEntriesAreRefused) {
    TempDir dir;
    std::string bytes = detail::RawEntry("../", "escape.txt", "x") +
                        detail::RawEntry("/tmp/", "escape.txt", "absolute") +
                        detail::RawEntry("safe/", "escape.txt", "ok") + std::string(1, '\0');
    norv::testing::WriteAll(dir / "evil.lzh", bytes);
    dir.MakeDir("root");
    EXPECT_FALSE(
        RestoreEntryBelow(testing::SystemEnv(), dir / "evil.lzh", "../escape.txt", dir / "root")
            .ok());
    RestoreEntryBelow(testing::SystemEnv(), dir / "evil.lzh", "/tmp/escape.txt",
                      dir / "root");  // below root if at all
    EXPECT_FALSE(norv::platform::FileExists(testing::SystemEnv(), dir / "escape.txt"));
    EXPECT_FALSE(norv::platform::FileExists(testing::SystemEnv(), "/tmp/escape.txt"));
    ASSERT_TRUE(
        RestoreEntryBelow(testing::SystemEnv(), dir / "evil.lzh", "safe/escape.txt", dir / "root")
            .ok());
    EXPECT_EQ(ReadAll(dir / "root/safe/escape.txt"), "ok");

    // A folder on the way that is a symbolic link is never written through.
    dir.MakeDir("outside");
    ::symlink((dir / "outside").c_str(), (dir / "root/linked").c_str());
    norv::testing::WriteAll(
        dir / "link.lzh", detail::RawEntry("linked/", "secret", "planted") + std::string(1, '\0'));
    EXPECT_FALSE(
        RestoreEntryBelow(testing::SystemEnv(), dir / "link.lzh", "linked/secret", dir / "root")
            .ok());
    EXPECT_FALSE(norv::platform::FileExists(testing::SystemEnv(), dir / "outside/secret"));
}

// A restore killed after it made its temporary file: the next run removes exactly the noted
// name; a file merely named like one is an ordinary file and stays.
TEST(RestoreJournal, RemovesOnlyTheNotedTemporaryFiles) {
    norv::testing::TempDir dir;
    dir.MakeDir("www");
    const std::string left = dir.Write("www/.norv-restore-abcd1234", "half a page");
    const std::string planted = dir.Write("www/.norv-restore-zzzz9999", "planted");
    auto folder = OpenDirectory(testing::SystemEnv(), dir / "www");
    ASSERT_TRUE(folder.ok());
    const RestoreJournal journal(testing::SystemEnv(), dir / kRestoreJournalName);
    ASSERT_TRUE(journal.Record(**folder, ".norv-restore-abcd1234").ok());
    auto removed = journal.RemoveLeftovers();
    ASSERT_TRUE(removed.ok()) << removed.status().message();
    EXPECT_EQ(removed.value(), 1);
    EXPECT_FALSE(FileExists(testing::SystemEnv(), left));
    EXPECT_TRUE(FileExists(testing::SystemEnv(), planted));
    EXPECT_EQ(norv::testing::ReadAll(dir / kRestoreJournalName), "");
}

// A file renamed onto the noted name after the clean-up first looked at that name stays: the
// name is removed only while it holds the very file judged.
TEST(RestoreJournal, AFileRenamedOntoTheNotedNameAfterTheLookStays) {
    TempDir dir;
    dir.MakeDir("www");
    const std::string left = dir.Write("www/.norv-restore-abcd1234", "half a page");
    const std::string page = dir.Write("www/page.html", "a page");
    auto folder = OpenDirectory(testing::SystemEnv(), dir / "www");
    ASSERT_TRUE(folder.ok());
    testing::RaceEnv race;
    const RestoreJournal journal(race, dir / kRestoreJournalName);
    ASSERT_TRUE(journal.Record(**folder, ".norv-restore-abcd1234").ok());
    // Right after the first call on the name, whichever call looks at it first.
    const auto swap = [&] { EXPECT_EQ(::rename(page.c_str(), left.c_str()), 0); };
    race.After(testing::Call::kOpenAt, ".norv-restore-*", swap);
    race.After(testing::Call::kFStatAt, ".norv-restore-*", swap);
    auto removed = journal.RemoveLeftovers();
    ASSERT_TRUE(removed.ok()) << removed.status().message();
    EXPECT_EQ(race.Fired(), 1);
    EXPECT_EQ(removed.value(), 0);
    EXPECT_EQ(ReadAll(left), "a page");
}

// A restore that makes a temporary file notes it in the journal first: a run killed in between
// leaves no file the next run does not know of.
TEST(RestoreJournal, TheTemporaryFileIsNotedBeforeItIsMade) {
    TempDir dir;
    const std::string file = dir.Write("site/page.html", "<h1>archived</h1>");
    const std::string archive = dir / "arcive.lzh";
    ASSERT_TRUE(AddToArchive(testing::SystemEnv(), archive, file).ok());
    ::unlink(file.c_str());
    const RestoreJournal journal(testing::SystemEnv(), dir / kRestoreJournalName);
    // A file system without unnamed files: the file is made under a temporary name.
    testing::FaultEnv faults;
    faults.Fail(testing::Call::kOpenAt, EOPNOTSUPP, 1, "*/site/.");
    testing::RaceEnv race(&faults);
    std::string noted;
    race.Before(testing::Call::kOpenAt, ".norv-restore-*",
                [&] { noted = ReadAll(dir / kRestoreJournalName); });
    auto root = OpenDirectory(race, "/");
    ASSERT_TRUE(root.ok());
    ASSERT_TRUE(RestoreEntry(archive, StoredPathOf(testing::SystemEnv(), file), **root, "/",
                             PathNames(file), nullptr, &journal)
                    .ok());
    EXPECT_EQ(race.Fired(), 1);
    EXPECT_EQ(noted.rfind(dir / "site\t", 0), 0u) << noted;
    EXPECT_NE(noted.find("\t.norv-restore-"), std::string::npos) << noted;
}

}  // namespace
}  // namespace norv::platform::lha
