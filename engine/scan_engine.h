// ScanEngine: the scan run and the three commands (Check, Initialise, MarkAllSeen).
//
// A run goes once over every rule, fingerprints every file the rules cover, compares each with
// the store, reports recorded files that are gone and writes the scan log. The engine owns no
// process state: it works on the records the application owns (ProcessState) and reports
// through the hooks it is given (EngineHooks). Only one run may be in progress: a command that
// arrives during one (through the per-file yield) is refused with kErrBusy.
//
// A failure ends the run where it happens: counters, log lines and store statements done so far
// are kept, and the command returns the failure for its caller to report.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "config/notice.h"
#include "config/rule_table.h"
#include "config/run_context.h"
#include "config/settings.h"
#include "engine/engine_hooks.h"
#include "engine/file_info_store.h"
#include "engine/scan_log.h"
#include "engine/scan_state.h"
#include "platform/digest/fingerprint.h"
#include "platform/fs/file_system.h"
#include "platform/fs/tree_walk.h"
#include "platform/text/regional_time.h"

namespace norv {

// The process-wide records a run reads and writes, each owned once by the application.
struct ProcessState {
    RunContext& context;
    const Settings& settings;
    const LiveSwitches& switches;  // read at the moment of use: they may change during a run
    RuleTable& rules;
    ScanMode& mode;
    ScanCounters& counters;
};

struct EngineHooks {
    const platform::Clock& clock;
    const platform::RegionalFormat& regional;
    ScanObserver& observer;
    NoticeSink& notices;
    SettingsReloader& reloader;
    ChangeResponder& responder;
    ScanReportMailer& mailer;
};

// Whether Check mails its report: with changes when line 3 reads 1 (mail_alert_on); without,
// only when it does and the "mail even without tampering" switch (mail_always) is 1.
bool ShouldSendReport(int64_t changes, bool mail_alert_on, int mail_always);

// The warnings a rule deserves; `rules` is the whole table and `index` the rule's place in it.
// `kind` is what the rule's path is on disk (kMissing when it is not there).
std::vector<std::string> RuleWarnings(const std::vector<Rule>& rules, size_t index,
                                      platform::EntryKind kind);

// One fingerprinting thread per processor.
int DefaultDigestWorkers();

// Warning lines for unseen places in one run; the rest are counted in one line.
inline constexpr size_t kMostUnseenLines = 1000;

// Files a check's looks on the watch's asking (SetUrgentFiles) may find gone, each remembered for
// the report of the files the walk did not meet, before the check asks no more.
inline constexpr size_t kMostUrgentFiles = 100000;
// Failed restores remembered for the watch between two of its looks; past it, the periodic full
// checks find the rest.
inline constexpr size_t kMostFailedRestores = 10000;

// New files a check with automatic restore on holds for quarantine after its walk; beyond, each
// is answered as soon as it is reported.
inline constexpr size_t kMostDeferredQuarantines = 10000;

// Said once, by the first run after a database made before the fingerprint was extended.
inline constexpr const char* kExtendedFingerprintMessage =
    "検査する項目を増やしました: MD5 に加えて SHA-256、種類、アクセス権 (setuid・setgid・"
    "スティッキーを含む)、所有者、グループ、ケーパビリティ、ACL を比べます。記録済みのファイル"
    "には、変わっていなければこの実行で記録し、変更とは報告しません";

inline constexpr const char* kBusyMessage =
    "スキャン中のため実行できません。スキャンの終了を待ってください";

// One file named by an event in a watched folder, and the folder the watch opened and verified.
struct WatchedFile {
    std::shared_ptr<platform::DirectoryHandle> folder;  // null when the folder itself is gone
    std::string name;                                   // in `folder`
    std::string path;                                   // as the records and the log show it
};

class ScanEngine {
  public:
    ScanEngine(ProcessState state, FileInfoStore& store, EngineHooks hooks);

    // A check against the baseline, mailing its report as ShouldSendReport decides.
    Status Check();
    // A new baseline, after reloading the settings and the rules.
    Status Initialise();
    // Marks every record seen: the changes found so far are no longer reported.
    Status MarkAllSeen();

    Status RunScan();
    Status UpdateDatabase();

    // Runs another command (building the archive) under the same rule as the three above: the
    // program folder's lock is held, it is refused while a run is in progress, and runs are
    // refused while it works.
    Status RunExclusive(const std::function<Status()>& command);

