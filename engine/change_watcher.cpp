#include "engine/change_watcher.h"

#include <algorithm>

#include "config/watched_place.h"
#include "engine/scan_log.h"
#include "platform/base/notice_code.h"
#include "platform/fs/tree_walk.h"

namespace norv {

using platform::FolderEvent;

namespace {
// Reads of the event queue in one step beyond the first (each up to kMostEventsPerWait), and
// waits for a reader still working through the kernel's backlog.
constexpr int kMostExtraReads = 16;
constexpr int kMostEmptyReads = 64;
}  // namespace

ChangeWatcher::ChangeWatcher(ScanEngine& engine, const RuleTable& rules, const Settings& settings,
                             NoticeSink& notices, WatchOptions options)
    : engine_(engine),
      rules_(rules),
      settings_(settings),
      notices_(notices),
      options_(std::move(options)),
      schedule_(options_.timings) {}

ChangeWatcher::~ChangeWatcher() = default;

Status ChangeWatcher::Start() {
    auto events = OpenEvents();
    if (!events.ok()) return events.status();
    events_ = std::move(events).value();
    own_folders_.clear();
    for (const std::string& own : options_.own_folders) {
        if (auto folder = platform::OpenDirectory(engine_.env(), own); folder.ok()) {
            if (auto identity = platform::IdentityOf(**folder, own); identity.ok()) {
                own_folders_.push_back(identity.value());
            }
        }
    }
    full_check_due_ = true;
    full_check_reason_ = {};
    return RunFullCheck();
}

void ChangeWatcher::RulesChanged() {
    watches_set_for_check_ = false;  // the watches follow the new rules before the check
    RequestFullCheck();
}

void ChangeWatcher::RequestFullCheck(Message why) {
    if (!full_check_due_ || full_check_reason_.empty()) full_check_reason_ = std::move(why);
    full_check_due_ = true;
    new_folders_.clear();
}

void ChangeWatcher::Take(const FolderEvent& event, Clock::time_point now) {
    if (event.kinds & FolderEvent::kOverflow) {
        recorded_first_due_ = true;
        RequestFullCheck(Message(NoticeCode::kWatchEventsLost,
                                 {std::to_string(platform::ReadWatchLimits().max_queued_events)}));
        return;
    }
    // A folder with no watch yet (fanotify sees every folder of a marked file system): watched
    // now if it is in the trees.
    const int watch = event.watch < 0 && !event.folder_key.empty()
                          ? WatchEventFolder(event.folder_key)
                          : event.watch;
    auto found = folders_.find(watch);
    if (found == folders_.end()) return;  // a watch already given up, or a folder not watched
    if (event.kinds & FolderEvent::kWatchEnded) {
        folders_.erase(found);
        statistics_.folders = folders_.size();
        return;
    }
    const Folder& folder = found->second;
    if (event.name.empty()) {
        // Removed, the folder was emptied first and each file said so; moved or unmounted, its
        // files went with it without a word.
        if (event.kinds & FolderEvent::kFolderMoved) {
            RequestFullCheck(
                Message(NoticeCode::kWatchedFolderMoved, {DisplayPath(FolderPath(watch))}));
        }
        return;
    }
    if (event.is_folder) {
        // While a full check is due, its walk sets the watches of new folders. Those that wait
        // (taken while a full check runs, they wait for its end) are bounded as the files are.
        if ((event.kinds & FolderEvent::kAppeared) && folder.tree && !full_check_due_) {
            if (new_folders_.size() < options_.timings.most_pending) {
                new_folders_.emplace_back(watch, event.name);
            } else {
                RequestFullCheck(Message(NoticeCode::kTooManyNewFolders,
                                         {std::to_string(options_.timings.most_pending)}));
            }
        }
        if (event.kinds & FolderEvent::kMovedAway) {
            RequestFullCheck(Message(NoticeCode::kWatchedFolderMoved,
                                     {DisplayPath(FolderPath(watch) + event.name)}));
        } else if ((event.kinds & FolderEvent::kVanished) && folder.tree) {
            // Removed with what it held: the events of its files may have come before it had a
            // watch, so a full check looks for the records that were under it.
            const std::string path = FolderPath(watch) + event.name + "/";
            auto recorded = engine_.HasRecordBelow(path);
            if (!recorded.ok() || *recorded) {
                RequestFullCheck(Message(NoticeCode::kWatchedFolderRemoved, {DisplayPath(path)}));
            }
        }
        return;
    }
    if (IsOwnFile(folder, event.name)) return;
    if (event.writer && (writers_.size() < options_.timings.most_pending ||
                         writers_.count(FileKey(watch, event.name)) != 0)) {
        writers_[FileKey(watch, event.name)] = event.writer;
    }
    // A file moved away waits for quiet like a write: its new name, if in the trees, comes in
    // the same batch, and the two are one move.
    Queue(watch, folder, event.name, now, (event.kinds & FolderEvent::kFinished) != 0,
          (event.kinds & FolderEvent::kMovedAway) != 0);
}

void ChangeWatcher::Queue(int watch, const Folder& folder, const std::string& name,
                          Clock::time_point when, bool finished, bool moved_away) {
    const FileKey key(watch, name);
    bool at_once = false;
    if (!schedule_.Waiting(key)) {
        const std::string path = FilePath(watch, folder, name);
        if (path.empty()) return;
        at_once = engine_.RestoresAtOnce(path);
    }
    if (!schedule_.Note(key, when, at_once, finished, moved_away)) {
        // A recorded file's event may be among those not followed, as when events are lost.
        recorded_first_due_ = true;
        RequestFullCheck(Message(NoticeCode::kTooManyPendingFiles,
                                 {std::to_string(options_.timings.most_pending)}));
    }
}

Status ChangeWatcher::CheckDueFiles(Clock::time_point now) {
    if (now < retry_at_) return Status::Ok();
    // Recorded files first, then the rest: a flood of new files never holds a recorded file back.
    const WatchSchedule::Due due = schedule_.TakeDue(now);
    const std::vector<FileKey>& recorded = due.at_once;
    const std::vector<FileKey>& others = due.others;
    size_t first_other = 0;
    if (!recorded.empty()) {
        // With the first slice of the rest: a rename gives a recorded file gone and a new one at
        // once, and checked in one batch they are one move.
        std::vector<FileKey> batch = recorded;
        first_other = std::min(others.size(), options_.slice);
        batch.insert(batch.end(), others.begin(),
                     others.begin() + static_cast<ptrdiff_t>(first_other));
        auto checked = CheckBatch(batch, now);
        if (!checked.ok() || !checked.value()) return checked.status();
    }
    // The rest in slices, for a bounded time: what is left is due at the next step, after the
    // events that came meanwhile.
    const Clock::time_point slice_end = Now() + options_.slice_time;
    for (size_t from = first_other; from < others.size() && Now() < slice_end;
         from += options_.slice) {
        const auto to =
            others.begin() + static_cast<ptrdiff_t>(std::min(others.size(), from + options_.slice));
        auto checked = CheckBatch(
            std::vector<FileKey>(others.begin() + static_cast<ptrdiff_t>(from), to), now, true);
        if (!checked.ok() || !checked.value()) return checked.status();
    }
    return Status::Ok();
}

std::vector<WatchedFile> ChangeWatcher::OpenFiles(const std::vector<FileKey>& keys,
                                                  std::vector<FileKey>& done,
                                                  bool full_check_when_out_of_reach) {
    std::unordered_map<int, std::shared_ptr<platform::DirectoryHandle>> opened;
    std::vector<WatchedFile> files;
    for (const FileKey& key : keys) {
        const auto& [watch, name] = key;
        auto folder = opened.find(watch);
        if (folder == opened.end()) {
            auto handle = OpenWatched(watch);
            // A folder that is not there any more holds none of its files. One that cannot be
            // reached as the watch knew it (replaced, or a link on the way) keeps its files
            // waiting, for a full check that walks the tree as it is now.
            if (!handle.ok() && !handle.status().Is(ErrorKind::kNotFound)) {
                if (full_check_when_out_of_reach) {
                    RequestFullCheck(Message(NoticeCode::kFullCheckFor, {handle.status().what()}));
                }
                continue;
            }
            folder = opened.emplace(watch, handle.ok() ? handle.value() : nullptr).first;
        }
        auto uses = folders_.find(watch);
        const std::string path =
            uses == folders_.end() ? std::string() : FilePath(watch, uses->second, name);
        done.push_back(key);
        std::shared_ptr<const platform::Writer> writer;
        if (auto wrote = writers_.find(key); wrote != writers_.end()) {
            writer = std::move(wrote->second);
            writers_.erase(wrote);
        }
        if (!path.empty()) files.push_back(WatchedFile{folder->second, name, path, writer});
    }
    return files;
}

std::optional<WatchedFile> ChangeWatcher::OpenRecordedFile(const std::string& path) {
    // Reached as the watch reaches an event's file: from its rule down, name by name. A path no
    // rule covers now, or a place out of reach, is left to the full checks, which say why; a
    // folder that is not there holds none of its files.
    auto place = OpenWatchedPlace(engine_.env(), rules_, path);
    if (!place.ok()) return std::nullopt;
    auto folder = OpenHoldingFolder(place.value());
    if (!folder.ok() && !folder.status().Is(ErrorKind::kNotFound)) return std::nullopt;
    return WatchedFile{folder.ok() ? folder.value() : nullptr, place->relative.back(), path};
}

Result<bool> ChangeWatcher::CheckBatch(const std::vector<FileKey>& keys, Clock::time_point now,
                                       bool recorded_first) {
    std::vector<FileKey> done;
    const std::vector<WatchedFile> files = OpenFiles(keys, done, true);
    if (schedule_.OpenBurst(now)) engine_.BeginWatchBurst();
    const int64_t changes_before = engine_.counters().changes();
    if (recorded_first) engine_.SetUrgentFiles([this] { return UrgentFiles(); });
    Status status = engine_.CheckWatchedFiles(files, recorded_first);
    engine_.SetUrgentFiles(nullptr);
    if (status.Is(ErrorKind::kBusy)) {
        // Another norv holds the program folder: the files wait for it.
        retry_at_ = now + options_.retry;
        return false;
    }
    for (const FileKey& key : done) schedule_.Done(key);
    statistics_.files_checked += static_cast<int64_t>(files.size());
    if (engine_.counters().changes() > changes_before) schedule_.ChangeFound(Now());
    if (engine_.counters().changes() == 0) EndBurstIfDue(now, true);
    if (status.Is(ErrorKind::kStopped)) return status;
    if (!status.ok()) {
        // Files after the failure were not checked: a full check takes them all in again.
        notices_.Notify({NoticeKind::kCheckFailure, "", status, status.Numbered()});
        RequestFullCheck();
        return false;
    }
    return true;
}

Status ChangeWatcher::RunRecordedFirst() {
    if (!engine_.Restores()) {
        recorded_first_due_ = false;
        return Status::Ok();
    }
    const Clock::time_point started = Now();
    auto first = CheckRecordedFiles();
    EndBurstIfDue(Now(), true);
    if (first.ok() && !first.value()) {
        retry_at_ = Now() + options_.retry;
        return Status::Ok();
    }
    recorded_first_due_ = false;
    // At most about half the time, however often events are lost: their own checks go on
    // in between.
    next_recorded_first_at_ = Now() + (Now() - started);
    if (first.status().Is(ErrorKind::kStopped)) return first.status();
    // The full check after it takes every file in again.
    if (!first.ok()) {
        notices_.Notify({NoticeKind::kCheckFailure, "", first.status(), first.status().Numbered()});
    }
    return Status::Ok();
}

Result<bool> ChangeWatcher::CheckRecordedFiles() {
    const Clock::time_point end = Now() + options_.recorded_first_time;
    std::string after;  // the records are read in byte order, a slice at a time
    size_t listed = 0;
    bool cut_short = false;
    for (;;) {
        NORV_RETURN_IF_ERROR(engine_.StopPoint());
        if (listed >= options_.recorded_first_most || Now() >= end) {
            cut_short = true;
            break;
        }
        auto paths = engine_.RecordedFilesAfter(
            after,
            std::max<size_t>(1, std::min(options_.slice, options_.recorded_first_most - listed)));
        if (!paths.ok()) return paths.status();
        if (paths->empty()) break;
        after = paths->back();
        listed += paths->size();
        std::vector<WatchedFile> files;
        for (const std::string& path : *paths) {
            if (auto file = OpenRecordedFile(path)) files.push_back(std::move(*file));
        }
        if (files.empty()) continue;
        const Clock::time_point now = Now();
        if (schedule_.OpenBurst(now)) engine_.BeginWatchBurst();
        Status status = engine_.CheckWatchedFiles(files);
        if (status.Is(ErrorKind::kBusy)) return false;
        statistics_.files_checked += static_cast<int64_t>(files.size());
        if (!status.ok()) return status;
    }
    if (cut_short) {
        notices_.Notify(
            {NoticeKind::kFullCheckReason, "", Status::Ok(),
             Message(NoticeCode::kRecordedFirstCutShort,
                     {std::to_string(listed), std::to_string(options_.recorded_first_time.count()),
                      std::to_string(options_.recorded_first_most)})});
    }
    return true;
}

void ChangeWatcher::EndBurstIfDue(Clock::time_point now, bool force) {
    if (!schedule_.burst_open() || (!force && !schedule_.BurstDue(now))) return;
    const bool changed = engine_.counters().changes() > 0;
    if (engine_.EndWatchBurst()) ++statistics_.mails;
    if (changed) ++statistics_.bursts;
    schedule_.EndBurst();
}

void ChangeWatcher::Finish() { EndBurstIfDue(Now(), true); }

Status ChangeWatcher::RunFullCheck() {
    EndBurstIfDue(Now(), true);
    // Said once, even when another norv makes the check wait.
    if (!full_check_reason_.empty()) {
        notices_.Notify({NoticeKind::kFullCheckReason, "", Status::Ok(), full_check_reason_});
    }
    full_check_reason_ = {};
    // The watches first: a change made while the check runs is then seen as well. Set once per
    // check, not again at each retry.
    if (!watches_set_for_check_ && events_) {
        fanotify_unsupported_seen_ = false;
        SetWatches();
        if (fanotify_unsupported_seen_) FallBackToInotify();
    }
    watches_set_for_check_ = true;
    // A folder found outside the trees is asked about again after each check, a retried one too.
    if (events_) events_->ForgetIgnored();
    schedule_.Clear();
    writers_.clear();
    new_folders_.clear();
    const Clock::time_point started = Now();
    // The check takes every file in; events lost while it runs (taken by UrgentFiles) ask for
    // the next one.
    const bool recorded_first_was_due = recorded_first_due_;
    full_check_due_ = false;
    recorded_first_due_ = false;
    engine_.SetUrgentFiles([this] { return UrgentFiles(); });
    Status status = engine_.Check();
    engine_.SetUrgentFiles(nullptr);
    if (status.Is(ErrorKind::kBusy)) {
        full_check_due_ = true;
        recorded_first_due_ = recorded_first_due_ || recorded_first_was_due;
        retry_at_ = Now() + options_.retry;
        return Status::Ok();
    }
    watches_set_for_check_ = false;
    // Full checks take at most about half the time, however often they are asked for (a folder
    // renamed over and over): the files' own checks go on in between.
    next_full_check_at_ =
        Now() + std::max<Clock::duration>(Now() - started, std::chrono::seconds(1));
    ++statistics_.full_checks;
    if (status.Is(ErrorKind::kStopped)) return status;
    if (!status.ok()) notices_.Notify({NoticeKind::kCheckFailure, "", status, status.Numbered()});
    return Status::Ok();
}

std::vector<WatchedFile> ChangeWatcher::UrgentFiles() {
    Clock::time_point now = Now();
    if (!events_ || now < next_urgent_look_at_) return {};
    next_urgent_look_at_ = now + options_.urgent_look;
    // Every event is taken as a step takes it, for a bounded time: the walk goes on between
    // looks, and what is left waits in the queue for the next one.
    const Clock::time_point take_end = now + options_.urgent_take;
    std::vector<FolderEvent> batch;
    do {
        batch.clear();
        if (!events_->Wait(std::chrono::milliseconds(0), batch).ok()) break;  // the step says it
        now = Now();
        for (const FolderEvent& event : batch) Take(event, now);
    } while (!batch.empty() && Now() < take_end);
    // One out of reach waits for the steps after the check, which ask for the next one.
    std::vector<FileKey> done;
    std::vector<WatchedFile> files = OpenFiles(schedule_.TakeDueAtOnce(Now()), done, false);
    for (const FileKey& key : done) schedule_.Done(key);
    statistics_.files_checked += static_cast<int64_t>(files.size());
    return files;
}

ChangeWatcher::Clock::time_point ChangeWatcher::NextDeadline(Clock::time_point now) const {
    Clock::time_point next = schedule_.NextDeadline(now);
    for (const auto& [path, retry] : restore_retries_) next = std::min(next, retry.next_try);
    if (!new_folders_.empty()) next = now;
    next = std::max(next, retry_at_);
    if (full_check_due_) next = std::min(next, std::max({now, retry_at_, next_full_check_at_}));
    if (recorded_first_due_) {
        next = std::min(next, std::max({now, retry_at_, next_recorded_first_at_}));
    }
    return next;
}

Status ChangeWatcher::TakeEvents(std::chrono::milliseconds timeout,
                                 std::vector<FolderEvent>& batch) {
    Status waited = events_->Wait(timeout, batch);
    // Whatever else the kernel holds is taken too, while the reader works through it (for at most
    // `urgent_take`), so that a recorded file's change behind a flood of others is known before
    // the flood's files are checked: a backlog is read a buffer at a time.
    const Clock::time_point take_end = Now() + options_.urgent_take;
    int reads = 0;
    int empty_reads = 0;
    while (waited.ok() && !batch.empty() && reads < kMostExtraReads) {
        const size_t before = batch.size();
        const bool drained = events_->Drained();
        waited = events_->Wait(std::chrono::milliseconds(drained ? 0 : 1), batch);
        if (batch.size() > before) {
            ++reads;
        } else if (drained || Now() >= take_end || ++empty_reads >= kMostEmptyReads) {
            break;
        }
    }
    return waited;
}

void ChangeWatcher::RestartEvents(Clock::time_point now) {
    auto events = OpenEvents();
    if (!events.ok()) {
        // Said once until a restart succeeds, however often it is tried.
        if (!restart_failure_said_) {
            notices_.Notify(
                {NoticeKind::kWatchError, "", events.status(), events.status().Numbered()});
        }
        restart_failure_said_ = true;
        events_restart_at_ = now + options_.retry;
        return;
    }
    restart_failure_said_ = false;
    events_ = std::move(events).value();
    ++statistics_.event_restarts;
    // Its watches are set by a full check, which also covers the time without a reader (a full
    // check asked for at the failure may have run meanwhile, before there was one to watch).
    RequestFullCheck();
}

Status ChangeWatcher::Step(std::chrono::milliseconds wait) {
    Clock::time_point now = Now();
    const Clock::time_point deadline = std::min(NextDeadline(now), now + wait);
    const auto timeout = std::chrono::ceil<std::chrono::milliseconds>(
        std::max(deadline - now, Clock::duration::zero()));
    std::vector<FolderEvent> batch;
    if (!events_ && now >= events_restart_at_) RestartEvents(now);
    if (!events_) {
        // Without events until the next try: the full checks go on meanwhile.
        engine_.env().SleepFor(timeout);
    } else if (Status waited = TakeEvents(timeout, batch); !waited.ok()) {
        // The reader has stopped, and what it missed is unknown: the events so far are dropped,
        // a new reader is started (at most once per `retry`), and a full check covers the rest.
        notices_.Notify({NoticeKind::kWatchError, "", waited,
                         Message(NoticeCode::kWatchEventsFailed, {waited.Numbered()})});
        batch.clear();
        events_.reset();
        folders_.clear();
        schedule_.Clear();
        watches_set_for_check_ = false;
        events_restart_at_ = Now() + options_.retry;
        // Recorded files first, as after lost events, then the full check.
        recorded_first_due_ = true;
        RequestFullCheck();
    }
    now = Now();
    for (const FolderEvent& event : batch) Take(event, now);
    if (now >= next_hold_look_at_) {
        next_hold_look_at_ = now + options_.hold_look;
        if (engine_.HeldChangesFreed()) {
            RequestFullCheck(Message(NoticeCode::kHoldEndedFullCheck));
        }
    }
    // After lost events, the recorded files at once, before the full check (which may have to
    // wait): a recorded file behind a flood of new files is back before a walk measures the flood.
    if (recorded_first_due_ && now >= retry_at_ && now >= next_recorded_first_at_) {
        NORV_RETURN_IF_ERROR(RunRecordedFirst());
        now = Now();
    }
    if (full_check_due_ && now >= retry_at_ && now >= next_full_check_at_) return RunFullCheck();
    // Restores that failed, each tried again when its wait is over, before any new file.
    NoteFailedRestores(engine_.TakeFailedRestores(), now);
    NORV_RETURN_IF_ERROR(RetryRestores(now));
    while (!new_folders_.empty() && !full_check_due_) {
        const auto [parent, name] = new_folders_.back();
        new_folders_.pop_back();
        WatchNewFolder(parent, name);
    }
    NORV_RETURN_IF_ERROR(CheckDueFiles(Now()));
    EndBurstIfDue(Now(), false);
    return Status::Ok();
}

}  // namespace norv
