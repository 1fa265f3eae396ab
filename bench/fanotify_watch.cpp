// Measures the watch on fanotify: how long a big tree takes to be watched, and whether a file
// written in a folder made just before is seen.
//
//   norv-fanotify-bench ROOT [FOLDERS] [NEW]
//
// Makes FOLDERS folders below ROOT/tree (200,000 unless given; kept for the next run), walks them
// and watches each one (open, then Watch: one file system mark, one file handle each), and
// prints the time, the marks and the inotify watches this process holds (none: the inotify
// limit, fs.inotify.max_user_watches, does not bind). Then NEW times (200 unless given): a folder
// is made in ROOT/new, a file written in it 1 ms later, and the folder watched as the watch
// does when it sees the folder appear; prints how many of the files' writes were seen and the
// median time from the write to its event. Run as root on a kernel with fanotify.
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
    std::ifstream limit("/proc/sys/fs/inotify/max_user_watches");
    long max_user_watches = -1;
    limit >> max_user_watches;
    std::printf("fs.inotify.max_user_watches: %ld\n", max_user_watches);

    ::mkdir(root.c_str(), 0755);
    MakeTree(root + "/tree", folders);
    auto made = norv::platform::FanotifyEvents::Create(env, norv::platform::SystemFanotifyCalls(),
                                                       norv::platform::kMostQueuedEventBytes);
    if (!made.ok()) {
        std::fprintf(stderr, "fanotify: %s\n", made.status().ToString().c_str());
        return 1;
    }
    auto& events = **made;
    const double cpu_before = CpuSeconds();
    const double walk_cpu_before = CpuSeconds(RUSAGE_THREAD);
    const auto started = Clock::now();
    const int top = ::open((root + "/tree").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const long watched = WatchAll(events, env, top, root + "/tree");
    const auto took = Clock::now() - started;
    const double cpu = CpuSeconds() - cpu_before;
    const double walk_cpu = CpuSeconds(RUSAGE_THREAD) - walk_cpu_before;
    std::printf(
        "watched %ld folders in %.0f ms (CPU: %.0f ms opening and watching, %.0f ms reading "
        "the file system's other events; load average %s): %zu file system mark(s), %d inotify "
        "watches\n",
        watched, Ms(took), walk_cpu * 1000, (cpu - walk_cpu) * 1000, LoadAverage().c_str(),
        events.marks(), InotifyWatches());

    // Folders made and written at once.
    const std::string place = root + "/new";
    std::string command = "rm -rf '" + place + "'";
    if (std::system(command.c_str()) != 0) return 1;
    ::mkdir(place.c_str(), 0755);
    {
        const int fd = ::open(place.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DirectoryHandle handle(env, fd);
        if (!events.Watch(handle, place).ok()) return 1;
    }
    std::mutex mutex;
    std::unordered_map<std::string, Clock::time_point> written;  // folder name -> write time
    std::atomic<bool> writing_done{false};
    std::thread writer([&] {
        for (int i = 0; i < fresh; ++i) {
            const std::string name = "n" + std::to_string(i);
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
    std::unordered_map<int, std::string> new_watches;  // watch -> folder name
    std::vector<double> latencies;
    const auto give_up = Clock::now() + std::chrono::seconds(30);
    const int place_watch = [&] {
        const int fd = ::open(place.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        DirectoryHandle handle(env, fd);
        return events.Watch(handle, place).value();
    }();
    Clock::time_point quiet_since = Clock::now();
    int overflows = 0;  // events lost (the watch would run a full check)
    while (Clock::now() < give_up) {
        std::vector<FolderEvent> got;
        (void)events.Wait(std::chrono::milliseconds(20), got);
        const auto now = Clock::now();
        if (!got.empty()) quiet_since = now;
        for (const FolderEvent& event : got) {
            if (event.kinds & FolderEvent::kOverflow) ++overflows;
            if (event.watch == place_watch && event.is_folder &&
                (event.kinds & FolderEvent::kAppeared)) {
                // As the watch does: the new folder opened and watched.
                const int fd = ::openat(-100, (place + "/" + event.name).c_str(),
                                        O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (fd < 0) continue;
                DirectoryHandle handle(env, fd);
                auto watch = events.Watch(handle, place + "/" + event.name);
                if (watch.ok()) new_watches[watch.value()] = event.name;
                continue;
            }
            auto folder = new_watches.find(event.watch);
            if (folder == new_watches.end() || event.name != "f" ||
                !(event.kinds & FolderEvent::kFinished)) {
                continue;
            }
            // The write time is noted just after the close: wait for it if needed.
            for (;;) {
                std::lock_guard<std::mutex> lock(mutex);
                auto at = written.find(folder->second);
                if (at != written.end()) {
                    latencies.push_back(std::max(0.0, Ms(now - at->second)));
                    written.erase(at);
                    break;
                }
                if (writing_done) break;
            }
            new_watches.erase(folder);
        }
        if (writing_done && now - quiet_since > std::chrono::milliseconds(500)) break;
    }
    writer.join();
    std::sort(latencies.begin(), latencies.end());
    const double p50 = latencies.empty() ? 0 : latencies[latencies.size() / 2];
    std::printf(
        "written 1 ms after their folder was made: seen %zu/%d, p50 %.2f ms (%d overflows)\n",
        latencies.size(), fresh, p50, overflows);
    return watched >= folders && latencies.size() == static_cast<size_t>(fresh) ? 0 : 1;
}