    // The real-time watch's steps. A burst is a series of changes close together: it starts with
    // the counters at 0 and a "watch" run in the events, and ends with the mail decision.
    void BeginWatchBurst();
    // Checks each file as a check does (record, log line, event, change response) under the
    // program folder's lock, appending the change lines to the log with their date and time. A
    // file that is gone is reported deleted when the baseline has it; a file first seen by a
    // check that is gone again is forgotten without a word. With `pages_first`, the urgent files
    // (SetUrgentFiles) are asked for before each file and between the blocks of its content, and
    // checked at once: a recorded page changed while a long digest of a new file runs is back
    // before that digest goes on.
    Status CheckWatchedFiles(const std::vector<WatchedFile>& files, bool pages_first = false);
    // The paths whose restore the response was asked for and did not do since the last call
    // (a failure it reported; at most kMostFailedRestores), for the watch to try again.
    std::vector<std::string> TakeFailedRestores() { return std::exchange(failed_restores_, {}); }
    // What the response left at `path` is forgotten: the next look at it is a look like any
    // other, as a retry of a failed restore needs.
    void ForgetResponseAt(const std::string& path) { left_by_response_.erase(path); }
    // Ends the burst: the events' summary, and the mail when the burst found changes and
    // mail_alert is 1. Returns whether a mail was sent.
    bool EndWatchBurst();
    // Asked between the files of a check's walk, of its report of the recorded files it did not
    // meet, and of its quarantine of new files, when
    // automatic restore is on: files to check at once, within the check (its log, counters and
    // response), as the watch checks them. The watch's recorded pages changed while a long
    // check runs thus come back without waiting for its end. Null to stop asking.
    void SetUrgentFiles(std::function<std::vector<WatchedFile>()> source) {
        urgent_files_ = std::move(source);
    }
    // Whether a deploy's hold that left changes alone has ended since; true once per hold.
    bool HeldChangesFreed() { return hooks_.responder.HeldChangesFreed(); }
    // Whether a change to the file at `path` is undone as soon as it is seen: automatic restore
    // is on, no deploy holds it, and the baseline records the file. The watch checks such a file
    // at its first event, before any other.
    bool RestoresAtOnce(const std::string& path);
    // Whether automatic restore is on now.
    bool Restores() const { return state_.switches.auto_restore != 0; }
    // Up to `most` paths the baseline records, after `after` in byte order (see FileInfoStore).
    Result<std::vector<std::string>> RecordedFilesAfter(const std::string& after, size_t most) {
        return store_.RecordedAfter(after, most);
    }

    bool running() const { return running_; }
    // The system as the run reaches it (the context's).
    platform::Env& env() const { return *state_.context.env; }
    const ScanCounters& counters() const { return state_.counters; }
    // Whether the baseline was made for each of `rules` as it stands (kind and path): a rule
    // added or changed since has nothing to compare with until an init. One read of the store.
    Result<std::vector<bool>> RulesInBaseline(const std::vector<Rule>& rules);
    // The places the last run could not see or measure.
    size_t unseen_places() const { return unseen_places_.size(); }
    // Threads that fingerprint files ahead of the recording step; 0 fingerprints each file on
    // the run's thread just before recording it. Results are the same either way.
    void SetDigestWorkers(int workers) { digest_workers_ = workers; }
    // How many new files a check holds for quarantine after its walk (kMostDeferredQuarantines).
    void SetMostDeferredQuarantines(size_t most) { most_deferred_quarantines_ = most; }
    // A flag that, once set (from a signal handler, say), makes a running scan stop before its
    // next file: what the store did so far is committed, the log is closed with the lines it
    // has, and the command fails with kind kStopped. An init then keeps the previous baseline.
    void SetStopFlag(const std::atomic<bool>* stop) { stop_requested_ = stop; }
    // kStopped once the stop flag is set.
    Status StopPoint() const;
    // Where the runs' machine-readable events go; null for none.
    void SetEventSink(EventSink* events) { events_ = events; }
    // Runs at the start of every command, once the program folder's lock is held (finishing an
    // accept a killed run left half done); its failure fails the command.
    void SetCommandPrologue(std::function<Status()> prologue) { prologue_ = std::move(prologue); }

