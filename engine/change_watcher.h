// ChangeWatcher: real-time protection. Watches every rule's folders for changes and checks each
// changed file at once, as a check would, so that with automatic restore on a tampered file is
// back within a fraction of a second instead of at the next scan period.
//
// Start() sets a watch on every folder the rules cover, then runs one full check. Step() then
// waits for the kernel's events and does the work that has fallen due:
// - a file written, created, removed or moved is checked once its writes have been quiet for
//   the settle time (or, if it is written without pause, after the longest wait); with
//   automatic restore on, a recorded file is checked at its first event, before any other
//   file, so that a recorded file rewritten without pause or hidden in a flood of new files is back
//   at once;
// - a folder that appears under a tree rule is watched before it is listed, and every file in it
//   is checked, so nothing written before the watch was set is missed; a cracked or save folder
//   made since the watches were set is left out, as those found then are;
// - a lost event queue, a watch that cannot be set, a watched folder moved or replaced, or more
//   pending files than the bound, falls back to a full check after a message saying why; when
//   events were lost (or too many files wait) with automatic restore on, the recorded files
//   are checked first, each as its own event would have it, for a bounded time, so that a recorded
//   file behind a flood of new files is back before the full check's walk measures the flood;
// - a new file (or any file not restored at once) is checked after the recorded files due with
//   it, and while it is checked the events are taken before it and between the blocks of its
//   content (each `urgent_look`): a recorded file changed meanwhile is checked and restored at
//   once, so a long digest of a planted file never holds a recorded file back;
// - a restore that failed is tried again, later each time, a bounded number of times;
// - changes found close together form one burst: one mail and one run in the events for a
//   deploy of 500 files, sent when the burst has been quiet or has lasted long enough.
// Every folder is opened from its rule's path down, name by name, and checked to be the very
// folder the watch was set on before a file in it is measured or moved.
//
// The watcher borrows the engine and the records it reads; one thread drives it. Its times are
// the engine's Env's monotonic clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "config/notice.h"
#include "config/rule_table.h"
#include "config/settings.h"
#include "engine/scan_engine.h"
#include "engine/watch_schedule.h"
#include "platform/fs/folder_event_source.h"
#include "platform/fs/folder_events.h"

namespace norv {

// Folders deeper than this below their rule's own folder are left to the full checks: reaching a
// watched folder from its rule costs one open per level, and real trees are far shallower.
inline constexpr int kMostWatchedDepth = 256;

struct WatchOptions {
    using Duration = std::chrono::milliseconds;
    WatchTimings timings;
    Duration retry{500};  // after another norv held the program folder
    // Files other than recorded files checked in one step, in slices of this many, for at most
    // `slice_time`: the events that came meanwhile (a recorded file defaced again) are taken first.
    size_t slice = 64;
    Duration slice_time{200};
    // After events were lost, with automatic restore on: the recorded files checked before the
    // full check, in slices of `slice`, for at most this long and this many (the full check
    // after them covers the rest anyway).
    Duration recorded_first_time{2000};
    size_t recorded_first_most = 1000000;
    // What the events waiting in memory may take before an overflow (the tests give a small one).
    size_t most_queued_event_bytes = platform::kMostQueuedEventBytes;
    // The events from fanotify where it can be had (inotify otherwise); the tests may make the
    // kernel refuse it.
    bool try_fanotify = true;
    const platform::FanotifyCalls* fanotify_calls = nullptr;
    // How often the watch looks whether a hold that left changes alone has ended (by itself
    // too: its holder gone, its time up), to answer them then with a full check.
    Duration hold_look{1000};
    // While a full check runs with automatic restore on, the events are taken this often (for
    // at most `urgent_take` each time), and the recorded files they name are checked at once.
    Duration urgent_look{100};
    Duration urgent_take{50};
    // A restore that failed is tried again after `restore_retry_first`, then after twice as long
    // each time, at most `restore_retry_most` times and no later than `restore_retry_longest`
    // after its first failure; the periodic full checks take it from there.
    Duration restore_retry_first{200};
    int restore_retry_most = 5;
    Duration restore_retry_longest{60000};
    // Names in the folders where norv itself writes: their events are its own.
    std::vector<std::string> own_file_prefixes;
    std::vector<std::string> own_folders;
};

// What the watcher has done, for its user and the benchmarks.
struct WatchStatistics {
    size_t folders = 0;         // folders watched now
    int64_t files_checked = 0;  // files checked on events
    int64_t full_checks = 0;    // full checks, the first one included
    int64_t bursts = 0;         // bursts that found changes
    int64_t mails = 0;
    int64_t event_restarts = 0;   // readers of events started again after one failed
    int64_t restore_retries = 0;  // failed restores tried again
    std::string events_source;    // "fanotify" or "inotify": which of the kernel's events run
};

class ChangeWatcher {
  public:
    ChangeWatcher(ScanEngine& engine, const RuleTable& rules, const Settings& settings,
                  NoticeSink& notices, WatchOptions options);
    ~ChangeWatcher();

