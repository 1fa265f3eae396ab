#include "platform/fs/writer.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>

namespace norv::platform {
namespace {

// A small file of /proc read whole through its folder's descriptor, at most `most` bytes.
bool ReadProcFile(int dir, const char* name, std::string& text, size_t most = 4096) {
    const int fd = ::openat(dir, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    text.clear();
    char buffer[4096];
    bool ok = true;
    while (text.size() < most) {
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, most - text.size()));
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return ok;
}

bool Alive(int pidfd) { return ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0; }

struct Stat {
    pid_t parent = 0;
    uint64_t start_time = 0;
    uint64_t start_stack = 0;  // new at each execve (the stack is placed anew)
};

// /proc/<pid>/stat: the fields after the command's closing parenthesis (the command itself
// may hold anything, parentheses and spaces too).
bool ReadStat(int dir, Stat& stat) {
    std::string text;
    if (!ReadProcFile(dir, "stat", text)) return false;
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return false;
    std::vector<std::string_view> fields;
    std::string_view rest(text);
    rest.remove_prefix(close + 1);
    while (!rest.empty() && fields.size() < 26) {
        while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
        const size_t end = std::min(rest.find(' '), rest.size());
        fields.push_back(rest.substr(0, end));
        rest.remove_prefix(end);
    }
    if (fields.size() < 26) return false;
    stat.parent = static_cast<pid_t>(std::strtol(std::string(fields[1]).c_str(), nullptr, 10));
    stat.start_time = std::strtoull(std::string(fields[19]).c_str(), nullptr, 10);
    stat.start_stack = std::strtoull(std::string(fields[25]).c_str(), nullptr, 10);
    return true;
}

int OpenProcess(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid);
    return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
}

std::string CommandLine(int dir) {
    std::string raw;
    // Enough for the escaped text's bound even if every byte is printable.
    if (!ReadProcFile(dir, "cmdline", raw, kMostCommandLineBytes)) return {};
    while (!raw.empty() && raw.back() == '\0') raw.pop_back();
    std::string joined;
    size_t from = 0;
    for (;;) {
        const size_t end = std::min(raw.find('\0', from), raw.size());
        std::string piece = EscapeProcessText(raw.substr(from, end - from));
        if (from > 0) piece.insert(0, " ");
        if (joined.size() + piece.size() > kMostCommandLineBytes) {
            // Cut at the bound, never inside an escape.
            piece.resize(kMostCommandLineBytes - joined.size());
            const size_t escape = piece.rfind('\\');
            if (escape != std::string::npos && piece.size() - escape < 4) piece.resize(escape);
            joined += piece;
            break;
        }
        joined += piece;
        if (end >= raw.size()) break;
        from = end + 1;
    }
    return joined;
}

// A command line not read in 100 ms is left out; at most 4 threads wait on reads that never
// return.
std::string CommandLineWithin(int dir) {
    static DeadlineReader reader(&CommandLine, std::chrono::milliseconds(100), 4);
    const int copy = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return {};
    return reader.Read(copy);
}

WriterProcess ReadProcess(int dir, pid_t pid) {
    WriterProcess process;
    process.pid = pid;
    char target[4096];
    const ssize_t n = ::readlinkat(dir, "exe", target, sizeof target);
    if (n > 0) process.executable = EscapeProcessText(std::string(target, static_cast<size_t>(n)));
    process.command_line = CommandLineWithin(dir);
    return process;
}

std::string CgroupOf(int dir) {
    std::string text;
    if (!ReadProcFile(dir, "cgroup", text)) return {};
    // The unified hierarchy's line: "0::/system.slice/name.service".
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line(text.data() + at, end - at);
        if (line.substr(0, 3) == "0::") return EscapeProcessText(std::string(line.substr(3)));
        at = end + 1;
    }
    return {};
}

