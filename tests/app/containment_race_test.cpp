// Containment while another process races norv: a real process of another user swaps folders
// for links and replaces files in a tight loop while norv walks, restores and watches.
#include <gtest/gtest.h>

#include "tests/app/containment_fixture.h"

namespace norv {
namespace {

class Racer {
  public:
    Racer(const std::string& helper, const std::string& inside, const std::string& spare,
          const std::string& outside, const std::string& out_file)
        : out_file_(out_file) {
        pid_ = Spawn({helper, "--uid", std::to_string(kNobody), "--gid", std::to_string(kNogroup),
                      "--relink", outside, inside, spare, "300"},
                     out_file);
    }
    // Moves `inside` to `away` and back, over and over.
    Racer(const std::string& helper, const std::string& inside, const std::string& away,
          const std::string& out_file)
        : out_file_(out_file) {
        pid_ = Spawn({helper, "--uid", std::to_string(kNobody), "--gid", std::to_string(kNogroup),
                      "--away", inside, away, "300"},
                     out_file);
    }
    // Replaces every entry of `folder` named `prefix`... with a file of its own (`own`).
    struct Plant {
        std::string prefix;
    };
    Racer(const std::string& helper, const Plant& plant, const std::string& folder,
          const std::string& own, const std::string& out_file)
        : out_file_(out_file) {
        pid_ = Spawn({helper, "--uid", std::to_string(kNobody), "--gid", std::to_string(kNogroup),
                      "--plant", plant.prefix, folder, own, "300"},
                     out_file);
    }
    ~Racer() { Stop(); }
    Racer(const Racer&) = delete;
    Racer& operator=(const Racer&) = delete;

    // True once the first exchange has happened.
    bool WaitStarted(seconds limit) {
        const auto deadline = SteadyClock::now() + limit;
        while (SteadyClock::now() < deadline) {
            if (ReadAll(out_file_).find("started\n") != std::string::npos) return true;
            if (pid_ <= 0 || ::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            Pause();
        }
        return false;
    }
    // Stops the racer; returns how many exchanges it made.
    unsigned long long Stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            Reap(pid_, SteadyClock::now() + seconds(10));
            pid_ = -1;
        }
        std::string report = ReadAll(out_file_);
        size_t at = report.find("swaps ");
        return at == std::string::npos ? 0 : std::strtoull(report.c_str() + at + 6, nullptr, 10);
    }
    std::string Report() const { return ReadAll(out_file_); }

  private:
    std::string out_file_;
    pid_t pid_ = -1;
};

class ContainmentRaceTest : public ContainmentTest {
  protected:
    void SetUp() override {
        ContainmentTest::SetUp();
        if (HasFatalFailure()) return;
        if (::geteuid() != 0) GTEST_SKIP() << "the races run as root, with the attacker as nobody";
        const char* helper = std::getenv("NORV_SWAP_RACE");
        ASSERT_NE(helper, nullptr) << "NORV_SWAP_RACE names the swap_race helper";
        racer_binary = helper;
        // The attacker must reach the folders it works in.
        ASSERT_EQ(::chmod(tree.path().c_str(), 0755), 0);
        ASSERT_EQ(::chmod(stage.path().c_str(), 0755), 0);
        ASSERT_EQ(::chown(stage.path().c_str(), kNobody, kNogroup), 0);
        ASSERT_EQ(::chmod(outside.path().c_str(), 0755), 0);
    }
    void GiveToAttacker(const std::string& path) {
        ASSERT_EQ(::lchown(path.c_str(), kNobody, kNogroup), 0) << path;
    }
    // The attacker's spare name: a link to the outside folder, ready to be swapped in.
    std::string SpareLink(const std::string& name) {
        std::string spare = stage / name;
        EXPECT_EQ(::symlink(outside.path().c_str(), spare.c_str()), 0);
        GiveToAttacker(spare);
        return spare;
    }

