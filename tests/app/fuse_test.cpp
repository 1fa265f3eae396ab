// FUSE file systems in a watched tree, served by tests/support/fuse_server.c: one another user
// mounted is never entered, and a read that never returns keeps neither a stopped service nor
// the program folder for ever.
#include <gtest/gtest.h>
#include <linux/fuse.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/text/text_file.h"
#include "tests/support/cli_fixture.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace norv {
namespace {

using testing::Eventually;
using testing::Outcome;
using testing::ReadAll;

class FuseTest : public testing::CliProcessTest {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "mounting a FUSE file system needs root";
        ASSERT_NO_FATAL_FAILURE(CliProcessTest::SetUp());
        auto lines = Settings();
        lines[9] = " 1 ";
        lines[10] = "0.01";  // the service checks every 0.6 s
        SaveSettings(lines);
    }
    void TearDown() override { StopServers(); }

    // Serves a FUSE file system on `at` (see fuse_server.c for `options`); false, with the
    // reason in `why`, where mounting is refused.
    bool Serve(const std::string& at, const std::string& uid, std::vector<std::string> options) {
        std::vector<std::string> argv{NORV_FUSE_SERVER, at, uid};
        argv.insert(argv.end(), options.begin(), options.end());
        const std::string said = scratch / ("fuse" + std::to_string(servers.size()) + ".txt");
        servers.push_back({testing::Spawn(argv, said), at, said});
        int status = 0;
        bool ended = false;
        Eventually([&] {
            ended = ::waitpid(servers.back().pid, &status, WNOHANG) == servers.back().pid;
            return ended || ReadAll(said).find("ready\n") != std::string::npos;
        });
        if (ended) servers.back().pid = -1;
        why = ReadAll(said);
        return !ended && why.find("ready\n") != std::string::npos;
    }
    std::string Asked(size_t server) { return ReadAll(servers[server].said); }
    // Ends the servers: their unanswered requests fail, and what waited on them goes on.
    void StopServers() {
        for (Server& server : servers) {
            if (server.pid > 0) {
                ::kill(server.pid, SIGTERM);
                testing::Reap(server.pid, Clock::now() + std::chrono::seconds(10));
                server.pid = -1;
            }
            ::umount2(server.at.c_str(), MNT_DETACH);
        }
    }
    // Waits for `pid` at most `limit`; past it, the servers end so that it can end too.
    Outcome Finish(pid_t pid, std::chrono::seconds limit) {
        const bool ended = Eventually(
            [&] {
                siginfo_t info{};
                return ::waitid(P_PID, static_cast<id_t>(pid), &info,
                                WEXITED | WNOHANG | WNOWAIT) == 0 &&
                       info.si_pid == pid;
            },
            limit);
        if (!ended) StopServers();
        Outcome outcome = testing::Reap(pid, Clock::now() + std::chrono::seconds(30));
        outcome.timed_out = outcome.timed_out || !ended;
        return outcome;
    }
    // Root's own FUSE file system is entered, and its page's read never returns: `verb` is
    // started and left waiting in that read. -1 where mounting is refused.
    pid_t StartBlockedInARead(const std::string& verb) {
        tree.MakeDir("mirror");
        Rules("<rule>" + tree.path() + ",3</rule>\r\n");
        EXPECT_EQ(testing::RunCli(program, "init", scratch / "init.txt").exit_code, 0);
        if (!Serve(tree / "mirror", "0", {})) return -1;
        pid_t pid = testing::Spawn({binary, "--dir", program, verb}, scratch / "said.txt");
        const std::string read = "asked " + std::to_string(FUSE_READ) + "\n";
        EXPECT_TRUE(Eventually([&] { return Asked(0).find(read) != std::string::npos; }));
        return pid;
    }

    struct Server {
        pid_t pid;
        std::string at;
        std::string said;
    };
    std::vector<Server> servers;
    std::string why;
};

