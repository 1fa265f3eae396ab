// A folder put at a page's place, taken out into the cracked folder and secured there.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/base/notice_code.h"
#include "response/change_response.h"
#include "tests/response/response_fixture.h"
#include "tests/support/test_support.h"

namespace norv {
namespace {

using testing::Call;
using testing::ReadAll;

// A folder another user put at a page's place, keeping descriptors into it: once taken out,
// nothing in the cracked folder is theirs or writable through what they kept, every item has
// its index line, and the evidence holds what the folder held. A real process of `nobody` tries.
TEST_F(ResponseTest, AFolderTakenOutIsRootsWhateverDescriptorsItsOwnerKept) {
    Archive();
    ASSERT_EQ(::chmod(tree.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod((tree / "www").c_str(), 0777), 0);
    ASSERT_EQ(::unlink(index.c_str()), 0);
    int ready[2];
    int go[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(go), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        // As nobody: plants the folder, keeps descriptors into it, and once it is taken out
        // tries to write there; the exit status has a bit for each try that got through.
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(100);
        }
        const std::string sub = index + "/sub";
        if (::mkdir(index.c_str(), 0777) != 0 || ::mkdir(sub.c_str(), 0777) != 0) ::_exit(101);
        const int shell = ::open((index + "/shell.php").c_str(), O_RDWR | O_CREAT, 0666);
        const int inner = ::open((sub + "/x.php").c_str(), O_RDWR | O_CREAT, 0666);
        const int folder = ::open(index.c_str(), O_RDONLY | O_DIRECTORY);
        const int subfolder = ::open(sub.c_str(), O_RDONLY | O_DIRECTORY);
        if (shell < 0 || inner < 0 || folder < 0 || subfolder < 0 ||
            ::write(shell, "evil", 4) != 4 || ::write(inner, "x", 1) != 1) {
            ::_exit(102);
        }
        char c = 'r';
        if (::write(ready[1], &c, 1) != 1 || ::read(go[0], &c, 1) != 1) ::_exit(103);
        int through = 0;
        if (::openat(folder, "new.php", O_WRONLY | O_CREAT, 0666) >= 0) through |= 1;
        if (::openat(subfolder, "new.php", O_WRONLY | O_CREAT, 0666) >= 0) through |= 2;
        if (::mkdirat(folder, "more", 0777) == 0) through |= 4;
        if (::renameat(subfolder, "x.php", folder, "y.php") == 0) through |= 8;
        if (::fchmod(folder, 0777) == 0) through |= 16;
        // Writing to the files it kept open may succeed: it must not reach the evidence.
        (void)!::pwrite(shell, "REWRITTEN", 9, 0);
        (void)!::pwrite(inner, "REWRITTEN", 9, 0);
        ::_exit(through);
    }
    ASSERT_GT(child, 0);
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    response.RespondToChange(ChangeKind::kDeleted, index, {});
    EXPECT_EQ(ReadAll(index), "<h1>good</h1>");
    ASSERT_EQ(::write(go[1], &c, 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    const std::string taken = dir / "cracked/2004-04-119-05-22index.html";
    for (const std::string& item : {taken, taken + "/sub"}) {
        struct stat st {};
        ASSERT_EQ(::lstat(item.c_str(), &st), 0) << item;
        EXPECT_EQ(st.st_uid, 0u) << item;
        EXPECT_EQ(st.st_mode & 07777, 0700u) << item;
    }
    for (const std::string& item : {taken + "/shell.php", taken + "/sub/x.php"}) {
        struct stat st {};
        ASSERT_EQ(::lstat(item.c_str(), &st), 0) << item;
        EXPECT_EQ(st.st_uid, 0u) << item;
        EXPECT_EQ(st.st_mode & 07777, 0600u) << item;
    }
    EXPECT_EQ(ReadAll(taken + "/shell.php"), "evil");
    EXPECT_EQ(ReadAll(taken + "/sub/x.php"), "x");
    EXPECT_EQ(testing::CountEntries(taken), 2);
    const std::string listed = ReadAll(dir / (std::string("cracked/") + kCrackedIndexName));
    for (const char* item :
         {"index.html\t", "index.html/shell.php\t", "index.html/sub\t", "index.html/sub/x.php\t"}) {
        EXPECT_NE(listed.find(std::string("2004-04-119-05-22") + item), std::string::npos)
            << item << "\n"
            << listed;
    }
    EXPECT_NE(listed.find(index + "/sub/x.php"), std::string::npos) << listed;
    // The folders' lines say who made them, not the root's they were made into.
    for (const char* folder : {"index.html\t", "index.html/sub\t"}) {
        const size_t at = listed.find(std::string("2004-04-119-05-22") + folder);
        ASSERT_NE(at, std::string::npos) << folder;
        EXPECT_NE(listed.substr(at, listed.find('\n', at) - at).find("\towner=65534\t"),
                  std::string::npos)
            << listed;
    }
}

// Past the items and levels a taken-out folder is secured to, the rest stays as it was moved,
// and the index and the messages say so.
TEST_F(ResponseTest, ATakenOutFolderIsSecuredWithinItsBounds) {
    Archive();
    QuarantineBounds bounds;
    bounds.most_taken_entries = 4;
    bounds.most_taken_depth = 2;
    response.SetBounds(bounds);
    ASSERT_EQ(::unlink(index.c_str()), 0);
    tree.Write("www/index.html/a/b/c/deep.php", "deep");
    for (const char* name : {"f1", "f2", "f3", "f4"}) {
        tree.Write(std::string("www/index.html/") + name, name);
    }
    response.RespondToChange(ChangeKind::kDeleted, index, {});
    EXPECT_EQ(ReadAll(index), "<h1>good</h1>");
    ASSERT_FALSE(hooks.notices.empty());
    const Message& left = hooks.notices.back().text;
    ASSERT_EQ(left.code(), NoticeCode::kTakenFolderPartsLeft) << hooks.messages.back();
    EXPECT_EQ(left.args()[2], Message(std::string("4")));  // the bounds said: 4 items, 2 levels
    EXPECT_EQ(left.args()[3], Message(std::string("2")));
    const std::string listed = ReadAll(dir / (std::string("cracked/") + kCrackedIndexName));
    size_t lines = 0;
    for (char ch : listed) lines += ch == '\n';
    EXPECT_LE(lines, 6u) << listed;  // the bound's items, and the notes of what lies past it
    EXPECT_NE(listed.find("note="), std::string::npos) << listed;

    // A narrow folder deeper than the levels: what lies below them stays, said so.
    bounds.most_taken_entries = 100;
    response.SetBounds(bounds);
    ASSERT_EQ(::unlink(index.c_str()), 0);
    tree.Write("www/index.html/a/b/c/deep.php", "deep");
    hooks.messages.clear();
    hooks.notices.clear();
    response.RespondToChange(ChangeKind::kDeleted, index, {});
    EXPECT_EQ(ReadAll(index), "<h1>good</h1>");
    ASSERT_EQ(hooks.notices.size(), 1u);
    ASSERT_EQ(hooks.notices[0].text.code(), NoticeCode::kTakenFolderPartsLeft) << hooks.messages[0];
    EXPECT_EQ(hooks.notices[0].text.args()[1],
              Message(std::string("1")));  // one place left as moved
    EXPECT_NE(ReadAll(dir / (std::string("cracked/") + kCrackedIndexName))
                  .find(std::string("note=") + cracked_index::kTooDeepNote),
              std::string::npos);
}

// A folder of another user's at the page's place: `items` (relative to the site's folder, the
// folders before what they hold) are made, then every one is given to nobody, writable by all,
// as its owner could have left it.
void PlantFolder(testing::TempDir& tree, const std::vector<std::string>& items) {
    for (const std::string& item : items) {
        const std::string path = tree / ("www/index.html/" + item);
        if (item.back() == '/') {
            ASSERT_EQ(::mkdir(path.c_str(), 0777), 0) << path;
        } else {
            tree.Write("www/index.html/" + item, item);
        }
    }
    for (std::string item : items) {
        const std::string path = tree / ("www/index.html/" + item);
        ASSERT_EQ(::lchown(path.c_str(), 65534, 65534), 0) << path;
        ASSERT_EQ(::chmod(path.c_str(), item.back() == '/' ? 0777 : 0666), 0) << path;
    }
}

// The folder the test's clock names in the cracked folder for the page's folder taken out.
std::string TakenPath(testing::TempDir& dir, const std::string& item = "") {
    return dir / ("cracked/2004-04-119-05-22index.html" + (item.empty() ? "" : "/" + item));
}

uid_t OwnerOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_uid;
}

// The bound counts the items gone through at every level together: a folder listed before the
// level below it used the bound up is left as it was moved, not made root's past the bound.
TEST_F(ResponseTest, NoMoreItemsOfATakenOutFolderAreGoneThroughThanItsBound) {
    Archive();
    QuarantineBounds bounds;
    bounds.most_taken_entries = 4;
    response.SetBounds(bounds);
    ASSERT_EQ(::unlink(index.c_str()), 0);
    ASSERT_EQ(::mkdir(index.c_str(), 0777), 0);
    PlantFolder(tree, {"s1/", "s1/a", "s1/b", "s1/c", "s2/", "s2/a", "s2/b", "s2/c"});
    ASSERT_EQ(::lchown(index.c_str(), 65534, 65534), 0);
    response.RespondToChange(ChangeKind::kDeleted, index, {});
    EXPECT_EQ(ReadAll(index), "<h1>good</h1>");
    int roots = OwnerOf(TakenPath(dir)) == 0;
    for (const char* item : {"s1", "s1/a", "s1/b", "s1/c", "s2", "s2/a", "s2/b", "s2/c"}) {
        roots += OwnerOf(TakenPath(dir, item)) == 0;
    }
    EXPECT_EQ(roots, bounds.most_taken_entries);
}

// A folder at the deepest level is not listed, but made root's and owner-only like those above
// it: nothing can be added to it through a descriptor its owner kept.
TEST_F(ResponseTest, TheDeepestFolderTakenOutIsRootsButNotListed) {
    Archive();
    QuarantineBounds bounds;
    bounds.most_taken_depth = 1;
    response.SetBounds(bounds);
    ASSERT_EQ(::unlink(index.c_str()), 0);
    ASSERT_EQ(::mkdir(index.c_str(), 0777), 0);
    PlantFolder(tree, {"deep/", "deep/x.php"});
    response.RespondToChange(ChangeKind::kDeleted, index, {});
    EXPECT_EQ(ReadAll(index), "<h1>good</h1>");
    struct stat st {};
    ASSERT_EQ(::lstat(TakenPath(dir, "deep").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(OwnerOf(TakenPath(dir, "deep/x.php")), 65534u);  // not looked into
}

// An item that could not be looked at, or could not go, stays as it was moved: each is counted
// in the message, and the index claims nothing about an item it never saw.
TEST_F(ResponseTest, EveryItemLeftInATakenOutFolderIsCountedAndNeverMisdescribed) {
    Archive();
    ASSERT_EQ(::unlink(index.c_str()), 0);
    ASSERT_EQ(::mkdir(index.c_str(), 0777), 0);
    tree.Write("www/index.html/shell.php", "evil");
    ASSERT_EQ(::mkfifo((index + "/pipe").c_str(), 0666), 0);
    faults.Fail(Call::kFStatAt, EIO, 0, "shell.php");
    faults.Fail(Call::kUnlinkAt, EPERM, 0, "pipe");
    response.RespondToChange(ChangeKind::kDeleted, index, {});
    EXPECT_EQ(ReadAll(index), "<h1>good</h1>");
    ASSERT_FALSE(hooks.notices.empty());
    ASSERT_EQ(hooks.notices.back().text.code(), NoticeCode::kTakenFolderPartsLeft)
        << hooks.messages.back();
    EXPECT_EQ(hooks.notices.back().text.args()[1], Message(std::string("2")));
    const std::string listed = ReadAll(dir / (std::string("cracked/") + kCrackedIndexName));
    const size_t line = listed.find("index.html/shell.php\t");
    ASSERT_NE(line, std::string::npos) << listed;
    const std::string shell = listed.substr(line, listed.find('\n', line) - line);
    EXPECT_NE(shell.find("\ttype=?\tmode=?\towner=?\tgroup=?"), std::string::npos) << shell;
}

// Past the run's copies a file in a folder taken out is already off the site: it is evidence
// kept as it is, root's and owner-only, and the run's end counts it.
TEST_F(ResponseTest, PastTheCopyBoundAFileInATakenOutFolderIsKeptRoots) {
    Archive();
    QuarantineBounds bounds;
    bounds.most_copies = 0;
    response.SetBounds(bounds);
    response.BeginRun();
    ASSERT_EQ(::unlink(index.c_str()), 0);
    ASSERT_EQ(::mkdir(index.c_str(), 0777), 0);
    PlantFolder(tree, {"shell.php"});
    response.RespondToChange(ChangeKind::kDeleted, index, {});
    EXPECT_EQ(ReadAll(index), "<h1>good</h1>");
    const std::string kept = TakenPath(dir, "shell.php");
    EXPECT_EQ(ReadAll(kept), "shell.php");
    struct stat st {};
    ASSERT_EQ(::lstat(kept.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(UncopiedSummary(0, 0, 1),
              Message(NoticeCode::kTakenFilesKeptUncopied, {std::string("1")}));
    EXPECT_EQ(response.EndRun(), std::vector<std::string>{Render(UncopiedSummary(0, 0, 1))});
}

// The index is opened once for a folder taken out, not once for each of its items.
TEST_F(ResponseTest, TheIndexIsOpenedOncePerTakenOutFolder) {
    Archive();
    ASSERT_EQ(::unlink(index.c_str()), 0);
    for (const char* name : {"a", "b", "c"}) tree.Write(std::string("www/index.html/") + name, "x");
    int opened = 0;
    race.Before(
        Call::kOpenAt, kCrackedIndexName, [&opened] { ++opened; }, 0);
    response.RespondToChange(ChangeKind::kDeleted, index, {});
    EXPECT_EQ(ReadAll(index), "<h1>good</h1>");
    EXPECT_EQ(opened, 1);
}

}  // namespace
}  // namespace norv
