// What the scanning engine needs from the program that drives it: where its progress goes, how it
// lets the front end breathe between files, who reloads the settings and rules, and who acts on
// a change and mails the report. The desktop program, the command-line tool and the tests each
// supply their own.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/watched_place.h"
#include "engine/scan_state.h"
#include "platform/base/status.h"
#include "platform/digest/digest.h"
#include "platform/digest/fingerprint.h"
#include "platform/fs/writer.h"

namespace norv {

namespace platform {
class DirectoryHandle;
}
struct Rule;

// What a check found for one file.
// A move is a file gone from a recorded path (`moved_from`) and found at a new one, the same in
// content, size and attributes: one change, though the scan log keeps its two lines.
enum class ChangeKind { kCreated, kAltered, kDeleted, kMoved };
// Its name in the events.
constexpr std::string_view ChangeKindName(ChangeKind kind) {
    switch (kind) {
        case ChangeKind::kCreated:
            return "created";
        case ChangeKind::kAltered:
            return "altered";
        case ChangeKind::kDeleted:
            return "deleted";
        case ChangeKind::kMoved:
            return "moved";
    }
    return "";
}

// What a response did about a change, or the report's mail.
enum class ResponseAction { kQuarantine, kRestore, kMail };
// Its name in the events.
constexpr std::string_view ResponseActionName(ResponseAction action) {
    switch (action) {
        case ResponseAction::kQuarantine:
            return "quarantine";
        case ResponseAction::kRestore:
            return "restore";
        case ResponseAction::kMail:
            return "mail";
    }
    return "";
}

// Where a command stands: each file recorded or checked, then the command's end. Each front end
// words it for its own progress display.
enum class ScanPhase {
    kRecordingBaseline,  // an init measured `path` into the new baseline
    kChecking,           // a check measured `path` and compared it with the baseline
    kScanEnded,          // a check's (or an init's) scan ended; counts are the run's
    kBaselineMade,       // an init's new baseline took the old one's place
    kMarkedAllSeen,      // an update marked every record seen
};
struct ScanProgress {
    ScanPhase phase = ScanPhase::kChecking;
    std::string_view path;  // the file just measured; empty when a phase ends
    ScanCounters counts;    // the run's counts so far
};

// What the engine shows while it works, and the per-file yield.
class ScanObserver {
  public:
    virtual ~ScanObserver() = default;
    virtual void ShowProgress(const ScanProgress& progress) = 0;  // after each file, and at ends
    virtual void SetScanDate(const std::string& text) = 0;        // when the last check started
    virtual void SetCounts(const ScanCounters& counters) = 0;  // checked, altered, created, deleted
    // Called once per file, just before its fingerprint: pending window events may run here.
    virtual void YieldToEvents() = 0;
};

// Where the walk found a file: the folder it opened and verified, and the file's name in it.
// Empty (no folder) for a file that was not found.
struct FileLocation {
    const platform::DirectoryHandle* folder = nullptr;
    std::string name;
    // The file as it was measured, for a response that comes after the walk (no folder then):
    // whatever stands at the path by then is acted on only when it is this very file.
    std::optional<platform::FileIdentity> identity;
};

// What the baseline records of a changed file, for a response that puts it back as recorded:
// its MD5 and, once the fingerprint is extended, its other facts. Empty for a created file.
struct RecordedFile {
    std::optional<platform::Md5Digest> md5;
    std::optional<platform::ExtendedFacts> extended;
    // A folder's or special file's kind (platform::PlaceFacts); "" for a file or a link.
    std::string place_kind = {};
    // A move: the recorded path (where the record is and the file goes back to).
    std::string moved_from = {};
    // A folder or special file: the entry recorded, the only one its facts go back on.
    std::optional<platform::FileIdentity> place_identity = std::nullopt;
};

// What a response left at a file's place, as far as the response itself knows: the watch takes
// only that for norv's own work, never whatever stands there when it looks again.
struct ResponseOutcome {
    enum class Left { kUntouched, kNothing, kRestored };
    Left left = Left::kUntouched;
    platform::Md5Digest restored_digest;  // kRestored: the digest of what the restore wrote
    std::vector<Message> failures;        // what went wrong, as told to the user
    // kRestored: the type, mode, owner, group, capabilities and ACL the restore gave the file,
    // read back through its own descriptor (no SHA-256).
    std::optional<platform::ExtendedFacts> restored_facts;
};

// Acts on one change (kind "created", "altered" or "deleted" and the file's full path) at the
// moment it is found, after its log line. `where` is the file's place as the walk verified it;
// a responder that moves the file acts there, never through the path again. `recorded` is what
// the baseline holds of it, for a restore. Reports its own failures, and returns what it left
// at the place.
class ChangeResponder {
  public:
    virtual ~ChangeResponder() = default;
    virtual ResponseOutcome RespondToChange(ChangeKind kind, const std::string& path,
                                            const FileLocation& where,
                                            const RecordedFile& recorded = {}) = 0;
    // A run (a check, or a batch of the watch) begins: per-run bounds count again, and what a
    // killed run left behind is tidied.
    virtual void BeginRun() {}
    // The run ends: what the response says of the run as a whole (files removed past its
    // bounds), for the log; already given to the notices and events by the response.
    virtual std::vector<Message> EndRun() { return {}; }
    // Whether a deploy holds the response for `path` now: the change is reported (its event
    // marked held) and left alone. Asked just before the change is reported; the answer stands
    // for the RespondToChange of the same path that follows.
    virtual bool Holds(const std::string& path) {
        (void)path;
        return false;
    }
    // Whether the hold that left changes alone has ended since (by its holder or by itself):
    // true once for each such hold, so that the watch answers those changes now rather than at
    // the next full check.
    virtual bool HeldChangesFreed() { return false; }
};

// Reloads the settings file, then the rule file, into the records the engine was lent, together
// with whatever their owner keeps beside them. An init starts with it, so that the new baseline
// follows both files as they are now. A failure of either is returned and the init does not run.
class SettingsReloader {
  public:
    virtual ~SettingsReloader() = default;
    virtual Status ReloadSettingsAndRules() = 0;
};

// Machine-readable events: every change a run finds, every action the response takes, and each
// run's summary, for log pipelines and scripts. Optional: a null sink records nothing.
struct ChangeEvent {
    ChangeKind kind = ChangeKind::kCreated;
    const std::string& path;  // the full path, bytes as they are
    // The baseline's digest (none for a created file), and the digest now (none for a deleted
    // file, or one that changed while it was read).
    std::optional<platform::Md5Digest> old_md5;
    std::optional<platform::Md5Digest> new_md5;
    int64_t size = -1;   // now; -1 when gone
    int64_t mtime = -1;  // seconds since the epoch, now; -1 when gone
    // An altered file: each fact that differs, with its values recorded and found.
    std::vector<platform::FactChange> changed;
    bool held = false;  // a deploy holds the response for it: nothing is moved or restored
    // The process that wrote it, where the watch's events name one (fanotify); null otherwise.
    std::shared_ptr<const platform::Writer> writer = nullptr;
    // A move: the recorded path it left (`path` is where it is now).
    std::string moved_from = {};
    // The rule covering `path` (CoveringRule) and its number in the rule file, from 1; none
    // where no rule does.
    const Rule* rule = nullptr;
    int rule_number = 0;

