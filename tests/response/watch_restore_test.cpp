// The watch with the real change response: a restore that fails is tried again until the page
// is back, and each failure is said.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/change_watcher.h"
#include "response/archive.h"
#include "response/change_response.h"
#include "tests/engine/engine_fixture.h"
#include "tests/support/fault_env.h"
#include "tests/support/stepped_clock_env.h"

namespace norv {
namespace {

using testing::Call;

class WatchRestoreTest : public testing::EngineTest {
  protected:
    // The page in the baseline and the archive, the engine answering changes through the
    // response, automatic restore on, and the watch started; every call through `faults`, the
    // time from `clock_env`.
    std::string StartOnPage() {
        const std::string page = tree.Write("www/index.html", "<h1>good</h1>");
        testing::WriteAll(context.RulesPath(), "<rule>" + tree / "www" + ",3</rule>\r\n");
        program.MakeDir("save");
        context.env = &clock_env;
        archive = std::make_unique<ProtectedArchive>(faults, settings, rules, hooks);
        response =
            std::make_unique<ChangeResponse>(settings, switches, *archive, clock, *regional, hooks);
        restoring = std::make_unique<ScanEngine>(
            ProcessState{context, settings, switches, rules, mode, counters}, *store,
            EngineHooks{clock, *regional, hooks, hooks, *this, *response, hooks}, commands);
        EXPECT_TRUE(restoring->Initialise().ok());
        EXPECT_EQ(archive->CreateArchive(), 0);
        switches.auto_restore = 1;
        WatchOptions options;
        options.timings.settle = std::chrono::milliseconds(0);
        options.restore_retry_first = std::chrono::milliseconds(1);
        options.own_folders = {program.path()};
        options.own_file_prefixes = {kLogFileName, kDatabaseFileName, kLockFileName};
        watcher = std::make_unique<ChangeWatcher>(*restoring, rules, settings, hooks, options);
        EXPECT_TRUE(watcher->Start().ok());
        return page;
    }

    testing::FaultEnv faults;
    testing::SteppedClockEnv clock_env{&faults};
    std::unique_ptr<ProtectedArchive> archive;
    std::unique_ptr<ChangeResponse> response;
    std::unique_ptr<ScanEngine> restoring;
    std::unique_ptr<ChangeWatcher> watcher;
};

// The first two restores of a defaced page fail (the archive cannot be opened): the watch tries
// again, later each time, until the page is back, and each failure is in the log.
TEST_F(WatchRestoreTest, AFailedRestoreIsTriedAgainUntilThePageIsBack) {
    const std::string page = StartOnPage();
    faults.Fail(Call::kOpenAt, EIO, 1, kArchiveFileName);
    faults.Fail(Call::kOpenAt, EIO, 2, kArchiveFileName);
    tree.Write("www/index.html", "<h1>defaced</h1>");
    // The clock steps; the defacement's event is waited for (up to a step) as it comes.
    for (int i = 0; i < 200 && testing::ReadAll(page) != "<h1>good</h1>"; ++i) {
        clock_env.Step(std::chrono::milliseconds(50));
        ASSERT_TRUE(watcher->Step(std::chrono::milliseconds(50)).ok());
    }
    EXPECT_EQ(testing::ReadAll(page), "<h1>good</h1>");
    EXPECT_EQ(faults.MatchedCalls(Call::kOpenAt), 3);
    // The second try may come from the retry or from the event of the page's own removal (the
    // first try took the defaced page away), whichever is due first on a loaded machine.
    EXPECT_GE(watcher->statistics().restore_retries, 1);
    EXPECT_LE(watcher->statistics().restore_retries, 2);
    const std::vector<std::string> lines = LogLines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                                return line.rfind("Warning:", 0) == 0 &&
                                       line.find(kArchiveFileName) != std::string::npos;
                            }),
              2)
        << ::testing::PrintToString(lines);
}

}  // namespace
}  // namespace norv
