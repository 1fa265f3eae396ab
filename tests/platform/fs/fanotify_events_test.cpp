#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/notice_code.h"
#include "platform/fs/fanotify_internal.h"
#include "platform/fs/folder_event_source.h"
#include "tests/support/test_support.h"

namespace norv::platform {
namespace {

using norv::testing::TempDir;

std::unique_ptr<FanotifyEvents> FanotifyOrSkip() {
    auto events =
        FanotifyEvents::Create(testing::SystemEnv(), SystemFanotifyCalls(), kMostQueuedEventBytes);
    if (!events.ok()) return nullptr;
    return std::move(events).value();
}

int WatchPath(FolderEventSource& events, const std::string& path) {
    auto folder = OpenDirectory(testing::SystemEnv(), path);
    EXPECT_TRUE(folder.ok()) << path;
    if (!folder.ok()) return -1;
    auto watch = events.Watch(**folder, path);
    EXPECT_TRUE(watch.ok()) << watch.status().ToString();
    return watch.ok() ? watch.value() : -1;
}

// Events until one matches `wanted` (or ten seconds pass); every event seen goes to `seen`.
bool WaitFor(FolderEventSource& events, const std::function<bool(const FolderEvent&)>& wanted,
             std::vector<FolderEvent>* seen = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        std::vector<FolderEvent> got;
        if (!events.Wait(std::chrono::milliseconds(100), got).ok()) return false;
        for (FolderEvent& event : got) {
            const bool match = wanted(event);
            if (seen != nullptr) seen->push_back(event);
            if (match) return true;
        }
    }
    return false;
}

TEST(FanotifyEvents, NamesAFolderNotWatchedByAKeyThatFindsItAndMayBeIgnored) {
    auto events = FanotifyOrSkip();
    if (!events) GTEST_SKIP() << "fanotify is not available here";
    TempDir tree;
    WatchPath(*events, tree.path());
    // Made and written at once, before anyone could watch the new folder.
    tree.Write("new/planted", "x");
    FolderEvent planted;
    ASSERT_TRUE(WaitFor(*events, [&](const FolderEvent& event) {
        if (event.name != "planted" || !(event.kinds & FolderEvent::kFinished)) return false;
        planted = event;
        return true;
    }));
    EXPECT_EQ(planted.watch, -1);
    auto root = OpenDirectory(testing::SystemEnv(), tree.path());
    ASSERT_TRUE(root.ok());
    auto located = LocateFolder(**root, planted.folder_key);
    ASSERT_TRUE(located.ok()) << located.status().ToString();
    struct stat made;
    ASSERT_EQ(::stat((tree / "new").c_str(), &made), 0);
    EXPECT_EQ(located->identity, (FileIdentity{made.st_dev, made.st_ino}));
    EXPECT_TRUE(located->path.ends_with("/new")) << located->path;

    // Ignored, its events end in the reader; watched, they come with the watch.
    events->Ignore(planted.folder_key);
    tree.Write("new/ignored", "x");
    tree.Write("marker", "x");
    std::vector<FolderEvent> seen;
    ASSERT_TRUE(WaitFor(
        *events, [](const FolderEvent& event) { return event.name == "marker"; }, &seen));
    for (const FolderEvent& event : seen) EXPECT_NE(event.name, "ignored");
    const int watched = WatchPath(*events, tree / "new");
    EXPECT_EQ(events->WatchOf(planted.folder_key), watched);
    tree.Write("new/watched", "x");
    EXPECT_TRUE(WaitFor(*events, [&](const FolderEvent& event) {
        return event.watch == watched && event.name == "watched";
    }));
    EXPECT_EQ(events->marks(), 1u);
}

TEST(FanotifyEvents, NamesTheProcessThatWrote) {
    auto events = FanotifyOrSkip();
    if (!events) GTEST_SKIP() << "fanotify is not available here";
    if (!events->reports_pidfd()) GTEST_SKIP() << "the kernel gives no pidfd";
    TempDir tree;
    const int root = WatchPath(*events, tree.path());
    int done[2];
    ASSERT_EQ(::pipe(done), 0);
    const std::string file = tree / "by-child";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Writes, then lives until the parent has seen the event.
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        (void)!::write(fd, "x", 1);
        ::close(fd);
        char byte;
        (void)!::read(done[0], &byte, 1);
        ::_exit(0);
    }
    std::shared_ptr<const Writer> writer;
    const bool seen = WaitFor(*events, [&](const FolderEvent& event) {
        if (event.watch != root || event.name != "by-child" || !event.writer) return false;
        writer = event.writer;
        return true;
    });
    (void)!::write(done[1], "x", 1);
    ::waitpid(child, nullptr, 0);
    ::close(done[0]);
    ::close(done[1]);
    ASSERT_TRUE(seen);
    EXPECT_FALSE(writer->exited);
    EXPECT_EQ(writer->process.pid, child);
    EXPECT_EQ(writer->uid, static_cast<int64_t>(::getuid()));
    EXPECT_EQ(writer->euid, static_cast<int64_t>(::geteuid()));
    EXPECT_FALSE(writer->process.executable.empty());
    // The test itself is the writer's parent, in the same cgroup.
    ASSERT_FALSE(writer->parents.empty());
    EXPECT_EQ(writer->parents.front().pid, ::getpid());
}