    // Per-file steps, public for the tests that drive them one at a time.
    Status WalkDirectory(const std::string& path, RuleKind kind);
    Status CheckSingleFile(const std::string& path);
    // Records or compares one measured file (`dir` + `name` is its path as the records show
    // it); `where` is where the walk found it, for the response and for measuring it again.
    Status RecordFile(const std::string& dir, const std::string& name,
                      const platform::Fingerprint& fingerprint, const FileLocation& where = {});
    Status ReportDeletedFiles();

  private:
    Status CheckWatchedFilesLocked(const std::vector<WatchedFile>& files, bool pages_first);
    // `pages_first`: the urgent files are checked between the blocks of its content.
    Status CheckWatchedFile(const WatchedFile& file, bool pages_first = false);
    Status CheckPresentOrGone(const WatchedFile& file, const platform::Fingerprint& fingerprint,
                              bool present);
    class RunGuard;
    Status BeginCommand(std::optional<RunGuard>& guard);
    Status RunScanSteps();
    // An init's second look at the previous baseline's files it did not see (see the source).
    Status LookAgainAtMissedFiles();
    // Whether a rule this run walked covers `path` (a file rule's file, a folder rule's files, a
    // tree).
    bool CoveredByRule(const std::string& path) const;
    // Whether a baseline file is at or below `folder` (ending in '/'); whether the baseline
    // records a file of `rule`'s place (its file, or below its folder).
    Result<bool> HasRecordBelow(const std::string& folder);
    Result<bool> HasRecordUnder(const Rule& rule);
    // The keys of the rules an init's new baseline is made for (see Initialise).
    Result<std::vector<std::string>> BaselineRuleKeys();
    Status WalkSerially(platform::TreeWalk& walk);
    // Checks what urgent_files_ gives now, if anything.
    Status CheckUrgentFiles();
    Status TakeEntry(const platform::TreeWalk::Entry& entry,
                     const platform::Fingerprint& fingerprint);
    Status SkipFolder(const std::string& dir);
    // A FIFO, socket or device the walk met: reported by a check when it is new.
    Status ReportSpecialEntry(const platform::TreeWalk::Entry& entry);
    // A new FIFO, socket or device at `path` (entry `name` of `folder`): Created, and answered
    // as a new file is, never opened.
    Status ReportNewSpecialEntry(const std::string& path, const platform::DirectoryHandle& folder,
                                 const std::string& name, const platform::FileFacts& facts);
    // A place the run could not see or measure: a folder (its path ends in the separator) or a
    // file. A `Warning:` line and event say so with `why`; the records there are kept as they
    // are: a check reports none of them deleted, an init keeps their previous baseline.
    Status NoteUnseen(const std::string& place, const Status& why);
    // A `Warning:` line ("<place>: <text>") and a warning event.
    Status Warn(const std::string& place, const std::string& text);
    bool IsUnseen(const std::string& path) const;
    // A `Warning:` line and event when the file's content was not hashed whole, and once per
    // run for each fact that could not be read (the first file it happened to is named).
    // Adds to `changed` what fileinfo's length and time say where the digests cannot (a
    // digest of part of the content); warns of a comparison made on part of it.
    Status CompareLengthAndTime(const std::string& path, const FileInfoStore::Baseline& recorded,
                                const platform::Fingerprint& print,
                                std::vector<platform::FactChange>& changed);
    Status NoteIfSampled(const std::string& path, const platform::Fingerprint& fingerprint);
    Status NoteMissingFacts(const std::string& path, const platform::Fingerprint& fingerprint);
    // Says, once, that the records are getting the extended fingerprint.
    Status NoteExtendedFingerprint();
    // Logs and shows what is wrong with rule `index` (a path that is not there, a kind that does
    // not fit it, an unknown kind, files another rule covers too). Nothing here ends the run.
    Status WarnAboutRule(const std::vector<Rule>& rules, size_t index);
    // `now` is what was measured of a present file, kept in the change list for review.
    Status ReportChange(std::string_view word, const ChangeEvent& change, const FileLocation& where,
                        const RecordedFile& recorded = {},
                        const std::optional<platform::ExtendedFacts>& now = std::nullopt);
    // The failures the last response told, each a `Warning:` line.
    Status LogResponseFailures();
    // The new files a check held back (see deferred_quarantines_), quarantined now.
    Status QuarantineDeferred();
    // The cracked and save folders, never walked: evidence and archives are not watched files.
    void FindExcludedFolders();
    // Where a folder's files were measured this run, by its identity: a rule that reaches it
    // again under another path (through a link) measures them once, under the first path.
    struct WalkedFolder {
        std::string path;  // ending in the separator
        size_t rule = 0;   // from 0
        bool recursive = false;
    };
    struct LeftOut {
        WalkedFolder measured;
        bool whole = false;  // its subfolders too
    };
    platform::TreeWalk::Options::Take TakeOnce(const platform::FileIdentity& folder,
                                               const std::string& path, bool recursive);
    // A `Warning:` line for the place whose files were measured under another path; records
    // there are kept, neither deleted nor carried into a new baseline.
    Status NoteLeftOut(const std::string& place);
    bool IsLeftOut(const std::string& path) const;

