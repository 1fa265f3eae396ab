// JsonEventLog: the runs' events as JSON Lines, one object per line, for log pipelines
// (rsyslog's imfile, Fluent Bit, Vector, Filebeat) and scripts. docs/ARCHITECTURE.md ("Events")
// describes the fields; packaging/norv-events.schema.json is their JSON Schema.
//
// Appended to "norv-events.jsonl" in the program folder, owner-only, never rewritten: each line
// goes out in one write to a file opened O_APPEND. When a line would take the file past its
// size limit, the file is first rotated: .jsonl becomes .jsonl.1, .1 becomes .2, and so on, the
// oldest beyond `keep` removed.
//
// Every object has the same top level, named as ECS names it: "schema" {"name": "norv.event",
// "version"} (kEventSchemaVersion), "time" (RFC 3339 with the zone), "host" {"name", "id" (the
// machine id; left out where /etc/machine-id gives none)}, "event" {"kind", "action",
// "severity", "sequence"} and "norv" {"version" (the program's), "run" (an id shared by one
// run's events), then the fields of the event's action}. "event.action" is "change", "action",
// "warning", "hold", "accept", "run" or "service"; a run's last event is its "run", with its
// command, outcome and the digest of the baseline it left. A "service" event (no "run") says the
// service or the watch started or stopped, with the period of its checks. "event.severity" is the
// syslog level the journal gets as PRIORITY. "event.sequence" counts the folder's events, 1, 2, ...
// across runs and restarts: the last number given is kept in "norv-events.seq" beside the file, and
// the numbering goes on from the larger of it and the last number in the events file, so no number
// is given twice.
//
// A change's fields are ChangeObject's, which `changes --json` prints too. Paths keep every
// byte: a byte that is not part of valid UTF-8 is written \xNN, and a backslash \\, so the exact
// name can be rebuilt; so is the host name. No value stops a line being written: text that is
// still not UTF-8 becomes U+FFFD.
// Thread safety: one thread at a time, the run's; one process at a time writes a folder's events
// (the program folder's lock).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "config/notice.h"
#include "engine/engine_hooks.h"
#include "platform/base/env.h"
#include "platform/base/status.h"
#include "platform/digest/fingerprint.h"

namespace norv {

inline constexpr const char* kEventsFileName = "norv-events.jsonl";
// Beside it: the last event.sequence given, in decimal.
inline constexpr const char* kEventSequenceFileName = "norv-events.seq";
// The version of the events' fields ("schema.version"): a field added bumps the minor number, a
// field removed, renamed or given another meaning or type bumps the major one.
inline constexpr const char* kEventSchemaName = "norv.event";
inline constexpr const char* kEventSchemaVersion = "1.1.0";
// "norv.state" of a service event.
inline constexpr const char* kServiceStarted = "started";
inline constexpr const char* kServiceStopped = "stopped";

// The syslog level of each event ("event.severity", the journal's PRIORITY).
enum class EventSeverity { kError = 3, kWarning = 4, kNotice = 5, kInfo = 6 };

// A path as the events show it: valid UTF-8 as it stands, a backslash doubled, any other byte
// as \xNN.
std::string EventPath(std::string_view path);

// A time as the events write it: RFC 3339 with milliseconds and the local zone's offset
// (2026-12-07T10:47:45.123+09:00), in UTC where that offset is not whole minutes (the local mean
// times before the zones). Every value gives a valid form: a time before the year 1 or after
// 9999 is held at 0001-01-01T00:00:00.000+00:00 or 9999-12-31T23:59:59.999+00:00.
std::string Rfc3339(int64_t seconds_since_epoch, int millis);

// Adds what differs to a JSON object as the events and `changes --json` write it: "changed" (the
// facts' names in order), "old" and "new" (each fact's value recorded and found, as EventPath
// shows it; null where that side was not measured).
void AddFactChanges(nlohmann::json& object, const std::vector<platform::FactChange>& changed);
void AddFactChanges(nlohmann::ordered_json& object,
                    const std::vector<platform::FactChange>& changed);

// A change as the events and `changes --json` show it: "kind", "path", "from" (a move's
// recorded path; moves only), "size" and "mtime" (null for a deleted file, or a folder or special
// file), "old_md5" and "new_md5" (null where none), "changed", "old" and "new"
// (AddFactChanges; empty where no fact was compared), "rule" {"number", "path", "flag"} (the
// rule covering the path: its number in the rule file from 1, its path and flag as written
// there; null where none does) and "writer" (WriterJson; null where unknown).
nlohmann::ordered_json ChangeObject(const ChangeEvent& change);

struct EventLogLimits {
    int64_t max_bytes = 10 * 1024 * 1024;  // a file is rotated before it passes this size
    int keep = 5;                          // rotated files kept beside the current one
};

class JsonEventLog : public EventSink {
  public:
    // `folder` holds the file, written through `env`; `copy_to`, when given, receives every line
    // too (check --json). Failures to write go to `notices` once per run, never
    // ending the run.
    JsonEventLog(platform::Env& env, std::string folder, EventLogLimits limits, NoticeSink& notices,
                 std::ostream* copy_to = nullptr);

    void BeginRun(std::string_view command) override;
    void Change(const ChangeEvent& change) override;
    void Action(const std::string& path, ResponseAction action, bool succeeded,
                const Message& detail) override;
    void Warning(const std::string& path, const Message& reason) override;
    void HoldNote(const Message& text) override;
    void Accepted(const AcceptEvent& accepted) override;
    void EndRun(const ScanCounters& counters, std::string_view outcome) override;
    // The service or the watch started or stopped (kServiceStarted, kServiceStopped), checking
    // every `period_s` seconds, or at no period. The caller holds the program folder's lock.
    void ServiceState(std::string_view state, std::optional<double> period_s);

    std::string FilePath() const;
    std::string SequenceFilePath() const;

    // What gives the digest of the baseline as a run leaves it (FileInfoStore::BaselineDigest),
    // for the "run" event; without it, or when it fails, the run's "baseline_sha256" is null.
    void SetBaselineDigest(std::function<std::optional<std::string>()> digest) {
        baseline_digest_ = std::move(digest);
    }
    // Where each event goes too, once written: its severity, one line for a person, and the
    // event line itself (the journal, for the service and the watch).
    using Tap =
        std::function<void(EventSeverity, const std::string& summary, const std::string& line)>;
    void SetTap(Tap tap) { tap_ = std::move(tap); }

  private:
    template <typename Json>
    void Write(Json& object, EventSeverity severity, const std::string& summary);
    Status Append(const std::string& line);
    Status Rotate();
    // The next event.sequence, and keeping it in the sequence file.
    int64_t NextSequence();
    int64_t LastSequenceInEvents();
    Status SaveSequence(int64_t sequence);

    platform::Env& env_;
    std::string folder_;
    EventLogLimits limits_;
    NoticeSink& notices_;
    std::ostream* copy_to_;
    std::string host_;
    std::string host_id_;  // "" where there is none
    std::string run_id_;
    std::string command_;
    std::chrono::steady_clock::time_point run_started_{};
    bool failure_shown_ = false;
    int64_t last_sequence_ = -1;  // -1 until read at the first event
    bool sequence_failure_shown_ = false;
    std::function<std::optional<std::string>()> baseline_digest_;
    Tap tap_;
};

}  // namespace norv
