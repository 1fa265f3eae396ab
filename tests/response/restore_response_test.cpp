#include "response/change_response.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <random>
#include <set>

#include "platform/base/notice_code.h"
#include "platform/digest/fingerprint.h"
#include "platform/digest/md5.h"
#include "platform/text/charset.h"
#include "tests/response/response_fixture.h"
#include "tests/support/fault_env.h"
#include "tests/support/file_attributes.h"
#include "tests/support/held_lease.h"
#include "tests/support/race_env.h"
#include "tests/support/test_support.h"

namespace norv {
namespace {

using testing::Call;
using testing::ReadAll;

TEST_F(ResponseTest, AlteredFilesAreKeptAsEvidenceThenRestored) {
    Archive();
    tree.Write("www/index.html", "hacked");
    response.RespondToChange(ChangeKind::kAltered, index, {});
    EXPECT_EQ(ReadAll(index), "<h1>good</h1>");
    EXPECT_EQ(ReadAll(dir / "cracked/2004-04-119-05-22index.html"), "hacked");
    // A second change of the same name in the same second keeps both copies.
    tree.Write("www/index.html", "hacked again");
    response.RespondToChange(ChangeKind::kAltered, index, {});
    EXPECT_EQ(ReadAll(dir / "cracked/2004-04-119-05-22(2)index.html"), "hacked again");
    EXPECT_EQ(ReadAll(dir / "cracked/2004-04-119-05-22index.html"), "hacked");
}

TEST_F(ResponseTest, DeletedFilesAreOnlyRestored) {
    Archive();
    ::unlink(index.c_str());
    response.RespondToChange(ChangeKind::kDeleted, index, {});
    EXPECT_EQ(ReadAll(index), "<h1>good</h1>");
    EXPECT_EQ(CrackedCount(), 0);
}

TEST_F(ResponseTest, PlantedLinksAreMovedAsLinksNeverFollowed) {
    Archive();
    std::string secret = dir.Write("secret", "root:hash");
    std::string link = tree / "www/innocent";
    ASSERT_EQ(::symlink(secret.c_str(), link.c_str()), 0);
    response.RespondToChange(ChangeKind::kCreated, link, {});
    std::string copy = dir / "cracked/2004-04-119-05-22innocent";
    struct stat st {};
    ASSERT_EQ(::lstat(copy.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadAll(secret), "root:hash");
    EXPECT_EQ(::lstat(link.c_str(), &st), -1);
}

// Another link renamed over a planted one while it is taken: after the look that found it, the
// quarantine takes it whole or not at all, never one link's facts with the other's target.
TEST_F(ResponseTest, ALinkSwappedWhileItIsTakenIsNeverMixedWithTheOther) {
    Archive();
    const std::string secret = dir.Write("secret", "root:hash");
    const std::string link = tree / "www/innocent";
    const std::string decoy = tree / "www/decoy";
    const auto plant = [&] {
        ::unlink(link.c_str());
        ASSERT_EQ(::symlink(secret.c_str(), link.c_str()), 0);
        ASSERT_EQ(::symlink("/nothing/to/see", decoy.c_str()), 0);
    };
    const auto swap = [&] { EXPECT_EQ(::rename(decoy.c_str(), link.c_str()), 0); };
    const auto target = [](const std::string& path) {
        return platform::ReadLinkTarget(testing::SystemEnv(), AT_FDCWD, path.c_str()).value_or("");
    };
    // Swapped before its target is read: the copy holds the target of the link found.
    plant();
    race.Before(Call::kReadLinkAt, "innocent", swap);
    EXPECT_FALSE(response.MoveToCracked(ChangeKind::kCreated, link, {}));
    EXPECT_EQ(race.Fired(), 1);
    EXPECT_EQ(target(dir / "cracked/2004-04-119-05-22innocent"), secret);
    EXPECT_EQ(target(link), "/nothing/to/see");  // not the link copied: it stays
    // Swapped right after the look that found it: neither is taken.
    plant();
    race.After(Call::kStatx, "innocent", swap);
    EXPECT_FALSE(response.MoveToCracked(ChangeKind::kCreated, link, {}));
    EXPECT_EQ(race.Fired(), 2);
    EXPECT_EQ(target(link), "/nothing/to/see");
    EXPECT_EQ(CrackedCount(), 2);  // the first copy and the index
}

TEST_F(ResponseTest, AFileThatCannotBeCopiedStaysWhereItIs) {
    Archive();
    tree.Write("www/index.html", "hacked");
    settings.cracked_dir = index + "/not-a-folder";  // under a file: cannot be created
    response.RespondToChange(ChangeKind::kAltered, index, {});
    EXPECT_EQ(ReadAll(index), "hacked");  // neither moved nor overwritten: the evidence stays
    ASSERT_EQ(hooks.messages.size(), 1u);
    EXPECT_NE(hooks.messages[0].find("index.html"), std::string::npos);
}

TEST_F(ResponseTest, ACrackedFolderAnotherUserSwappedInNeverKeepsThePageDefaced) {
    if (::geteuid() != 0) GTEST_SKIP() << "owners are set as root";
    Archive();
    dir.MakeDir("cracked");
    ASSERT_EQ(::chown((dir / "cracked").c_str(), 65534, 65534), 0);
    tree.Write("www/index.html", "hacked");
    std::string shell = tree.Write("www/shell.php", "<?php evil();");
    response.RespondToChange(ChangeKind::kAltered, index, {});
    response.RespondToChange(ChangeKind::kCreated, shell, {});
    EXPECT_EQ(ReadAll(index), "<h1>good</h1>");
    EXPECT_EQ(CrackedCount(), 0);  // nothing given to the other user's folder
    EXPECT_TRUE(platform::FileExists(testing::SystemEnv(),
                                     shell));  // a new file is never removed without a copy
    ASSERT_FALSE(hooks.messages.empty());
    EXPECT_NE(hooks.messages[0].find(platform::Md5Hex("hacked")), std::string::npos)
        << hooks.messages[0];
}

TEST_F(ResponseTest, CreateArchiveStartsAnewAndReportsEachFailingRule) {
    Archive();
    ASSERT_TRUE(platform::FileExists(testing::SystemEnv(), archive.ArchivePath()));
    rules.rules.clear();
    EXPECT_EQ(archive.CreateArchive(), 0);
    EXPECT_FALSE(platform::FileExists(testing::SystemEnv(),
                                      archive.ArchivePath()));  // an empty table leaves none
    response.RespondToChange(ChangeKind::kDeleted, index, {});
    ASSERT_EQ(hooks.messages.size(), 1u);
    EXPECT_EQ(hooks.notices.back().text, Message(NoticeCode::kNothingSaved));

    hooks.messages.clear();
    std::string save = settings.save_dir;
    settings.save_dir = dir / "no-such-folder";
    rules.rules = {{tree / "www", RuleKind::kTree}, {tree / "www/index.html", RuleKind::kFile}};
    // No save folder: one failure, and nothing written anywhere.
    EXPECT_EQ(archive.CreateArchive(), 1);
    ASSERT_EQ(hooks.messages.size(), 1u);
    EXPECT_EQ(hooks.notices.back().text.code(), NoticeCode::kArchiveFailed) << hooks.messages[0];

    // A rule that fails leaves a previous archive that cannot be read (cut short inside an
    // entry too large to be read ahead) as it was.
    hooks.messages.clear();
    settings.save_dir = save;
    rules.rules = {{tree / "www", RuleKind::kTree}};
    std::mt19937 rng(7);
    std::string noise(256 << 10, '\0');
    for (char& c : noise) c = static_cast<char>(rng());
    tree.Write("www/noise.bin", noise);
    Archive();
    std::string before = ReadAll(archive.ArchivePath());
    before.resize(before.size() / 2);
    testing::WriteAll(archive.ArchivePath(), before);
    tree.Write("www/new.html", "not archived");
    rules.rules.push_back({tree / "vanished", RuleKind::kTree});
    EXPECT_EQ(archive.CreateArchive(), 1);
    EXPECT_TRUE(ReadAll(archive.ArchivePath()) == before);
    ASSERT_EQ(hooks.messages.size(), 1u);
    EXPECT_TRUE(hooks.notices.back().text.Has(NoticeCode::kCannotCarryOverEarlier))
        << hooks.messages[0];
    EXPECT_EQ(testing::CountEntries(settings.save_dir), 1);  // no temporary file is left

    hooks.messages.clear();
    rules.rules.clear();
    ASSERT_EQ(archive.CreateArchive(), 0);
    ::unlink(index.c_str());
    archive.RestoreFromArchive(index);  // nothing archived any more
    ASSERT_EQ(hooks.messages.size(), 1u);
    EXPECT_EQ(hooks.notices.back().text.code(), NoticeCode::kRestoreFailed) << hooks.messages[0];
}

// With no earlier archive, what cannot be archived costs only itself: a rule path not there and
// an unreadable file are named with their cause, the rest goes in and reads back, and the last
// message says what the archive holds.
TEST_F(ResponseTest, WithoutAnEarlierArchiveAPartialArchiveBeatsNone) {
    const std::string css = tree / "www/css/site.css";
    const std::string print = tree.Write("www/css/print.css", "p{}");
    rules.rules = {{tree / "vanished", RuleKind::kTree}, {tree / "www", RuleKind::kTree}};
    faults.Fail(Call::kRead, EIO, 0, "*/site.css");
    EXPECT_EQ(archive.CreateArchive(), 2);
    ASSERT_EQ(hooks.messages.size(), 2u);
    EXPECT_EQ(hooks.messages[0].rfind(
                  "kArchiveFailed(kRuleNotArchived(1, " + tree / "vanished" + ", ", 0),
              0u)
        << hooks.messages[0];
    EXPECT_NE(hooks.messages[1].find("kRulePartsNotArchived(2, " + tree / "www" + ", 1, "),
              std::string::npos)
        << hooks.messages[1];
    EXPECT_NE(hooks.messages[1].find(css), std::string::npos) << hooks.messages[1];
    EXPECT_NE(hooks.messages[1].find("kPartialArchiveMade(" + archive.ArchivePath() + ")"),
              std::string::npos)
        << hooks.messages[1];

    auto listed = platform::lha::ListArchive(testing::SystemEnv(), archive.ArchivePath());
    ASSERT_TRUE(listed.ok()) << listed.status().message();
    std::set<std::string> stored;
    for (const auto& entry : listed.value()) stored.insert(entry.path);
    EXPECT_EQ(stored.count(platform::lha::StoredPathOf(testing::SystemEnv(), print)), 1u);
    EXPECT_EQ(stored.count(platform::lha::StoredPathOf(testing::SystemEnv(), css)), 0u);
    EXPECT_EQ(std::system(("lhasa t '" + archive.ArchivePath() + "' >/dev/null 2>&1").c_str()), 0);
    ::unlink(index.c_str());
    EXPECT_TRUE(archive.RestoreFromArchive(index).ok());
    EXPECT_EQ(ReadAll(index), "<h1>good</h1>");
}

// With an earlier archive, a save that cannot archive one rule still takes in the others as
// they are now, and the rule it could not archive keeps its earlier entries.
TEST_F(ResponseTest, WithAnEarlierArchiveARuleThatCannotBeSavedKeepsItsEarlierVersion) {
    const std::string other = tree / "other";
    const std::string page = tree.Write("other/sub/page.html", "<p>B, as archived</p>");
    ASSERT_EQ(::chmod(page.c_str(), 0640), 0);
    rules.rules = {{tree / "www", RuleKind::kTree}, {other, RuleKind::kTree}};
    Archive();
    tree.Write("www/index.html", "<h1>new deploy</h1>");
    ASSERT_EQ(::rename(other.c_str(), (tree / "away").c_str()), 0);  // gone for a moment
    EXPECT_EQ(archive.CreateArchive(), 1);
    ASSERT_EQ(hooks.messages.size(), 1u);
    EXPECT_NE(hooks.messages[0].find("kRuleNotArchived(2, " + other + ", "), std::string::npos);
    EXPECT_NE(hooks.messages[0].find("kRuleEarlierKept(1)"), std::string::npos)
        << hooks.messages[0];
    EXPECT_EQ(std::system(("lhasa t '" + archive.ArchivePath() + "' >/dev/null 2>&1").c_str()), 0);

    ASSERT_EQ(::rename((tree / "away").c_str(), other.c_str()), 0);
    ASSERT_EQ(::unlink(index.c_str()), 0);
    ASSERT_EQ(::unlink(page.c_str()), 0);
    ASSERT_TRUE(archive.RestoreFromArchive(index).ok());
    ASSERT_TRUE(archive.RestoreFromArchive(page).ok());
    EXPECT_EQ(ReadAll(index), "<h1>new deploy</h1>");
    EXPECT_EQ(ReadAll(page), "<p>B, as archived</p>");
    struct stat st {};
    ASSERT_EQ(::stat(page.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

}  // namespace
}  // namespace norv
