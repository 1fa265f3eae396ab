// The watch in process, on real folders: what norv writes itself never sets it off.
#include "engine/change_watcher.h"

#include <gtest/gtest.h>

#include "tests/engine/engine_fixture.h"

namespace norv {
namespace {

using testing::EngineTest;

class WatcherTest : public EngineTest {
  protected:
    // Starts the watch with its first full check.
    void Start() {
        WatchOptions options;
        options.timings.settle = std::chrono::milliseconds(0);
        options.program_dir = program.path();
        options.own_file_prefixes = {kLogFileName, kDatabaseFileName, kLockFileName};
        watcher = std::make_unique<ChangeWatcher>(*engine, rules, settings, hooks, options);
        ASSERT_TRUE(watcher->Start().ok());
    }
    // Lets it take `steps` rounds of events.
    const WatchStatistics& Steps(int steps) {
        for (int i = 0; i < steps; ++i) {
            EXPECT_TRUE(watcher->Step(std::chrono::milliseconds(50)).ok());
        }
        return watcher->statistics();
    }
    std::unique_ptr<ChangeWatcher> watcher;
};

// The program folder inside a watched tree: the log and the database each check writes are its
// own work, not changes to check (which would write the log again, without end).
TEST_F(WatcherTest, TheProgramFoldersOwnFilesNeverSetItOff) {
    SetRules({{program.path(), RuleKind::kTree}});
    Start();
    EXPECT_EQ(Steps(4).files_checked, 0);
}

// A cracked folder inside a watched tree is not watched: a copy put there is no new file.
TEST_F(WatcherTest, TheCrackedFolderInsideAWatchedTreeIsNotWatched) {
    settings.cracked_dir = tree.MakeDir("cracked");
    tree.Write("www/index.html", "<h1>good</h1>");
    SetRules({{tree.path(), RuleKind::kTree}});
    Start();
    tree.Write("cracked/2004-04-119-05-22shell.php", "evidence");
    EXPECT_EQ(Steps(4).files_checked, 0);
}

}  // namespace
}  // namespace norv
