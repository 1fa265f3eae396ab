// Measures the watch on fanotify: how long a big tree takes to be watched, and whether a file
// written in a folder made just before is seen.
//
//   norv-fanotify-bench ROOT [FOLDERS] [NEW]
//
// Makes FOLDERS folders below ROOT/tree (200,000 unless given; kept for the next run) and, with
// fs.inotify.max_user_watches set to 1,000 for the run, watches the tree as the watch does on
// fanotify: one mark for its file system and its own folder registered, each folder below
// registered when its first event comes. The peer, in the same run, registers every folder ahead
// (a walk that opens each one and takes its file handle), as a watch that cannot find folders by
// their handles must. Then NEW times (200 unless given) a folder is made in the tree and a file
// written in it 1 ms later: prints how many of the files' writes were seen, the median time from
// the write to its event, and what finding the new folders by their handles cost. Run as root
// on a kernel with fanotify.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/fs/fanotify_internal.h"
#include "platform/fs/file_system.h"

namespace {

using Clock = std::chrono::steady_clock;
using norv::platform::DirectoryHandle;
using norv::platform::FolderEvent;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::string Machine() {
    std::ifstream in("/proc/cpuinfo");
    std::string line, model;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    return std::to_string(std::thread::hardware_concurrency()) + " cores, " + model;
}

// User and system time of the whole process: on a shared machine, what the watch itself costs.
double CpuSeconds(int who = RUSAGE_SELF) {
    rusage usage;
    ::getrusage(who, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return 0.0 + seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one;
    in >> one;
    return one;
}

// The inotify watches this process holds (the lines of its inotify descriptors' fdinfo).
int InotifyWatches() {
    int watches = 0;
    DIR* fds = ::opendir("/proc/self/fdinfo");
    if (fds == nullptr) return -1;
    while (dirent* entry = ::readdir(fds)) {
        std::ifstream info(std::string("/proc/self/fdinfo/") + entry->d_name);
        std::string line;
        while (std::getline(info, line)) watches += line.rfind("inotify wd:", 0) == 0;
    }
    ::closedir(fds);
    return watches;
}

void MakeTree(const std::string& tree, long folders) {
    const std::string done = tree + "/.made-" + std::to_string(folders);
    if (::access(done.c_str(), F_OK) == 0) return;
    ::mkdir(tree.c_str(), 0755);
    for (long i = 0, top = -1; i < folders; ++i) {
        // A thousand folders under each of FOLDERS/1000 top ones (which count too).
        if (i % 1001 == 0) {
            ++top;
            ::mkdir((tree + "/t" + std::to_string(top)).c_str(), 0755);
            continue;
        }
        ::mkdir((tree + "/t" + std::to_string(top) + "/d" + std::to_string(i)).c_str(), 0755);
    }
    std::ofstream(done) << "";
}

// Opens and watches every folder below `fd` (owned), depth first; returns how many. The listing
// is read straight from the descriptor (getdents64), as a walk that opens each folder once does.
long WatchAll(norv::platform::FanotifyEvents& events, norv::platform::Env& env, int fd,
              const std::string& path) {
    DirectoryHandle folder(env, fd);
    if (!events.Watch(folder, path).ok()) return 0;
    long watched = 1;
    std::vector<std::string> names;
    alignas(8) char buffer[32768];
    for (;;) {
        const long n = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (n <= 0) break;
        for (long at = 0; at < n;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            const std::string name = entry->d_name;
            if (entry->d_type == DT_DIR && name != "." && name != "..") names.push_back(name);
            at += entry->d_reclen;
        }
    }
    for (const std::string& name : names) {
        const int child =
            ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (child >= 0) watched += WatchAll(events, env, child, path + "/" + name);
    }
    return watched;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: norv-fanotify-bench ROOT [FOLDERS] [NEW]\n");
        return 2;
    }
    const std::string root = argv[1];
    const long folders = argc > 2 ? std::atol(argv[2]) : 200000;
    const int fresh = argc > 3 ? std::atoi(argv[3]) : 200;
    norv::platform::Env& env = *norv::platform::Env::Default();
    std::printf("machine: %s\n", Machine().c_str());
    long max_user_watches = -1;
    std::ifstream("/proc/sys/fs/inotify/max_user_watches") >> max_user_watches;
    // The watch must not need inotify's watches: their limit is made small for the run.
    std::ofstream("/proc/sys/fs/inotify/max_user_watches") << 1000;
    struct RestoreLimit {
        long value;
        ~RestoreLimit() { std::ofstream("/proc/sys/fs/inotify/max_user_watches") << value; }
    } restore_limit{max_user_watches};
    long now_limit = -1;
    std::ifstream("/proc/sys/fs/inotify/max_user_watches") >> now_limit;
    std::printf("fs.inotify.max_user_watches: %ld for the run (%ld before)\n", now_limit,
                max_user_watches);

    ::mkdir(root.c_str(), 0755);
    MakeTree(root + "/tree", folders);
    auto made = norv::platform::FanotifyEvents::Create(env, norv::platform::SystemFanotifyCalls(),
                                                       norv::platform::kMostQueuedEventBytes);
    if (!made.ok()) {
        std::fprintf(stderr, "fanotify: %s\n", made.status().ToString().c_str());
        return 1;
    }
    auto& events = **made;
    const std::string tree = root + "/tree";
    const double cpu_before = CpuSeconds(RUSAGE_THREAD);
    const auto started = Clock::now();
    const int top = ::open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DirectoryHandle tree_folder(env, top);
    if (!events.Watch(tree_folder, tree).ok()) return 1;
    const auto took = Clock::now() - started;
    const double cpu = CpuSeconds(RUSAGE_THREAD) - cpu_before;
    std::printf(
        "watched a tree of %ld folders in %.2f ms (CPU %.2f ms): %zu file system mark(s), "
        "%d inotify watches\n",
        folders, Ms(took), cpu * 1000, events.marks(), InotifyWatches());

    // The peer: every folder registered ahead.
    {
        auto ahead = norv::platform::FanotifyEvents::Create(
            env, norv::platform::SystemFanotifyCalls(), norv::platform::kMostQueuedEventBytes);
        if (!ahead.ok()) return 1;
        const auto peer_started = Clock::now();
        const long registered =
            WatchAll(**ahead, env, ::open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), tree);
        const auto peer_took = Clock::now() - peer_started;
        std::printf(
            "peer, every folder registered ahead: %ld folders in %.0f ms (%.0f× the "
            "watch's start; load average %s)\n",
            registered, Ms(peer_took), Ms(peer_took) / std::max(Ms(took), 0.001),
            LoadAverage().c_str());
    }

