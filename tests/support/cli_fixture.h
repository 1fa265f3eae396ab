// The fixture of the tests that run the real norv-cli as a process on real folders (the service,
// the watch, FUSE): the binary, a scratch folder holding the program folder, and a tree to watch.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/text/text_file.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace norv::testing {

class CliProcessTest : public ::testing::Test {
  protected:
    using Clock = std::chrono::steady_clock;

    // A subclass's SetUp calls this first (under ASSERT_NO_FATAL_FAILURE).
    void SetUp() override {
        binary = CliBinary();
        ASSERT_FALSE(binary.empty());
        program = scratch.MakeDir("program");
    }
    // The settings, their save and cracked folders in the scratch folder.
    std::vector<std::string> Settings() const {
        return SettingsLines(scratch / "save", scratch / "cracked");
    }
    void SaveSettings(const std::vector<std::string>& lines) {
        ASSERT_TRUE(
            platform::WriteTextFileAtomic(SystemEnv(), program + "/norvcfg.txt", lines, "UTF-8")
                .ok());
    }
    void Rules(const std::string& content) { WriteAll(program + "/user_rule.txt", content); }
    // Whether a process holds the program folder's lock.
    bool LockHeld() {
        int fd = ::open((program + "/norv.lock").c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) return false;
        const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
        ::close(fd);  // closing drops the lock if this test took it
        return held;
    }

    std::string binary;
    TempDir scratch;
    TempDir tree;
    std::string program;
};

}  // namespace norv::testing
