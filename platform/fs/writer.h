// Writer: the process that made a change, as the kernel named it in the change's event (a pidfd).
//
// Read from /proc while the process lives, through a descriptor of its /proc folder opened while
// the pidfd still referred to it, and kept only if the pidfd still refers to a living process
// after the reads: a pid given out again to another process is never taken for the writer. A
// process gone before it could be read is said to have exited, with its pid and nothing more.
// What the facts can and cannot prove: docs/SECURITY.md.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace norv::platform {

// The longest command line kept (escaped, before the cut), and the most parents followed.
inline constexpr size_t kMostCommandLineBytes = 4096;
inline constexpr size_t kMostWriterParents = 16;

struct WriterProcess {
    pid_t pid = 0;
    std::string executable;    // /proc/<pid>/exe, escaped; "" when it cannot be read
    std::string command_line;  // arguments joined by spaces, escaped, at most 4 KiB
};

struct Writer {
    WriterProcess process;
    bool exited = false;  // gone before it could be read: only the pid is known
    int64_t uid = -1, euid = -1;
    int64_t login_uid = -1;  // /proc/<pid>/loginuid; -1 unset (4294967295) or unknown
    std::string cgroup;      // the unified hierarchy's path
    std::string unit;        // the systemd unit (or scope) the cgroup names; "" for none
    // The parents, nearest first, while they are in the writer's cgroup (up to its unit), at
    // most kMostWriterParents.
    std::vector<WriterProcess> parents;
};

// Bytes as text for a log or a JSON string: printable ASCII as it is, a backslash and every
// other byte as \xHH.
std::string EscapeProcessText(const std::string& bytes);

// Reads writers, keeping each for `keep` so that a burst of one process's writes is read once.
// Bounded: at most `most` processes are kept. One thread uses an instance.
class WriterCache {
  public:
    explicit WriterCache(std::chrono::milliseconds keep = std::chrono::milliseconds(500),
                         size_t most = 256)
        : keep_(keep), most_(most) {}
    // The writer behind `pidfd` (borrowed: the caller closes it). `pid` is the event's pid,
    // said when the process is gone.
    std::shared_ptr<const Writer> Of(int pidfd, pid_t pid);
    // A writer known only by its pid, gone before the event was read.
    static std::shared_ptr<const Writer> Exited(pid_t pid);

  private:
    struct Kept {
        uint64_t start_time;
        uint64_t start_stack;
        std::chrono::steady_clock::time_point read_at;
        std::shared_ptr<const Writer> writer;
    };
    std::chrono::milliseconds keep_;
    size_t most_;
    std::unordered_map<pid_t, Kept> kept_;
};

// The pid a pidfd refers to (from /proc/self/fdinfo); 0 when the process has exited or the
// descriptor is no pidfd.
pid_t PidOfPidfd(int pidfd);

// Runs reads that may never return on long-lived threads of its own, each caller waiting at
// most `wait` for its answer: reading /proc/<pid>/cmdline faults in the writer's memory, which
// the writer may have mapped from a file system it serves (FUSE) and never answer. A thread held
// by such a read stays held; a new one starts only when none is free, at most `most_threads`,
// and past that a read is not tried until one returns. The threads outlive the instance while a
// read holds them.
class DeadlineReader {
  public:
    using ReadFunction = std::function<std::string(int fd)>;
    DeadlineReader(ReadFunction read, std::chrono::milliseconds wait, size_t most_threads);
    ~DeadlineReader();
    DeadlineReader(const DeadlineReader&) = delete;
    DeadlineReader& operator=(const DeadlineReader&) = delete;

    // What the read gives for `fd`, which it takes (closed once read); "" when it gave nothing
    // within the wait, or could not be tried.
    std::string Read(int fd);
    // Threads started, free or held.
    size_t threads() const;

    struct Shared;

  private:
    std::shared_ptr<Shared> shared_;
    std::chrono::milliseconds wait_;
};

}  // namespace norv::platform
