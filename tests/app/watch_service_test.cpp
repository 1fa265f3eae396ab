// norv-cli watch as a service would run it: a burst cut by SIGTERM leaves a sound store, a burst
// sends one mail, the service watches between its timed checks, and a deploy runs through the
// watch. Every wait is on a condition, with a deadline.

#include "tests/app/watch_fixture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "platform/digest/fingerprint.h"
#include "tests/support/cli_fixture.h"
#include "tests/support/file_attributes.h"
#include "tests/support/process.h"
#include "tests/support/smtp_fixture.h"
#include "tests/support/test_support.h"

// Beside their fixture, in norv::testing.
namespace norv::testing {
namespace {

TEST_F(WatchTest, TermInTheMiddleOfABurstLeavesASoundStore) {
    WriteSettings(/*restore=*/false);
    tree.Write("index.html", "home");
    ArchiveAndInit();
    StartWatch();
    constexpr int kFiles = 5000;
    for (int i = 0; i < kFiles; ++i) tree.Write("burst/f" + std::to_string(i), "new");
    // The burst is under way once its first change is in the log.
    ASSERT_TRUE(Eventually([&] { return Log().find("Created: ") != std::string::npos; })) << Said();
    Outcome ended = StopWatch();
    EXPECT_EQ(ended.exit_code, 0) << Said();
    EXPECT_EQ(testing::StoreIntegrity(program + "/norv.db"), "ok");
    // The next check sees every file once, whatever the watch reached.
    Outcome next = testing::RunCli(program, "check", scratch / "check.txt");
    EXPECT_EQ(next.exit_code, 1) << next.out;
    EXPECT_NE(next.out.find("検査数 " + std::to_string(kFiles + 1) + "  変更 0  新規作成 " +
                            std::to_string(kFiles) + "  削除 0"),
              std::string::npos)
        << next.out;
}

TEST_F(WatchTest, ABurstOfChangesSendsOneMail) {
    testing::SmtpServer smtp;
    ASSERT_TRUE(smtp.started());
    WriteSettings(/*restore=*/false, " 1 ", smtp.address());
    for (int i = 0; i < 500; ++i) tree.Write("site/p" + std::to_string(i) + ".html", "v1");
    ArchiveAndInit();
    StartWatch();
    // A deploy of 500 files, its events queued while the watch is stopped, so that a loaded
    // machine pausing the writer between two of them cannot split the burst.
    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    for (int i = 0; i < 500; ++i) tree.Write("site/p" + std::to_string(i) + ".html", "v2");
    ASSERT_EQ(::kill(pid, SIGCONT), 0);
    ASSERT_TRUE(Eventually([&] { return smtp.Received().size() >= 1; })) << Said();
    const testing::ReceivedMail mail = smtp.Received().front();
    EXPECT_NE(mail.subject.find("A:500 C:0 D:0"), std::string::npos) << mail.subject;
    EXPECT_EQ(Count(mail.body, "Altered: "), 500u) << mail.body.substr(0, 400);
    // One more change after the burst has ended is a burst, and a mail, of its own.
    tree.Write("site/p0.html", "v3");
    ASSERT_TRUE(Eventually([&] { return smtp.Received().size() >= 2; })) << Said();
    EXPECT_EQ(smtp.Received().size(), 2u);
    EXPECT_NE(smtp.Received().back().subject.find("A:1 C:0 D:0"), std::string::npos)
        << smtp.Received().back().subject << smtp.Received().back().body.substr(0, 600);
}

TEST_F(WatchTest, TheServiceWatchesBetweenItsTimedChecksAndRereadsTheRulesOnHangup) {
    tree.Write("index.html", "home");
    auto lines = Settings();
    lines[9] = " 1 ";
    lines[10] = "60";  // the next timed check is an hour away
    lines[12] = " 1 ";
    ASSERT_NO_FATAL_FAILURE(SaveSettings(lines));
    ArchiveAndInit();
    pid = testing::Spawn({binary, "--dir", program, "service", "--watch"}, scratch / "watch.txt");
    ASSERT_TRUE(Eventually([&] { return Says("リアルタイム監視を開始しました"); })) << Said();
    tree.Write("index.html", "defaced");
    ASSERT_TRUE(Eventually([&] { return ReadAll(tree / "index.html") == "home"; })) << Said();
    // A second tree, added to the rules: read again on hangup, it is not in the baseline yet, so
    // nothing of it is moved; once an init took it in and the service read the rules again, it
    // is watched.
    TempDir second;
    second.Write("site.html", "site");
    testing::WriteAll(program + "/user_rule.txt", "<rule>" + tree.path() + ",3</rule>\r\n<rule>" +
                                                      second.path() + ",3</rule>\r\n");
    ::kill(pid, SIGHUP);
    ASSERT_TRUE(Eventually([&] { return Says("全体を検査しました"); })) << Said();
    EXPECT_NE(Log().find("このルールはまだ記録にありません"), std::string::npos) << Log();
    EXPECT_EQ(ReadAll(second / "site.html"), "site");
    ASSERT_EQ(testing::RunCli(program, "init", scratch / "init.txt").exit_code, 0)
        << ReadAll(scratch / "init.txt");
    const size_t checks = Said().rfind("全体を検査しました");
    ::kill(pid, SIGHUP);
    ASSERT_TRUE(Eventually([&] { return Said().rfind("全体を検査しました") != checks; })) << Said();
    second.Write("planted.php", "<?php");
    ASSERT_TRUE(Eventually([&] {
        return ::access((second / "planted.php").c_str(), F_OK) != 0 &&
               Log().find("Created: " + second.path() + "/planted.php") != std::string::npos;
    })) << Said()
        << Log();
    Outcome ended = StopWatch();
    EXPECT_EQ(ended.exit_code, 0) << Said();
}

// A deploy under a running watch with automatic restore on: nothing of it is moved or restored,
// its changes become the baseline and the archive, and a defacement right after goes back to
// the deployed page.
TEST_F(WatchTest, ADeployRunsThroughTheWatchAndTheDeployedSiteIsProtected) {
    for (int i = 0; i < 100; ++i) tree.Write("p" + std::to_string(i) + ".html", "old");
    ArchiveAndInit();
    StartWatch();
    // 100 pages rewritten, 100 new ones.
    const std::string script =
        "cd '" + tree.path() + "' && for i in $(seq 0 199); do printf \"new $i\" > p$i.html; done";
    Outcome deployed =
        testing::RunProcess({binary, "--dir", program, "deploy", "--yes", "--", "sh", "-c", script},
                            scratch / "deploy.txt");
    ASSERT_EQ(deployed.exit_code, 0) << deployed.out << Said();
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(ReadAll(tree / ("p" + std::to_string(i) + ".html")), "new " + std::to_string(i))
            << i << Said();
    }
    EXPECT_NE(Events().find("\"held\":true"), std::string::npos) << Events();
    EXPECT_EQ(Events().find("\"action\":\"restore\""), std::string::npos) << Events();
    EXPECT_EQ(Events().find("\"action\":\"quarantine\""), std::string::npos) << Events();

