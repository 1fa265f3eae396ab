// The watch in process, on real folders: what norv writes itself never sets it off.
#include "engine/change_watcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>

#include "platform/base/notice_code.h"
#include "platform/digest/md5.h"
#include "tests/engine/engine_fixture.h"
#include "tests/support/fault_env.h"
#include "tests/support/process.h"
#include "tests/support/race_env.h"
#include "tests/support/stepped_clock_env.h"

namespace norv {
namespace {

using testing::EngineTest;

class WatcherTest : public EngineTest {
  protected:
    // The watch ends first, then the engine is given back the system's Env: the ones here end
    // before it.
    ~WatcherTest() override {
        watcher.reset();
        context.env = platform::Env::Default();
        for (const std::string& place : mounted) ::umount2(place.c_str(), MNT_DETACH);
    }
    // Mounts `source` over `place` until the test ends; false where this process may not.
    bool Mount(const std::string& source, const std::string& place, const char* type,
               unsigned long flags, const char* data) {
        if (::geteuid() != 0 || ::mount(source.c_str(), place.c_str(), type, flags, data) != 0) {
            return false;
        }
        mounted.push_back(place);
        return true;
    }
    // `page` defaced: the watch answers it, and nothing else.
    void ExpectDefacedPageAnswered(const std::string& page) {
        testing::WriteAll(page, "<h1>defaced</h1>");
        for (int i = 0; i < 100 && hooks.changes.empty(); ++i) Steps(1);
        EXPECT_EQ(hooks.changes,
                  (std::vector<std::pair<std::string, std::string>>{{"altered", page}}));
    }
    // Starts the watch with its first full check.
    static WatchOptions Quick() {
        WatchOptions options;
        options.timings.settle = std::chrono::milliseconds(0);
        return options;
    }
    // The watch's times come from a clock that only Steps moves on, over the system's Env unless
    // a test gave another.
    void Start(WatchOptions options = Quick()) {
        if (!clock_env) UseSteppedClock(context.env);
        options.own_folders = {program.path()};
        options.own_file_prefixes = {kLogFileName, kDatabaseFileName, kLockFileName};
        watcher = std::make_unique<ChangeWatcher>(*engine, rules, settings, hooks, options);
        ASSERT_TRUE(watcher->Start().ok());
    }
    // The stepped clock over `target`, the Env its calls go to.
    void UseSteppedClock(platform::Env* target) {
        clock_env = std::make_unique<testing::SteppedClockEnv>(target);
        context.env = clock_env.get();
    }
    // Lets it take `steps` rounds of events, each 50 ms later than the one before on the
    // stepped clock (a RaceEnv given after the start reads its clock from it too).
    const WatchStatistics& Steps(int steps) {
        constexpr std::chrono::milliseconds kStep(50);
        for (int i = 0; i < steps; ++i) {
            // The clock moves by a step; the kernel's events are still waited for (up to the
            // step), as the thread that reads them may not have handed them on yet.
            clock_env->Step(kStep);
            EXPECT_TRUE(watcher->Step(kStep).ok());
        }
        return watcher->statistics();
    }
    // The page and `count` small files below www/ (in `folder`, "" for www itself) in the
    // baseline, automatic restore on, and the watch started, taking its events at every file
    // of a full check. `before_start` runs between the baseline and the start. A second page,
    // solo.html, is watched by a file rule after the tree's.
    std::string StartOnPageAnd(const std::string& page_name, const std::string& folder, int count,
                               const std::function<void()>& before_start = {}) {
        const std::string page = tree.Write("www/" + page_name, "<h1>good</h1>");
        for (int i = 0; i < count; ++i) tree.Write("www/" + folder + "f" + std::to_string(i), "x");
        tree.Write("solo.html", "<h1>solo</h1>");
        testing::WriteAll(context.RulesPath(), "<rule>" + tree / "www" + ",3</rule>\r\n<rule>" +
                                                   tree / "solo.html" + ",0</rule>\r\n");
        EXPECT_TRUE(engine->Initialise().ok());
        switches.auto_restore = 1;
        if (before_start) before_start();
        WatchOptions options = Quick();
        options.urgent_look = std::chrono::milliseconds(0);
        Start(options);
        return page;
    }
    // The page in the baseline, and the watch started on an Env whose first read of the kernel's
    // events fails; `retry` spaces the new reader from the failure.
    std::string StartWithAFailingReader(std::chrono::milliseconds retry) {
        const std::string page = tree.Write("www/index.html", "<h1>good</h1>");
        testing::WriteAll(context.RulesPath(), "<rule>" + tree / "www" + ",3</rule>\r\n");
        EXPECT_TRUE(engine->Initialise().ok());
        faults.Fail(testing::Call::kRead, EIO, 1, "anon_inode:inotify");
        UseSteppedClock(&faults);
        WatchOptions options = Quick();
        options.retry = retry;
        options.try_fanotify = false;  // the failing read is inotify's
        Start(options);
        return page;
    }
    // Asks for a full check and steps until it has run.
    void RunAnotherFullCheck() {
        const int64_t before = watcher->statistics().full_checks;
        watcher->RequestFullCheck();
        for (int i = 0; i < 100 && watcher->statistics().full_checks == before; ++i) Steps(1);
        EXPECT_EQ(watcher->statistics().full_checks, before + 1);
    }
    // `files` (name, content) made in a folder out of the watch's sight, then moved below www/ in
    // one event: the watch lists them and checks each as a new file.
    void Plant(const std::vector<std::pair<std::string, std::string>>& files) {
        const std::string staged = program.MakeDir("planted");
        for (const auto& [name, content] : files) testing::WriteAll(staged + "/" + name, content);
        ASSERT_EQ(::rename(staged.c_str(), (tree / "www/planted").c_str()), 0);
    }
    // Just before the first `call` on `name`, `page` is replaced by a defaced one in one move,
    // and its event is waited for: the watch has it in hand from then on.
    void DefaceBefore(testing::RaceEnv& race, testing::Call call, const std::string& name,
                      const std::string& page) {
        testing::WriteAll(program / "defaced", "<h1>defaced</h1>");
        race.Before(call, name, [this, page] {
            ASSERT_EQ(::rename((program / "defaced").c_str(), page.c_str()), 0);
            ASSERT_TRUE(testing::Eventually([&] { return watcher->events_waiting() > 0; }));
        });
    }
    // A RaceEnv over the stepped clock, given to the engine once the watch has started: its hooks
    // see the checks' calls, and the watch's times are still the stepped clock's. The watch's
    // reader of events, made at the start, never reads through it: a hook holds the RaceEnv
    // while it runs, and may wait for an event that reader hands on.
    testing::RaceEnv& RaceAfterStart() {
        racing = std::make_unique<testing::RaceEnv>(clock_env.get());
        context.env = racing.get();
        return *racing;
    }
    // Where `path`'s first response stands among the responses.
    ptrdiff_t ResponseOrder(const std::string& path) {
        auto at = std::find_if(hooks.changes.begin(), hooks.changes.end(),
                               [&](const auto& change) { return change.second == path; });
        return at == hooks.changes.end() ? -1 : at - hooks.changes.begin();
    }
    testing::FaultEnv faults;  // outlives the watch, whose reader may read through it
    std::unique_ptr<testing::SteppedClockEnv> clock_env;  // so does its clock
    std::unique_ptr<testing::RaceEnv> racing;             // and the RaceEnv over it
    std::unique_ptr<ChangeWatcher> watcher;
    std::vector<std::string> mounted;  // unmounted once the watch has ended
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

// A page renamed under the watch is one move, answered as one: the response is asked to put the
// file back from its new name.
TEST_F(WatcherTest, APageRenamedIsOneMove) {
    const std::string page = StartOnPageAnd("index.html", "", 0);
    const std::string moved = tree / "www/moved.html";
    ASSERT_EQ(::rename(page.c_str(), moved.c_str()), 0);
    for (int i = 0; i < 40 && hooks.changes.empty(); ++i) Steps(1);
    ASSERT_EQ(hooks.changes, (std::vector<std::pair<std::string, std::string>>{{"moved", moved}}));
    EXPECT_EQ(hooks.recorded_files.back().moved_from, page);
}

// On fanotify a folder below the tree is watched from its first event. One removed with its
// page before any event of the page's could find it is checked whole: the page is answered.
TEST_F(WatcherTest, AFolderRemovedWithItsPageBringsAFullCheckThatAnswersIt) {
    const std::string page = StartOnPageAnd("sub/index.html", "", 0);
    std::filesystem::remove_all(tree / "www/sub");
    for (int i = 0; i < 100 && hooks.changes.empty(); ++i) Steps(1);
    EXPECT_EQ(hooks.changes, (std::vector<std::pair<std::string, std::string>>{{"deleted", page}}));
}

// A file system mounted in a watched tree is marked at the start as well.
TEST_F(WatcherTest, AFileSystemMountedInTheTreeIsWatched) {
    if (!Mount("tmpfs", tree.MakeDir("www/cache"), "tmpfs", 0, "size=1m")) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    const std::string page = StartOnPageAnd("cache/page.html", "", 0);
    if (watcher->statistics().events_source != "fanotify") GTEST_SKIP() << "not on fanotify";
    ExpectDefacedPageAnswered(page);
}

// A folder whose name ends as the kernel marks a removed one is no removed folder: a page
// defaced in it is answered.
TEST_F(WatcherTest, APageInAFolderNamedLikeARemovedOneIsAnswered) {
    ExpectDefacedPageAnswered(StartOnPageAnd("x (deleted)/index.html", "", 0));
}

// A folder whose path is longer than /proc can name (18 folders of 240 bytes, far less deep
// than the 256 levels watched): a page defaced there is answered.
TEST_F(WatcherTest, APageBelowAPathLongerThanProcNamesIsAnswered) {
    const std::string name(240, 'd');
    int folder = ::open(tree.MakeDir("www").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::string page = tree / "www";
    for (int i = 0; i < 18; ++i) {
        ASSERT_EQ(::mkdirat(folder, name.c_str(), 0755), 0);
        const int next = ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(folder);
        folder = next;
        page += "/" + name;
    }
    page += "/index.html";
    auto write = [&](const char* text) {
        const int fd =
            ::openat(folder, "index.html", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, text, std::strlen(text)), static_cast<ssize_t>(std::strlen(text)));
        ::close(fd);
    };
    write("<h1>good</h1>");
    testing::WriteAll(context.RulesPath(), "<rule>" + tree / "www" + ",3</rule>\r\n");
    ASSERT_TRUE(engine->Initialise().ok());
    switches.auto_restore = 1;
    Start();
    write("<h1>defaced</h1>");
    ::close(folder);
    for (int i = 0; i < 100 && hooks.changes.empty(); ++i) Steps(1);
    EXPECT_EQ(hooks.changes, (std::vector<std::pair<std::string, std::string>>{{"altered", page}}));
}

// A file rule inside a tree: the other files of its folder are still the tree's.
TEST_F(WatcherTest, AFileRuleInsideATreeLeavesTheRestOfItsFolderWatched) {
    const std::string page = tree.Write("www/site/index.html", "<h1>good</h1>");
    const std::string other = tree.Write("www/site/other.html", "<h1>good</h1>");
    testing::WriteAll(context.RulesPath(),
                      "<rule>" + tree / "www" + ",3</rule>\r\n<rule>" + page + ",0</rule>\r\n");
    ASSERT_TRUE(engine->Initialise().ok());
    switches.auto_restore = 1;
    Start();
    ExpectDefacedPageAnswered(other);
}

// A folder of the same file system bound in the tree: the folders beside it are still found.
TEST_F(WatcherTest, AFolderBoundInTheTreeLeavesTheRestWatched) {
    if (!Mount(tree.MakeDir("source"), tree.MakeDir("www/bound"), nullptr, MS_BIND, nullptr)) {
        GTEST_SKIP() << "cannot bind a folder here";
    }
    const std::string page = StartOnPageAnd("sub/index.html", "", 0);
    if (watcher->statistics().events_source != "fanotify") GTEST_SKIP() << "not on fanotify";
    ExpectDefacedPageAnswered(page);
}

// A watched folder replaced by another between a file's event and its check: nothing in the
// other folder is measured for the watched one's (a full check takes the tree as it is now).
TEST_F(WatcherTest, AWatchedFolderSwappedBeforeItsFileIsCheckedIsNeverTakenForIt) {
    tree.Write("www/sub/page.html", "<h1>good</h1>");
    tree.Write("other/page.html", "<h1>other</h1>");
    SetRules({{tree / "www", RuleKind::kTree}});
    Start();
    testing::RaceEnv& race = RaceAfterStart();
    race.Before(testing::Call::kOpenAt, "sub", [&] {
        ASSERT_EQ(::rename((tree / "www/sub").c_str(), (tree / "old").c_str()), 0);
        ASSERT_EQ(::rename((tree / "other").c_str(), (tree / "www/sub").c_str()), 0);
    });
    const size_t changes = hooks.changes.size();
    tree.Write("www/sub/page.html", "<h1>changed</h1>");
    for (int i = 0; i < 40 && race.Fired() == 0; ++i) Steps(1);
    EXPECT_EQ(race.Fired(), 1);
    EXPECT_EQ(watcher->statistics().files_checked, 0);
    EXPECT_EQ(hooks.changes.size(), changes);
}

// A FIFO planted in a watched tree is reported as new, once however many events it gives, and
// answered as a new file is.
TEST_F(WatcherTest, APlantedFifoIsReportedOnceAndAnswered) {
    tree.Write("www/index.html", "<h1>good</h1>");
    SetRules({{tree / "www", RuleKind::kTree}});
    Start();
    hooks.changes.clear();  // the first check's
    const std::string fifo = tree / "www/pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
    Steps(2);
    ASSERT_EQ(::chmod(fifo.c_str(), 0644), 0);  // a second event of the same FIFO
    Steps(2);
    const std::vector<std::pair<std::string, std::string>> once{{"created", fifo}};
    EXPECT_EQ(hooks.changes, once);
}

TEST_F(WatcherTest, AFailedReaderOfEventsIsStartedAgainAndTheFullCheckCoversWhatItMissed) {
    const std::string page = StartWithAFailingReader(std::chrono::milliseconds(0));
    tree.Write("www/index.html", "<h1>defaced</h1>");
    for (int i = 0; i < 100 && watcher->statistics().full_checks < 2; ++i) Steps(1);
    EXPECT_EQ(watcher->statistics().event_restarts, 1);
    EXPECT_EQ(watcher->statistics().full_checks, 2);
    // Watching again: a change after the restart is taken from its event.
    tree.Write("www/new.txt", "n");
    for (int i = 0; i < 100 && watcher->statistics().files_checked < 1; ++i) Steps(1);
    EXPECT_GE(watcher->statistics().files_checked, 1);
    EXPECT_EQ(std::count(hooks.changes.begin(), hooks.changes.end(),
                         std::pair<std::string, std::string>("altered", page)),
              1);
    context.env = platform::Env::Default();
}

int RefuseToMark(int, unsigned, uint64_t, int, const char*) {
    errno = EXDEV;
    return -1;
}

// A file system fanotify cannot mark: the watch goes on with inotify, and sees the changes.
TEST_F(WatcherTest, AFileSystemFanotifyCannotMarkIsWatchedWithInotify) {
    tree.Write("www/index.html", "<h1>good</h1>");
    SetRules({{tree / "www", RuleKind::kTree}});
    const platform::FanotifyCalls unmarkable{platform::SystemFanotifyCalls().init, &RefuseToMark};
    WatchOptions options = Quick();
    options.fanotify_calls = &unmarkable;
    Start(options);
    EXPECT_EQ(watcher->statistics().events_source, "inotify");
    tree.Write("www/new.txt", "n");
    for (int i = 0; i < 100 && watcher->statistics().files_checked < 1; ++i) Steps(1);
    EXPECT_GE(watcher->statistics().files_checked, 1);
}

// The reader fails long after the last full check: the full check it asks for runs before a
// new reader can be started (at most once per `retry`). The new reader is watching all the same.
TEST_F(WatcherTest, AReaderStartedAgainAfterTheFullCheckItAskedForHasItsWatchesSet) {
    // Past the pause after a full check (1 s): the check comes first.
    StartWithAFailingReader(std::chrono::milliseconds(1500));
    tree.Write("www/index.html", "<h1>defaced</h1>");
    for (int i = 0; i < 200 && watcher->statistics().event_restarts < 1; ++i) Steps(1);
    ASSERT_EQ(watcher->statistics().event_restarts, 1);
    EXPECT_EQ(watcher->statistics().full_checks, 2);  // the one without a reader
    for (int i = 0; i < 100 && watcher->statistics().full_checks < 3; ++i) Steps(1);
    EXPECT_EQ(watcher->statistics().full_checks, 3);
    const int64_t checked = watcher->statistics().files_checked;
    tree.Write("www/new.txt", "n");
    for (int i = 0; i < 100 && watcher->statistics().files_checked == checked; ++i) Steps(1);
    EXPECT_GT(watcher->statistics().files_checked, checked);
    context.env = platform::Env::Default();
}

TEST_F(WatcherTest, AHoldThatEndsWithChangesLeftAloneBringsAFullCheck) {
    testing::WriteAll(context.RulesPath(), "<rule>" + tree / "www" + ",3</rule>\r\n");
    tree.Write("www/index.html", "<h1>good</h1>");
    ASSERT_TRUE(engine->Initialise().ok());
    Start();
    Steps(2);
    EXPECT_EQ(watcher->statistics().full_checks, 1);
    hooks.held_changes_freed = true;
    for (int i = 0; i < 100 && watcher->statistics().full_checks < 2; ++i) Steps(1);
    EXPECT_EQ(watcher->statistics().full_checks, 2);
}

TEST_F(WatcherTest, APageDefacedWhileAFullCheckRunsIsRestoredWithinThatCheck) {
    // A folder's files come after its subfolders': the page is measured first, then the rest.
    const std::string page = StartOnPageAnd("sub/index.html", "", 3000);
    bool defaced = false;
    int64_t full_checks_at_restore = -1;
    hooks.on_yield = [&] {
        if (defaced || hooks.progress_path != page) return;
        defaced = true;
        tree.Write("www/sub/index.html", "<h1>defaced</h1>");
    };
    hooks.on_response = [&](const std::string& path) {
        if (path != page) return ResponseOutcome{};
        full_checks_at_restore = watcher->statistics().full_checks;
        tree.Write("www/sub/index.html", "<h1>good</h1>");
        ResponseOutcome restored;
        restored.left = ResponseOutcome::Left::kRestored;
        return restored;
    };
    RunAnotherFullCheck();
    ASSERT_TRUE(defaced);
    EXPECT_EQ(full_checks_at_restore, 1);  // during the second check, not after it
    EXPECT_EQ(ChangeLines(), std::vector<std::string>{"Altered: " + page});
}

TEST_F(WatcherTest, APageDefacedWhileAFullCheckReportsDeletedFilesIsRestoredBeforeTheyAreDone) {
    // Removed before the watch starts: no event of theirs.
    const std::string page = StartOnPageAnd("index.html", "old/", 2000,
                                            [&] { std::filesystem::remove_all(tree / "www/old"); });
    int deleted_answered = 0;
    int deleted_answered_at_restore = -1;
    hooks.on_response = [&](const std::string& path) {
        ResponseOutcome restored;
        restored.left = ResponseOutcome::Left::kRestored;
        if (path == page) {
            deleted_answered_at_restore = deleted_answered;
            tree.Write("www/index.html", "<h1>good</h1>");
            return restored;
        }
        if (++deleted_answered == 1) tree.Write("www/index.html", "<h1>defaced</h1>");
        tree.Write(path.substr(tree.path().size() + 1), "x");  // as a restore would
        return restored;
    };
    RunAnotherFullCheck();
    EXPECT_GT(deleted_answered_at_restore, 0);
    EXPECT_LT(deleted_answered_at_restore, 2000);
    EXPECT_EQ(std::count(hooks.changes.begin(), hooks.changes.end(),
                         std::pair<std::string, std::string>("altered", page)),
              1);
}

TEST_F(WatcherTest, APageDeletedWhileAFullCheckRunsIsReportedOnce) {
    // A folder's files come after its subfolders': the page is met last.
    const std::string page = StartOnPageAnd("index.html", "sub/", 2000);
    const std::string solo = tree / "solo.html";
    bool deleted = false;
    hooks.on_yield = [&] {
        if (deleted) return;
        deleted = true;
        std::remove(page.c_str());
        std::remove(solo.c_str());
    };
    RunAnotherFullCheck();
    ASSERT_TRUE(deleted);
    // Found gone by the check's look at the watch's events, and not again by its report of
    // the files its walk did not meet, nor by its file rule (the response restores nothing).
    EXPECT_EQ(ChangeLines(), (std::vector<std::string>{"Deleted: " + page, "Deleted: " + solo}));
}

// A page the response took away but could not put back is left by the watch's looks (as the
// response left it) until a full check. A look during that check that finds it still gone
// reports nothing, and so must not keep the check from reporting it deleted and restoring it.
TEST_F(WatcherTest, APageLeftGoneByAFailedRestoreIsReportedByAFullCheckThatLooksAtItMeanwhile) {
    const std::string page = StartOnPageAnd("index.html", "sub/", 2000);
    hooks.on_response = [&](const std::string& path) {
        ResponseOutcome taken_out;
        if (path != page) return taken_out;
        std::remove(page.c_str());
        taken_out.left = ResponseOutcome::Left::kNothing;
        return taken_out;
    };
    tree.Write("www/index.html", "<h1>defaced</h1>");
    for (int i = 0; i < 100 && hooks.changes.empty(); ++i) Steps(1);
    ASSERT_EQ(hooks.changes.size(), 1u);
    Steps(2);  // the watch's own look at the page it took away
    hooks.on_response = {};
    // While the check walks, a file put at the page's place and removed again.
    bool touched = false;
    hooks.on_yield = [&] {
        if (touched) return;
        touched = true;
        tree.Write("www/index.html", "x");
        std::remove(page.c_str());
    };
    RunAnotherFullCheck();
    ASSERT_TRUE(touched);
    EXPECT_EQ(std::count(hooks.changes.begin(), hooks.changes.end(),
                         std::pair<std::string, std::string>("deleted", page)),
              1);
}

// Folders made while a full check runs wait in memory for its end to be watched (the events
// are taken during the check). Past the bound of what may wait, a full check after it sets
// their watches instead: folders made and removed without end never fill the memory.
TEST_F(WatcherTest, NewFoldersWaitingPastTheBoundDuringAFullCheckBringAnotherOne) {
    tree.Write("www/index.html", "<h1>good</h1>");
    for (int i = 0; i < 500; ++i) tree.Write("www/sub/f" + std::to_string(i), "x");
    testing::WriteAll(context.RulesPath(), "<rule>" + tree / "www" + ",3</rule>\r\n");
    ASSERT_TRUE(engine->Initialise().ok());
    switches.auto_restore = 1;
    WatchOptions options = Quick();
    options.urgent_look = std::chrono::milliseconds(0);
    options.timings.most_pending = 8;
    Start(options);
    bool made = false;
    hooks.on_yield = [&] {
        if (made) return;
        made = true;
        for (int i = 0; i < 20; ++i) {
            const std::string folder = tree / ("www/n" + std::to_string(i));
            EXPECT_TRUE(std::filesystem::create_directory(folder));
            EXPECT_TRUE(std::filesystem::remove(folder));
        }
    };
    RunAnotherFullCheck();
    ASSERT_TRUE(made);
    for (int i = 0; i < 100 && watcher->statistics().full_checks < 3; ++i) Steps(1);
    EXPECT_EQ(watcher->statistics().full_checks, 3);
}

TEST_F(WatcherTest, APageNorvOnceRestoredIsAChangeOnceANewBaselineNoLongerRecordsIt) {
    const std::string page = StartOnPageAnd("index.html", "", 0);
    int restores = 0;
    hooks.on_response = [&](const std::string& path) {
        ++restores;
        tree.Write("www/index.html", "<h1>good</h1>");
        ResponseOutcome restored;
        restored.left = ResponseOutcome::Left::kRestored;
        restored.restored_digest = platform::Md5Digest(platform::Md5Hex("<h1>good</h1>"));
        EXPECT_EQ(path, page);
        return restored;
    };
    tree.Write("www/index.html", "<h1>defaced</h1>");
    for (int i = 0; i < 100 && restores < 1; ++i) Steps(1);
    ASSERT_EQ(restores, 1);
    Steps(3);  // the restore's own events: norv's work, no change
    EXPECT_EQ(restores, 1);
    // A new page is deployed and taken into the baseline; the old one put back is a change.
    tree.Write("www/index.html", "<h1>new</h1>");
    ASSERT_TRUE(engine->Initialise().ok());
    tree.Write("www/index.html", "<h1>good</h1>");
    for (int i = 0; i < 100 && restores < 2; ++i) Steps(1);
    EXPECT_EQ(restores, 2);
}

// Events lost under a flood of new files, with automatic restore on: the recorded page is
// restored before the full check's walk measures a single new file (the flood's folder is
// walked before the page's own files), and reported once.
TEST_F(WatcherTest, AfterLostEventsARecordedPageIsRestoredBeforeTheFloodIsMeasured) {
    const std::string page = tree.Write("www/index.html", "<h1>good</h1>");
    tree.Write("www/flood/keep.txt", "k");
    testing::WriteAll(context.RulesPath(), "<rule>" + tree / "www" + ",3</rule>\r\n");
    ASSERT_TRUE(engine->Initialise().ok());
    switches.auto_restore = 1;
    WatchOptions options;
    options.most_queued_event_bytes = 2048;  // a few dozen events, then an overflow
    options.timings.settle = options.timings.longest_wait = std::chrono::hours(1);
    Start(options);
    int new_files_at_restore = -1;
    hooks.on_response = [&](const std::string& path) {
        if (path != page) return ResponseOutcome{};
        new_files_at_restore = 0;
        for (const auto& [name, row] : Rows()) new_files_at_restore += row.md5c == " ";
        tree.Write("www/index.html", "<h1>good</h1>");
        ResponseOutcome restored;
        restored.left = ResponseOutcome::Left::kRestored;
        return restored;
    };
    for (int i = 0; i < 200; ++i) tree.Write("www/flood/f" + std::to_string(i), "x");
    tree.Write("www/index.html", "<h1>defaced</h1>");
    for (int i = 0; i < 100 && watcher->statistics().full_checks < 2; ++i) Steps(1);
    ASSERT_EQ(watcher->statistics().full_checks, 2);
    EXPECT_EQ(new_files_at_restore, 0);
    EXPECT_EQ(std::count(hooks.changes.begin(), hooks.changes.end(),
                         std::pair<std::string, std::string>("altered", page)),
              1);
    EXPECT_EQ(counters.changes(), 200);  // the full check: the new files only
}

}  // namespace
}  // namespace norv

namespace norv {
namespace {

// A page defaced while a flood of new files is checked is checked before the next new file,
// however many follow: its event is in hand before that file is measured.
TEST_F(WatcherTest, APageDefacedAmidAFloodOfNewFilesIsCheckedBeforeTheNextNewFile) {
    const std::string page = StartOnPageAnd("index.html", "", 0);
    std::vector<std::pair<std::string, std::string>> flood;
    char name[8];
    for (int i = 0; i < 50; ++i) {
        std::snprintf(name, sizeof name, "f%03d", i);
        flood.emplace_back(name, "x");
    }
    testing::RaceEnv& race = RaceAfterStart();
    DefaceBefore(race, testing::Call::kRead, "f003", page);
    Plant(flood);
    for (int i = 0; i < 40 && hooks.changes.size() < flood.size() + 1; ++i) Steps(1);
    ASSERT_EQ(race.Fired(), 1);
    ASSERT_EQ(hooks.changes.size(), flood.size() + 1);
    // f000 to f003, then the page.
    EXPECT_EQ(ResponseOrder(page), 4);
    EXPECT_EQ(hooks.changes[4].first, "altered");
}

// ... and one defaced while a large new file is read is checked between two blocks of it.
TEST_F(WatcherTest, APageDefacedWhileALargeNewFileIsReadIsCheckedBeforeThatFileIsDone) {
    const std::string page = StartOnPageAnd("index.html", "", 0);
    testing::RaceEnv& race = RaceAfterStart();
    DefaceBefore(race, testing::Call::kPRead, "large.iso", page);
    Plant({{"large.iso", std::string(size_t{4} << 20, 'L')}});
    const std::string large = tree / "www/planted/large.iso";
    for (int i = 0; i < 40 && hooks.changes.size() < 2; ++i) Steps(1);
    ASSERT_EQ(race.Fired(), 1);
    EXPECT_EQ(ResponseOrder(page), 0);
    EXPECT_EQ(ResponseOrder(large), 1);
}

// ... and so is one defaced while a full check reads a large recorded file (after a lost event
// queue, say): the page is answered while that file is still open.
TEST_F(WatcherTest, APageDefacedWhileAFullCheckReadsALargeFileIsCheckedBeforeThatFileIsDone) {
    const std::string large = tree.Write("www/large.iso", std::string(size_t{4} << 20, 'L'));
    const std::string page = StartOnPageAnd("index.html", "", 0);
    testing::RaceEnv& race = RaceAfterStart();
    DefaceBefore(race, testing::Call::kPRead, "large.iso", page);
    bool large_open_at_response = false;
    hooks.on_response = [&](const std::string& path) {
        if (path == page) {
            for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
                std::error_code error;
                if (std::filesystem::read_symlink(fd.path(), error) == large) {
                    large_open_at_response = true;
                }
            }
        }
        return ResponseOutcome{};
    };
    RunAnotherFullCheck();
    ASSERT_EQ(race.Fired(), 1);
    EXPECT_TRUE(large_open_at_response);
}

// The very file a full check reads, defaced meanwhile and put back by the watch between two of
// its blocks, is reported once: the check reads it again rather than report the copy taken away.
TEST_F(WatcherTest, AFileRestoredWhileAFullCheckReadsItIsReportedOnce) {
    const std::string good(size_t{4} << 20, 'L');
    const std::string large = tree.Write("www/large.iso", good);
    StartOnPageAnd("index.html", "", 0);
    testing::RaceEnv& race = RaceAfterStart();
    DefaceBefore(race, testing::Call::kPRead, "large.iso", large);
    hooks.on_response = [&](const std::string& path) {
        ResponseOutcome outcome;
        if (path != large) return outcome;
        testing::WriteAll(program / "restored", good);
        EXPECT_EQ(::rename((program / "restored").c_str(), large.c_str()), 0);
        outcome.left = ResponseOutcome::Left::kRestored;
        return outcome;
    };
    RunAnotherFullCheck();
    ASSERT_EQ(race.Fired(), 1);
    EXPECT_EQ(ChangeLines(), std::vector<std::string>{"Altered: " + large});
}

// A restore that keeps failing (its temporary taken away each time, say) is tried again a bounded
// number of times, then given up with a message; the periodic full checks take it from there.
// (The retries themselves, with the real response: tests/response/watch_restore_test.cpp.)
class RestoreRetryTest : public WatcherTest {
  protected:
    // The response as it goes when each of the first `failing` restores of the page fails: the
    // tampered page is taken out and nothing put back; then it is put back.
    void FailRestores(const std::string& page, int failing) {
        hooks.on_response = [this, page, failing](const std::string& path) {
            ResponseOutcome outcome;
            if (path != page) return outcome;
            ::unlink(page.c_str());
            if (++restores > failing) {
                testing::WriteAll(page, "<h1>good</h1>");
                outcome.left = ResponseOutcome::Left::kRestored;
                outcome.restored_digest = platform::Md5Digest(platform::Md5Hex("<h1>good</h1>"));
                return outcome;
            }
            outcome.left = ResponseOutcome::Left::kNothing;
            outcome.failures = {Message(NoticeCode::kRestoreFailed, {page})};
            return outcome;
        };
    }
    WatchOptions Retrying(int most) {
        WatchOptions options = Quick();
        options.urgent_look = std::chrono::milliseconds(0);
        options.restore_retry_first = std::chrono::milliseconds(1);
        options.restore_retry_most = most;
        return options;
    }
    int restores = 0;
};

TEST_F(RestoreRetryTest, ARestoreThatKeepsFailingIsTriedABoundedNumberOfTimesAndSaid) {
    const std::string page = tree.Write("www/index.html", "<h1>good</h1>");
    SetRules({{tree / "www", RuleKind::kTree}});
    ASSERT_TRUE(engine->Initialise().ok());
    switches.auto_restore = 1;
    FailRestores(page, 1000);
    Start(Retrying(3));
    tree.Write("www/index.html", "<h1>defaced</h1>");
    const auto said = [&] {
        return std::any_of(hooks.notices.begin(), hooks.notices.end(), [](const Notice& n) {
            return n.text.Has(NoticeCode::kRestoreRetriesGivenUp);
        });
    };
    for (int i = 0; i < 100 && !said(); ++i) Steps(1);
    EXPECT_TRUE(said());
    EXPECT_EQ(restores, 4);  // the first, and three more
    Steps(5);
    EXPECT_EQ(restores, 4);
}

}  // namespace
}  // namespace norv