    // Sets `rule` and `rule_number` from `rules`.
    void FindRule(const RuleTable& rules) {
        rule = CoveringRule(rules, path);
        rule_number = rule ? static_cast<int>(rule - rules.rules.data()) + 1 : 0;
    }
};
// A change an administrator accepted into the baseline.
struct AcceptEvent {
    ChangeKind kind = ChangeKind::kAltered;
    const std::string& path;
    std::optional<platform::Md5Digest> old_md5;  // the baseline's before (none: a created file)
    std::optional<platform::Md5Digest> new_md5;  // the baseline's now (none: a deleted file)
    std::string user;                            // who accepted it
};
class EventSink {
  public:
    virtual ~EventSink() = default;
    // A run begins: `command` is "init", "check", "watch" or "accept". Every run begun is ended
    // by EndRun.
    virtual void BeginRun(std::string_view command) = 0;
    virtual void Change(const ChangeEvent& change) = 0;
    // The response's act on `path`: `action` quarantine, restore or mail; `detail` the copy's
    // path (a literal) on success, the reason on failure.
    virtual void Action(const std::string& path, ResponseAction action, bool succeeded,
                        const Message& detail) = 0;
    // A part of a watched tree the run could not see or measure (`path`; a folder's ends in the
    // separator), and why, quoted as the log's `Warning:` line quotes it (LogText). Its recorded
    // files are kept, never reported deleted.
    virtual void Warning(const std::string& path, const Message& reason) {
        (void)path;
        (void)reason;
    }
    // A deploy's hold ended by itself (its holder gone, its time up), or a hold record was
    // ignored; `text` says which and why.
    virtual void HoldNote(const Message& text) { (void)text; }
    // A change taken into the baseline by accept.
    virtual void Accepted(const AcceptEvent& accepted) { (void)accepted; }
    // The run ended: its four counts; `outcome` "completed", "stopped" or "failed".
    virtual void EndRun(const ScanCounters& counters, std::string_view outcome) = 0;
};

// Mails the report of the check that just ended (the closed log and the counters).
class ScanReportMailer {
  public:
    virtual ~ScanReportMailer() = default;
    // `written_by`: a line for each change whose writer the run knows (its path and
    // WriterSummary), after the report's own lines.
    virtual void SendScanReport(const std::vector<std::string>& written_by) = 0;
    // Mails the report of a burst of changes the real-time watch found: the counters of the
    // burst, and its change lines for a body.
    virtual void SendWatchReport(const std::vector<std::string>& lines,
                                 const std::vector<std::string>& written_by) {
        (void)lines;
        SendScanReport(written_by);
    }
};

}  // namespace norv
