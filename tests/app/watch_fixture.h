// The watch's fixture for the end-to-end tests: a program folder with one tree rule, restore on,
// and the watch run as a process of its own, stopped with SIGTERM.
#pragma once

#include <signal.h>

#include <chrono>
#include <string>

#include "tests/support/cli_fixture.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace norv::testing {

inline size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class WatchTest : public CliProcessTest {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(CliProcessTest::SetUp());
        scratch.MakeDir("save");
        Rules("<rule>" + tree.path() + ",3</rule>\r\n");
        WriteSettings(/*restore=*/true);
    }
    void WriteSettings(bool restore, const std::string& mail = " 0 ",
                       const std::string& smtp = "") {
        auto lines = Settings();
        lines[2] = mail;
        if (!smtp.empty()) {
            lines[4] = smtp;
        }
        lines[12] = restore ? " 1 " : " 0 ";
        SaveSettings(lines);
    }
    void ArchiveAndInit() {
        ASSERT_EQ(RunCli(program, "archive", scratch / "archive.txt").exit_code, 0)
            << ReadAll(scratch / "archive.txt");
        ASSERT_EQ(RunCli(program, "init", scratch / "init.txt").exit_code, 0);
    }
    // Starts the watch and waits until its first check is done.
    void StartWatch() {
        pid = Spawn({binary, "--dir", program, "watch"}, scratch / "watch.txt");
        ASSERT_TRUE(Eventually([&] { return Says("リアルタイム監視を開始しました"); })) << Said();
    }
    Outcome StopWatch() {
        ::kill(pid, SIGTERM);
        Outcome ended = Reap(pid, Clock::now() + std::chrono::seconds(30));
        pid = -1;
        return ended;
    }
    void TearDown() override {
        if (pid > 0) StopWatch();
    }
    std::string Said() { return ReadAll(scratch / "watch.txt"); }
    bool Says(const std::string& text) { return Said().find(text) != std::string::npos; }
    std::string Log() { return ReadAll(program + "/norv.log"); }
    std::string Events() { return ReadAll(program + "/norv-events.jsonl"); }

    pid_t pid = -1;
};

}  // namespace norv::testing