TEST_F(FuseTest, AnotherUsersFileSystemIsAWarningNeverAHangNorADeletion) {
    tree.Write("index.html", "1");
    tree.Write("uploads/old.html", "2");
    tree.Write("avatar.png", "3");
    Rules("<rule>" + tree.path() + ",3</rule>\r\n<rule>" + (tree / "avatar.png") + ",0</rule>\r\n");
    ASSERT_EQ(testing::RunCli(program, "init", scratch / "init.txt").exit_code, 0);
    // Mounted by nobody over a folder and over a file, open to root, and answering nothing: any
    // question norv put to them would never return.
    if (!Serve(tree / "uploads", "65534", {"--allow-other", "--mute"})) GTEST_SKIP() << why;
    ASSERT_TRUE(Serve(tree / "avatar.png", "65534", {"--file", "--allow-other", "--mute"})) << why;
    tree.Write("index.html", "defaced");

    const std::string said = scratch / "check.txt";
    Outcome check =
        Finish(testing::Spawn({binary, "--dir", program, "check"}, said), std::chrono::seconds(30));
    ASSERT_FALSE(check.timed_out) << "the check waited on another user's file system";
    EXPECT_EQ(Asked(0) + Asked(1), "ready\nready\n");
    EXPECT_EQ(check.exit_code, 4) << ReadAll(said);  // a change, and places not seen
    EXPECT_NE(ReadAll(said).find("変更 1  新規作成 0  削除 0"), std::string::npos) << ReadAll(said);
    const std::string log = ReadAll(program + "/norv.log");
    for (const std::string& place : {tree / "uploads/", tree / "avatar.png"}) {
        EXPECT_NE(log.find("Warning: " + place + ": 検査できません: "), std::string::npos) << log;
    }
    EXPECT_NE(log.find("は他のユーザー (uid 65534) がマウントしたファイルシステムのため入りません"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("Deleted:"), std::string::npos) << log;
}

TEST_F(FuseTest, ACheckEndedInAReadThatNeverReturnsLetsTheProgramFolderGo) {
    pid_t pid = StartBlockedInARead("check");
    if (pid < 0) GTEST_SKIP() << why;
    ::kill(pid, SIGTERM);
    EXPECT_TRUE(Eventually([&] { return !LockHeld(); }, std::chrono::seconds(5)));
    StopServers();
    EXPECT_EQ(Finish(pid, std::chrono::seconds(30)).exit_code, -1);  // ended by the signal
}

TEST_F(FuseTest, AStopEndsTheServiceWithinTheGraceThoughAReadNeverReturns) {
    pid_t pid = StartBlockedInARead("service");
    if (pid < 0) GTEST_SKIP() << why;
    const std::string said = scratch / "said.txt";

    const auto stopped = Clock::now();
    ::kill(pid, SIGTERM);
    const bool said_so = Eventually(
        [&] {
            return ReadAll(said).find("処理中のファイルを終えずに終了します") != std::string::npos;
        },
        std::chrono::seconds(20));
    const double seconds = std::chrono::duration<double>(Clock::now() - stopped).count();
    EXPECT_TRUE(said_so) << ReadAll(said);
    EXPECT_LT(seconds, 10);  // before the unit's TimeoutStopSec
    // The read still waits, yet the program folder and the store are free for the next run.
    EXPECT_FALSE(LockHeld());
    Outcome next =
        testing::RunCli(program, "update", scratch / "update.txt", std::chrono::seconds(30));
    EXPECT_EQ(next.exit_code, 0) << next.out;
    StopServers();
    EXPECT_EQ(Finish(pid, std::chrono::seconds(30)).exit_code, 0) << ReadAll(said);
}

// With automatic restore on, a file measured ahead is looked at again before it is recorded:
// that look, too, puts no question to another user's file system mounted on the file.
TEST_F(FuseTest, WithRestoreOnAnotherUsersFileMountIsNeverAskedBeforeTheRecord) {
    auto lines = Settings();
    lines[9] = " 1 ";
    lines[10] = "0.01";
    lines[12] = " 1 ";  // automatic restore on
    SaveSettings(lines);
    tree.Write("index.html", "1");
    tree.Write("avatar.png", "3");
    Rules("<rule>" + tree.path() + ",3</rule>\r\n");
    ASSERT_EQ(testing::RunCli(program, "init", scratch / "init.txt").exit_code, 0);
    if (!Serve(tree / "avatar.png", "65534", {"--file", "--allow-other", "--mute"})) {
        GTEST_SKIP() << why;
    }
    const std::string said = scratch / "check.txt";
    Outcome check =
        Finish(testing::Spawn({binary, "--dir", program, "check"}, said), std::chrono::seconds(20));
    EXPECT_FALSE(check.timed_out) << "the check waited on another user's file system";
    EXPECT_EQ(Asked(0), "ready\n");
}

}  // namespace
}  // namespace norv
