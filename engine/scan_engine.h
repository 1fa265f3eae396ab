// ScanEngine: the scan run and the three commands (Check, Initialise, MarkAllSeen).
//
// A run goes once over every rule, fingerprints every file the rules cover, compares each with
// the store, reports recorded files that are gone and writes the scan log. The engine owns no
// process state: it works on the records the application owns (ProcessState) and reports
// through the hooks it is given (EngineHooks). Every command runs through the CommandRunner it
// shares with accept and the archive: a command that arrives during a run (through the
// per-file yield) is refused with kErrBusy.
//
// The engine orders the run; its parts do the work on what one run carries (ScanRun): the
// RuleWalker finds and measures each rule's files, the ChangeRecorder records or compares them
// and reports, and WatchBurst checks the real-time watch's files and reports its bursts.
//
// A failure ends the run where it happens: counters, log lines and store statements done so far
// are kept, and the command returns the failure for its caller to report.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "config/rule_table.h"
#include "engine/change_recorder.h"
#include "engine/command_runner.h"
#include "engine/engine_hooks.h"
#include "engine/file_info_store.h"
#include "engine/rule_walker.h"
#include "engine/scan_run.h"
#include "engine/scan_state.h"
#include "engine/scan_tools.h"
#include "engine/watch_burst.h"
#include "platform/digest/fingerprint.h"
#include "platform/fs/file_system.h"
#include "platform/fs/tree_walk.h"
#include "platform/text/regional_time.h"

namespace norv {

// The warnings a rule deserves; `rules` is the whole table and `index` the rule's place in it.
// `kind` is what the rule's path is on disk (kMissing when it is not there).
// Each names the rule by its number and its path as DisplayPath shows it.
std::vector<Message> RuleWarnings(const std::vector<Rule>& rules, size_t index,
                                  platform::EntryKind kind);

class ScanEngine {
  public:
    // `commands` starts every command (and is shared with the other commands of the process).
    ScanEngine(ProcessState state, FileInfoStore& store, EngineHooks hooks,
               CommandRunner& commands);
    ScanEngine(const ScanEngine&) = delete;
    ScanEngine& operator=(const ScanEngine&) = delete;

    // A check against the baseline, mailing its report as ShouldSendReport decides.
    Status Check();
    // A new baseline, after reloading the settings and the rules.
    Status Initialise();
    // Marks every record seen: the changes found so far are no longer reported.
    Status MarkAllSeen();

    Status RunScan();
    // The run's "run" event, its outcome from `status`.
    void EndRunEvent(const Status& status);
    Status UpdateDatabase();

    // Runs another command (building the archive) through the same CommandRunner as the three
    // above: the program folder's lock is held, it is refused while a run is in progress, and
    // runs are refused while it works.
    Status RunExclusive(const std::function<Status()>& command) { return commands_.Run(command); }
    // The same, waiting up to `wait` for another process to let the program folder go.
    Status RunExclusiveWaiting(std::chrono::milliseconds wait,
                               const std::function<Status()>& command) {
        return commands_.RunWaiting(wait, command);
    }

