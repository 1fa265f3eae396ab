// A scan engine on real temporary folders, with recording hooks and a pinned clock.
#pragma once

#include <gtest/gtest.h>

#include <map>

#include "engine/scan_engine.h"
#include "platform/text/text_file.h"
#include "tests/support/test_support.h"

namespace norv::testing {

struct StoredRow {
    std::string md5o, md5c;
    int64_t flg;
};

class EngineTest : public ::testing::Test, public SettingsReloader {
  protected:
    void SetUp() override {
        context = MakeContext(program.path());
        ASSERT_TRUE(platform::WriteTextFileAtomic(
                        testing::SystemEnv(), context.SettingsPath(),
                        SettingsLines(program / "save", program / "cracked"), "UTF-8")
                        .ok());
        ASSERT_TRUE(LoadSettings(context, settings, switches).ok());
        context.db_conn =
            platform::Database::Open(testing::SystemEnv(), context.DatabasePath(), true).value();
        store = FileInfoStore::Open(*context.db_conn, true).value();
        regional = JapaneseFormat();
        engine = std::make_unique<ScanEngine>(
            ProcessState{context, settings, switches, rules, mode, counters}, *store,
            EngineHooks{clock, *regional, hooks, hooks, *this, hooks, hooks}, commands);
    }

    // An init reloads both files into the fixture's records.
    Status ReloadSettingsAndRules() override {
        auto loaded = LoadSettings(context, settings, switches);
        if (!loaded.ok()) return loaded.status();
        return LoadRules(context, rules, hooks);
    }

    void SetRules(std::vector<Rule> list) { rules.rules = std::move(list); }

    std::vector<std::string> LogLines() {
        return platform::ReadTextLines(testing::SystemEnv(), context.LogPath(), "UTF-8").value();
    }

    // How many lines of the last log hold `text`.
    size_t LinesWith(const std::string& text) {
        size_t count = 0;
        for (const auto& line : LogLines()) count += line.find(text) != std::string::npos;
        return count;
    }

    // The change lines of the last log ("Created: ..." etc.), in order.
    std::vector<std::string> ChangeLines() {
        std::vector<std::string> out;
        for (const auto& line : LogLines()) {
            if (line.rfind("Created: ", 0) == 0 || line.rfind("Altered: ", 0) == 0 ||
                line.rfind("Deleted: ", 0) == 0) {
                out.push_back(line);
            }
        }
        return out;
    }

    std::map<std::string, StoredRow> Rows() {
        auto stmt =
            context.db_conn->Prepare("SELECT filename, md5o, md5c, flg FROM fileinfo").value();
        std::map<std::string, StoredRow> rows;
        while (stmt->Step().value()) {
            rows[stmt->ColumnText(0)] = {stmt->ColumnText(1), stmt->ColumnText(2),
                                         stmt->ColumnInt(3)};
        }
        return rows;
    }

    TempDir program;
    TempDir tree;
    RunContext context;
    Settings settings;
    LiveSwitches switches;
    RuleTable rules;
    ScanMode mode = ScanMode::kNone;
    ScanCounters counters;
    FixedClock clock;
    std::unique_ptr<platform::RegionalFormat> regional;
    RecordingHooks hooks;
    std::unique_ptr<FileInfoStore> store;
    CommandRunner commands{context};
    std::unique_ptr<ScanEngine> engine;
};

}  // namespace norv::testing