    ProcessState state_;
    FileInfoStore& store_;
    EngineHooks hooks_;
    ScanLog log_;
    bool running_ = false;
    std::vector<platform::FileIdentity> excluded_folders_;
    std::set<std::string> skipped_logged_;  // folders the log has named as skipped this run
    // What this run could not see: folder paths ending in the separator, and single files.
    std::set<std::string> unseen_places_;
    // The rules as the run's start found them: the settings window may edit the table while the
    // run yields, and must not pull a rule from under it.
    RuleTable walked_rules_;
    mutable std::mutex walked_mutex_;  // the walk claims folders from its own thread
    std::map<platform::FileIdentity, WalkedFolder> walked_folders_;
    std::map<std::string, LeftOut> left_out_;  // places whose files were measured elsewhere
    // Files single-file rules measured, by their folder and name: a later rule that reaches
    // the folder through a link leaves them out.
    std::map<std::pair<platform::FileIdentity, std::string>, WalkedFolder> single_files_;
    // Whether a file a walk met was measured by an earlier single-file rule (then said).
    Result<bool> MeasuredBySingleFileRule(const platform::TreeWalk::Entry& entry);
    size_t current_rule_ = 0;
    bool remember_walked_ = false;  // a later rule may reach the same folders
    int digest_workers_ = DefaultDigestWorkers();
    const std::atomic<bool>* stop_requested_ = nullptr;
    std::function<std::vector<WatchedFile>()> urgent_files_;
    // Files this check's looks on asking reported deleted; at most kMostUrgentFiles.
    std::unordered_set<std::string> urgent_gone_;
    EventSink* events_ = nullptr;
    std::function<Status()> prologue_;
    std::vector<std::string> burst_lines_;  // the change lines of the current burst
    // What the change response left at each path it acted on during the watch: seen again, it
    // is norv's own work, never a new change (an archive that differs from the baseline would
    // otherwise be restored, found altered and restored again without end).
    struct LeftByResponse {
        std::string digest;                            // "" when nothing was left
        std::optional<platform::ExtendedFacts> facts;  // the attributes the restore set
        std::string baseline_digest;  // what the baseline recorded of the file then
    };
    std::unordered_map<std::string, LeftByResponse> left_by_response_;
    // New FIFOs, sockets and devices the watch reported, so that more events of one are not new
    // findings (bounded: forgetting costs one more report).
    std::unordered_map<std::string, platform::FileIdentity> specials_reported_;
    // The facts this run (or watch burst) has said it could not read, once each.
    std::set<std::string_view> missing_facts_said_;
    ResponseOutcome last_response_;             // of the latest change reported
    std::vector<std::string> failed_restores_;  // see TakeFailedRestores
    // In a check with automatic restore on, a new file is reported as it is met but quarantined
    // only after the walk and the deleted files' restores: a flood of new files met before an
    // altered page never holds the page back. Each is kept by its path and the identity it was
    // measured with, opened again from its rule down and moved only if it is still that file.
    struct DeferredQuarantine {
        std::string path;
        platform::FileIdentity identity;
    };
    bool defer_quarantines_ = false;
    std::vector<DeferredQuarantine> deferred_quarantines_;
    size_t most_deferred_quarantines_ = kMostDeferredQuarantines;
    bool burst_response_begun_ = false;
    size_t burst_lines_beyond_ = 0;
};

}  // namespace norv