    tree.Write("p150.html", "defaced");
    ASSERT_TRUE(Eventually([&] { return ReadAll(tree / "p150.html") == "new 150"; })) << Said();
    tree.Write("p7.html", "defaced");
    ASSERT_TRUE(Eventually([&] { return ReadAll(tree / "p7.html") == "new 7"; })) << Said();
}

// A deploy whose command fails accepts nothing, says so, and the site goes back.
TEST_F(WatchTest, AFailedOrUnconfirmedDeployAcceptsNothingAndTheSiteGoesBack) {
    tree.Write("index.html", "home");
    ArchiveAndInit();
    const std::string script = "printf broken > '" + (tree / "index.html") + "'; exit 3";
    Outcome deployed =
        testing::RunProcess({binary, "--dir", program, "deploy", "--yes", "--", "sh", "-c", script},
                            scratch / "deploy.txt");
    EXPECT_EQ(deployed.exit_code, 3) << deployed.out;
    EXPECT_NE(deployed.out.find("何も承認しません"), std::string::npos) << deployed.out;
    EXPECT_NE(deployed.out.find("基準の内容に戻ります"), std::string::npos) << deployed.out;
    EXPECT_EQ(ReadAll(tree / "index.html"), "home");
    EXPECT_FALSE(platform::FileExists(testing::SystemEnv(), program + "/norv-hold"));

    // A deploy nobody confirms (no terminal, no --yes) accepts nothing either: once the hold
    // ends, what it left is answered at once, not at the next check.
    const std::string unconfirmed = "printf unconfirmed > '" + (tree / "index.html") + "'";
    deployed =
        testing::RunProcess({binary, "--dir", program, "deploy", "--", "sh", "-c", unconfirmed},
                            scratch / "deploy.txt");
    EXPECT_EQ(deployed.exit_code, 1) << deployed.out;
    EXPECT_EQ(ReadAll(tree / "index.html"), "home");
}

// A write by another user names that user's process, in the watch's event, and in the check
// after it, which takes the writer the watch saw from the store, and in `changes`.
TEST_F(WatchTest, AWriteAsNobodyNamesItsWriterInTheEventsTheCheckAndTheChangesList) {
    if (::geteuid() != 0) GTEST_SKIP() << "fanotify and another user need root";
    WriteSettings(/*restore=*/false);
    tree.Write("index.html", "home");
    ArchiveAndInit();
    // The page is nobody's; the folders on the way stay root's.
    const std::string page = tree / "index.html";
    ASSERT_EQ(::chmod(tree.path().c_str(), 0755), 0);
    ASSERT_EQ(::chown(page.c_str(), 65534, 65534), 0);
    StartWatch();
    if (!Says(", fanotify)")) GTEST_SKIP() << "the watch runs on inotify: " << Said();
    // The writer stays until the watch has seen it: a process gone first is only a pid.
    ASSERT_EQ(::chmod(scratch.path().c_str(), 0755), 0);
    const std::string release = scratch / "release";
    ASSERT_EQ(::mkfifo(release.c_str(), 0666), 0);
    const pid_t writer =
        Spawn({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/bin/sh",
               "-c", "printf defaced > '" + page + "'; read x < '" + release + "'"},
              scratch / "nobody.txt");
    const std::string nobody = "\"uid\":65534,";
    ASSERT_TRUE(Eventually([&] { return Events().find(nobody) != std::string::npos; })) << Events();
    WriteAll(release, "go\n");
    EXPECT_EQ(Reap(writer, Clock::now() + std::chrono::seconds(30)).exit_code, 0);
    ASSERT_EQ(StopWatch().exit_code, 0) << Said();
    EXPECT_EQ(RunCli(program, "check", scratch / "check.txt").exit_code, 1);
    EXPECT_EQ(Count(Events(), nobody), 2u) << Events();
    Outcome listed = testing::RunProcess({binary, "--dir", program, "changes", "--json"},
                                         scratch / "changes.txt");
    EXPECT_NE(listed.out.find(nobody), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("\"exe\":\"/usr/bin/dash\""), std::string::npos) << listed.out;
}

// A deploy accepts only what its command wrote: a page another process plants while the
// command runs is refused and answered as tampering once the hold ends. Without fanotify,
// --yes accepts nothing and says why.
TEST_F(WatchTest, ADeployAcceptsOnlyItsOwnWritesAndAPlantedPageGoesBack) {
    if (::geteuid() != 0) GTEST_SKIP() << "fanotify and a cgroup of its own need root";
    tree.Write("index.html", "home");
    ArchiveAndInit();
    // The planter, outside the deploy's cgroup, writes when the command tells it to, and the
    // command ends once it has.
    const std::string go = scratch / "go", planted = scratch / "planted";
    ASSERT_EQ(::mkfifo(go.c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(planted.c_str(), 0600), 0);
    const pid_t planter = Spawn({"/bin/sh", "-c",
                                 "read x < '" + go + "'; printf '<?php' > '" +
                                     (tree / "shell.php") + "'; echo done > '" + planted + "'"},
                                scratch / "planter.txt");
    const std::string script = "printf new > '" + (tree / "index.html") + "'; echo go > '" + go +
                               "'; read x < '" + planted + "'";
    Outcome deployed =
        testing::RunProcess({binary, "--dir", program, "deploy", "--yes", "--", "sh", "-c", script},
                            scratch / "deploy.txt");
    EXPECT_EQ(Reap(planter, std::chrono::steady_clock::now() + std::chrono::seconds(60)).exit_code,
              0);
    EXPECT_EQ(deployed.exit_code, 1) << deployed.out;
    EXPECT_NE(deployed.out.find("コマンド以外のプロセスが書き込みました"), std::string::npos)
        << deployed.out;
    EXPECT_EQ(ReadAll(tree / "index.html"), "new") << deployed.out;
    EXPECT_FALSE(platform::FileExists(testing::SystemEnv(), tree / "shell.php")) << deployed.out;

    const std::string again = "printf again > '" + (tree / "index.html") + "'";
    deployed = testing::RunProcess({"/usr/bin/env", "NORV_FANOTIFY=off", binary, "--dir", program,
                                    "deploy", "--yes", "--", "sh", "-c", again},
                                   scratch / "deploy.txt");
    EXPECT_EQ(deployed.exit_code, 1) << deployed.out;
    EXPECT_NE(deployed.out.find("fanotify と cgroup が要ります"), std::string::npos)
        << deployed.out;
    EXPECT_EQ(ReadAll(tree / "index.html"), "new");
}

}  // namespace
}  // namespace norv::testing