// A file system unmounted under a watch ends its watches, each moved away first, as inotify
// says an unmount.
TEST(FanotifyEvents, AnUnmountedFileSystemEndsItsWatches) {
    auto events = FanotifyOrSkip();
    if (!events) GTEST_SKIP() << "fanotify is not available here";
    TempDir tree;
    const std::string place = tree.MakeDir("mounted");
    if (::mount("norv-test", place.c_str(), "tmpfs", 0, "size=1m") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    ::mkdir((place + "/inside").c_str(), 0755);
    int watch = -1;
    {
        auto folder = OpenDirectory(testing::SystemEnv(), place + "/inside");
        ASSERT_TRUE(folder.ok());
        auto watched = events->Watch(**folder, place + "/inside");
        if (!watched.ok() && watched.status().Is(ErrorKind::kUnsupported)) {
            ::umount(place.c_str());
            GTEST_SKIP() << "fanotify cannot mark a tmpfs here";
        }
        ASSERT_TRUE(watched.ok()) << watched.status().ToString();
        watch = watched.value();
    }
    ASSERT_EQ(::umount(place.c_str()), 0);
    bool moved = false;
    EXPECT_TRUE(WaitFor(*events, [&](const FolderEvent& event) {
        if (event.watch != watch) return false;
        moved = moved || (event.kinds & FolderEvent::kFolderMoved);
        return (event.kinds & FolderEvent::kWatchEnded) != 0;
    }));
    EXPECT_TRUE(moved);
    EXPECT_EQ(events->watches(), 0u);
}

// Within the cache's time, a process that executed a program again (here its own executable,
// another script for one interpreter) is read again, and one gone is never named by what was
// read before.
TEST(Writer, TheCacheNamesTheProgramRunningNowOrSaysTheProcessExited) {
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::setpgid(0, 0);  // its sleep goes with it, not holding the test's output for a minute
        ::close(go[1]);
        ::dup2(go[0], 0);
        ::execl("/bin/sh", "sh", "-c", "read x; exec /bin/sh -c 'sleep 60; exit 0' sec$x", nullptr);
        ::_exit(0);
    }
    ::close(go[0]);
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
    ASSERT_GE(pidfd, 0);
    WriterCache cache;
    const std::string cmdline = "/proc/" + std::to_string(child) + "/cmdline";
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (testing::ReadAll(cmdline).find("read x") == std::string::npos) {
        ASSERT_LT(std::chrono::steady_clock::now(), give_up);
        std::this_thread::yield();
    }
    EXPECT_NE(cache.Of(pidfd, child)->process.command_line.find("read x"), std::string::npos);
    ASSERT_EQ(::write(go[1], "ond\n", 4), 4);  // the second program's name: "second"
    while (testing::ReadAll(cmdline).find("second") == std::string::npos) {
        ASSERT_LT(std::chrono::steady_clock::now(), give_up);
        std::this_thread::yield();
    }
    EXPECT_NE(cache.Of(pidfd, child)->process.command_line.find("second"), std::string::npos);
    ::kill(-child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    auto writer = cache.Of(pidfd, child);
    ::close(pidfd);
    ::close(go[1]);
    EXPECT_TRUE(writer->exited);
    EXPECT_EQ(writer->process.pid, child);
    EXPECT_TRUE(writer->process.executable.empty());
}

TEST(Writer, ACommandLineIsEscapedAndBounded) {
    EXPECT_EQ(EscapeProcessText("a b\n\"\\\xff"), "a b\\x0a\\x22\\x5c\\xff");
}

int RefuseInit(unsigned, unsigned) {
    errno = EPERM;
    return -1;
}
int RefuseMark(int, unsigned, uint64_t, int, const char*) {
    errno = EXDEV;
    return -1;
}

TEST(FolderEventSource, FallsBackToInotifyWhenFanotifyIsRefused) {
    const FanotifyCalls refused{&RefuseInit, SystemFanotifyCalls().mark};
    EventSourceOptions options;
    options.fanotify = &refused;
    Message why;
    auto events = OpenFolderEventSource(testing::SystemEnv(), options, &why);
    ASSERT_TRUE(events.ok()) << events.status().ToString();
    EXPECT_EQ((*events)->name(), "inotify");
    EXPECT_TRUE(why.Has(NoticeCode::kCannotStartFanotify));
    // A file system fanotify cannot mark is said as such, for the caller to fall back.
    auto fanotify = FanotifyOrSkip();
    if (!fanotify) return;
    const FanotifyCalls unmarkable{SystemFanotifyCalls().init, &RefuseMark};
    auto marking = FanotifyEvents::Create(testing::SystemEnv(), unmarkable, kMostQueuedEventBytes);
    ASSERT_TRUE(marking.ok());
    TempDir tree;
    auto folder = OpenDirectory(testing::SystemEnv(), tree.path());
    ASSERT_TRUE(folder.ok());
    auto watch = (*marking)->Watch(**folder, tree.path());
    ASSERT_FALSE(watch.ok());
    EXPECT_TRUE(watch.status().Is(ErrorKind::kUnsupported));
    EXPECT_TRUE(watch.status().what().Has(NoticeCode::kCannotMarkFileSystem));
}

}  // namespace
}  // namespace norv::platform
