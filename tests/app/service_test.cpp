// norv-cli service as a server runs it: the real binary on real folders, driven by signals, with
// a period of a fraction of a minute so that checks come within a second.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <chrono>
#include <functional>
#include <sstream>
#include <thread>

#include "platform/text/text_file.h"
#include "tests/support/cli_fixture.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace norv {
namespace {

using testing::Eventually;
using testing::Outcome;
using testing::ReadAll;

class ServiceTest : public testing::CliProcessTest {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(CliProcessTest::SetUp());
        Rules("<rule>" + tree.path() + ",3</rule>\r\n");
    }
    void WriteSettings(const char* auto_check, const char* period_minutes) {
        auto lines = Settings();
        lines[9] = auto_check;
        lines[10] = period_minutes;
        SaveSettings(lines);
    }
    pid_t StartService() {
        return testing::Spawn({binary, "--dir", program, "service"}, scratch / "service.txt");
    }
    std::string Said() { return ReadAll(scratch / "service.txt"); }
    bool Says(const std::string& text) { return Said().find(text) != std::string::npos; }
    Outcome Stop(pid_t pid) {
        ::kill(pid, SIGTERM);
        return testing::Reap(pid, Clock::now() + std::chrono::seconds(30));
    }
};

TEST_F(ServiceTest, ChecksEachPeriodReloadsOnHangupAndEndsOnTerm) {
    tree.Write("index.html", "1");
    tree.Write("css/site.css", "2");
    WriteSettings(" 1 ", "0.01");  // every 0.6 s
    ASSERT_EQ(testing::RunCli(program, "init", scratch / "init.txt").exit_code, 0);
    pid_t pid = StartService();
    ASSERT_TRUE(Eventually([&] { return Says("検査数 2  変更 0"); })) << Said();
    tree.Write("index.html", "defaced");
    ASSERT_TRUE(Eventually([&] { return Says("検査数 2  変更 1"); })) << Said();
    // A new period acts at once; with line 10 cleared the checks stop until the next reload.
    WriteSettings(" 1 ", "0.005");
    ::kill(pid, SIGHUP);
    ASSERT_TRUE(Eventually([&] { return Says("設定を読み直しました (周期 0.005 分)"); })) << Said();
    WriteSettings(" 0 ", "0.005");
    ::kill(pid, SIGHUP);
    ASSERT_TRUE(Eventually([&] { return Says("自動検査は行いません"); })) << Said();
    const auto started = Clock::now();
    Outcome ended = Stop(pid);
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    EXPECT_EQ(ended.exit_code, 0) << Said();
    EXPECT_NE(Said().find("自動検査を終了しました"), std::string::npos) << Said();
    std::printf("service ended %.3f s after SIGTERM\n", seconds);

    // The fleet's store learns the period from its "service" events: at the start, at each
    // reload that changed it (none while line 10 is cleared), and at the end.
    Outcome read = testing::RunProcess(
        {"/usr/bin/python3", testing::SourcePath("tests/support/events_check.py"),
         program + "/norv-events.jsonl"},
        scratch / "checked.txt");
    ASSERT_EQ(read.exit_code, 0) << read.out;
    std::string states;
    std::istringstream lines(read.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("service ", 0) == 0) states += line + "\n";
    }
    EXPECT_EQ(states,
              "service started 0.6\nservice started 0.3\nservice started None\n"
              "service stopped None\n");
}

TEST_F(ServiceTest, AnyNumberOfStopSignalsEndsItCleanly) {
    tree.Write("a", "1");
    WriteSettings(" 1 ", "0.01");
    ASSERT_EQ(testing::RunCli(program, "init", scratch / "init.txt").exit_code, 0);
    pid_t pid = StartService();
    ASSERT_TRUE(Eventually([&] { return Says("検査数 1  変更 0"); })) << Said();
    // A burst, then more for as long as the service is winding down, until it has ended.
    for (int i = 0; i < 20; ++i) ::kill(pid, i % 2 == 0 ? SIGTERM : SIGINT);
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid) {
            break;
        }
        if (Clock::now() > deadline) break;
        ::kill(pid, SIGTERM);
    }
    Outcome ended = testing::Reap(pid, Clock::now() + std::chrono::seconds(30));
    EXPECT_EQ(ended.exit_code, 0) << Said();
    EXPECT_TRUE(Says("自動検査を終了しました")) << Said();
}

TEST_F(ServiceTest, APeriodBeyondAYearIsRefusedRatherThanRunBackToBack) {
    tree.Write("a", "1");
    WriteSettings(" 1 ", "99999999999999999999");
    ASSERT_EQ(testing::RunCli(program, "init", scratch / "init.txt").exit_code, 0);
    pid_t pid = StartService();
    ASSERT_TRUE(Eventually([&] { return Says("自動検査は行いません"); })) << Said();
    EXPECT_TRUE(Says("11 行目")) << Said();
    EXPECT_TRUE(Says("525600")) << Said();
    EXPECT_EQ(Stop(pid).exit_code, 0);
    EXPECT_FALSE(Says("検査数")) << Said();
}

TEST_F(ServiceTest, ACheckThatFallsDueWhileAnotherNorvRunsWaitsForTheNextPeriod) {
    tree.Write("a", "1");
    WriteSettings(" 1 ", "0.01");
    ASSERT_EQ(testing::RunCli(program, "init", scratch / "init.txt").exit_code, 0);
    // Another norv holds the program folder.
    int fd = ::open((program + "/norv.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    pid_t pid = StartService();
    ASSERT_TRUE(Eventually([&] { return Says("次の周期に検査します"); })) << Said();
    ::close(fd);
    ASSERT_TRUE(Eventually([&] { return Says("検査数 1  変更 0"); })) << Said();
    EXPECT_EQ(Stop(pid).exit_code, 0);
}

TEST_F(ServiceTest, TermInTheMiddleOfALargeCheckKeepsASoundStoreAndTheNextCheckIsRight) {
    constexpr int kFiles = 100000;
    for (int i = 0; i < kFiles; ++i) {
        tree.Write("d" + std::to_string(i % 500) + "/f" + std::to_string(i), "");
    }
    WriteSettings(" 1 ", "0.01");
    ASSERT_EQ(testing::RunCli(program, "init", scratch / "init.txt").exit_code, 0);
    pid_t pid = StartService();
    // The first check has started once it holds the program folder.
    ASSERT_TRUE(Eventually([&] { return LockHeld(); })) << Said();
    Outcome ended = Stop(pid);
    EXPECT_EQ(ended.exit_code, 0) << Said();
    EXPECT_EQ(Said().find("検査数 " + std::to_string(kFiles)), std::string::npos)
        << "the check was not stopped in the middle: " << Said();

    EXPECT_EQ(testing::StoreIntegrity(program + "/norv.db"), "ok");

    // The stopped check reported nothing it never reached; the next one sees every file.
    Outcome next = testing::RunCli(program, "check", scratch / "check.txt");
    EXPECT_EQ(next.exit_code, 0) << next.out;
    EXPECT_NE(next.out.find("検査数 " + std::to_string(kFiles) + "  変更 0  新規作成 0  削除 0"),
              std::string::npos)
        << next.out;
}

}  // namespace
}  // namespace norv