// The innermost systemd unit the cgroup path names (a service, a scope...).
std::string UnitOf(const std::string& cgroup) {
    static constexpr std::string_view kUnitEnds[] = {".service", ".scope", ".slice",
                                                     ".socket",  ".mount", ".timer"};
    size_t end = cgroup.size();
    while (end > 0) {
        const size_t slash = cgroup.rfind('/', end - 1);
        const size_t begin = slash == std::string::npos ? 0 : slash + 1;
        const std::string_view name(cgroup.data() + begin, end - begin);
        for (std::string_view unit_end : kUnitEnds) {
            if (name.size() > unit_end.size() &&
                name.substr(name.size() - unit_end.size()) == unit_end) {
                return std::string(name);
            }
        }
        if (slash == std::string::npos) break;
        end = slash;
    }
    return {};
}

void ReadIds(int dir, Writer& writer) {
    std::string text;
    if (ReadProcFile(dir, "status", text, 16384)) {
        const size_t at = text.find("\nUid:");
        if (at != std::string::npos) {
            char* next = nullptr;
            writer.uid = std::strtoll(text.c_str() + at + 5, &next, 10);
            writer.euid = std::strtoll(next, nullptr, 10);
        }
    }
    if (ReadProcFile(dir, "loginuid", text)) {
        const long long id = std::strtoll(text.c_str(), nullptr, 10);
        writer.login_uid = id == 4294967295LL ? -1 : id;
    }
}

}  // namespace

std::string EscapeProcessText(const std::string& bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (const unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f && c != '\\' && c != '"') {
            text += static_cast<char>(c);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            text += escaped;
        }
    }
    return text;
}

pid_t PidOfPidfd(int pidfd) {
    const std::string path = "/proc/self/fdinfo/" + std::to_string(pidfd);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char buffer[1024];
    const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (n <= 0) return 0;
    buffer[n] = '\0';
    const char* at = std::strstr(buffer, "\nPid:");
    if (at == nullptr) return 0;
    const long pid = std::strtol(at + 5, nullptr, 10);
    return pid > 0 ? static_cast<pid_t>(pid) : 0;  // -1 once the process has exited
}

std::shared_ptr<const Writer> WriterCache::Exited(pid_t pid) {
    auto writer = std::make_shared<Writer>();
    writer->process.pid = pid;
    writer->exited = true;
    return writer;
}

std::shared_ptr<const Writer> WriterCache::Of(int pidfd, pid_t pid) {
    const pid_t now_pid = PidOfPidfd(pidfd);
    if (now_pid <= 0) return Exited(pid);
    const int dir = OpenProcess(now_pid);
    if (dir < 0) return Exited(pid);
    // Living after the open: the folder opened is this process's, and stays bound to it.
    Stat stat;
    if (!Alive(pidfd) || !ReadStat(dir, stat)) {
        ::close(dir);
        return Exited(pid);
    }
    const auto now = std::chrono::steady_clock::now();
    // Kept only while it is the same process, read recently, and the same program with the same
    // ids: a process that executed another program, or changed its user, since its last write is
    // read again. The figures already read are compared first.
    if (auto found = kept_.find(now_pid);
        found != kept_.end() && found->second.start_time == stat.start_time &&
        found->second.start_stack == stat.start_stack && now - found->second.read_at < keep_) {
        Writer ids;
        ReadIds(dir, ids);
        char target[4096];
        const ssize_t n = ::readlinkat(dir, "exe", target, sizeof target);
        const std::string executable =
            n > 0 ? EscapeProcessText(std::string(target, static_cast<size_t>(n))) : "";
        const Writer& kept = *found->second.writer;
        if (kept.uid == ids.uid && kept.euid == ids.euid && kept.process.executable == executable) {
            ::close(dir);
            return found->second.writer;
        }
    }
    auto writer = std::make_shared<Writer>();
    writer->process = ReadProcess(dir, now_pid);
    ReadIds(dir, *writer);
    writer->cgroup = CgroupOf(dir);
    writer->unit = UnitOf(writer->cgroup);
    ::close(dir);
    // Gone during the reads: what was read may be partial, and is not kept.
    if (!Alive(pidfd)) return Exited(pid);
    // The parents while they share the writer's cgroup. Each is proved no younger than its child,
    // so a parent's pid given out again meanwhile ends the chain instead of naming a stranger.
    pid_t parent = stat.parent;
    uint64_t child_start = stat.start_time;
    while (parent > 1 && writer->parents.size() < kMostWriterParents) {
        const int parent_dir = OpenProcess(parent);
        if (parent_dir < 0) break;
        Stat parent_stat;
        if (!ReadStat(parent_dir, parent_stat) || parent_stat.start_time > child_start ||
            CgroupOf(parent_dir) != writer->cgroup) {
            ::close(parent_dir);
            break;
        }
        writer->parents.push_back(ReadProcess(parent_dir, parent));
        ::close(parent_dir);
        child_start = parent_stat.start_time;
        parent = parent_stat.parent;
    }
    if (kept_.size() >= most_) {
        std::erase_if(kept_, [&](const auto& kept) { return now - kept.second.read_at >= keep_; });
        if (kept_.size() >= most_) kept_.clear();
    }
    kept_[now_pid] = Kept{stat.start_time, stat.start_stack, now, writer};
    return writer;
}

