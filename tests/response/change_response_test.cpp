#include "response/change_response.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
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
using testing::RecordingHooks;
using testing::TempDir;

TEST(CrackedName, EveryNameFitsOneFolderEntryAndStaysApart) {
    const std::string stamp = "2026-12-0711-02-30";
    EXPECT_EQ(CrackedName(stamp, 1, "shell.php"), stamp + "shell.php");
    EXPECT_EQ(CrackedName(stamp, 2, "shell.php"), stamp + "(2)shell.php");
    const std::string long_a = std::string(240, 'a') + ".php";
    const std::string long_b = std::string(240, 'a') + "b.php";
    for (int n : {1, 2, 999}) {
        std::string name = CrackedName(stamp, n, long_a);
        EXPECT_LE(name.size(), 255u);
        EXPECT_EQ(name.rfind(stamp, 0), 0u);
        EXPECT_EQ(name.substr(name.size() - 4), ".php");
        EXPECT_NE(name, CrackedName(stamp, n, long_b));
    }
    EXPECT_NE(CrackedName(stamp, 1, long_a), CrackedName(stamp, 2, long_a));
    // Cut between characters, never inside one.
    std::string japanese;
    while (japanese.size() < 250) japanese += "改";
    std::string cut = CrackedName(stamp, 1, japanese);
    EXPECT_LE(cut.size(), 255u);
    EXPECT_TRUE(platform::IsValidUtf8(cut));
}

TEST(CrackedStamp, DateThenTimeWithDashes) {
    auto regional = testing::JapaneseFormat();
    testing::FixedClock clock;
    clock.Advance(std::chrono::seconds(3 * 3600 + 29 * 60 + 34));
    EXPECT_EQ(CrackedStamp(*regional, clock.Now()), "2004-04-1112-34-56");
    // The C locale's own forms make a poor name: a fixed, sortable one there.
    auto posix = platform::RegionalFormat::Create("C", "Asia/Tokyo");
    ASSERT_TRUE(posix.ok());
    EXPECT_EQ(CrackedStamp(**posix, clock.Now()), "2004-04-11-12-34-56_");
}

// An attacker who puts something at a page's place the moment the page leaves it: a file
// written again right after each of the next `times` removals of `path`.
void RewriteAfterRemoval(testing::RaceEnv& race, const std::string& path, int times) {
    race.After(
        Call::kUnlinkAt, platform::FileNameOfPath(path),
        [path, left = std::make_shared<int>(times)] {
            if (*left <= 0) return;
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd < 0) return;  // the removal failed: nothing to put back
            --*left;
            EXPECT_EQ(::write(fd, "defaced", 7), 7);
            ::close(fd);
        },
        /*nth=*/0);
}

TEST_F(ResponseTest, WhatStandsAtThePagesPlaceIsTakenOutAndThePageRestored) {
    Archive();
    // A file written again right after the tampered one was moved away: kept as evidence too.
    tree.Write("www/index.html", "hacked");
    RewriteAfterRemoval(race, index, 2);
    response.RespondToChange(ChangeKind::kAltered, index, {});
    EXPECT_EQ(ReadAll(index), "<h1>good</h1>");
    EXPECT_EQ(CrackedCount(), 4);  // the tampered page, two rewrites, the index
    // A FIFO, and a folder, put where a page was.
    for (bool folder : {false, true}) {
        ::unlink(index.c_str());
        ASSERT_EQ(folder ? ::mkdir(index.c_str(), 0755) : ::mkfifo(index.c_str(), 0644), 0);
        response.RespondToChange(ChangeKind::kDeleted, index, {});
        ASSERT_TRUE(platform::FileExists(testing::SystemEnv(), index))
            << folder;  // never read a FIFO left there
        EXPECT_EQ(ReadAll(index), "<h1>good</h1>");
    }
    EXPECT_EQ(CrackedCount(), 5);  // the folder; the FIFO has its index line alone
    // One that never stops is outlasted a few times, then reported.
    tree.Write("www/index.html", "hacked");
    RewriteAfterRemoval(race, index, 1000);
    hooks.messages.clear();
    response.RespondToChange(ChangeKind::kAltered, index, {});
    ASSERT_FALSE(hooks.messages.empty());
    EXPECT_TRUE(hooks.notices.back().status.what().Has(NoticeCode::kRestoreOutlasted))
        << hooks.messages.back();
}

// The restore actions the response reports: "restore done <path>" or "restore failed <reason>".
struct RestoreEvents : EventSink {
    void BeginRun(std::string_view) override {}
    void Change(const ChangeEvent&) override {}
    void Action(const std::string&, ResponseAction action, bool succeeded,
                const Message& detail) override {
        if (action != ResponseAction::kRestore) return;
        seen.push_back(std::string(succeeded ? "restore done " : "restore failed ") +
                       Render(detail));
    }
    void EndRun(const ScanCounters&, std::string_view) override {}
    std::vector<std::string> seen;
};

