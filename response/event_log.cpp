#include "response/event_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "platform/charset.h"
#include "platform/file_system.h"

namespace norv {
namespace {

using Json = nlohmann::ordered_json;

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
    return name;
}

// RFC 3339 with the local zone and milliseconds: 2026-12-07T10:47:45.123+09:00.
std::string Rfc3339(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char base[32], zone[8], out[48];
    std::strftime(base, sizeof base, "%Y-%m-%dT%H:%M:%S", &local);
    std::strftime(zone, sizeof zone, "%z", &local);  // +0900
    std::snprintf(out, sizeof out, "%s.%03d%.3s:%.2s", base, static_cast<int>(ms % 1000), zone,
                  zone + 3);
    return out;
}

std::string Rfc3339(int64_t seconds_since_epoch) {
    return Rfc3339(std::chrono::system_clock::time_point(std::chrono::seconds(seconds_since_epoch)));
}

// 16 hex digits from the kernel's random source, or from the clock and the process id.
std::string NewRunId() {
    unsigned char bytes[8] = {};
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    bool read = fd >= 0 && ::read(fd, bytes, sizeof bytes) == static_cast<ssize_t>(sizeof bytes);
    if (fd >= 0) ::close(fd);
    if (!read) {
        uint64_t mix = static_cast<uint64_t>(
                           std::chrono::system_clock::now().time_since_epoch().count()) ^
                       (static_cast<uint64_t>(::getpid()) << 40);
        for (auto& b : bytes) {
            b = static_cast<unsigned char>(mix);
            mix >>= 8;
        }
    }
    char hex[17];
    for (int i = 0; i < 8; ++i) std::snprintf(hex + 2 * i, 3, "%02x", bytes[i]);
    return hex;
}

}  // namespace

std::string EventPath(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    for (size_t i = 0; i < path.size();) {
        const auto c = static_cast<unsigned char>(path[i]);
        if (c == '\\') {
            out += "\\\\";
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else {
            char32_t cp = 0;
            const size_t n = platform::DecodeUtf8At(path, i, cp);
            if (n == 0) {
                char escape[5];
                std::snprintf(escape, sizeof escape, "\\x%02X", c);
                out += escape;
                ++i;
            } else {
                out.append(path.substr(i, n));
                i += n;
            }
        }
    }
    return out;
}

JsonEventLog::JsonEventLog(std::string folder, EventLogLimits limits, MessageBoxSink& messages,
                           std::ostream* copy_to)
    : folder_(std::move(folder)),
      limits_(limits),
      messages_(messages),
      copy_to_(copy_to),
      host_(HostName()),
      run_id_(NewRunId()) {}

std::string JsonEventLog::FilePath() const { return platform::JoinPath(folder_, kEventsFileName); }

template <typename Object>
void JsonEventLog::Write(Object& object) {
    const std::string line = object.dump() + "\n";
    if (copy_to_) *copy_to_ << line << std::flush;
    Status written = Append(line);
    if (!written.ok() && !failure_shown_) {
        failure_shown_ = true;
        messages_.ShowMessageBox("イベントファイル " + FilePath() + " に書けません: " +
                                 written.message());
    }
}

Status JsonEventLog::Rotate() {
    const std::string base = FilePath();
    auto numbered = [&](int n) { return base + "." + std::to_string(n); };
    if (limits_.keep <= 0) {
        if (::unlink(base.c_str()) != 0 && errno != ENOENT) return Status::FromErrno(errno, base);
        return Status::Ok();
    }
    ::unlink(numbered(limits_.keep).c_str());
    for (int n = limits_.keep - 1; n >= 1; --n) {
        if (::rename(numbered(n).c_str(), numbered(n + 1).c_str()) != 0 && errno != ENOENT) {
            return Status::FromErrno(errno, numbered(n));
        }
    }
    if (::rename(base.c_str(), numbered(1).c_str()) != 0 && errno != ENOENT) {
        return Status::FromErrno(errno, base);
    }
    return Status::Ok();
}

Status JsonEventLog::Append(const std::string& line) {
    const std::string path = FilePath();
    auto open = [&] {
        return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    };
    int fd = open();
    if (fd < 0) return Status::FromErrno(errno, path);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        Status failed = Status::FromErrno(errno, path);
        ::close(fd);
        return failed;
    }
    // A file made by an older tool or by hand becomes owner-only too.
    if ((st.st_mode & 0077) != 0) ::fchmod(fd, 0600);
    if (st.st_size > 0 && st.st_size + static_cast<int64_t>(line.size()) > limits_.max_bytes) {
        ::close(fd);
        NORV_RETURN_IF_ERROR(Rotate());
        fd = open();
        if (fd < 0) return Status::FromErrno(errno, path);
    }
    Status written = platform::WriteFully(fd, line, path);
    ::close(fd);
    return written;
}

void JsonEventLog::BeginRun(std::string_view command) {
    run_id_ = NewRunId();
    command_ = std::string(command);
    run_started_ = std::chrono::steady_clock::now();
}

void JsonEventLog::Change(const ChangeEvent& change) {
    Json o;
    o["host"] = host_;
    o["time"] = Rfc3339(std::chrono::system_clock::now());
    o["run"] = run_id_;
    o["event"] = "change";
    o["kind"] = change.kind;
    o["path"] = EventPath(change.path);
    o["old_md5"] = change.old_md5.empty() ? Json() : Json(change.old_md5);
    o["new_md5"] = change.new_md5.empty() ? Json() : Json(change.new_md5);
    o["size"] = change.size >= 0 ? Json(change.size) : Json();
    o["mtime"] = change.mtime >= 0 ? Json(Rfc3339(change.mtime)) : Json();
    Write(o);
}

void JsonEventLog::Action(const std::string& path, std::string_view action, bool succeeded,
                          const std::string& detail) {
    Json o;
    o["host"] = host_;
    o["time"] = Rfc3339(std::chrono::system_clock::now());
    o["run"] = run_id_;
    o["event"] = "action";
    o["action"] = action;
    o["path"] = EventPath(path);
    o["outcome"] = succeeded ? "done" : "failed";
    o[succeeded ? "result" : "reason"] = EventPath(detail);
    Write(o);
}

void JsonEventLog::Warning(const std::string& path, const std::string& reason) {
    Json o;
    o["host"] = host_;
    o["time"] = Rfc3339(std::chrono::system_clock::now());
    o["run"] = run_id_;
    o["event"] = "warning";
    o["path"] = EventPath(path);
    o["reason"] = EventPath(reason);
    Write(o);
}

void JsonEventLog::EndRun(const ScanCounters& counters, std::string_view outcome) {
    using namespace std::chrono;
    Json o;
    o["host"] = host_;
    o["time"] = Rfc3339(system_clock::now());
    o["run"] = run_id_;
    o["event"] = "run";
    o["command"] = command_;
    o["outcome"] = outcome;
    o["checked"] = counters.checked;
    o["altered"] = counters.altered;
    o["created"] = counters.created;
    o["deleted"] = counters.deleted;
    o["duration_s"] = duration<double>(steady_clock::now() - run_started_).count();
    Write(o);
}

}  // namespace norv