    // Sets the watches and runs the first full check. Fails only when the kernel's events
    // cannot be had at all, or the check fails; a folder that cannot be watched is said and
    // left to the full checks.
    Status Start();
    // Waits up to `wait` for events, then does what is due. Returns kStopped when the engine's
    // stop flag ended a check; other failures are said, and the watch goes on.
    Status Step(std::chrono::milliseconds wait);
    // The rules or settings were read again: the watches follow them, and a full check runs.
    void RulesChanged();
    // Asks for a full check at the next step, saying `why` (nothing: the check's own notices
    // say it).
    void RequestFullCheck(Message why = {});
    // Ends an open burst now (its mail and events), as before the watch stops.
    void Finish();

    const WatchStatistics& statistics() const { return statistics_; }
    // Events read from the kernel and not yet taken by the watch.
    size_t events_waiting() const { return events_ ? events_->waiting() : 0; }

  private:
    using Clock = std::chrono::steady_clock;
    // The Env's monotonic clock: every time the watch goes by.
    Clock::time_point Now() const { return engine_.env().SteadyNow(); }
    // A watched folder knows its parent's watch and its own name, not its whole path, so a
    // chain of folders costs memory in its depth, not in the square of it.
    struct Folder {
        int parent = -1;   // the watch of the folder holding it; -1 for a rule's own folder
        std::string name;  // in the parent; a rule's own folder: its whole path
        int depth = 0;     // folders between it and its rule's own folder
        platform::FileIdentity identity;
        bool tree = false;       // its subfolders are watched too
        bool all_files = false;  // every file in it is watched (not only file rules')
        std::vector<std::pair<std::string, std::string>> single_files;  // name, rule path
    };
    using FileKey = WatchSchedule::FileKey;
    // A recorded file's folder opened from its rule down, as an event's file is; nothing for a
    // path no rule covers or a place out of reach (the full checks say why).
    std::optional<WatchedFile> OpenRecordedFile(const std::string& path);

    void SetWatches();
    // A folder where a tree is watched from when its source sees unwatched folders' events (a
    // tree rule's own folder, a file system mounted in the tree): each folder below is watched
    // when its first event comes, found from the anchor down.
    struct Anchor {
        int watch = -1;
        std::string path;         // as the kernel names it, ending in the separator
        std::string file_system;  // platform::FileSystemOfKey of its key
    };
    void AddAnchor(int watch, const platform::DirectoryHandle& folder, const std::string& path);
    // The innermost anchor whose path holds `kernel_path` (ending in the separator), or null.
    const Anchor* InnermostAnchor(const std::string& kernel_path) const;
    // The watch of the folder an event names by `key` and no watch yet: found through its file
    // handle, opened from its anchor down the safe way, proved to be that folder, and watched
    // with the folders on the way. -1 for a folder outside the trees (ignored from then on), or
    // one that could not be proved (a full check is asked for).
    int WatchEventFolder(const std::string& key);
    // The same for the folder the kernel names `kernel_path` (ending in the separator); when
    // `expected` is given, the folder reached must be that one. `key` is ignored when the path is
    // outside the trees; `reached` gets the folder opened.
    int WatchEventFolderAt(const std::string& kernel_path, const platform::FileIdentity* expected,
                           const std::string* key = nullptr,
                           std::shared_ptr<platform::DirectoryHandle>* reached = nullptr);
    // Watches `folder`, merging with a watch the same folder already has; the watch's number,
    // or -1 when it cannot be watched (said once per call of SetWatches and per new folder).
    int AddWatch(const platform::DirectoryHandle& folder, const std::string& path,
                 const Folder& uses);
    // Watches the folder a tree walk entered at `path`, linked to the watch of the folder above
    // it (`above`: path lengths and watches of the folders the walk is in).
    int AddWalkedWatch(const platform::DirectoryHandle& folder, const std::string& path,
                       const Folder& uses, std::vector<std::pair<size_t, int>>& above);
    // The folder's path, ending in the separator; empty when a folder on the way is no longer
    // watched.
    std::string FolderPath(int watch) const;
    // The path of a file of a watched folder as the records show it; empty when not watched.
    std::string FilePath(int watch, const Folder& folder, const std::string& name) const;
    void Take(const platform::FolderEvent& event, Clock::time_point now);
    // `finished`: the event ends a change (closed after writing, moved, removed); `moved_away`:
    // the file left by a rename (see WatchSchedule::Note).
    void Queue(int watch, const Folder& folder, const std::string& name, Clock::time_point when,
               bool finished = true, bool moved_away = false);
    // Checks `keys` (pending files) as one batch; false when another norv made them wait.
    // The files of `keys`, each folder reached once from its rule down; the keys dealt with go
    // to `done`. A folder out of reach as the watch knew it keeps its keys out of `done` (and
    // asks for a full check when `full_check_when_out_of_reach`).
    std::vector<WatchedFile> OpenFiles(const std::vector<FileKey>& keys, std::vector<FileKey>& done,
                                       bool full_check_when_out_of_reach);
    // `recorded_first`: recorded files changed meanwhile are checked before each file and between
    // the blocks of its content (see ScanEngine::CheckWatchedFiles).
    Result<bool> CheckBatch(const std::vector<FileKey>& keys, Clock::time_point now,
                            bool recorded_first = false);
    void WatchNewFolder(int parent_watch, const std::string& name);
    // The folder of `watch` opened from its rule down and proved to be the one watched.
    Result<std::shared_ptr<platform::DirectoryHandle>> OpenWatched(int watch);
    Status CheckDueFiles(Clock::time_point now);
    Status RunFullCheck();
    // For the engine, between the files of a full check: takes the events that came, and gives
    // the recorded files among them that are due, to be checked at once.
    std::vector<WatchedFile> UrgentFiles();
    // Takes the events that came within `timeout`; the reader's failure if it has stopped.
    Status TakeEvents(std::chrono::milliseconds timeout, std::vector<platform::FolderEvent>& batch);
    // A new reader of events after a failed one; on failure, the next try after `retry`.
    void RestartEvents(Clock::time_point now);
    // The recorded files under the rules, checked before a full check (see WatchOptions); false
    // when another norv holds the program folder.
    Result<bool> CheckRecordedFiles();
    // Runs CheckRecordedFiles when automatic restore is on, and says how it went.
    Status RunRecordedFirst();
    // Restores that failed (ScanEngine::TakeFailedRestores), each given its next try, or given
    // up (and said) once tried often or long enough.
    void NoteFailedRestores(const std::vector<std::string>& failed, Clock::time_point now);
    // The failed restores whose next try is due, tried again by checking their files.
    Status RetryRestores(Clock::time_point now);
    void EndBurstIfDue(Clock::time_point now, bool force);
    Clock::time_point NextDeadline(Clock::time_point now) const;
    bool IsOwnFile(const Folder& folder, const std::string& name) const;
    // `name` is one of the names on the path of the cracked or the save folder: a folder that
    // appears under it may be one of them, made since the watches were set.
    bool IsNamedLikeProgramFolder(const std::string& name) const;