    // Folders made in the tree and written at once.
    const std::string place = tree + "/t0";
    std::mutex mutex;
    std::unordered_map<std::string, Clock::time_point> written;  // folder name -> write time
    std::atomic<bool> writing_done{false};
    std::thread writer([&] {
        for (int i = 0; i < fresh; ++i) {
            const std::string name = "n" + std::to_string(i) + "-" + std::to_string(::getpid());
            ::mkdir((place + "/" + name).c_str(), 0755);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const int fd =
                ::open((place + "/" + name + "/f").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            (void)!::write(fd, "x", 1);
            ::close(fd);
            {
                std::lock_guard<std::mutex> lock(mutex);
                written[name] = Clock::now();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        writing_done = true;
    });
    std::vector<double> latencies, finding;
    const auto give_up = Clock::now() + std::chrono::seconds(30);
    Clock::time_point quiet_since = Clock::now();
    int overflows = 0;  // events lost (the watch would run a full check)
    const std::string tree_prefix = tree + "/";
    while (Clock::now() < give_up) {
        std::vector<FolderEvent> got;
        (void)events.Wait(std::chrono::milliseconds(20), got);
        if (!got.empty()) quiet_since = Clock::now();
        for (const FolderEvent& event : got) {
            if (event.kinds & FolderEvent::kOverflow) ++overflows;
            if (event.watch >= 0 || event.name != "f" || !(event.kinds & FolderEvent::kFinished)) {
                continue;
            }
            // As the watch does: the folder found by its handle, opened from the tree down
            // without following a link, proved the same, and registered.
            const auto finding_started = Clock::now();
            auto located = norv::platform::LocateFolder(tree_folder, event.folder_key);
            if (!located.ok() || !located->path.starts_with(tree_prefix)) {
                events.Ignore(event.folder_key);
                continue;
            }
            const std::string name = located->path.substr(place.size() + 1);
            auto opened = norv::platform::OpenDirectoryAt(tree_folder, "t0", place);
            if (!opened.ok()) continue;
            auto folder = norv::platform::OpenDirectoryAt(**opened, name, located->path);
            if (!folder.ok()) continue;
            auto identity = norv::platform::IdentityOf(**folder, located->path);
            if (!identity.ok() || !(identity.value() == located->identity)) continue;
            if (!events.Watch(**folder, located->path).ok()) continue;
            const auto now = Clock::now();
            finding.push_back(Ms(now - finding_started));
            // The write time is noted just after the close: wait for it if needed.
            for (;;) {
                std::lock_guard<std::mutex> lock(mutex);
                auto at = written.find(name);
                if (at != written.end()) {
                    latencies.push_back(std::max(0.0, Ms(now - at->second)));
                    written.erase(at);
                    break;
                }
                if (writing_done) break;
            }
        }
        if (writing_done && Clock::now() - quiet_since > std::chrono::milliseconds(500)) break;
    }
    writer.join();
    auto median = [](std::vector<double>& values) {
        std::sort(values.begin(), values.end());
        return values.empty() ? 0.0 : values[values.size() / 2];
    };
    std::printf(
        "written 1 ms after their folder was made: seen %zu/%d, p50 %.2f ms from the write; "
        "finding each new folder by its handle: p50 %.3f ms (%d overflows)\n",
        latencies.size(), fresh, median(latencies), median(finding), overflows);
    for (int i = 0; i < fresh; ++i) {
        const std::string folder =
            place + "/n" + std::to_string(i) + "-" + std::to_string(::getpid());
        ::unlink((folder + "/f").c_str());
        ::rmdir(folder.c_str());
    }
    return latencies.size() == static_cast<size_t>(fresh) ? 0 : 1;
}
