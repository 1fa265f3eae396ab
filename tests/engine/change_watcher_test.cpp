// The watch in process, on real folders: what norv writes itself never sets it off.
#include "engine/change_watcher.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include "tests/engine/engine_fixture.h"
#include "tests/support/race_env.h"

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

// ... and so is one made later inside the tree, as the first quarantine makes it.
TEST_F(WatcherTest, ACrackedFolderMadeAfterTheWatchStartedIsNotWatched) {
    settings.cracked_dir = tree / "cracked";
    tree.Write("www/index.html", "<h1>good</h1>");
    SetRules({{tree.path(), RuleKind::kTree}});
    Start();
    tree.MakeDir("cracked");
    Steps(2);
    tree.Write("cracked/2004-04-119-05-22shell.php", "evidence");
    EXPECT_EQ(Steps(4).files_checked, 0);
}

// A watched folder replaced by another between a file's event and its check: nothing in the
// other folder is measured for the watched one's (a full check takes the tree as it is now).
TEST_F(WatcherTest, AWatchedFolderSwappedBeforeItsFileIsCheckedIsNeverTakenForIt) {
    tree.Write("www/sub/page.html", "<h1>good</h1>");
    tree.Write("other/page.html", "<h1>other</h1>");
    SetRules({{tree / "www", RuleKind::kTree}});
    Start();
    testing::RaceEnv race;
    race.Before(testing::Call::kOpenAt, "sub", [&] {
        ASSERT_EQ(::rename((tree / "www/sub").c_str(), (tree / "old").c_str()), 0);
        ASSERT_EQ(::rename((tree / "other").c_str(), (tree / "www/sub").c_str()), 0);
    });
    context.env = &race;
    const size_t changes = hooks.changes.size();
    tree.Write("www/sub/page.html", "<h1>changed</h1>");
    EXPECT_EQ(Steps(1).files_checked, 0);
    EXPECT_EQ(race.Fired(), 1);
    EXPECT_EQ(hooks.changes.size(), changes);
}

}  // namespace
}  // namespace norv