    ScanEngine& engine_;
    const RuleTable& rules_;
    const Settings& settings_;
    NoticeSink& notices_;
    WatchOptions options_;
    // The kernel's events: fanotify first, inotify when fanotify is refused (watch_source.cpp).
    Result<std::unique_ptr<platform::FolderEventSource>> OpenEvents();
    // A file system fanotify cannot mark was met while the watches were set: the watch goes on
    // with inotify, its watches set again.
    void FallBackToInotify();
    std::unique_ptr<platform::FolderEventSource> events_;
    // The latest writer of each pending file, as its events named it; at most as many as files
    // may wait.
    std::map<FileKey, std::shared_ptr<const platform::Writer>> writers_;
    bool fanotify_refused_ = false;
    bool fanotify_unsupported_seen_ = false;  // in this round of SetWatches
    Message fanotify_refusal_;
    std::unordered_map<int, Folder> folders_;
    std::vector<Anchor> anchors_;
    WatchSchedule schedule_;
    std::vector<std::pair<int, std::string>> new_folders_;  // parent watch, name
    std::vector<platform::FileIdentity> excluded_;
    std::vector<platform::FileIdentity> own_folders_;  // where norv writes its own files
    bool full_check_due_ = false;
    bool recorded_first_due_ = false;  // events were lost: recorded files before the full check
    Message full_check_reason_;
    bool watch_failure_said_ = false;
    int64_t unwatched_folders_ = 0;
    int64_t over_watch_limit_ = 0;  // of those, the folders the kernel's watch limit kept out
    bool too_deep_said_ = false;
    Clock::time_point retry_at_{};
    Clock::time_point events_restart_at_{};  // while events_ is null
    bool restart_failure_said_ = false;
    Clock::time_point next_hold_look_at_{};
    Clock::time_point next_urgent_look_at_{};
    Clock::time_point next_full_check_at_{};
    Clock::time_point next_recorded_first_at_{};
    struct RestoreRetry {
        int failures = 0;
        Clock::time_point first_failure, next_try;
    };
    std::map<std::string, RestoreRetry> restore_retries_;  // by path; bounded by the engine's
    bool watches_set_for_check_ = false;
    WatchStatistics statistics_;
};

}  // namespace norv