struct DeadlineReader::Shared {
    struct Request {
        int fd;
        std::shared_ptr<std::promise<std::string>> answer;
    };
    ReadFunction read;
    size_t most_threads = 0;
    std::mutex mutex;  // guards what follows
    std::condition_variable came;
    std::deque<Request> requests;
    size_t threads = 0;
    size_t free = 0;
    bool stopping = false;
};

namespace {

void ServeReads(const std::shared_ptr<DeadlineReader::Shared>& shared) {
    std::unique_lock<std::mutex> lock(shared->mutex);
    for (;;) {
        shared->came.wait(lock, [&] { return shared->stopping || !shared->requests.empty(); });
        if (shared->requests.empty()) break;  // stopping
        DeadlineReader::Shared::Request request = std::move(shared->requests.front());
        shared->requests.pop_front();
        --shared->free;
        lock.unlock();
        std::string answer = shared->read(request.fd);
        ::close(request.fd);
        lock.lock();
        // Free before the caller hears: its next read finds this thread free.
        ++shared->free;
        request.answer->set_value(std::move(answer));
    }
    --shared->threads;
    --shared->free;
}

}  // namespace

DeadlineReader::DeadlineReader(ReadFunction read, std::chrono::milliseconds wait,
                               size_t most_threads)
    : shared_(std::make_shared<Shared>()), wait_(wait) {
    shared_->read = std::move(read);
    shared_->most_threads = most_threads;
}

DeadlineReader::~DeadlineReader() {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->stopping = true;
    for (const Shared::Request& request : shared_->requests) ::close(request.fd);
    shared_->requests.clear();
    shared_->came.notify_all();
}

size_t DeadlineReader::threads() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->threads;
}

std::string DeadlineReader::Read(int fd) {
    auto answer = std::make_shared<std::promise<std::string>>();
    std::future<std::string> read = answer->get_future();
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        if (shared_->free <= shared_->requests.size()) {
            if (shared_->threads >= shared_->most_threads) {
                ::close(fd);  // every thread held by a read that has not returned
                return {};
            }
            try {
                std::thread([shared = shared_] { ServeReads(shared); }).detach();
            } catch (const std::system_error&) {  // no thread to be had: nothing read
                ::close(fd);
                return {};
            }
            ++shared_->threads;
            ++shared_->free;
        }
        shared_->requests.push_back({fd, answer});
        shared_->came.notify_one();
    }
    if (read.wait_for(wait_) == std::future_status::ready) return read.get();
    // Not answered in time: a request still waiting for a thread is taken back.
    std::lock_guard<std::mutex> lock(shared_->mutex);
    auto& requests = shared_->requests;
    for (auto it = requests.begin(); it != requests.end(); ++it) {
        if (it->answer == answer) {
            ::close(it->fd);
            requests.erase(it);
            break;
        }
    }
    return {};
}

}  // namespace norv::platform
