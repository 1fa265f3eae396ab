#include "response/event_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "engine/scan_log.h"
#include "engine/writer_json.h"
#include "platform/base/notice_code.h"
#include "platform/fs/file_system.h"
#include "platform/text/charset.h"

namespace norv {
namespace {

// The events file's fixed words, byte for byte: log pipelines and scripts read them.
namespace words {
// The keys of an event line.
namespace key {
constexpr const char* kHost = "host";
constexpr const char* kTime = "time";
constexpr const char* kRun = "run";
constexpr const char* kEvent = "event";
constexpr const char* kChanged = "changed";
constexpr const char* kOld = "old";
constexpr const char* kNew = "new";
constexpr const char* kKind = "kind";
constexpr const char* kPath = "path";
constexpr const char* kOldMd5 = "old_md5";
constexpr const char* kNewMd5 = "new_md5";
constexpr const char* kSize = "size";
constexpr const char* kMtime = "mtime";
constexpr const char* kHeld = "held";
constexpr const char* kMessage = "message";
constexpr const char* kAction = "action";
constexpr const char* kOutcome = "outcome";
constexpr const char* kReason = "reason";
constexpr const char* kUser = "user";
constexpr const char* kCommand = "command";
constexpr const char* kChecked = "checked";
constexpr const char* kAltered = "altered";
constexpr const char* kCreated = "created";
constexpr const char* kDeleted = "deleted";
constexpr const char* kUnchecked = "unchecked";
constexpr const char* kDurationS = "duration_s";
constexpr const char* kResult = "result";
// Who wrote a change (the object's keys: engine/writer_json.h).
constexpr const char* kWriter = "writer";
constexpr const char* kFrom = "from";  // a move's recorded path
}  // namespace key
// The kinds of event, the "event" key's values.
namespace event {
constexpr const char* kChange = "change";
constexpr const char* kHold = "hold";
constexpr const char* kAction = "action";
constexpr const char* kWarning = "warning";
constexpr const char* kAccept = "accept";
constexpr const char* kRun = "run";
}  // namespace event
// An action's "outcome".
constexpr const char* kDone = "done";
constexpr const char* kFailed = "failed";
}  // namespace words

using Json = nlohmann::ordered_json;

// The host name as the events show it: it is whatever the administrator (or a DHCP server) set,
// so it is escaped as a path is.
std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
    return EventPath(name);
}

// The range every time is written in: 0001-01-01T00:00:00Z to 9999-12-31T23:59:59Z.
constexpr int64_t kFirstSecond = -62135596800;
constexpr int64_t kLastSecond = 253402300799;
constexpr int64_t kSecondsPerDay = 86400;

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// The proleptic Gregorian date of a day counted from 1970-01-01.
void CivilFromDays(int64_t days, int64_t& year, int& month, int& day) {
    days += 719468;
    const int64_t era = FloorDiv(days, 146097);
    const int64_t day_of_era = days - era * 146097;
    const int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const int64_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int64_t mp = (5 * day_of_year + 2) / 153;
    day = static_cast<int>(day_of_year - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
}

}  // namespace

std::string Rfc3339(int64_t seconds, int millis) {
    // Years outside 0001-9999 have no RFC 3339 form: the time is held at the nearest end.
    if (seconds < kFirstSecond) {
        seconds = kFirstSecond;
        millis = 0;
    } else if (seconds > kLastSecond) {
        seconds = kLastSecond;
        millis = 999;
    }
    millis = std::clamp(millis, 0, 999);
    // The local zone's offset, when it is whole minutes (local mean times before the zones were
    // set are not) and the local time stays in range; otherwise UTC.
    int64_t offset = 0;
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (::localtime_r(&t, &local) != nullptr && local.tm_gmtoff % 60 == 0 &&
        seconds + local.tm_gmtoff >= kFirstSecond && seconds + local.tm_gmtoff <= kLastSecond) {
        offset = local.tm_gmtoff;
    }
    const int64_t shown = seconds + offset;
    const int64_t days = FloorDiv(shown, kSecondsPerDay);
    const int64_t of_day = shown - days * kSecondsPerDay;
    int64_t year = 0;
    int month = 0, day = 0;
    CivilFromDays(days, year, month, day);
    const int64_t offset_minutes = (offset < 0 ? -offset : offset) / 60;
    char out[64];
    std::snprintf(out, sizeof out, "%04lld-%02d-%02dT%02lld:%02lld:%02lld.%03d%c%02lld:%02lld",
                  static_cast<long long>(year), month, day, static_cast<long long>(of_day / 3600),
                  static_cast<long long>(of_day / 60 % 60), static_cast<long long>(of_day % 60),
                  millis, offset < 0 ? '-' : '+', static_cast<long long>(offset_minutes / 60),
                  static_cast<long long>(offset_minutes % 60));
    return out;
}

namespace {

std::string Rfc3339(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    const int64_t ms = duration_cast<milliseconds>(t.time_since_epoch()).count();
    const int64_t seconds = FloorDiv(ms, 1000);
    return norv::Rfc3339(seconds, static_cast<int>(ms - seconds * 1000));
}

// What every event line begins with: the host, the time, the run and the event's kind.
Json EventHead(platform::Env& env, const std::string& host, const std::string& run,
               std::string_view kind) {
    Json o;
    o[words::key::kHost] = host;
    o[words::key::kTime] = Rfc3339(env.WallNow());
    o[words::key::kRun] = run;
    o[words::key::kEvent] = kind;
    return o;
}

// 16 hex digits from the kernel's random source, or from the clock and the process id.
std::string NewRunId(platform::Env& env) {
    unsigned char bytes[8] = {};
    int fd = env.OpenAt(AT_FDCWD, "/dev/urandom", O_RDONLY | O_CLOEXEC, 0);
    bool read = fd >= 0 && env.Read(fd, bytes, sizeof bytes) == static_cast<ssize_t>(sizeof bytes);
    if (fd >= 0) env.Close(fd);
    if (!read) {
        uint64_t mix = static_cast<uint64_t>(env.WallNow().time_since_epoch().count()) ^
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

// A digest as the events write it: its stored text, null where none was taken.
Json DigestJson(const std::optional<platform::Md5Digest>& digest) {
    return digest ? Json(digest->text()) : Json();
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

namespace {

template <typename Object>
void AddFactChangesTo(Object& object, const std::vector<platform::FactChange>& changed) {
    Object names = Object::array(), was = Object::object(), now = Object::object();
    for (const platform::FactChange& fact : changed) {
        const std::string name(platform::FactName(fact.fact));
        names.push_back(name);
        was[name] = fact.was ? Object(EventPath(*fact.was)) : Object();
        now[name] = fact.now ? Object(EventPath(*fact.now)) : Object();
    }
    object[words::key::kChanged] = std::move(names);
    object[words::key::kOld] = std::move(was);
    object[words::key::kNew] = std::move(now);
}

}  // namespace

void AddFactChanges(nlohmann::json& object, const std::vector<platform::FactChange>& changed) {
    AddFactChangesTo(object, changed);
}

void AddFactChanges(nlohmann::ordered_json& object,
                    const std::vector<platform::FactChange>& changed) {
    AddFactChangesTo(object, changed);
}

JsonEventLog::JsonEventLog(platform::Env& env, std::string folder, EventLogLimits limits,
                           NoticeSink& notices, std::ostream* copy_to)
    : env_(env),
      folder_(std::move(folder)),
      limits_(limits),
      notices_(notices),
      copy_to_(copy_to),
      host_(HostName()),
      run_id_(NewRunId(env)) {}

std::string JsonEventLog::FilePath() const { return platform::JoinPath(folder_, kEventsFileName); }

template <typename Object>
void JsonEventLog::Write(Object& object) {
    // A text that is not UTF-8 becomes U+FFFD rather than an exception ending the run; anything
    // else the library throws costs this one line, said like a failure to write.
    std::string line;
    Status written;
    try {
        line = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    } catch (const std::exception& e) {
        written = Status::Error(ErrorKind::kFormat, kErrFormat, std::string(e.what()));
    }
    if (written.ok()) {
        if (copy_to_) *copy_to_ << line << std::flush;
        written = Append(line);
    }
    if (!written.ok() && !failure_shown_) {
        failure_shown_ = true;
        notices_.Notify({NoticeKind::kEventsFileError, FilePath(), written,
                         Message(NoticeCode::kCannotWriteEvents, {FilePath(), written.what()})});
    }
}

Status JsonEventLog::Rotate() {
    const std::string base = FilePath();
    auto numbered = [&](int n) { return base + "." + std::to_string(n); };
    auto rename = [&](const std::string& from, const std::string& to) {
        return env_.RenameAt(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), 0);
    };
    // A file that is not there has nothing to move or remove.
    auto done_or_absent = [](int result, const std::string& what) {
        if (result == 0) return Status::Ok();
        const Status failed = Status::FromErrno(errno, what);
        return failed.Is(ErrorKind::kNotFound) ? Status::Ok() : failed;
    };
    if (limits_.keep <= 0) return done_or_absent(env_.UnlinkAt(AT_FDCWD, base.c_str(), 0), base);
    env_.UnlinkAt(AT_FDCWD, numbered(limits_.keep).c_str(), 0);
    for (int n = limits_.keep - 1; n >= 1; --n) {
        NORV_RETURN_IF_ERROR(done_or_absent(rename(numbered(n), numbered(n + 1)), numbered(n)));
    }
    return done_or_absent(rename(base, numbered(1)), base);
}

Status JsonEventLog::Append(const std::string& line) {
    const std::string path = FilePath();
    platform::ScopedFd fd(env_);
    struct stat st {};
    // Opened and checked alike before a rotation and after it: whatever stands at the name then
    // is written only if it is the log's own.
    auto open = [&]() -> Status {
        fd.reset(env_.OpenAt(AT_FDCWD, path.c_str(),
                             O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (fd.get() < 0) return Status::FromErrno(errno, path);
        if (env_.FStat(fd.get(), &st) != 0) return Status::FromErrno(errno, path);
        // A file made by an older tool or by hand becomes owner-only too; one of another owner,
        // or with another name (a hard link, through which the lines would reach another
        // file), is not written.
        if ((st.st_mode & 0077) != 0 && env_.GetEuid() == st.st_uid &&
            env_.FChmod(fd.get(), 0600) == 0) {
            st.st_mode = (st.st_mode & S_IFMT) | 0600;
        }
        return platform::CheckOwnFileToWrite(env_, st, path);
    };
    NORV_RETURN_IF_ERROR(open());
    if (st.st_size > 0 && st.st_size + static_cast<int64_t>(line.size()) > limits_.max_bytes) {
        fd.reset();
        NORV_RETURN_IF_ERROR(Rotate());
        NORV_RETURN_IF_ERROR(open());
    }
    return platform::WriteFully(env_, fd.get(), line, path);
}

void JsonEventLog::BeginRun(std::string_view command) {
    run_id_ = NewRunId(env_);
    command_ = std::string(command);
    run_started_ = env_.SteadyNow();
}

void JsonEventLog::Change(const ChangeEvent& change) {
    Json o = EventHead(env_, host_, run_id_, words::event::kChange);
    o[words::key::kKind] = ChangeKindName(change.kind);
    o[words::key::kPath] = EventPath(change.path);
    o[words::key::kOldMd5] = DigestJson(change.old_md5);
    o[words::key::kNewMd5] = DigestJson(change.new_md5);
    o[words::key::kSize] = change.size >= 0 ? Json(change.size) : Json();
    // -1: gone, or a folder or special file, whose time is not recorded.
    o[words::key::kMtime] = change.kind == ChangeKind::kDeleted || change.mtime == -1
                                ? Json()
                                : Json(Rfc3339(change.mtime, 0));
    if (change.kind == ChangeKind::kMoved) o[words::key::kFrom] = EventPath(change.moved_from);
    if (!change.changed.empty()) AddFactChanges(o, change.changed);
    if (change.held) o[words::key::kHeld] = true;
    if (change.writer) o[words::key::kWriter] = WriterJson(*change.writer);
    Write(o);
}

void JsonEventLog::HoldNote(const Message& text) {
    Json o = EventHead(env_, host_, run_id_, words::event::kHold);
    o[words::key::kMessage] = Render(text);
    Write(o);
}

void JsonEventLog::Action(const std::string& path, ResponseAction action, bool succeeded,
                          const Message& detail) {
    Json o = EventHead(env_, host_, run_id_, words::event::kAction);
    o[words::key::kAction] = ResponseActionName(action);
    o[words::key::kPath] = EventPath(path);
    o[words::key::kOutcome] = succeeded ? words::kDone : words::kFailed;
    o[succeeded ? words::key::kResult : words::key::kReason] = EventPath(Render(detail));
    Write(o);
}

void JsonEventLog::Warning(const std::string& path, const Message& reason) {
    Json o = EventHead(env_, host_, run_id_, words::event::kWarning);
    o[words::key::kPath] = EventPath(path);
    // Worded as the log's `Warning:` line words it.
    o[words::key::kReason] = EventPath(LogText(reason));
    Write(o);
}

void JsonEventLog::Accepted(const AcceptEvent& accepted) {
    Json o = EventHead(env_, host_, run_id_, words::event::kAccept);
    o[words::key::kKind] = ChangeKindName(accepted.kind);
    o[words::key::kPath] = EventPath(accepted.path);
    o[words::key::kOldMd5] = DigestJson(accepted.old_md5);
    o[words::key::kNewMd5] = DigestJson(accepted.new_md5);
    o[words::key::kUser] = EventPath(accepted.user);
    Write(o);
}

void JsonEventLog::EndRun(const ScanCounters& counters, std::string_view outcome) {
    using namespace std::chrono;
    Json o = EventHead(env_, host_, run_id_, words::event::kRun);
    o[words::key::kCommand] = command_;
    o[words::key::kOutcome] = outcome;
    o[words::key::kChecked] = counters.checked;
    o[words::key::kAltered] = counters.altered;
    o[words::key::kCreated] = counters.created;
    o[words::key::kDeleted] = counters.deleted;
    o[words::key::kUnchecked] = counters.unchecked;
    o[words::key::kDurationS] = duration<double>(env_.SteadyNow() - run_started_).count();
    Write(o);
}

}  // namespace norv