// Someone who can write the page's folder replaces the restored page right after it is put in
// place. The restore is never reported done with their file there: it is taken out as evidence
// and the page restored again; one who does it every time is outlasted a few times, then the
// restore is reported failed, as an attack, with their last file left where it is.
TEST_F(ResponseTest, APageReplacedRightAfterItsRestoreIsNeverReportedRestored) {
    Archive();
    RestoreEvents events;
    response.SetEventSink(&events);
    auto replace = [&, n = std::make_shared<int>(0)] {
        const std::string planted = dir.Write("planted" + std::to_string(++*n), "defaced");
        EXPECT_EQ(::rename(planted.c_str(), index.c_str()), 0);
    };
    ::unlink(index.c_str());
    race.After(Call::kLinkAt, "index.html", replace);
    ResponseOutcome outcome = response.RespondToChange(ChangeKind::kDeleted, index, {});
    EXPECT_EQ(outcome.left, ResponseOutcome::Left::kRestored);
    EXPECT_EQ(ReadAll(index), "<h1>good</h1>");
    EXPECT_EQ(testing::CountEntries(dir / "cracked"), 2);  // the replacement, the index
    EXPECT_EQ(events.seen, std::vector<std::string>{"restore done " + index});

    ::unlink(index.c_str());
    events.seen.clear();
    hooks.messages.clear();
    race.After(Call::kLinkAt, "index.html", replace, /*nth=*/0);
    outcome = response.RespondToChange(ChangeKind::kDeleted, index, {});
    EXPECT_NE(outcome.left, ResponseOutcome::Left::kRestored);
    EXPECT_EQ(ReadAll(index), "defaced");
    ASSERT_EQ(events.seen.size(), 1u);
    EXPECT_EQ(events.seen[0].rfind("restore failed ", 0), 0u) << events.seen[0];
    ASSERT_FALSE(hooks.messages.empty());
    EXPECT_TRUE(hooks.notices.back().status.what().Has(NoticeCode::kRestoreOutlasted))
        << hooks.messages.back();
    EXPECT_NE(hooks.messages.back().find(index), std::string::npos) << hooks.messages.back();
}

platform::ExtendedFacts FactsOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    auto folder = platform::OpenDirectory(testing::SystemEnv(), path.substr(0, slash));
    return platform::FingerprintAt(**folder, path.substr(slash + 1)).Extended();
}

// The page comes back with the baseline's mode, owner, group, capabilities, ACL, extended
// attributes and inode flags (immutable set once in place), whatever the archive and the
// attacker left; but a privilege only with the very content it was recorded
// with, and never one nobody recorded.
TEST_F(ResponseTest, ARestorePutsBackTheRecordedAttributesButNoPrivilegeNobodyRecorded) {
    if (::geteuid() != 0) GTEST_SKIP() << "owners and capabilities are root's to give";
    ASSERT_EQ(::chmod(index.c_str(), 04755), 0);
    Archive();  // root's, 4755
    const std::string model = dir.Write("model", "");
    ASSERT_TRUE(testing::SetCapabilities(model, "cap_net_raw=ep"));
    ASSERT_TRUE(testing::SetAcl(model, "u::rwx,u:65534:r--,g::r-x,m::r-x,o::---"));
    ASSERT_EQ(::setxattr(model.c_str(), "user.tag", "blue", 4, 0), 0);
    RecordedFile recorded{
        platform::Md5Digest(platform::Md5Hex("<h1>good</h1>")), platform::ExtendedFacts{}, {}};
    recorded.extended->type = platform::EntryKind::kRegular;
    recorded.extended->mode = 04750;
    recorded.extended->owner = 65534;
    recorded.extended->group = 65533;
    recorded.extended->capabilities = testing::RawXattr(model, platform::kCapabilityXattr);
    recorded.extended->acl = testing::RawXattr(model, platform::kAclXattr);
    ASSERT_FALSE(recorded.extended->capabilities->empty());
    recorded.extended->xattrs = FactsOf(model).xattrs;
    recorded.extended->inode_flags = 0x10 | 0x40;  // immutable, no-dump

    tree.Write("www/index.html", "hacked");
    ASSERT_EQ(::chmod(index.c_str(), 0777), 0);
    ASSERT_EQ(::setxattr(index.c_str(), "user.planted", "x", 1, 0), 0);
    ASSERT_TRUE(testing::SetInodeFlags(index, 0x20));  // append-only: no removing it either
    ResponseOutcome outcome = response.RespondToChange(ChangeKind::kAltered, index, {}, recorded);
    EXPECT_EQ(ReadAll(index), "<h1>good</h1>");
    platform::ExtendedFacts now = FactsOf(index);
    now.sha256 = platform::Sha256Digest();
    EXPECT_EQ(now, *recorded.extended);
    EXPECT_EQ(outcome.restored_facts, recorded.extended);
    EXPECT_TRUE(hooks.messages.empty()) << hooks.messages[0];
    ASSERT_TRUE(testing::SetInodeFlags(index, 0));
    // The evidence's line says what it was.
    EXPECT_NE(ReadAll(dir / (std::string("cracked/") + kCrackedIndexName)).find("\tmode=0777\t"),
              std::string::npos);

    // An archive older than the baseline: the page comes back without its privileges.
    recorded.md5 = platform::Md5Digest(platform::Md5Hex("<h1>newer</h1>"));
    ::unlink(index.c_str());
    response.RespondToChange(ChangeKind::kDeleted, index, {}, recorded);
    now = FactsOf(index);
    EXPECT_EQ(now.mode, 0750u);
    EXPECT_EQ(now.owner, 65534u);
    EXPECT_EQ(now.capabilities, "");
    ASSERT_EQ(hooks.messages.size(), 1u);
    EXPECT_EQ(hooks.notices[0].text, Message(NoticeCode::kPrivilegesWithheld, {index}));

    // A baseline that knew only MD5: the archive's owner and mode, but no set-id bit.
    ::unlink(index.c_str());
    response.RespondToChange(ChangeKind::kDeleted, index, {}, RecordedFile{recorded.md5, {}, {}});
    now = FactsOf(index);
    EXPECT_EQ(now.mode, 0755u);
    EXPECT_EQ(now.owner, 0u);
}

