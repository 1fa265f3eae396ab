#include "engine/scan_engine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <set>

#include "engine/digest_pipeline.h"
#include "platform/base/io_priority.h"
#include "platform/digest/md5.h"
#include "tests/engine/engine_fixture.h"
#include "tests/support/fault_env.h"
#include "tests/support/process.h"
#include "tests/support/race_env.h"
namespace norv {
namespace {

struct RunRecord {
    std::string log;
    std::vector<std::string> rows;
    std::vector<std::pair<std::string, std::string>> changes;
    int32_t checked, created, altered, deleted;
    bool operator==(const RunRecord&) const = default;
};

class ParallelTest : public testing::EngineTest {
  protected:
    RunRecord Capture() {
        RunRecord r{testing::ReadAll(context.LogPath()),
                    {},
                    hooks.changes,
                    counters.checked,
                    counters.created,
                    counters.altered,
                    counters.deleted};
        auto stmt = context.db_conn->Prepare("SELECT * FROM fileinfo ORDER BY rowid").value();
        while (stmt->Step().value()) {
            std::string row;
            for (int c = 0; c < 6; ++c) row += stmt->ColumnText(c) + "|";
            r.rows.push_back(row);
        }
        return r;
    }
    RunRecord Init(int workers) {
        engine->SetDigestWorkers(workers);
        hooks.changes.clear();
        mode = ScanMode::kInit;
        EXPECT_TRUE(store->DeleteAll().ok());
        EXPECT_TRUE(engine->RunScan().ok());
        return Capture();
    }
    void SaveBaseline() {
        ASSERT_TRUE(store->Commit().ok());
        ASSERT_TRUE(context.db_conn->Exec("CREATE TABLE saved AS SELECT * FROM fileinfo").ok());
    }
    RunRecord Check(int workers) {
        // Every check starts from the same saved baseline.
        EXPECT_TRUE(store->Commit().ok());
        EXPECT_TRUE(context.db_conn->Exec("DELETE FROM fileinfo").ok());
        EXPECT_TRUE(
            context.db_conn->Exec("INSERT INTO fileinfo SELECT * FROM saved ORDER BY rowid").ok());
        engine->SetDigestWorkers(workers);
        hooks.changes.clear();
        EXPECT_TRUE(engine->Check().ok());
        return Capture();
    }
};

TEST_F(ParallelTest, FingerprintingAheadGivesTheSameRunAsOneFileAtATime) {
    for (int d = 0; d < 30; ++d) {
        for (int f = 0; f < 40; ++f) {
            tree.Write(
                "d" + std::to_string(d % 7) + "/s" + std::to_string(d) + "/f" + std::to_string(f),
                std::string(static_cast<size_t>(f * 37), static_cast<char>('a' + d % 26)));
        }
    }
    // The hand-off's batch edges: a folder several batches wide, many folders of one file,
    // and a skipped folder between them.
    for (int f = 0; f < 300; ++f) tree.Write("wide/w" + std::to_string(f), std::to_string(f));
    for (int d = 0; d < 100; ++d) tree.Write("narrow/n" + std::to_string(d) + "/only", "n");
    tree.Write("narrow/n50/cracked/kept", "never read");
    settings.cracked_dir = tree / "narrow/n50/cracked";
    tree.Write("big.bin", std::string(5 << 20, 'z'));
    tree.Write("mid.bin", std::string(3 * 65536 + 77, 'm'));
    ::mkfifo((tree / "d1/fifo").c_str(), 0600);
    ::symlink("..", (tree / "d2/up").c_str());
    std::string single = tree.Write("single.txt", "one");
    SetRules({{tree.path(), RuleKind::kTree},
              {single, RuleKind::kFile},
              {tree / "d3", RuleKind::kFolder},
              {tree / "missing", RuleKind::kTree}});
    // Each MD5 kernel the processor has, hashing several files at once on each worker, with the
    // files opened and read one by one and in io_uring batches.
    std::vector<const char*> kernels;
    for (platform::DigestKernel kernel :
         {platform::DigestKernel::kAvx512, platform::DigestKernel::kAvx2,
          platform::DigestKernel::kPortable}) {
        if (testing::KernelRunsOrSaySkipped(kernel)) {
            kernels.push_back(platform::DigestKernelName(kernel));
        }
    }
    auto each_kernel = [&](const std::function<void()>& run) {
        for (const char* io : {"plain", "uring"}) {
            context.reading.io = platform::ParseIoPath(io).value();
            for (const char* kernel : kernels) {
                SCOPED_TRACE(std::string(kernel) + " " + io);
                context.reading.digest_kernel = kernel;
                run();
            }
        }
        context.reading = {};
    };
    RunRecord serial_init = Init(0);
    EXPECT_NE(serial_init.log.find("Skipped: " + settings.cracked_dir), std::string::npos);
    each_kernel([&] { EXPECT_EQ(serial_init, Init(2)); });
    SaveBaseline();

    tree.Write("d1/s1/f3", "changed");
    tree.Write("d4/new", "new");
    ::unlink((tree / "d5/s5/f7").c_str());
    ::unlink(single.c_str());
    RunRecord serial = Check(0);
    EXPECT_EQ(serial.altered, 1);
    EXPECT_EQ(serial.created, 1);  // d4/new; the FIFO is recorded
    // f7; the single file in its rule, then its two records (the tree rule covers it too).
    EXPECT_EQ(serial.deleted, 4);
    each_kernel([&] {
        EXPECT_EQ(serial, Check(2));
        EXPECT_EQ(serial, Check(7));
    });
}

// io_uring refused in the middle of a check (a seccomp filter): the check still measures every
// file, and says once, in the log, that it reads them one by one from then on.
TEST_F(ParallelTest, ARingRefusedMidCheckIsAWarningInTheLog) {
    if (std::string_view(platform::ChosenIoName(platform::IoPath::kUring)) != "uring") {
        GTEST_SKIP() << "no io_uring here (or the thread sanitizer, which reads one by one)";
    }
    for (int f = 0; f < 200; ++f) tree.Write("f" + std::to_string(f), std::to_string(f));
    SetRules({{tree.path(), RuleKind::kFolder}});
    context.reading.io = platform::IoPath::kUring;
    const RunRecord whole = Init(2);
    SaveBaseline();
    tree.Write("f150", "changed");
    auto in_a_child = [&] {
        testing::RefuseIoUringEnter();
        const RunRecord refused = Check(2);
        const std::string said = std::string("Warning: ") + tree.path() +
                                 ": kWithCause(kBatchReadingGivenUp(), Operation not permitted)";
        const size_t at = refused.log.find(said);
        if (at == std::string::npos || refused.log.find(said, at + 1) != std::string::npos) {
            std::_Exit(1);
        }
        std::_Exit(refused.checked == whole.checked && refused.altered == 1 ? 0 : 2);
    };
    EXPECT_EXIT(in_a_child(), ::testing::ExitedWithCode(0), "");
}

// With restore on, files are measured ahead too; one a response changed after its measurement
// is measured again before it is recorded, as a walk measuring each file just before recording
// it would find it, even when restore was turned on after the check began.
TEST_F(ParallelTest, WithRestoreOnAFileChangedByAResponseAfterItWasMeasuredIsMeasuredAgain) {
    for (int i = 0; i < 10; ++i) tree.Write("f" + std::to_string(i), "1");
    SetRules({{tree.path(), RuleKind::kFolder}});
    switches.auto_restore = 1;
    // The walk's order is the baseline's: the first file is altered, and the response to it
    // rewrites the last one once that is measured, its file closed (read one by one, so that
    // each close is seen).
    const std::vector<std::string> rows = Init(2).rows;
    const std::string first = rows.front().substr(0, rows.front().find('|'));
    const std::string last = rows.back().substr(0, rows.back().find('|'));
    testing::WriteAll(first, "changed");
    context.reading.io = platform::ParseIoPath("plain").value();
    testing::RaceEnv race;
    struct Restore {
        platform::Env*& env;
        platform::Env* was;
        ~Restore() { env = was; }
    } restore{context.env, context.env};
    context.env = &race;
    std::atomic<bool> last_measured{false};
    race.After(testing::Call::kClose, last.substr(last.rfind('/') + 1),
               [&] { last_measured = true; });
    hooks.on_response = [&](const std::string& path) {
        if (path == first) {
            EXPECT_TRUE(testing::Eventually([&] { return last_measured.load(); }));
            // Of the same length and time as before: only its change time tells, once the
            // clock that sets it has moved past the last change.
            struct stat was {};
            EXPECT_EQ(::stat(last.c_str(), &was), 0);
            EXPECT_TRUE(testing::Eventually([&] {
                timespec now{};
                ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
                return now.tv_sec > was.st_ctim.tv_sec ||
                       (now.tv_sec == was.st_ctim.tv_sec && now.tv_nsec > was.st_ctim.tv_nsec);
            }));
            testing::WriteAll(last, "2");
            const timespec times[2] = {was.st_atim, was.st_mtim};
            EXPECT_EQ(::utimensat(AT_FDCWD, last.c_str(), times, 0), 0);
        }
        return ResponseOutcome{};
    };
    // Restore off as the check starts, turned on as it yields (the desktop's settings may).
    switches.auto_restore = 0;
    hooks.on_yield = [&] { switches.auto_restore = 1; };
    hooks.changes.clear();
    ASSERT_TRUE(engine->Check().ok());
    const std::vector<std::pair<std::string, std::string>> altered = {{"altered", first},
                                                                      {"altered", last}};
    EXPECT_EQ(hooks.changes, altered);
}

// An Env that notes the I/O priority of every thread that lists a folder or looks at a file.
class PriorityEnv : public platform::EnvWrapper {
  public:
    PriorityEnv() : EnvWrapper(platform::Env::Default()) {}
    dirent* ReadDir(DIR* dir) override {
        Note();
        return EnvWrapper::ReadDir(dir);
    }
    int FStat(int fd, struct stat* st) override {
        Note();
        return EnvWrapper::FStat(fd, st);
    }
    std::atomic<bool> noting{false};
    std::set<int> Seen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }

