// JsonEventLog: the runs' events as JSON Lines, one object per line, for log pipelines
// (rsyslog's imfile, Fluent Bit, Vector, Filebeat) and scripts.
//
// Appended to "norv-events.jsonl" in the program folder, owner-only, never rewritten: each line
// goes out in one write to a file opened O_APPEND. When a line would take the file past its
// size limit, the file is first rotated: .jsonl becomes .jsonl.1, .1 becomes .2, and so on, the
// oldest beyond `keep` removed. Every object carries "host", "time" (RFC 3339 with the zone),
// "run" (an id shared by one run's events) and "event" ("change", "action", "warning", "hold",
// "accept" or "run"); a run's last event is its "run", with its command and outcome. A change a
// deploy holds carries "held":true. An "accept" carries "kind", "path", "old_md5", "new_md5"
// (null where none) and "user", who accepted it; the accept's "run" counts the accepted changes
// by kind, its "checked" the items asked for. Paths
// keep every byte: a byte that is not part of valid UTF-8 is written \xNN, and a backslash \\,
// so the exact name can be rebuilt; so is the host name. A change's "mtime" is null only for a
// deleted file. No value stops a line being written: text that is still not UTF-8 becomes
// U+FFFD.
// Thread safety: one thread at a time, the run's.
#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
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

    std::string FilePath() const;

  private:
    template <typename Json>
    void Write(Json& object);
    Status Append(const std::string& line);
    Status Rotate();

    platform::Env& env_;
    std::string folder_;
    EventLogLimits limits_;
    NoticeSink& notices_;
    std::ostream* copy_to_;
    std::string host_;
    std::string run_id_;
    std::string command_;
    std::chrono::steady_clock::time_point run_started_{};
    bool failure_shown_ = false;
};

}  // namespace norv
