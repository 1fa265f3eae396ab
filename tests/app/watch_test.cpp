// norv-cli watch on real folders: a tampered file is back at once, a planted folder is caught,
// a lost event queue falls back to a full check, and SIGTERM in the middle of a burst leaves a
// sound store. Every wait is on a condition, with a deadline.

#include "tests/app/watch_fixture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <utility>

#include "platform/digest/fingerprint.h"
#include "platform/text/text_file.h"
#include "tests/support/cli_fixture.h"
#include "tests/support/file_attributes.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

// Beside their fixture, in norv::testing.
namespace norv::testing {
namespace {

TEST_F(WatchTest, ATamperedFileIsBackAndReportedOnceAndTheEvidenceKept) {
    tree.Write("index.html", "<h1>home</h1>");
    tree.Write("css/site.css", "body{}");
    tree.Write("js/app.js", "ok()");
    ArchiveAndInit();
    StartWatch();

    tree.Write("index.html", "<h1>defaced</h1>");
    ASSERT_TRUE(Eventually([&] {
        return ReadAll(tree / "index.html") == "<h1>home</h1>" &&
               Log().find("Altered: " + tree.path() + "/index.html\r\n") != std::string::npos;
    })) << Said()
        << Log();
    // A deleted file comes back too.
    ASSERT_EQ(::unlink((tree / "css/site.css").c_str()), 0);
    ASSERT_TRUE(Eventually([&] {
        return ReadAll(tree / "css/site.css") == "body{}" &&
               Log().find("Deleted: " + tree.path() + "/css/site.css\r\n") != std::string::npos;
    })) << Said()
        << Log();
    // Events are taken in order: once this later change is reported, any echo of norv's own
    // restores above would have been reported before it.
    tree.Write("js/app.js", "evil()");
    ASSERT_TRUE(Eventually([&] { return ReadAll(tree / "js/app.js") == "ok()"; })) << Said();
    ASSERT_TRUE(Eventually([&] { return Log().find("/js/app.js") != std::string::npos; }));
    const std::string log = Log();
    EXPECT_EQ(Count(log, "index.html"), 1u) << log;
    EXPECT_EQ(Count(log, "site.css"), 1u) << log;
    EXPECT_EQ(Count(Events(), "\"kind\":\"altered\""), 2u) << Events();
    // On fanotify each change names its writer: this test, which wrote them.
    if (Said().find(", fanotify)") != std::string::npos) {
        EXPECT_EQ(Count(Events(), "\"writer\":{\"pid\":" + std::to_string(::getpid()) + ","), 3u)
            << Events();
    }
    EXPECT_EQ(Count(Events(), "\"action\":\"restore\",\"path\":\"" + tree.path() +
                                  "/index.html\",\"outcome\":\"done\""),
              1u)
        << Events();
    // The tampered page is kept as evidence.
    EXPECT_NE(ReadAll(scratch / "cracked/cracked_index.txt").find(tree.path() + "/index.html"),
              std::string::npos);
    // A rename is put back: as one move, the very file renamed back, when the watch takes both
    // names in together (WatcherTest.APageRenamedIsOneMove); on a loaded machine it may take them
    // one by one, and then the page comes from the archive and the new name goes.
    ASSERT_EQ(::rename((tree / "js/app.js").c_str(), (tree / "js/moved.js").c_str()), 0);
    ASSERT_TRUE(Eventually([&] {
        const std::string events = Events();
        return ReadAll(tree / "js/app.js") == "ok()" &&
               ::access((tree / "js/moved.js").c_str(), F_OK) != 0 &&
               (events.find("\"kind\":\"moved\",\"path\":\"" + tree / "js/moved.js") !=
                    std::string::npos ||
                events.find("\"kind\":\"created\",\"path\":\"" + tree / "js/moved.js") !=
                    std::string::npos);
    })) << Said()
        << Events();
    Outcome ended = StopWatch();
    EXPECT_EQ(ended.exit_code, 0) << Said();
    EXPECT_NE(Said().find("リアルタイム監視を終了しました"), std::string::npos) << Said();
    // The burst ended with the watch: its summary is in the events.
    EXPECT_NE(Events().find("\"command\":\"watch\""), std::string::npos) << Events();
}

TEST_F(WatchTest, AnArchiveOlderThanTheBaselineIsRestoredOnceNotOverAndOver) {
    tree.Write("index.html", "archived version");
    tree.Write("other.html", "other");
    ASSERT_EQ(testing::RunCli(program, "archive", scratch / "archive.txt").exit_code, 0);
    // The baseline moves on, the archive does not: each restore brings back a file that differs
    // from the baseline.
    tree.Write("index.html", "baseline version");
    ASSERT_EQ(testing::RunCli(program, "init", scratch / "init.txt").exit_code, 0);
    StartWatch();
    tree.Write("index.html", "defaced");
    ASSERT_TRUE(Eventually([&] { return ReadAll(tree / "index.html") == "archived version"; }))
        << Said();
    // Events are taken in order: once a later change is reported, a second round on the first
    // file would have been reported before it.
    tree.Write("other.html", "changed");
    ASSERT_TRUE(Eventually([&] { return Log().find("/other.html") != std::string::npos; }))
        << Said();
    EXPECT_EQ(Count(Log(), "Altered: " + tree.path() + "/index.html"), 1u) << Log();
}

// A page rewritten every 50 ms is put back after each write, not left defaced while the watch
// waits for the writes to settle; and hidden behind a flood of new files, it goes first.
TEST_F(WatchTest, APageRewrittenWithoutPauseIsPutBackEachTime) {
    tree.Write("index.html", "<h1>home</h1>");
    ArchiveAndInit();
    StartWatch();
    const std::string restored =
        "\"action\":\"restore\",\"path\":\"" + tree.path() + "/index.html\",\"outcome\":\"done\"";
    for (int round = 0; round < 60; ++round) {
        testing::WriteAll(tree / "index.html", "<h1>defaced</h1>");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the attacker's pace
    }
    ASSERT_TRUE(Eventually([&] { return ReadAll(tree / "index.html") == "<h1>home</h1>"; }))
        << Said();
    EXPECT_GE(Count(Events(), restored), 10u) << Said();
}

// Every thread of `pid` is stopped.
bool AllStopped(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
        const std::string stat = ReadAll(task.path() / "stat");
        const size_t state = stat.rfind(") ");
        if (state == std::string::npos || stat[state + 2] != 'T') return false;
    }
    return true;
}

// A flood of new files and a defaced page, both in the kernel's queue before the watch takes
// either (it is stopped meanwhile): the page is back before the first new file is quarantined,
// however loaded the machine.
TEST_F(WatchTest, APageDefacedBehindAFloodOfNewFilesIsRestoredFirst) {
    tree.Write("site/index.html", "<h1>home</h1>");
    ArchiveAndInit();
    // Made before the watch starts: its events are not in the queue ahead of the two moves.
    const std::string flood = scratch.MakeDir("flood");
    for (int i = 0; i < 3000; ++i) testing::WriteAll(flood + "/f" + std::to_string(i), "x");
    testing::WriteAll(scratch / "defaced", "<h1>defaced</h1>");
    StartWatch();
    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    ASSERT_TRUE(Eventually([&] { return AllStopped(pid); }));
    ASSERT_EQ(::rename(flood.c_str(), (tree / "flood").c_str()), 0);
    ASSERT_EQ(::rename((scratch / "defaced").c_str(), (tree / "site/index.html").c_str()), 0);
    ASSERT_EQ(::kill(pid, SIGCONT), 0);
    const std::string restored =
        "\"action\":\"restore\",\"path\":\"" + tree.path() + "/site/index.html\"";
    // The tampered page itself is kept as evidence first; none of the flood before its restore.
    const std::string flood_quarantined =
        "\"action\":\"quarantine\",\"path\":\"" + tree.path() + "/flood/";
    ASSERT_TRUE(Eventually([&] {
        const std::string events = Events();
        return ReadAll(tree / "site/index.html") == "<h1>home</h1>" &&
               events.find(restored) != std::string::npos &&
               events.find(flood_quarantined) != std::string::npos;
    })) << Said();
    const std::string events = Events();
    EXPECT_LT(events.find(restored), events.find(flood_quarantined)) << Said();
}

// Whether `pid` has the file at `path` open.
bool HasOpen(pid_t pid, const std::string& path) {
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code error;
    for (const auto& fd : std::filesystem::directory_iterator(fds, error)) {
        if (std::filesystem::read_symlink(fd.path(), error) == path) return true;
    }
    return false;
}

// A 2 GiB sparse file planted by another user is hashed without its holes being read, and a
// page defaced while its digest runs is back before that digest is done.
TEST_F(WatchTest, APageDefacedWhileAPlantedSparseFileIsHashedIsBackFirst) {
    tree.Write("site/index.html", "<h1>home</h1>");
    ASSERT_EQ(::chmod(tree.path().c_str(), 0755), 0);
    ASSERT_EQ(::chown((tree / "site").c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod((tree / "site/index.html").c_str(), 0666), 0);
    ArchiveAndInit();
    StartWatch();
    const std::string sparse = tree / "site/planted.bin";
    ASSERT_EQ(testing::RunProcess({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                   "--clear-groups", "truncate", "-s", "2G", sparse},
                                  scratch / "truncate.txt")
                  .exit_code,
              0)
        << ReadAll(scratch / "truncate.txt");
    ASSERT_TRUE(Eventually([&] { return HasOpen(pid, sparse); })) << Said();
    ASSERT_EQ(
        testing::RunProcess({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                             "sh", "-c", "echo defaced > " + tree / "site/index.html"},
                            scratch / "deface.txt")
            .exit_code,
        0)
        << ReadAll(scratch / "deface.txt");
    const std::string restored =
        "\"action\":\"restore\",\"path\":\"" + tree.path() + "/site/index.html\"";
    const std::string planted = "\"path\":\"" + sparse + "\"";
    ASSERT_TRUE(Eventually([&] {
        return ReadAll(tree / "site/index.html") == "<h1>home</h1>" &&
               Events().find(restored) != std::string::npos;
    })) << Said();
    // Nothing about the planted file yet: its digest was still running when the page came back.
    const std::string events = Events();
    EXPECT_EQ(events.substr(0, events.find(restored)).find(planted), std::string::npos) << events;
}

// A change of mode, owner, group, capabilities or ACL comes as an attribute event alone: each is
// reported within 2 s with what changed, and the file is put back as recorded.
TEST_F(WatchTest, AnAttributeChangeAloneIsReportedWithinTwoSecondsAndPutBack) {
    if (::geteuid() != 0) GTEST_SKIP() << "owners and capabilities are root's to give";
    struct Attack {
        const char* name;
        const char* changed;
        std::function<bool(const std::string&)> apply;
    };
    const Attack attacks[] = {
        {"setuid.sh", "mode", [](const std::string& p) { return ::chmod(p.c_str(), 04777) == 0; }},
        {"owner.html", "owner",
         [](const std::string& p) {
             return ::chown(p.c_str(), 65534, static_cast<gid_t>(-1)) == 0;
         }},
        {"group.html", "group",
         [](const std::string& p) {
             return ::chown(p.c_str(), static_cast<uid_t>(-1), 65534) == 0;
         }},
        {"raw.bin", "capabilities",
         [](const std::string& p) { return testing::SetCapabilities(p, "cap_net_raw=ep"); }},
        {"shared.html", "acl",
         [](const std::string& p) {
             return testing::SetAcl(p, "u::rw-,u:65534:rw-,g::r--,m::r--,o::r--");
         }},
    };
    for (const Attack& attack : attacks) {
        const std::string path = tree.Write(attack.name, attack.name);
        ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    }
    ArchiveAndInit();
    StartWatch();
    for (const Attack& attack : attacks) {
        const std::string path = tree / attack.name;
        const std::string reported = "\"kind\":\"altered\",\"path\":\"" + path + "\"";
        const std::string what = "\"changed\":[\"" + std::string(attack.changed) + "\"]";
        ASSERT_TRUE(attack.apply(path)) << attack.name;
        const auto changed = Clock::now();
        ASSERT_TRUE(Eventually(
            [&] {
                const std::string events = Events();
                const size_t at = events.find(reported);
                return at != std::string::npos && events.find(what, at) < events.find('\n', at);
            },
            std::chrono::seconds(2)))
            << attack.name << ": " << Events() << Said();
        const auto took = Clock::now() - changed;
        // Put back as recorded, through the restore.
        ASSERT_TRUE(Eventually([&] {
            struct stat st {};
            return ::lstat(path.c_str(), &st) == 0 && (st.st_mode & 07777) == 0644 &&
                   st.st_uid == 0 && st.st_gid == 0 &&
                   testing::RawXattr(path, platform::kCapabilityXattr).empty() &&
                   testing::RawXattr(path, platform::kAclXattr).empty() &&
                   ReadAll(path) == attack.name;
        })) << attack.name;
        RecordProperty(
            std::string(attack.name) + "_ms",
            std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    }
    // Norv's own restores are not changes: the last event is the last restore.
    const std::string events = Events();
    EXPECT_EQ(Count(events, "\"kind\":\"altered\""), std::size(attacks)) << events;
}

TEST_F(WatchTest, AFolderPlantedWithFilesIsCaughtDownToItsDeepestFile) {
    tree.Write("index.html", "home");
    ArchiveAndInit();
    StartWatch();
    // Made elsewhere and moved in whole: its files were there before any watch could be set,
    // and only the listing made once the watch is set finds them.
    TempDir stage;
    for (int i = 0; i < 20; ++i) {
        stage.Write("up/l1/l2/l3/shell" + std::to_string(i) + ".php", "<?php system($_GET[c]);");
    }
    ASSERT_EQ(::rename((stage / "up").c_str(), (tree / "up").c_str()), 0);
    // The log's lines are written when the watch's step ends, after the files are taken out.
    auto created = [&](int i) {
        return "Created: " + tree.path() + "/up/l1/l2/l3/shell" + std::to_string(i) + ".php\r\n";
    };
    ASSERT_TRUE(Eventually([&] {
        const std::string log = Log();
        for (int i = 0; i < 20; ++i) {
            const std::string shell = "up/l1/l2/l3/shell" + std::to_string(i) + ".php";
            if (::access((tree / shell).c_str(), F_OK) == 0 || Count(log, created(i)) == 0) {
                return false;
            }
        }
        return true;
    })) << Said()
        << Log();
    for (int i = 0; i < 20; ++i) EXPECT_EQ(Count(Log(), created(i)), 1u);
    // The planted folders are watched now: a file written into one later is caught as well.
    tree.Write("up/l1/late.php", "<?php");
    ASSERT_TRUE(Eventually([&] { return ::access((tree / "up/l1/late.php").c_str(), F_OK) != 0; }))
        << Said() << Log();
}

TEST_F(WatchTest, AWatchedFolderMovedOutOfTheTreeIsPutBackByAFullCheck) {
    tree.Write("index.html", "home");
    tree.Write("css/site.css", "body{}");
    tree.Write("css/print/print.css", "@media print{}");
    ArchiveAndInit();
    StartWatch();
    // Its files leave without an event of their own: only the folder's move says so.
    TempDir elsewhere;
    ASSERT_EQ(::rename((tree / "css").c_str(), (elsewhere / "css").c_str()), 0);
    ASSERT_TRUE(Eventually([&] {
        return ReadAll(tree / "css/site.css") == "body{}" &&
               ReadAll(tree / "css/print/print.css") == "@media print{}";
    })) << Said();
    EXPECT_TRUE(Says("が移動されました")) << Said();
    // The folder put back is watched like the rest.
    tree.Write("css/print/print.css", "defaced");
    ASSERT_TRUE(Eventually([&] {
        return ReadAll(tree / "css/print/print.css") == "@media print{}";
    })) << Said();
}

TEST_F(WatchTest, ALostEventQueueFallsBackToAFullCheckThatFindsEverything) {
    const char* const queue_setting = "/proc/sys/fs/inotify/max_queued_events";
    long long limit = 0;
    std::ifstream(queue_setting) >> limit;
    if (limit <= 0 || limit > 200000) GTEST_SKIP() << "event queue limit " << limit;
    WriteSettings(/*restore=*/false);
    tree.Write("index.html", "home");
    ArchiveAndInit();
    // A watch keeps the queue size in force when it starts: as root, a short one for this watch
    // alone keeps the flood below short, and the setting goes back at once.
    struct Restore {
        const char* setting;
        long long value;
        ~Restore() {
            if (value > 0) std::ofstream(setting) << value;
        }
    } restore{queue_setting, 0};
    if (limit > 1000 && static_cast<bool>(std::ofstream(queue_setting) << 1000)) {
        restore.value = std::exchange(limit, 1000);
    }
    // The watch on fanotify has a queue of its own, set the same way; a kernel without the
    // setting has a fixed queue of 16384 events.
    const char* const fanotify_setting = "/proc/sys/fs/fanotify/max_queued_events";
    long long fanotify_limit = 16384;
    std::ifstream(fanotify_setting) >> fanotify_limit;
    Restore restore_fanotify{fanotify_setting, 0};
    if (fanotify_limit > 1000 && static_cast<bool>(std::ofstream(fanotify_setting) << 1000)) {
        restore_fanotify.value = std::exchange(fanotify_limit, 1000);
    }
    StartWatch();
    if (restore.value > 0) std::ofstream(queue_setting) << std::exchange(restore.value, 0);
    if (restore_fanotify.value > 0) {
        std::ofstream(fanotify_setting) << std::exchange(restore_fanotify.value, 0);
    }
    // The queue that overflows is the one of the watch that runs.
    if (Says("fanotify")) limit = fanotify_limit;
    if (limit > 200000) GTEST_SKIP() << "event queue limit " << limit;
    // Stopped, norv reads nothing; more changes than its queue holds make the kernel drop the
    // rest and say so.
    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    const long long files = limit + 1000;
    std::string name;
    for (long long i = 0; i < files; ++i) {
        name = tree / ("d" + std::to_string(i % 50) + "-f" + std::to_string(i));
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << name;
        ::close(fd);
    }
    ASSERT_EQ(::kill(pid, SIGCONT), 0);
    ASSERT_TRUE(Eventually([&] { return Says("全体を検査しました"); }))
        << files << " files past a queue of " << limit << "\n"
        << Said();
    EXPECT_TRUE(Says("一部が失われました")) << Said();
    // The full check's log names every new file, the last one included.
    ASSERT_TRUE(Eventually([&] {
        return Log().find("Created: " + name + "\r\n") != std::string::npos;
    })) << Said();
    EXPECT_NE(Said().find("新規作成 " + std::to_string(files)), std::string::npos) << Said();
}

TEST_F(WatchTest, AWatchLimitTooLowIsSaidWithTheValueToSetAndTheRestStillWatched) {
    // A user namespace of its own, whose watch limit only this watch feels.
    if (::system("unshare --user --map-root-user true >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "no user namespaces here";
    }
    for (int i = 0; i < 10; ++i) tree.Write("d" + std::to_string(i) + "/page.html", "page");
    tree.Write("index.html", "home");
    ArchiveAndInit();
    pid = testing::Spawn(
        {"/usr/bin/unshare", "--user", "--map-root-user", "sh", "-c",
         "echo 3 > /proc/sys/user/max_inotify_watches && exec \"$0\" --dir \"$1\" watch", binary,
         program},
        scratch / "watch.txt");
    ASSERT_TRUE(Eventually([&] { return Says("リアルタイム監視を開始しました"); })) << Said();
    // 11 folders, 3 watched: the other 8 are said, with the setting and a value that fits.
    EXPECT_TRUE(Says("8 個のフォルダをリアルタイムで監視できません")) << Said();
    EXPECT_TRUE(Says("fs.inotify.max_user_watches (今は 3) を 1037 以上にしてください")) << Said();
    // The folders that are watched are still protected at once.
    tree.Write("index.html", "defaced");
    ASSERT_TRUE(Eventually([&] { return ReadAll(tree / "index.html") == "home"; })) << Said();
}

TEST_F(WatchTest, AFolderThatCannotBeReadIsSaidWithItsCauseNotAsTheWatchLimit) {
    // A watch run by an ordinary user, in a tree where root keeps one folder to itself.
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand the folders to another user";
    const uid_t nobody = 65534;
    tree.Write("open/page.html", "page");
    tree.Write("locked/secret.html", "secret");
    for (const std::string& top : {scratch.path(), tree.path()}) {
        ASSERT_EQ(::chmod(top.c_str(), 0755), 0);
    }
    for (const std::string& path :
         {program, program + "/norvcfg.txt", program + "/user_rule.txt", scratch / "save",
          tree.path(), tree / "open", tree / "open/page.html"}) {
        ASSERT_EQ(::chown(path.c_str(), nobody, nobody), 0) << path;
    }
    ASSERT_EQ(::chmod((tree / "locked").c_str(), 0700), 0);
    pid = testing::Spawn({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                          binary, "--dir", program, "watch"},
                         scratch / "watch.txt");
    ASSERT_TRUE(Eventually([&] { return Says("リアルタイム監視を開始しました"); })) << Said();
    EXPECT_TRUE(Says(tree / "locked" + " を開けません: Permission denied")) << Said();
    EXPECT_FALSE(Says("max_user_watches")) << Said();
}

}  // namespace
}  // namespace norv::testing