    // The real-time watch's steps. A burst is a series of changes close together: it starts with
    // the counters at 0 and a "watch" run in the events, and ends with the mail decision.
    void BeginWatchBurst() { watch_.Begin(); }
    // Checks each file as a check does (record, log line, event, change response) under the
    // program folder's lock, appending the change lines to the log with their date and time. A
    // file that is gone is reported deleted when the baseline has it; a file first seen by a
    // check that is gone again is forgotten without a word. With `recorded_first`, the urgent files
    // (SetUrgentFiles) are asked for before each file and between the blocks of its content, and
    // checked at once: a recorded file changed while a long digest of a new file runs is back
    // before that digest goes on.
    Status CheckWatchedFiles(const std::vector<WatchedFile>& files, bool recorded_first = false) {
        return commands_.Run([&] { return watch_.CheckFiles(files, recorded_first); });
    }
    // The paths whose restore the response was asked for and did not do since the last call
    // (a failure it reported; at most kMostFailedRestores), for the watch to try again.
    std::vector<std::string> TakeFailedRestores() { return recorder_.TakeFailedRestores(); }
    // What the response left at `path` is forgotten: the next look at it is a look like any
    // other, as a retry of a failed restore needs.
    void ForgetResponseAt(const std::string& path) { watch_.ForgetResponseAt(path); }
    // Ends the burst: the events' summary, and the mail when the burst found changes and
    // mail_alert is 1. Returns whether a mail was sent.
    bool EndWatchBurst() { return watch_.End(); }
    // Asked between the files of a check's walk, of its report of the recorded files it did not
    // meet, and of its quarantine of new files, when automatic restore is on: files to check at
    // once, within the check (its log, counters and response), as the watch checks them. The
    // watch's recorded files changed while a long check runs thus come back without waiting for
    // its end. Null to stop asking.
    void SetUrgentFiles(std::function<std::vector<WatchedFile>()> source) {
        watch_.SetUrgentFiles(std::move(source));
    }
    // Whether a deploy's hold that left changes alone has ended since; true once per hold.
    bool HeldChangesFreed() { return tools_.hooks.responder.HeldChangesFreed(); }
    // Whether a change to the file at `path` is undone as soon as it is seen: automatic restore
    // is on, no deploy holds it, and the baseline records the file. The watch checks such a file
    // at its first event, before any other.
    bool RestoresAtOnce(const std::string& path) { return watch_.RestoresAtOnce(path); }
    // Whether automatic restore is on now.
    bool Restores() const { return tools_.Restores(); }
    // Up to `most` paths the baseline records, after `after` in byte order (see FileInfoStore).
    Result<std::vector<std::string>> RecordedFilesAfter(const std::string& after, size_t most) {
        return tools_.store.RecordedAfter(after, most);
    }

    // Whether a command (of this engine, or another through its CommandRunner) is running.
    bool running() const { return commands_.busy(); }
    // The system as the run reaches it (the context's).
    platform::Env& env() const { return tools_.env(); }
    const ScanCounters& counters() const { return tools_.state.counters; }
    // Whether the baseline was made for each of `rules` as it stands (kind and path): a rule
    // added or changed since has nothing to compare with until an init. One read of the store.
    Result<std::vector<bool>> RulesInBaseline(const std::vector<Rule>& rules);
    // Whether a baseline file is at or below `folder` (ending in '/').
    Result<bool> HasRecordBelow(const std::string& folder);
    // The places the last run could not see or measure.
    size_t unseen_places() const { return run_.unseen_places.size(); }
    // Threads that fingerprint files ahead of the recording step; 0 fingerprints each file on
    // the run's thread just before recording it. Results are the same either way.
    void SetDigestWorkers(int workers) { walker_.SetDigestWorkers(workers); }
    // How many new files a check holds for quarantine after its walk (kMostDeferredQuarantines).
    void SetMostDeferredQuarantines(size_t most) { recorder_.SetMostDeferredQuarantines(most); }
    // A flag that, once set (from a signal handler, say), makes a running scan stop before its
    // next file: what the store did so far is committed, the log is closed with the lines it
    // has, and the command fails with kind kStopped. An init then keeps the previous baseline.
    void SetStopFlag(const std::atomic<bool>* stop) { tools_.stop_requested = stop; }
    // kStopped once the stop flag is set.
    Status StopPoint() const { return tools_.StopPoint(); }
    // Where the runs' machine-readable events go; null for none.
    void SetEventSink(EventSink* events) { tools_.events = events; }

  private:
    Status InitialiseLocked();
    Status RunScanSteps();
    // An init's second look at the previous baseline's files it did not see (see the source).
    Status LookAgainAtMissedFiles();
    // Whether the baseline records a file of `rule`'s place (its file, or below its folder).
    Result<bool> HasRecordUnder(const Rule& rule);
    // The keys of the rules an init's new baseline is made for (see Initialise).
    Result<std::vector<std::string>> BaselineRuleKeys();
    // Says, once, that the records are getting the extended fingerprint (kFingerprintExtended):
    // the first run after a database made before the fingerprint was extended.
    Status NoteExtendedFingerprint();
    // Logs and shows what is wrong with rule `index` (a path that is not there, a kind that does
    // not fit it, an unknown kind, files another rule covers too). Nothing here ends the run.
    Status WarnAboutRule(const std::vector<Rule>& rules, size_t index);

    ScanTools tools_;
    CommandRunner& commands_;
    ScanRun run_;
    ChangeRecorder recorder_{tools_, run_};
    WatchBurst watch_{tools_, run_, recorder_};
    RuleWalker walker_{tools_, run_, recorder_, watch_};
};

}  // namespace norv