    // The protected files `name(i)` in site/a/b/c, root's, below folders the attacker owns (it
    // may move b); a root-owned outside folder laid out like b, so a way through the link
    // resolves; archived and recorded. The attacker's spare link to the outside is returned.
    std::string LayOutFilesBelowAnAttackersFolder(int files,
                                                  const std::function<std::string(int)>& name) {
        tree.Write("site/index.html", "<h1>home</h1>");
        for (int i = 0; i < files; ++i) {
            tree.Write("site/a/b/c/" + name(i), "protected " + std::to_string(i));
        }
        GiveToAttacker(tree / "site/a");
        GiveToAttacker(tree / "site/a/b");
        for (int i = 0; i < files; ++i) {
            outside.Write("c/" + name(i), "outside root file " + std::to_string(i));
        }
        outside.Write("c/passwd", "root:x:0:0::/root:/bin/sh\n");
        outside.Write("keep.txt", "outside keep");
        const std::string spare = SpareLink("b");
        Rules({{tree / "site", 3}});
        ArchiveAndInit();
        return spare;
    }

    std::string racer_binary;
    TempDir outside;  // must never change
    TempDir stage;    // the attacker's own folder, outside every rule
};

TEST_F(ContainmentRaceTest, AWalkRacingAFolderSwappedForALinkNeverTouchesTheOutside) {
    // Thousands of files for the walk to get through, some in the same folder as the target.
    for (int i = 0; i < 2000; ++i) {
        tree.Write("bulk/d" + std::to_string(i % 10) + "/f" + std::to_string(i),
                   "bulk " + std::to_string(i));
    }
    for (int i = 0; i < 200; ++i) tree.Write("up/page" + std::to_string(i) + ".html", "page");
    for (int i = 0; i < 20; ++i)
        tree.Write("up/x/f" + std::to_string(i), "inside " + std::to_string(i));
    for (int i = 0; i < 5; ++i) tree.Write("up/x/sub/g" + std::to_string(i), "inside sub");
    GiveToAttacker(tree / "up");
    GiveToAttacker(tree / "up/x");
    // The outside: the same names as x with other contents (each a change to the baseline if
    // reached), names of its own, and owners and modes worth keeping.
    for (int i = 0; i < 20; ++i) {
        outside.Write("f" + std::to_string(i), "outside secret " + std::to_string(i));
    }
    for (int i = 0; i < 5; ++i) outside.Write("sub/g" + std::to_string(i), "outside sub secret");
    for (int i = 0; i < 10; ++i) {
        std::string p = outside.Write("secret" + std::to_string(i) + ".key",
                                      "outside key " + std::to_string(i));
        ASSERT_EQ(::chmod(p.c_str(), 0600), 0);
    }
    ASSERT_EQ(::chown((outside / "f0").c_str(), 33, 33), 0);
    const std::string spare = SpareLink("x");
    Rules({{tree.path(), 3}});
    ASSERT_NO_FATAL_FAILURE(ArchiveAndInit());
    const auto before = Snapshot(outside.path());

    Racer racer(racer_binary, tree / "up/x", spare, outside.path(), scratch / "racer.txt");
    ASSERT_TRUE(racer.WaitStarted(seconds(10))) << racer.Report();
    int checks = 0;
    bool raced = false;
    const auto deadline = SteadyClock::now() + seconds(40);
    for (; checks < 100 && SteadyClock::now() < deadline; ++checks) {
        // Every other check opens and reads its files one by one, the others in io_uring
        // batches where the kernel offers them.
        ::setenv("NORV_IO", checks % 2 ? "plain" : "uring", 1);
        Outcome check = Run("check", seconds(60));
        ASSERT_FALSE(check.timed_out) << "check " << checks << " never ended";
        ASSERT_NE(check.exit_code, -1) << "check " << checks << " crashed: " << check.out;
        // Whichever way the walk met x (a folder, a link, gone), some change names it.
        if (Log().find(tree / "up/x") != std::string::npos) raced = true;
    }
    ::unsetenv("NORV_IO");
    const auto swaps = racer.Stop();
    RecordProperty("checks", checks);
    RecordProperty("swaps", std::to_string(swaps));

    EXPECT_GT(swaps, 0u) << racer.Report();
    EXPECT_GE(checks, 20) << "too few checks in the time allowed";
    EXPECT_TRUE(raced) << "no check ever met the swapped folder";
    EXPECT_EQ(Differences(before, Snapshot(outside.path())), "") << "after " << checks << " checks";
    std::string taken;
    for (const auto& file : RegularFilesBelow(cracked)) {
        if (file.content.rfind("outside ", 0) == 0) taken += FileNameOf(file.path) + "\n";
    }
    EXPECT_EQ(taken, "") << "files of the outside folder in the cracked folder";
}

TEST_F(ContainmentRaceTest, AnInitRacingAFolderMovedAwayAndBackNeverDropsItInSilence) {
    for (int i = 0; i < 300; ++i) tree.Write("bulk/f" + std::to_string(i), "bulk");
    for (int i = 0; i < 50; ++i)
        tree.Write("up/x/f" + std::to_string(i), "kept " + std::to_string(i));
    GiveToAttacker(tree / "up");
    GiveToAttacker(tree / "up/x");
    Rules({{tree.path(), 3}});
    ASSERT_NO_FATAL_FAILURE(ArchiveAndInit());
    // Each round: an init while x is moved away and back, then a check with x in place. An init
    // that met x gone keeps x's baseline (exit 3, nothing new after it); one that saw no x at
    // all, twice, says it dropped x's files; one that saw x whole leaves a clean check.
    bool kept = false;
    const auto deadline = SteadyClock::now() + seconds(60);
    for (int round = 0; round < 40 && !kept && SteadyClock::now() < deadline; ++round) {
        // Away into the attacker's own folder, outside every rule.
        Racer racer(racer_binary, tree / "up/x", stage / "y", scratch / "racer.txt");
        ASSERT_TRUE(racer.WaitStarted(seconds(10))) << racer.Report();
        Outcome init = Run("init");
        racer.Stop();
        if (::access((tree / "up/x").c_str(), F_OK) != 0) {
            ASSERT_EQ(::rename((stage / "y").c_str(), (tree / "up/x").c_str()), 0);
        }
        ASSERT_NE(init.exit_code, 2) << init.out;
        const std::string init_log = Log();
        kept = init.exit_code == 3;
        const bool said = init_log.find("Warning: " + (tree / "up/x/")) != std::string::npos;
        EXPECT_EQ(kept, init_log.find("検査できません") != std::string::npos) << init_log;
        Outcome check = Run("check");
        if (kept || !said) {
            EXPECT_EQ(check.exit_code, 0) << "round " << round << ": " << check.out << Log();
        }
    }
    EXPECT_TRUE(kept) << "no init met the moved folder gone";
}

TEST_F(ContainmentRaceTest, RestoresRacingAFolderSwappedForALinkNeverWriteOutside) {
    constexpr int kFiles = 16;
    auto name = [](int i) { return "r" + std::to_string(i) + ".dat"; };
    std::string spare;
    ASSERT_NO_FATAL_FAILURE(spare = LayOutFilesBelowAnAttackersFolder(kFiles, name));
    const auto before = Snapshot(outside.path());
    // The test tampers through a descriptor of the real c, which follows it wherever the racer
    // has put b: the test's own writes never pass through the link.
    Fd c(::open((tree / "site/a/b/c").c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_GE(c.fd, 0);

    Racer racer(racer_binary, tree / "site/a/b", spare, outside.path(), scratch / "racer.txt");
    ASSERT_TRUE(racer.WaitStarted(seconds(10))) << racer.Report();
    const std::string prefix = tree / "site/a/b/c/";
    int restores = 0;
    int rounds = 0;
    const auto deadline = SteadyClock::now() + seconds(30);
    for (; restores < 400 && rounds < 60 && SteadyClock::now() < deadline; ++rounds) {
        for (int i = 0; i < kFiles; ++i) {
            if ((i + rounds) % 2 == 0) {
                ASSERT_TRUE(WriteAt(c.fd, name(i), "tampered in round " + std::to_string(rounds)));
            } else {
                ::unlinkat(c.fd, name(i).c_str(), 0);
            }
        }
        Outcome check = Run("check", seconds(60));
        ASSERT_FALSE(check.timed_out) << "round " << rounds << " never ended";
        ASSERT_NE(check.exit_code, -1) << "round " << rounds << " crashed: " << check.out;
        for (const std::string& line : LogLines(Log())) {
            // Each altered or deleted protected file is a restore (after the move, if altered).
            if (line.rfind("Altered: " + prefix, 0) == 0 ||
                line.rfind("Deleted: " + prefix, 0) == 0)
                ++restores;
        }
    }
    const auto swaps = racer.Stop();
    RecordProperty("restores", restores);
    RecordProperty("rounds", rounds);
    RecordProperty("swaps", std::to_string(swaps));

    EXPECT_GT(swaps, 0u) << racer.Report();
    EXPECT_GE(restores, 100) << "too few restores in " << rounds << " rounds";
    EXPECT_EQ(Differences(before, Snapshot(outside.path())), "")
        << "after " << restores << " restores in " << rounds << " rounds";
    std::string left;
    for (const auto& [path, facts] : Snapshot(outside.path())) {
        if (path.find(".norv-restore-") != std::string::npos) left += path + "\n";
    }
    EXPECT_EQ(left, "") << "restore temporary files left in the outside folder";
}

// An attacker who can write a page's folder replaces every temporary file a restore makes there
// with a file of its own, as fast as it can, while checks restore a page and a link in it. Each
// check leaves the archived page and link in place, or reports their restore failed: the
// attacker's file is never put in their place and reported restored.
TEST_F(ContainmentRaceTest,
       RestoresRacingAnAttackerWhoReplacesTheirFilesNeverReportItsFileRestored) {
    const std::string page = tree.Write("site/page.html", "<h1>archived</h1>");
    ASSERT_EQ(::chmod(page.c_str(), 0640), 0);
    const std::string link = tree / "site/link";
    ASSERT_EQ(::symlink("page.html", link.c_str()), 0);
    ASSERT_EQ(::chmod((tree / "site").c_str(), 0777), 0);
    Rules({{tree / "site", 3}});
    ASSERT_NO_FATAL_FAILURE(ArchiveAndInit());

    Racer racer(racer_binary, Racer::Plant{".norv-restore-"}, tree / "site", stage / "own",
                scratch / "racer.txt");
    ASSERT_TRUE(racer.WaitStarted(seconds(10))) << racer.Report();
    int restored = 0;
    int rounds = 0;
    const auto deadline = SteadyClock::now() + seconds(40);
    for (; rounds < 30 && SteadyClock::now() < deadline; ++rounds) {
        ::unlink(page.c_str());
        tree.Write("site/page.html", "tampered in round " + std::to_string(rounds));
        ::unlink(link.c_str());
        ASSERT_EQ(::symlink("/etc/shadow", link.c_str()), 0);
        Outcome check = Run("check", seconds(60));
        ASSERT_FALSE(check.timed_out) << "round " << rounds << " never ended";
        ASSERT_NE(check.exit_code, -1) << "round " << rounds << " crashed: " << check.out;
        const std::vector<std::string> lines = LogLines(Log());
        auto warned = [&](const std::string& path) {
            return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
                return line.rfind("Warning: ", 0) == 0 && line.find(path) != std::string::npos;
            });
        };
        struct stat st {};
        const bool page_back = ::lstat(page.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                               ReadAll(page) == "<h1>archived</h1>";
        char target[PATH_MAX];
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
        const bool link_back = n > 0 && std::string(target, static_cast<size_t>(n)) == "page.html";
        EXPECT_TRUE(page_back || warned(page)) << "round " << rounds << ": " << ReadAll(page);
        EXPECT_TRUE(link_back || warned(link)) << "round " << rounds;
        if (page_back && link_back) ++restored;
    }
    const auto plants = racer.Stop();
    RecordProperty("rounds", rounds);
    RecordProperty("restored", restored);
    RecordProperty("plants", std::to_string(plants));
    EXPECT_GE(rounds, 10) << "too few checks in the time allowed";
    EXPECT_GT(restored, 0) << "no check ever restored both";
}

TEST_F(ContainmentRaceTest, TheWatchRacingAFolderSwappedForALinkNeverWritesOutside) {
    constexpr int kFiles = 16;
    auto name = [](int i) { return "w" + std::to_string(i) + ".dat"; };
    std::string spare;
    ASSERT_NO_FATAL_FAILURE(spare = LayOutFilesBelowAnAttackersFolder(kFiles, name));
    const auto before = Snapshot(outside.path());
    Fd c(::open((tree / "site/a/b/c").c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_GE(c.fd, 0);

    pid_t watch = Spawn({binary, "--dir", program.path(), "watch"}, scratch / "watch.txt");
    const auto started_by = SteadyClock::now() + seconds(60);
    while (ReadAll(scratch / "watch.txt").find("リアルタイム監視を開始しました") ==
           std::string::npos) {
        ASSERT_LT(SteadyClock::now(), started_by) << ReadAll(scratch / "watch.txt");
        Pause();
    }
    auto restores = [&] {
        const std::string events = ReadAll(program / "norv-events.jsonl");
        size_t n = 0;
        const std::string done =
            "\"action\":\"restore\",\"path\":\"" + tree.path() + "/site/a/b/c/";
        for (size_t at = events.find(done); at != std::string::npos;
             at = events.find(done, at + 1)) {
            ++n;
        }
        return n;
    };
    Racer racer(racer_binary, tree / "site/a/b", spare, outside.path(), scratch / "racer.txt");
    ASSERT_TRUE(racer.WaitStarted(seconds(10))) << racer.Report();
    int rounds = 0;
    const auto deadline = SteadyClock::now() + seconds(25);
    for (; restores() < 200 && rounds < 200 && SteadyClock::now() < deadline; ++rounds) {
        const size_t seen = restores();
        for (int i = 0; i < kFiles; ++i) {
            if ((i + rounds) % 2 == 0) {
                ASSERT_TRUE(WriteAt(c.fd, name(i), "tampered in round " + std::to_string(rounds)));
            } else {
                ::unlinkat(c.fd, name(i).c_str(), 0);
            }
        }
        // The watch answers the round (or the round's time is up) before the next one.
        const auto round_end = SteadyClock::now() + seconds(3);
        while (restores() == seen && SteadyClock::now() < round_end) Pause();
    }
    const auto swaps = racer.Stop();
    ::kill(watch, SIGTERM);
    Outcome ended = Reap(watch, SteadyClock::now() + seconds(30));
    RecordProperty("restores", std::to_string(restores()));
    RecordProperty("rounds", rounds);
    RecordProperty("swaps", std::to_string(swaps));

    EXPECT_EQ(ended.exit_code, 0) << ReadAll(scratch / "watch.txt");
    EXPECT_GT(swaps, 0u) << racer.Report();
    EXPECT_GE(restores(), 50u) << "too few restores in " << rounds << " rounds";
    EXPECT_EQ(Differences(before, Snapshot(outside.path())), "")
        << "after " << restores() << " restores in " << rounds << " rounds";
    std::string taken;
    for (const auto& file : RegularFilesBelow(cracked)) {
        if (file.content.rfind("outside ", 0) == 0) taken += FileNameOf(file.path) + "\n";
    }
    EXPECT_EQ(taken, "") << "files of the outside folder in the cracked folder";
}

}  // namespace
}  // namespace norv
