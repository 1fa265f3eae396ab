#include "response/event_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "config/rule_table.h"
#include "engine/scan_log.h"
#include "engine/writer_json.h"
#include "platform/base/notice_code.h"
#include "platform/fs/file_system.h"
#include "platform/text/charset.h"
#include "platform/text/text_file.h"

namespace norv {
namespace {

// The events file's fixed words, byte for byte: log pipelines and scripts read them.
namespace words {
// The keys of an event line.
namespace key {
// The top level, and the keys of its objects.
constexpr const char* kSchema = "schema";
constexpr const char* kName = "name";
constexpr const char* kVersion = "version";
constexpr const char* kTime = "time";
constexpr const char* kHost = "host";
constexpr const char* kId = "id";
constexpr const char* kEvent = "event";
constexpr const char* kSeverity = "severity";
constexpr const char* kSequence = "sequence";
constexpr const char* kNorv = "norv";
constexpr const char* kRun = "run";
// The fields of each action, in "norv" (and "event.kind", "event.action").
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
constexpr const char* kBaselineSha256 = "baseline_sha256";
constexpr const char* kResult = "result";
constexpr const char* kRule = "rule";
constexpr const char* kNumber = "number";
constexpr const char* kFlag = "flag";
// Who wrote a change (the object's keys: engine/writer_json.h).
constexpr const char* kWriter = "writer";
constexpr const char* kFrom = "from";  // a move's recorded path
constexpr const char* kState = "state";
constexpr const char* kPeriodS = "period_s";
}  // namespace key
// The "event.action" values.
namespace event {
constexpr const char* kChange = "change";
constexpr const char* kHold = "hold";
constexpr const char* kAction = "action";
constexpr const char* kWarning = "warning";
constexpr const char* kAccept = "accept";
constexpr const char* kRun = "run";
constexpr const char* kService = "service";
}  // namespace event
// The "event.kind" values (ECS's): a change is for a person to look at; a run's summary tells
// the state it left; the rest are events.
namespace kind {
constexpr const char* kAlert = "alert";
constexpr const char* kEvent = "event";
constexpr const char* kState = "state";
}  // namespace kind
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

// What every event line begins with: the schema, the time, the host, the event's kind, action
// and severity (its sequence is given as it is written), and norv's version and the run; the
// action's own fields follow in "norv".
Json EventHead(platform::Env& env, const std::string& host, const std::string& host_id,
               const std::string& run, const char* kind, const char* action,
               EventSeverity severity) {
    Json o;
    o[words::key::kSchema] = {{words::key::kName, kEventSchemaName},
                              {words::key::kVersion, kEventSchemaVersion}};
    o[words::key::kTime] = Rfc3339(env.WallNow());
    Json& h = o[words::key::kHost];
    h[words::key::kName] = host;
    if (!host_id.empty()) h[words::key::kId] = host_id;
    Json& e = o[words::key::kEvent];
    e[words::key::kKind] = kind;
    e[words::key::kAction] = action;
    e[words::key::kSeverity] = static_cast<int>(severity);
    Json& n = o[words::key::kNorv];
    n[words::key::kVersion] = NORV_VERSION;
    n[words::key::kRun] = run;
    return o;
}

// The machine's id (machine-id(5)) as the events show it; "" where the file is missing, empty
// or unreadable: the events go on without it.
std::string MachineId(platform::Env& env) {
    auto text = platform::ReadFileBytes(env, "/etc/machine-id", 4096);
    if (!text.ok()) return "";
    std::string id = text->substr(0, text->find('\n'));
    while (!id.empty() && std::isspace(static_cast<unsigned char>(id.back()))) id.pop_back();
    // systemd writes this until the first boot has set the id.
    if (id == "uninitialized") return "";
    return EventPath(id);
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

Json ChangeObject(const ChangeEvent& change) {
    Json o;
    o[words::key::kKind] = ChangeKindName(change.kind);
    o[words::key::kPath] = EventPath(change.path);
    if (change.kind == ChangeKind::kMoved) o[words::key::kFrom] = EventPath(change.moved_from);
    // -1: gone, or a folder or special file, whose length and time are not recorded.
    const bool gone = change.kind == ChangeKind::kDeleted || change.mtime == -1;
    o[words::key::kSize] = gone || change.size < 0 ? Json() : Json(change.size);
    o[words::key::kMtime] = gone ? Json() : Json(Rfc3339(change.mtime, 0));
    o[words::key::kOldMd5] = DigestJson(change.old_md5);
    o[words::key::kNewMd5] = DigestJson(change.new_md5);
    AddFactChanges(o, change.changed);
    if (change.rule) {
        o[words::key::kRule] = {{words::key::kNumber, change.rule_number},
                                {words::key::kPath, EventPath(change.rule->path)},
                                {words::key::kFlag, RuleKindNumber(change.rule->kind)}};
    } else {
        o[words::key::kRule] = nullptr;
    }
    o[words::key::kWriter] = change.writer ? WriterJson(*change.writer) : Json();
    return o;
}

JsonEventLog::JsonEventLog(platform::Env& env, std::string folder, EventLogLimits limits,
                           NoticeSink& notices, std::ostream* copy_to)
    : env_(env),
      folder_(std::move(folder)),
      limits_(limits),
      notices_(notices),
      copy_to_(copy_to),
      host_(HostName()),
      host_id_(MachineId(env)),
      run_id_(NewRunId(env)) {}

std::string JsonEventLog::FilePath() const { return platform::JoinPath(folder_, kEventsFileName); }

std::string JsonEventLog::SequenceFilePath() const {
    return platform::JoinPath(folder_, kEventSequenceFileName);
}

namespace {

// The number a text of decimal digits holds; nothing for any other text, or one past int64.
std::optional<int64_t> SequenceNumber(std::string_view digits) {
    // The saved form has leading zeros; at most 18 digits count, far from int64_t's end.
    if (digits.empty() || digits.size() > 20) return std::nullopt;
    while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
    if (digits.size() > 18) return std::nullopt;
    int64_t n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    return n;
}

// How much of the events file's end is read for its last sequence: many lines, whatever their
// length.
constexpr int64_t kSequenceTailBytes = 256 * 1024;

}  // namespace

int64_t JsonEventLog::LastSequenceInEvents() {
    const std::string path = FilePath();
    platform::ScopedFd fd(env_, env_.OpenAt(AT_FDCWD, path.c_str(),
                                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0));
    struct stat st {};
    if (fd.get() < 0 || env_.FStat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    const int64_t from = std::max<int64_t>(0, st.st_size - kSequenceTailBytes);
    std::string tail(static_cast<size_t>(st.st_size - from), '\0');
    size_t got = 0;
    while (got < tail.size()) {
        const ssize_t n = env_.PRead(fd.get(), tail.data() + got, tail.size() - got,
                                     static_cast<off_t>(from + static_cast<int64_t>(got)));
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    tail.resize(got);
    // The largest found: a hand-edited or older line may stand after a later one.
    int64_t last = 0;
    const std::string mark = std::string("\"") + words::key::kSequence + "\":";
    for (size_t at = tail.find(mark); at != std::string::npos; at = tail.find(mark, at + 1)) {
        const size_t begin = at + mark.size();
        size_t end = begin;
        while (end < tail.size() && tail[end] >= '0' && tail[end] <= '9') ++end;
        if (auto n = SequenceNumber(std::string_view(tail).substr(begin, end - begin))) {
            last = std::max(last, *n);
        }
    }
    return last;
}

int64_t JsonEventLog::NextSequence() {
    if (last_sequence_ < 0) {
        // The file's number, unless it is missing or unreadable; the events file's last one
        // where that is larger (the file not saved after a line, or replaced).
        int64_t saved = 0;
        auto text = platform::ReadFileBytes(env_, SequenceFilePath(), 64);
        if (text.ok()) {
            std::string_view digits = *text;
            while (!digits.empty() && (digits.back() == '\n' || digits.back() == ' ')) {
                digits.remove_suffix(1);
            }
            saved = SequenceNumber(digits).value_or(0);
        }
        last_sequence_ = std::max(saved, LastSequenceInEvents());
    }
    return ++last_sequence_;
}

namespace {

// Opens `path` to write (O_WRONLY | O_CREAT | O_NOFOLLOW and `flags`), made owner-only: a file made
// by an older tool or by hand becomes so too. One of another owner, or with another name (a hard
// link, through which the lines would reach another file), is not written.
Status OpenOwnFileToWrite(platform::Env& env, const std::string& path, int flags,
                          platform::ScopedFd& fd, struct stat& st) {
    fd.reset(env.OpenAt(AT_FDCWD, path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | flags,
                        0600));
    if (fd.get() < 0) return Status::FromErrno(errno, path);
    if (env.FStat(fd.get(), &st) != 0) return Status::FromErrno(errno, path);
    if ((st.st_mode & 0077) != 0 && env.GetEuid() == st.st_uid && env.FChmod(fd.get(), 0600) == 0) {
        st.st_mode = (st.st_mode & S_IFMT) | 0600;
    }
    return platform::CheckOwnFileToWrite(env, st, path);
}

}  // namespace

Status JsonEventLog::SaveSequence(int64_t sequence) {
    const std::string path = SequenceFilePath();
    platform::ScopedFd fd(env_);
    struct stat st {};
    NORV_RETURN_IF_ERROR(OpenOwnFileToWrite(env_, path, 0, fd, st));
    // Written over in place, always 20 digits: a number never leaves the end of a longer one
    // behind, and one write of a few bytes at the start is whole or not there. A file a crash
    // left torn reads as no number, and the events file's last one is taken.
    char text[32];
    std::snprintf(text, sizeof text, "%020lld\n", static_cast<long long>(sequence));
    return platform::WriteFully(env_, fd.get(), text, path);
}

template <typename Object>
void JsonEventLog::Write(Object& object, EventSeverity severity, const std::string& summary) {
    const int64_t sequence = NextSequence();
    object[words::key::kEvent][words::key::kSequence] = sequence;
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
        if (tap_) tap_(severity, summary, line);
    }
    if (!written.ok() && !failure_shown_) {
        failure_shown_ = true;
        notices_.Notify({NoticeKind::kEventsFileError, FilePath(), written,
                         Message(NoticeCode::kCannotWriteEvents, {FilePath(), written.what()})});
    }
    // The number is spent whether or not the line went out; only its keeping can fail here.
    const Status saved = SaveSequence(sequence);
    if (!saved.ok() && !sequence_failure_shown_) {
        sequence_failure_shown_ = true;
        notices_.Notify(
            {NoticeKind::kEventsFileError, SequenceFilePath(), saved,
             Message(NoticeCode::kCannotSaveEventSequence, {SequenceFilePath(), saved.what()})});
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
    NORV_RETURN_IF_ERROR(OpenOwnFileToWrite(env_, path, O_APPEND, fd, st));
    if (st.st_size > 0 && st.st_size + static_cast<int64_t>(line.size()) > limits_.max_bytes) {
        fd.reset();
        NORV_RETURN_IF_ERROR(Rotate());
        NORV_RETURN_IF_ERROR(OpenOwnFileToWrite(env_, path, O_APPEND, fd, st));
    }
    return platform::WriteFully(env_, fd.get(), line, path);
}

void JsonEventLog::BeginRun(std::string_view command) {
    run_id_ = NewRunId(env_);
    command_ = std::string(command);
    run_started_ = env_.SteadyNow();
}

void JsonEventLog::Change(const ChangeEvent& change) {
    Json o = EventHead(env_, host_, host_id_, run_id_, words::kind::kAlert, words::event::kChange,
                       EventSeverity::kWarning);
    Json& n = o[words::key::kNorv];
    Json fields = ChangeObject(change);
    for (auto& [key, value] : fields.items()) n[key] = std::move(value);
    if (change.held) n[words::key::kHeld] = true;
    Write(o, EventSeverity::kWarning,
          std::string(ChangeKindName(change.kind)) + " " + EventPath(change.path));
}

void JsonEventLog::HoldNote(const Message& text) {
    Json o = EventHead(env_, host_, host_id_, run_id_, words::kind::kEvent, words::event::kHold,
                       EventSeverity::kNotice);
    const std::string message = Render(text);
    o[words::key::kNorv][words::key::kMessage] = message;
    Write(o, EventSeverity::kNotice, message);
}

void JsonEventLog::Action(const std::string& path, ResponseAction action, bool succeeded,
                          const Message& detail) {
    // A response that failed leaves the change in place: an error, as the log's is.
    const EventSeverity severity = succeeded ? EventSeverity::kNotice : EventSeverity::kError;
    Json o = EventHead(env_, host_, host_id_, run_id_, words::kind::kEvent, words::event::kAction,
                       severity);
    Json& n = o[words::key::kNorv];
    n[words::key::kAction] = ResponseActionName(action);
    const std::string shown_path = EventPath(path);
    const std::string shown_detail = EventPath(Render(detail));
    n[words::key::kPath] = shown_path;
    n[words::key::kOutcome] = succeeded ? words::kDone : words::kFailed;
    n[succeeded ? words::key::kResult : words::key::kReason] = shown_detail;
    Write(o, severity,
          std::string(ResponseActionName(action)) + " " + shown_path + " " +
              (succeeded ? words::kDone : words::kFailed) + ": " + shown_detail);
}

void JsonEventLog::Warning(const std::string& path, const Message& reason) {
    Json o = EventHead(env_, host_, host_id_, run_id_, words::kind::kEvent, words::event::kWarning,
                       EventSeverity::kWarning);
    Json& n = o[words::key::kNorv];
    const std::string shown_path = EventPath(path);
    // Worded as the log's `Warning:` line words it.
    const std::string shown_reason = EventPath(LogText(reason));
    n[words::key::kPath] = shown_path;
    n[words::key::kReason] = shown_reason;
    Write(o, EventSeverity::kWarning, shown_path + ": " + shown_reason);
}

void JsonEventLog::Accepted(const AcceptEvent& accepted) {
    Json o = EventHead(env_, host_, host_id_, run_id_, words::kind::kEvent, words::event::kAccept,
                       EventSeverity::kNotice);
    Json& n = o[words::key::kNorv];
    n[words::key::kKind] = ChangeKindName(accepted.kind);
    n[words::key::kPath] = EventPath(accepted.path);
    n[words::key::kOldMd5] = DigestJson(accepted.old_md5);
    n[words::key::kNewMd5] = DigestJson(accepted.new_md5);
    n[words::key::kUser] = EventPath(accepted.user);
    Write(o, EventSeverity::kNotice,
          "accepted " + std::string(ChangeKindName(accepted.kind)) + " " +
              EventPath(accepted.path) + " by " + EventPath(accepted.user));
}

void JsonEventLog::ServiceState(std::string_view state, std::optional<double> period_s) {
    // A service's start is news; its end is for a person to notice.
    const EventSeverity severity =
        state == kServiceStopped ? EventSeverity::kNotice : EventSeverity::kInfo;
    Json o = EventHead(env_, host_, host_id_, run_id_, words::kind::kState, words::event::kService,
                       severity);
    Json& n = o[words::key::kNorv];
    n.erase(words::key::kRun);  // not a run's
    n[words::key::kState] = state;
    n[words::key::kPeriodS] = period_s ? Json(*period_s) : Json();
    Write(o, severity,
          "service " + std::string(state) +
              (period_s ? ", period " + std::to_string(static_cast<int64_t>(*period_s)) + " s"
                        : std::string()));
}

void JsonEventLog::EndRun(const ScanCounters& counters, std::string_view outcome) {
    using namespace std::chrono;
    // A run that failed did not do its work: an error; any other is news.
    const EventSeverity severity =
        outcome == "failed" ? EventSeverity::kError : EventSeverity::kInfo;
    Json o = EventHead(env_, host_, host_id_, run_id_, words::kind::kState, words::event::kRun,
                       severity);
    Json& n = o[words::key::kNorv];
    n[words::key::kCommand] = command_;
    n[words::key::kOutcome] = outcome;
    n[words::key::kChecked] = counters.checked;
    n[words::key::kAltered] = counters.altered;
    n[words::key::kCreated] = counters.created;
    n[words::key::kDeleted] = counters.deleted;
    n[words::key::kUnchecked] = counters.unchecked;
    n[words::key::kDurationS] = duration<double>(env_.SteadyNow() - run_started_).count();
    std::optional<std::string> baseline;
    if (baseline_digest_) baseline = baseline_digest_();
    n[words::key::kBaselineSha256] = baseline ? Json(*baseline) : Json();
    Write(o, severity,
          command_ + " " + std::string(outcome) + ": checked " + std::to_string(counters.checked) +
              ", altered " + std::to_string(counters.altered) + ", created " +
              std::to_string(counters.created) + ", deleted " + std::to_string(counters.deleted));
}

}  // namespace norv