// A folder gets its recorded mode, owners and attributes back through the descriptor it was
// measured by; a FIFO gone is made again with its owners and mode, what stands at its place
// taken out first; and a link swapped in for the FIFO just made is never given them.
TEST_F(ResponseTest, AFolderAndASpecialFileComeBackAsRecorded) {
    if (::geteuid() != 0) GTEST_SKIP() << "owners are root's to give";
    const std::string uploads = tree.MakeDir("www/uploads");
    ASSERT_EQ(::chmod(uploads.c_str(), 02775), 0);
    auto folder = platform::OpenDirectory(testing::SystemEnv(), uploads).value();
    const platform::PlaceFacts recorded_folder =
        platform::FolderFactsOf(testing::SystemEnv(), folder->fd(), uploads).value();
    ASSERT_EQ(::chmod(uploads.c_str(), 0777), 0);
    ASSERT_EQ(::chown(uploads.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::setxattr(uploads.c_str(), "user.planted", "x", 1, 0), 0);
    const RecordedFile as_recorded{
        std::nullopt, recorded_folder.facts, "folder", {}, recorded_folder.identity};
    ResponseOutcome outcome = response.RespondToChange(ChangeKind::kAltered, uploads + "/",
                                                       {folder.get(), "", {}}, as_recorded);
    EXPECT_EQ(outcome.left, ResponseOutcome::Left::kRestored);
    EXPECT_EQ(platform::FolderFactsOf(testing::SystemEnv(), folder->fd(), uploads).value(),
              recorded_folder);
    // Another folder renamed to its place (root's, private) is never given its owner or mode.
    const std::string secret = tree.MakeDir("www/secret");
    ASSERT_EQ(::chmod(secret.c_str(), 0700), 0);
    auto other = platform::OpenDirectory(testing::SystemEnv(), secret).value();
    outcome = response.RespondToChange(ChangeKind::kAltered, uploads + "/", {other.get(), "", {}},
                                       as_recorded);
    EXPECT_NE(outcome.left, ResponseOutcome::Left::kRestored);
    struct stat kept {};
    ASSERT_EQ(::stat(secret.c_str(), &kept), 0);
    EXPECT_EQ(kept.st_mode & 07777, 0700u);
    EXPECT_TRUE(hooks.notices.back().text.Has(NoticeCode::kPlaceReplaced));
    hooks.notices.clear();
    hooks.messages.clear();

    const std::string pipe = tree / "www/pipe";
    RecordedFile fifo{std::nullopt, platform::ExtendedFacts{}, "fifo"};
    fifo.extended->type = platform::EntryKind::kOther;
    fifo.extended->mode = 0620;
    fifo.extended->owner = fifo.extended->group = 65534;
    tree.Write("www/pipe", "<?php system($_GET['c']);");
    outcome = response.RespondToChange(ChangeKind::kDeleted, pipe, {}, fifo);
    EXPECT_EQ(outcome.left, ResponseOutcome::Left::kRestored);
    auto www = platform::OpenDirectory(testing::SystemEnv(), tree / "www").value();
    const platform::PlaceFacts made = platform::SpecialFactsAt(*www, "pipe", pipe).value();
    EXPECT_EQ(made.kind, "fifo");
    EXPECT_EQ(made.facts, *fifo.extended);
    EXPECT_EQ(CrackedCount(), 2);  // the planted file and the index

    const std::string victim = dir.Write("victim", "root's");
    ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
    ::unlink(pipe.c_str());
    race.After(testing::Call::kMknodAt, "pipe", [&] {
        ASSERT_EQ(::unlink(pipe.c_str()), 0);
        ASSERT_EQ(::symlink(victim.c_str(), pipe.c_str()), 0);
    });
    outcome = response.RespondToChange(ChangeKind::kDeleted, pipe, {}, fifo);
    EXPECT_EQ(race.Fired(), 1);
    EXPECT_NE(outcome.left, ResponseOutcome::Left::kRestored);
    struct stat st {};
    ASSERT_EQ(::stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_TRUE(hooks.notices.back().text.Has(NoticeCode::kSpecialFileSwapped))
        << hooks.messages.back();
}

// A move is undone by moving the very file back, nothing copied; a link swapped in for it just
// before the rename is taken out at the recorded place, and the page comes from the archive.
TEST_F(ResponseTest, AMoveIsUndoneByMovingTheFileItselfBack) {
    Archive();
    const std::string moved = tree / "www/css/index.html";
    RecordedFile recorded{
        platform::Md5Digest(platform::Md5Hex("<h1>good</h1>")), FactsOf(index), {}, index};
    auto move_away = [&] {
        EXPECT_EQ(::rename(index.c_str(), moved.c_str()), 0);
        struct stat st {};
        EXPECT_EQ(::stat(moved.c_str(), &st), 0);
        FileLocation where;
        where.identity = platform::FileIdentity{st.st_dev, st.st_ino};
        return where;
    };
    const FileLocation where = move_away();
    ResponseOutcome outcome = response.RespondToChange(ChangeKind::kMoved, moved, where, recorded);
    EXPECT_EQ(outcome.left, ResponseOutcome::Left::kRestored);
    struct stat st {};
    ASSERT_EQ(::stat(index.c_str(), &st), 0);
    EXPECT_EQ(st.st_ino, where.identity->inode);
    EXPECT_NE(::access(moved.c_str(), F_OK), 0);
    EXPECT_EQ(CrackedCount(), 0);
    EXPECT_TRUE(hooks.messages.empty()) << hooks.messages[0];

    const FileLocation raced = move_away();
    race.Before(testing::Call::kRenameAt, "*/css/index.html", [&] {
        ASSERT_EQ(::unlink(moved.c_str()), 0);
        ASSERT_EQ(::symlink("/etc/passwd", moved.c_str()), 0);
    });
    outcome = response.RespondToChange(ChangeKind::kMoved, moved, raced, recorded);
    EXPECT_EQ(race.Fired(), 1);
    EXPECT_EQ(outcome.left, ResponseOutcome::Left::kRestored);
    ASSERT_EQ(::lstat(index.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(ReadAll(index), "<h1>good</h1>");
    ASSERT_FALSE(hooks.notices.empty());
    EXPECT_TRUE(hooks.notices[0].text.Has(NoticeCode::kMovedBackNotAsRecorded))
        << hooks.messages[0];
}

TEST_F(ResponseTest, RestoreOffTouchesNothing) {
    Archive();
    switches.auto_restore = 0;
    tree.Write("www/index.html", "hacked");
    for (auto kind : {ChangeKind::kCreated, ChangeKind::kAltered, ChangeKind::kDeleted})
        response.RespondToChange(kind, index, {});
    EXPECT_EQ(ReadAll(index), "hacked");
    EXPECT_EQ(CrackedCount(), 0);
    EXPECT_TRUE(hooks.messages.empty());
}

TEST_F(ResponseTest, NoArchiveGivesOneMessagePerChangeAndTouchesNothing) {
    tree.Write("www/index.html", "hacked");
    response.RespondToChange(ChangeKind::kAltered, index, {});
    response.RespondToChange(ChangeKind::kCreated, index, {});
    ASSERT_EQ(hooks.notices.size(), 2u);
    for (const Notice& notice : hooks.notices) {
        EXPECT_EQ(notice.text, Message(NoticeCode::kNothingSaved));
    }
    EXPECT_EQ(ReadAll(index), "hacked");
}

TEST_F(ResponseTest, CreatedFilesMoveToTheCrackedFolder) {
    Archive();
    std::string shell = tree.Write("www/shell.php", "<?php evil();");
    response.RespondToChange(ChangeKind::kCreated, shell, {});
    EXPECT_FALSE(platform::FileExists(testing::SystemEnv(), shell));
    std::string copy = dir / "cracked/2004-04-119-05-22shell.php";
    EXPECT_EQ(ReadAll(copy), "<?php evil();");
    struct stat st {};
    ::stat((dir / "cracked").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0700u);  // created owner-only
    ::stat(copy.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Tells that the entry `name` is a mount point, as a file system mounted on it since the check
// would, and counts the looks that would ask that file system for the entry's facts.
class MountedOnEnv : public platform::EnvWrapper {
  public:
    explicit MountedOnEnv(std::string name)
        : EnvWrapper(platform::Env::Default()), name_(std::move(name)) {}
    int FStatAt(int dirfd, const char* name, struct stat* st, int flags) override {
        asked += name_ == name;
        return EnvWrapper::FStatAt(dirfd, name, st, flags);
    }
    int Statx(int dirfd, const char* name, int flags, unsigned mask, struct statx* facts) override {
        const int result = EnvWrapper::Statx(dirfd, name, flags, mask, facts);
        if (result == 0 && name_ == name) {
            facts->stx_attributes_mask |= STATX_ATTR_MOUNT_ROOT;
            facts->stx_attributes |= STATX_ATTR_MOUNT_ROOT;
        }
        return result;
    }
    int asked = 0;

  private:
    std::string name_;
};

class MountedOnTest : public ResponseTest {
  protected:
    MountedOnEnv mounted{"shell.php"};
    ProtectedArchive mounted_archive{mounted, settings, rules, hooks};
    ChangeResponse mounted_response{settings, switches, mounted_archive, clock, *regional, hooks};
};

TEST_F(MountedOnTest, AFileSystemMountedOnTheFileIsRefusedWithoutBeingAsked) {
    Archive();
    const std::string shell = tree.Write("www/shell.php", "<?php evil();");
    EXPECT_FALSE(mounted_response.MoveToCracked(ChangeKind::kCreated, shell, {}));
    EXPECT_EQ(mounted.asked, 0);
    EXPECT_EQ(ReadAll(shell), "<?php evil();");
}

TEST_F(ResponseTest, ANewFileSwappedAfterTheWalkIsNeverTakenInItsPlace) {
    Archive();
    const std::string shell = tree.Write("www/shell.php", "<?php evil();");
    struct stat measured {};
    ASSERT_EQ(::lstat(shell.c_str(), &measured), 0);
    FileLocation found;  // no folder: the walk is over, and the file is found again by its path
    found.identity = platform::FileIdentity{measured.st_dev, measured.st_ino};
    // The page is renamed over the reported name between the walk and the quarantine.
    ASSERT_EQ(::rename(index.c_str(), shell.c_str()), 0);
    EXPECT_FALSE(response.MoveToCracked(ChangeKind::kCreated, shell, found));
    EXPECT_EQ(ReadAll(shell), "<h1>good</h1>");
    ASSERT_EQ(::unlink(shell.c_str()), 0);
    EXPECT_FALSE(response.MoveToCracked(ChangeKind::kCreated, shell, found));
    EXPECT_EQ(CrackedCount(), 0);
}

TEST_F(ResponseTest, AnOverLongNameIsMovedUnderAShortenedNameAndIndexed) {
    Archive();
    std::string shell = tree.Write("www/" + std::string(240, 'a') + ".php", "<?php evil();");
    ASSERT_EQ(::chmod(shell.c_str(), 04751), 0);
    response.RespondToChange(ChangeKind::kCreated, shell, {});
    EXPECT_FALSE(platform::FileExists(testing::SystemEnv(), shell));
    auto listing = platform::ListDirectory(testing::SystemEnv(), dir / "cracked");
    ASSERT_TRUE(listing.ok());
    ASSERT_EQ(listing->size(), 2u);  // the copy and the index
    std::string index_text = ReadAll(dir / (std::string("cracked/") + kCrackedIndexName));
    for (const auto& entry : listing.value()) {
        if (entry.name == kCrackedIndexName) continue;
        EXPECT_EQ(ReadAll(dir / ("cracked/" + entry.name)), "<?php evil();");
        // What the file was comes after the fields that were always there.
        EXPECT_EQ(
            index_text,
            entry.name + "\tcreated\t2004/04/11 9:05:22\t" + platform::Md5Hex("<?php evil();") +
                "\t" + shell + "\ttype=file\tmode=4751\towner=" + std::to_string(::geteuid()) +
                "\tgroup=" + std::to_string(::getegid()) +
                "\tcapabilities=\tacl=\tsha256=" + platform::Sha256Hex("<?php evil();") + "\r\n");
    }
}

TEST_F(ResponseTest, ACopyThatDoesNotMatchTheOriginalIsDiscardedAndTheFileStays) {
    Archive();
    // A file that reads differently every time (this process's scheduler figures): its copy
    // can never be verified, so it must never be taken for evidence.
    const std::string self = "/proc/" + std::to_string(::getpid());
    auto proc = platform::OpenDirectory(testing::SystemEnv(), self);
    if (!proc.ok() || ::access((self + "/schedstat").c_str(), R_OK) != 0) {
        GTEST_SKIP() << "no " << self << "/schedstat here";
    }
    EXPECT_FALSE(response.MoveToCracked(ChangeKind::kAltered, self + "/schedstat",
                                        FileLocation{proc->get(), "schedstat", {}}));
    ASSERT_EQ(hooks.messages.size(), 1u);
    EXPECT_TRUE(hooks.notices[0].text.Has(NoticeCode::kCopyDiffers)) << hooks.messages[0];
    EXPECT_EQ(CrackedCount(), 0);  // the unverified copy is gone, and no index line names it
}

// A sparse file's copy keeps its holes: a few GiB of holes cost the cracked folder nothing.
TEST_F(ResponseTest, ASparseFilesCopyIsSparseAndVerified) {
    Archive();
    tree.Write("www/index.html", "hacked");
    ASSERT_EQ(::truncate(index.c_str(), off_t{256} << 20), 0);
    response.RespondToChange(ChangeKind::kAltered, index, {});
    EXPECT_EQ(ReadAll(index), "<h1>good</h1>");
    const std::string copy = dir / "cracked/2004-04-119-05-22index.html";
    struct stat st {};
    ASSERT_EQ(::stat(copy.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, off_t{256} << 20);
    EXPECT_LT(st.st_blocks * 512, 1 << 20);
    EXPECT_TRUE(hooks.messages.empty()) << hooks.messages[0];
}

// A terabyte planted over a page cannot be copied whole: its first bytes and an index line with
// its size and digest are the evidence, and the page comes back all the same.
TEST_F(ResponseTest, AFileTooLargeToCopyLeavesItsFirstBytesAndIsStillReplaced) {
    Archive();
    tree.Write("www/index.html", "hacked");
    ASSERT_EQ(::truncate(index.c_str(), off_t{1} << 40), 0);
    response.RespondToChange(ChangeKind::kAltered, index, {});
    EXPECT_EQ(ReadAll(index), "<h1>good</h1>");
    const std::string copy_name = "2004-04-119-05-22index.html";
    struct stat st {};
    ASSERT_EQ(::stat((dir / ("cracked/" + copy_name)).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, kEvidenceHeadBytes);
    const std::string listed = ReadAll(dir / (std::string("cracked/") + kCrackedIndexName));
    EXPECT_EQ(listed.rfind(copy_name + "\taltered\t", 0), 0u) << listed;
    EXPECT_NE(listed.find("\t" + index + "\t1099511627776\t" + kHeadOnlyNote + "\ttype=file\t"),
              std::string::npos)
        << listed;
    EXPECT_TRUE(hooks.messages.empty()) << hooks.messages[0];
}

// The disk fills during the copy: the evidence shrinks to the first bytes, and the defaced page
// is replaced instead of staying.
TEST_F(ResponseTest, AFullDiskStillTakesTheFileOutAndRestores) {
    Archive();
    tree.Write("www/index.html", "hacked");
    faults.Fail(Call::kWrite, ENOSPC, 1, "*/cracked/*index.html");
    response.RespondToChange(ChangeKind::kAltered, index, {});
    EXPECT_EQ(faults.MatchedCalls(Call::kWrite), 2);
    EXPECT_EQ(ReadAll(index), "<h1>good</h1>");
    const std::string listed = ReadAll(dir / (std::string("cracked/") + kCrackedIndexName));
    EXPECT_NE(listed.find(platform::Md5Hex("hacked") + "\t" + index + "\t6\t" + kHeadOnlyNote),
              std::string::npos)
        << listed;
    EXPECT_EQ(ReadAll(dir / "cracked/2004-04-119-05-22index.html"), "hacked");
}

// Past the copies of one run a new file stays where it is (reported, taken by a later run); an
// altered page is still replaced, with an index line for evidence.
// Each action's event, "path quarantine|restore done|failed detail".
struct ActionEvents : EventSink {
    void BeginRun(std::string_view) override {}
    void Change(const ChangeEvent&) override {}
    void Action(const std::string& path, ResponseAction action, bool succeeded,
                const Message& detail) override {
        seen.push_back(path + " " + std::string(ResponseActionName(action)) +
                       (succeeded ? " done " : " failed ") + Render(detail));
    }
    void EndRun(const ScanCounters&, std::string_view) override {}
    std::string Joined() const {
        std::string all;
        for (const std::string& one : seen) all += one + "\n";
        return all;
    }
    std::vector<std::string> seen;
};

// Past the run's copies, files still leave the site, without a copy: junk written ahead of a
// webshell never keeps the webshell there. Index lines for them are bounded too, and the run's
// end says how many left uncopied, once.
TEST_F(ResponseTest, PastTheCopyBoundFilesLeaveWithoutACopy) {
    Archive();
    QuarantineBounds bounds;
    bounds.most_copies = 1;
    bounds.most_uncopied_lines = 2;
    response.SetBounds(bounds);
    ActionEvents events;
    response.SetEventSink(&events);
    response.BeginRun();
    std::vector<std::string> files;
    for (const char* name : {"a.php", "b.php", "c.php", "shell.php"}) {
        files.push_back(tree.Write(std::string("www/") + name, name));
    }
    for (const std::string& file : files) response.RespondToChange(ChangeKind::kCreated, file, {});
    for (const std::string& file : files) {
        EXPECT_FALSE(platform::FileExists(testing::SystemEnv(), file)) << file;
    }
    ASSERT_EQ(hooks.notices.size(), 1u);  // once a run
    EXPECT_EQ(hooks.notices[0].text, Message(NoticeCode::kQuarantineCopyLimit));
    tree.Write("www/index.html", "hacked");
    response.RespondToChange(ChangeKind::kAltered, index, {});
    EXPECT_EQ(ReadAll(index), "<h1>good</h1>");
    EXPECT_EQ(CrackedCount(), 2);  // the first copy and the index
    const std::string listed = ReadAll(dir / (std::string("cracked/") + kCrackedIndexName));
    EXPECT_NE(listed.find(std::string(kNoCopyName) + "\tcreated\t"), std::string::npos) << listed;
    size_t lines = 0;
    for (char c : listed) lines += c == '\n';
    EXPECT_EQ(lines, 3u) << listed;  // a.php's copy, then two lines of files left uncopied

    EXPECT_EQ(UncopiedSummary(4, 2), Message(NoticeCode::kRemovedUncopiedSomeUnlisted,
                                             {std::string("4"), std::string("2")}));
    const std::string summary = Render(UncopiedSummary(4, 2));
    EXPECT_EQ(response.EndRun(), std::vector<Message>{UncopiedSummary(4, 2)});
    EXPECT_EQ(hooks.notices.back().text, UncopiedSummary(4, 2));
    EXPECT_NE(events.Joined().find(summary), std::string::npos);
    EXPECT_TRUE(response.EndRun().empty());
}

// A FIFO, socket or device put in a tree leaves it as a new file does: never opened, its index
// line saying what it was.
TEST_F(ResponseTest, NewSpecialEntriesLeaveWithAnIndexLineNeverOpened) {
    Archive();
    int opened = 0;
    const std::pair<const char*, mode_t> planted[] = {
        {"pipe", S_IFIFO}, {"sock", S_IFSOCK}, {"null", S_IFCHR}};
    for (const auto& [name, type] : planted) {
        const std::string path = tree / (std::string("www/") + name);
        ASSERT_EQ(::mknod(path.c_str(), type | 0666, type == S_IFCHR ? makedev(1, 3) : 0), 0);
        race.Before(
            Call::kOpenAt, name, [&opened] { ++opened; }, 0);
        EXPECT_TRUE(response.MoveToCracked(ChangeKind::kCreated, path, {})) << name;
        struct stat st {};
        EXPECT_EQ(::lstat(path.c_str(), &st), -1) << name;
    }
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(CrackedCount(), 1);  // the index alone
    const std::string listed = ReadAll(dir / (std::string("cracked/") + kCrackedIndexName));
    for (const char* type : {"\tentry=fifo", "\tentry=socket", "\tentry=char-device"}) {
        EXPECT_NE(listed.find(type), std::string::npos) << type << "\n" << listed;
    }
}

// Another process holds a write lease on the defaced page: the move waits for the lease to be
// broken instead of failing and leaving the page as it is.
TEST_F(ResponseTest, ALeasedFileIsStillReplaced) {
    Archive();
    tree.Write("www/index.html", "hacked");
    testing::HeldLease lease(index);
    if (!lease.held()) GTEST_SKIP() << "no leases on this file system";
    response.RespondToChange(ChangeKind::kAltered, index, {});
    EXPECT_TRUE(lease.broken());
    EXPECT_EQ(ReadAll(index), "<h1>good</h1>");
    EXPECT_EQ(ReadAll(dir / "cracked/2004-04-119-05-22index.html"), "hacked");
}

// One byte of the copy changes on its way to the disk: the copy is not the evidence, so it is
// removed, the move fails with a message, and the file stays as it was.
TEST_F(ResponseTest, ACopyDamagedOnItsWayIsDiscardedAndTheFileStays) {
    Archive();
    std::string content;
    for (int i = 0; i < 3000; ++i) content += "<?php evil(" + std::to_string(i) + ");\n";
    const std::string shell = tree.Write("www/shell.php", content);
    struct stat before {};
    ASSERT_EQ(::stat(shell.c_str(), &before), 0);
    faults.FlipWrittenByte("*/cracked/*shell.php", 20000);
    const bool moved = response.MoveToCracked(ChangeKind::kCreated, shell, {});
    EXPECT_GT(faults.MatchedCalls(Call::kWrite), 0);
    EXPECT_FALSE(moved);
    ASSERT_EQ(hooks.messages.size(), 1u);
    EXPECT_NE(hooks.messages[0].find(shell), std::string::npos) << hooks.messages[0];
    EXPECT_TRUE(hooks.notices[0].text.Has(NoticeCode::kCopyDiffers)) << hooks.messages[0];
    EXPECT_TRUE(ReadAll(shell) == content);
    struct stat after {};
    ASSERT_EQ(::stat(shell.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(CrackedCount(), 0);
}

// A device put at a new file's place just before the response opens it has no content to keep:
// it is never taken for the file, copied as empty and removed; it stays, and that is said.
TEST_F(ResponseTest, ADeviceSwappedInForAFileIsNeverQuarantinedAsIt) {
    if (::geteuid() != 0) GTEST_SKIP() << "devices are made as root";
    Archive();
    const std::string shell = tree.Write("www/shell.php", "<?php evil();");
    race.Before(Call::kOpenAt, "shell.php", [&] {
        ASSERT_EQ(::unlink(shell.c_str()), 0);
        ASSERT_EQ(::mknod(shell.c_str(), S_IFCHR | 0600, ::makedev(1, 3)), 0);  // as /dev/null
    });
    EXPECT_FALSE(response.MoveToCracked(ChangeKind::kCreated, shell, {}));
    EXPECT_EQ(race.Fired(), 1);
    struct stat st {};
    ASSERT_EQ(::lstat(shell.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    ASSERT_EQ(hooks.messages.size(), 1u);
    EXPECT_TRUE(hooks.notices[0].text.Has(NoticeCode::kSuspectNotRegular)) << hooks.messages[0];
}

// Another file put at the name once the tampered one is copied and verified, before it is
// removed: that file was never copied, so it is never removed; the copy stays.
TEST_F(ResponseTest, AFilePutBackAfterTheCopyIsNeverRemoved) {
    Archive();
    const std::string shell = tree.Write("www/shell.php", "<?php evil();");
    const std::string planted = tree.Write("planted.php", "<?php other();");
    race.After(Call::kFsync, "*/cracked/*shell.php",
               [&] { ASSERT_EQ(::rename(planted.c_str(), shell.c_str()), 0); });
    EXPECT_FALSE(response.MoveToCracked(ChangeKind::kCreated, shell, {}));
    EXPECT_EQ(race.Fired(), 1);
    EXPECT_EQ(ReadAll(shell), "<?php other();");
    EXPECT_EQ(ReadAll(dir / "cracked/2004-04-119-05-22shell.php"), "<?php evil();");
}

// The copy is complete and verified but the file cannot be removed: the message says where the
// copy is, and the copy stays, listed in the index.
TEST_F(ResponseTest, AFileThatCannotBeRemovedKeepsItsVerifiedCopy) {
    Archive();
    const std::string shell = tree.Write("www/shell.php", "<?php evil();");
    faults.Fail(Call::kUnlinkAt, EPERM, 0, "*/www/shell.php");
    const bool moved = response.MoveToCracked(ChangeKind::kCreated, shell, {});
    EXPECT_EQ(faults.MatchedCalls(Call::kUnlinkAt), 1);
    EXPECT_FALSE(moved);
    const std::string copy_name = "2004-04-119-05-22shell.php";
    const std::string copy = dir / ("cracked/" + copy_name);
    ASSERT_EQ(hooks.messages.size(), 1u);
    EXPECT_NE(hooks.messages[0].find(copy), std::string::npos) << hooks.messages[0];
    EXPECT_EQ(ReadAll(shell), "<?php evil();");
    EXPECT_EQ(ReadAll(copy), "<?php evil();");
    EXPECT_EQ(ReadAll(dir / (std::string("cracked/") + kCrackedIndexName))
                  .rfind(copy_name + "\tcreated\t2004/04/11 9:05:22\t" +
                             platform::Md5Hex("<?php evil();") + "\t" + shell + "\ttype=file\t",
                         0),
              0u);
}

// A page rewritten while its copy is made (each copy then differs from the file): the copy
// cannot match, yet the page still leaves the site and comes back, its digest and size listed.
TEST_F(ResponseTest, APageRewrittenDuringItsCopyStillComesBack) {
    Archive();
    tree.Write("www/index.html", "hacked");
    int round = 0;
    race.After(
        Call::kFsync, "*/cracked/*index.html",
        [&] { tree.Write("www/index.html", "hacked " + std::to_string(++round)); }, 0);
    response.RespondToChange(ChangeKind::kAltered, index, {});
    EXPECT_GE(race.Fired(), 1);
    EXPECT_EQ(ReadAll(index), "<h1>good</h1>");
    EXPECT_NE(
        ReadAll(dir / (std::string("cracked/") + kCrackedIndexName)).find("\t" + index + "\t"),
        std::string::npos);
}

}  // namespace
}  // namespace norv
