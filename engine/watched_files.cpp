// The real-time watch's side of the engine: files named by folder events, checked one by one as
// a check checks them, and bursts of changes reported as one.
#include "engine/scan_engine.h"

namespace norv {
namespace {

// How many paths the watch remembers of its own responses and of the special files it reported;
// past it, it forgets them all, which costs at most one more look or report each.
constexpr size_t kMostRemembered = 100000;

// A file or a link is there; anything else (gone, a FIFO, a folder) is not a file to record.
bool IsPresent(const platform::Fingerprint& fingerprint) {
    return fingerprint.facts.kind == platform::EntryKind::kRegular ||
           fingerprint.facts.kind == platform::EntryKind::kSymlink;
}

}  // namespace

void ScanEngine::BeginWatchBurst() {
    state_.counters.Reset();
    missing_facts_said_.clear();
    burst_lines_.clear();
    burst_lines_beyond_ = 0;
    burst_response_begun_ = false;
    if (events_) events_->BeginRun("watch");
}

Status ScanEngine::CheckWatchedFiles(const std::vector<WatchedFile>& files, bool pages_first) {
    return RunExclusive([&] { return CheckWatchedFilesLocked(files, pages_first); });
}

Status ScanEngine::CheckWatchedFilesLocked(const std::vector<WatchedFile>& files,
                                           bool pages_first) {
    // Only a check's walk reports files its looks found gone: here each look reports its own.
    urgent_gone_.clear();
    state_.mode = ScanMode::kCheck;
    FindExcludedFolders();
    // The response's bounds (copies, bytes) hold for the whole burst, not each batch: a file
    // rewritten without pause must not fill the cracked folder one batch at a time.
    if (!burst_response_begun_) hooks_.responder.BeginRun();
    burst_response_begun_ = true;
    const std::string now = hooks_.regional.DateTime(hooks_.clock.Now());
    Status status = log_.OpenToAppend(env(), state_.context.LogPath(), state_.context.charset, now);
    for (size_t i = 0; status.ok() && i < files.size(); ++i) {
        status = StopPoint();
        if (status.ok() && pages_first) status = CheckUrgentFiles();
        if (status.ok()) status = CheckWatchedFile(files[i], pages_first);
    }
    // What the response says of the batch as a whole (files removed past its bounds).
    for (const std::string& summary : hooks_.responder.EndRun()) {
        Status logged = log_.WarningLine(DisplayText(summary));
        if (status.ok()) status = logged;
    }
    Status committed = store_.Commit();
    if (status.ok()) status = committed;
    log_.CloseKeepingLines();
    size_t more = 0;
    for (std::string& line : log_.TakeAppendedLines(&more)) {
        if (burst_lines_.size() < ScanLog::kMostKeptLines) {
            burst_lines_.push_back(std::move(line));
        } else {
            ++more;
        }
    }
    burst_lines_beyond_ += more;
    hooks_.observer.SetCounts(state_.counters);
    return status;
}

Status ScanEngine::CheckWatchedFile(const WatchedFile& file, bool pages_first) {
    hooks_.observer.YieldToEvents();
    platform::Fingerprint fingerprint;
    // A page changed while this file's content is read is checked between two of its blocks;
    // the first failure there ends the file's check too.
    Status paused;
    const std::function<void()> pause = [&] {
        if (paused.ok()) paused = CheckUrgentFiles();
    };
    if (file.folder) {
        fingerprint =
            platform::FingerprintAt(*file.folder, file.name, stop_requested_,
                                    platform::kDefaultHashBudget, pages_first ? &pause : nullptr);
    }
    NORV_RETURN_IF_ERROR(paused);
    NORV_RETURN_IF_ERROR(StopPoint());
    const bool present = IsPresent(fingerprint);
    if (auto left = left_by_response_.find(file.path); left != left_by_response_.end()) {
        const std::string& digest = present ? fingerprint.md5 : std::string();
        // The attributes count too: a chmod right after the restore is no work of norv's.
        bool same = left->second.digest == digest && !fingerprint.changed_while_read;
        if (same && present && left->second.facts) {
            platform::ExtendedFacts now = fingerprint.Extended();
            now.sha256.clear();
            same = now == *left->second.facts;
        }
        // Restored content is norv's own only under the baseline it was restored from: after
        // an accept or an init, the page norv once put back is an old version like any other.
        if (same && present) {
            auto known = store_.LookupBaseline(file.path);
            if (!known.ok()) return known.status();
            same = known->has_value() && (*known)->md5o == left->second.baseline_digest;
        }
        if (same) {
            ++state_.counters.checked;
            return Status::Ok();
        }
        left_by_response_.erase(left);
    }
    // What could not be measured is never a fingerprint: said, and left for the next look.
    if (fingerprint.unreadable()) {
        return Warn(file.path,
                    "検査できません: " + (fingerprint.cause.ok()
                                              ? std::string("内容を読めません")
                                              : DisplayPath(fingerprint.cause.message())));
    }
    last_response_ = {};
    Status status = CheckPresentOrGone(file, fingerprint, present);
    // What the response itself left there (the restored file, or nothing), remembered so that
    // its own events do not set it off again. Never what stands there when norv looks again:
    // a file written there right after the restore is another change, not norv's work.
    // Bounded: forgetting only costs one more round.
    if (status.ok() && last_response_.left != ResponseOutcome::Left::kUntouched) {
        if (left_by_response_.size() >= kMostRemembered) left_by_response_.clear();
        LeftByResponse left;
        if (last_response_.left == ResponseOutcome::Left::kRestored) {
            auto known = store_.LookupBaseline(file.path);
            if (!known.ok()) return known.status();
            left = {last_response_.restored_digest, last_response_.restored_facts,
                    known->has_value() ? (*known)->md5o : std::string()};
        }
        left_by_response_[file.path] = std::move(left);
    }
    return status;
}

Status ScanEngine::CheckPresentOrGone(const WatchedFile& file,
                                      const platform::Fingerprint& fingerprint, bool present) {
    if (present) {
        // A new file already reported is reported again only when its content changed: a
        // watch sees many events for one file, and each is not a new finding.
        auto known = store_.LookupBaseline(file.path);
        if (!known.ok()) return known.status();
        if (known->has_value() && (*known)->first_seen_by_check) {
            if ((*known)->md5o == fingerprint.md5 && !fingerprint.changed_while_read) {
                ++state_.counters.checked;
                return Status::Ok();
            }
            NORV_RETURN_IF_ERROR(store_.UpdateNewFileDigest(
                file.path, fingerprint.changed_while_read ? std::string(platform::kUnreadableDigest)
                                                          : fingerprint.md5));
        }
        return RecordFile(file.path, "", fingerprint,
                          FileLocation{file.folder.get(), file.name, {}});
    }
    // Gone, or something that is no file (a FIFO, a socket, a folder) at a recorded file's place:
    // the file is not there.
    auto baseline = store_.LookupBaseline(file.path);
    if (!baseline.ok()) return baseline.status();
    if (!baseline->has_value()) {
        // A new FIFO, socket or device: reported once, as a full check reports it.
        if (fingerprint.facts.kind != platform::EntryKind::kOther || !file.folder) {
            return Status::Ok();
        }
        auto said = specials_reported_.find(file.path);
        if (said != specials_reported_.end() && said->second == fingerprint.facts.identity) {
            return Status::Ok();
        }
        if (specials_reported_.size() >= kMostRemembered) specials_reported_.clear();
        specials_reported_[file.path] = fingerprint.facts.identity;
        return ReportNewSpecialEntry(file.path, *file.folder, file.name, fingerprint.facts);
    }
    if ((*baseline)->first_seen_by_check) return store_.ForgetNewFile(file.path);
    ++state_.counters.deleted;
    return ReportChange(
        "Deleted: ", {ChangeKind::kDeleted, file.path, (*baseline)->md5o, "", -1, -1, {}}, {},
        RecordedFile{(*baseline)->md5o, (*baseline)->extended});
}

bool ScanEngine::RestoresAtOnce(const std::string& path) {
    if (state_.switches.auto_restore == 0) return false;
    // A held file is left to settle like any other: nothing is undone while a deploy runs.
    if (hooks_.responder.Holds(path)) return false;
    auto known = store_.LookupBaseline(path);
    return known.ok() && known->has_value() && !(*known)->first_seen_by_check;
}

bool ScanEngine::EndWatchBurst() {
    // A burst that changed nothing (norv's own restores seen again, a file saved unchanged)
    // leaves no trace.
    if (state_.counters.changes() == 0) return false;
    if (events_) events_->EndRun(state_.counters, "completed");
    const bool mail = ShouldSendReport(state_.counters.changes(), state_.settings.mail_alert_on,
                                       state_.switches.mail_always);
    if (mail) {
        std::vector<std::string> lines = std::move(burst_lines_);
        if (burst_lines_beyond_ > 0) {
            lines.push_back("... (ほか " + std::to_string(burst_lines_beyond_) + " 行)");
        }
        hooks_.mailer.SendWatchReport(lines);
    }
    burst_lines_.clear();
    burst_lines_beyond_ = 0;
    return mail;
}

}  // namespace norv
