// The fixture of the response's tests: a site with a rule, a program folder with its save and
// cracked folders, and a ChangeResponse that reaches the system through the test's hooks, then
// its faults.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "config/rule_table.h"
#include "config/settings.h"
#include "platform/fs/file_system.h"
#include "response/archive.h"
#include "response/change_response.h"
#include "tests/support/fault_env.h"
#include "tests/support/race_env.h"
#include "tests/support/test_support.h"

namespace norv {

class ResponseTest : public ::testing::Test {
  protected:
    void SetUp() override {
        settings.save_dir = dir / "save";
        settings.cracked_dir = dir / "cracked";
        dir.MakeDir("save");
        index = tree.Write("www/index.html", "<h1>good</h1>");
        tree.Write("www/css/site.css", "body{}");
        rules.rules = {{tree / "www", RuleKind::kTree}};
        switches.auto_restore = 1;
    }
    void Archive() {
        ASSERT_EQ(archive.CreateArchive(), 0) << (hooks.messages.empty() ? "" : hooks.messages[0]);
    }
    int CrackedCount() {
        return platform::FileExists(testing::SystemEnv(), dir / "cracked") ||
                       ::access((dir / "cracked").c_str(), F_OK) == 0
                   ? testing::CountEntries(dir / "cracked")
                   : 0;
    }

    testing::TempDir dir;
    testing::TempDir tree;
    std::string index;
    Settings settings;
    LiveSwitches switches;
    RuleTable rules;
    testing::RecordingHooks hooks;
    testing::FixedClock clock;
    std::unique_ptr<platform::RegionalFormat> regional = testing::JapaneseFormat();
    // What the archive and the response reach the system through: the test's hooks, then its
    // faults, then the system.
    testing::FaultEnv faults;
    testing::RaceEnv race{&faults};
    ProtectedArchive archive{race, settings, rules, hooks};
    ChangeResponse response{settings, switches, archive, clock, *regional, hooks};
};

}  // namespace norv