  private:
    void Note() {
        if (!noting) return;
        const int priority = static_cast<int>(::syscall(SYS_ioprio_get, 1, 0));
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.insert(priority);
    }
    std::mutex mutex_;
    std::set<int> seen_;
};

// --io-priority idle: the walk and every digest worker (and their rings) read at the idle class,
// while the thread that runs the scan keeps its own.
TEST(DigestPipelineTest, TheWalkAndTheWorkersReadAtThePriorityGiven) {
    testing::TempDir dir;
    for (int i = 0; i < 200; ++i)
        dir.Write("d" + std::to_string(i % 4) + "/f" + std::to_string(i), "x");
    PriorityEnv env;
    auto root = platform::OpenDirectory(env, dir.path());
    ASSERT_TRUE(root.ok());
    auto walk = std::make_unique<platform::TreeWalk>(*root, dir.path() + "/",
                                                     platform::TreeWalk::Options());
    platform::ReadOptions reading;
    reading.io_priority = platform::IoPriority::kIdle;
    const int own = static_cast<int>(::syscall(SYS_ioprio_get, 1, 0));
    env.noting = true;
    DigestPipeline pipeline(std::move(walk), 2, nullptr, reading);
    int files = 0;
    for (;;) {
        DigestPipeline::Item item = pipeline.Next(nullptr);
        if (item.entry.type == platform::TreeWalk::Entry::Type::kEnd) break;
        ASSERT_EQ(item.entry.type, platform::TreeWalk::Entry::Type::kFile);
        EXPECT_TRUE(item.fingerprint.md5.measured());
        ++files;
    }
    EXPECT_EQ(files, 200);
    EXPECT_EQ(env.Seen(), std::set<int>{platform::IoPriorityValue(platform::IoPriority::kIdle)});
    EXPECT_EQ(static_cast<int>(::syscall(SYS_ioprio_get, 1, 0)), own);
}

}  // namespace
}  // namespace norv
