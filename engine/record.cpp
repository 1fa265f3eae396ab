// The per-file decision (baseline, new, unchanged, altered) and the deleted-file report.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/scan_engine.h"
#include "platform/text/regional_time.h"

namespace norv {

Status ScanEngine::ReportChange(std::string_view word, const ChangeEvent& change,
                                const FileLocation& where, const RecordedFile& recorded,
                                const std::optional<platform::ExtendedFacts>& now) {
    NORV_RETURN_IF_ERROR(log_.ChangeLine(word, change.path));
    // Kept for review and accept, as shown; a digest not taken leaves nothing to accept.
    NORV_RETURN_IF_ERROR(
        store_.ListChange({change.path, change.kind, change.size, change.mtime,
                           change.old_md5.empty() ? recorded.md5 : change.old_md5, change.new_md5,
                           change.new_md5.empty() ? std::nullopt : now, std::nullopt}));
    // Asked whether or not anyone is told: the answer stands for the response below.
    const bool held = hooks_.responder.Holds(change.path);
    if (events_) {
        ChangeEvent shown = change;
        shown.held = held;
        events_->Change(shown);
    }
    // New files wait for the end of the walk, up to a bound; past it one is answered at once,
    // so that a flood of new files never keeps the last of them on the site.
    if (defer_quarantines_ && change.kind == ChangeKind::kCreated && where.identity &&
        deferred_quarantines_.size() < most_deferred_quarantines_) {
        last_response_ = {};
        deferred_quarantines_.push_back({change.path, *where.identity});
        return Status::Ok();
    }
    // The response may wait on the user or move files; what the store holds so far is kept.
    NORV_RETURN_IF_ERROR(store_.Commit());
    last_response_ = hooks_.responder.RespondToChange(change.kind, change.path, where, recorded);
    // A restore asked for and not done (the response said why) is for the watch to try again.
    if (!held && change.kind != ChangeKind::kCreated && Restores() &&
        last_response_.left != ResponseOutcome::Left::kRestored &&
        !last_response_.failures.empty() && failed_restores_.size() < kMostFailedRestores) {
        failed_restores_.push_back(change.path);
    }
    // A response that failed says so in the log and the mail, below the change's line.
    return LogResponseFailures();
}

Status ScanEngine::LogResponseFailures() {
    for (std::string failure : last_response_.failures) {
        std::replace(failure.begin(), failure.end(), '\n', ' ');
        NORV_RETURN_IF_ERROR(log_.WarningLine(DisplayText(failure)));
    }
    return Status::Ok();
}

Status ScanEngine::QuarantineDeferred() {
    defer_quarantines_ = false;
    const std::vector<DeferredQuarantine> due = std::move(deferred_quarantines_);
    deferred_quarantines_.clear();
    if (due.empty()) return Status::Ok();
    NORV_RETURN_IF_ERROR(store_.Commit());
    for (const DeferredQuarantine& file : due) {
        NORV_RETURN_IF_ERROR(StopPoint());
        hooks_.observer.YieldToEvents();
        NORV_RETURN_IF_ERROR(CheckUrgentFiles());
        // The walk's folders are closed by now: the response opens the file's folder again from
        // its rule down, and acts only on the very file that was measured.
        FileLocation where;
        where.identity = file.identity;
        // Whether a hold covers it now, not when it was reported.
        hooks_.responder.Holds(file.path);
        last_response_ =
            hooks_.responder.RespondToChange(ChangeKind::kCreated, file.path, where, {});
        NORV_RETURN_IF_ERROR(LogResponseFailures());
    }
    return Status::Ok();
}

namespace {

// Measurements of one file that may be taken again when it changed while it was read: an init
// never records a half-measured file.
constexpr int kMostMeasurements = 3;

}  // namespace

Status ScanEngine::RecordFile(const std::string& dir, const std::string& name,
                              const platform::Fingerprint& measured, const FileLocation& where) {
    const std::string path = dir + name;
    const platform::Fingerprint* fingerprint = &measured;
    platform::Fingerprint again;
    if (state_.mode == ScanMode::kInit) {
        for (int n = 1; fingerprint->changed_while_read && where.folder && n < kMostMeasurements;
             ++n) {
            again = platform::FingerprintAt(*where.folder, where.name, stop_requested_);
            NORV_RETURN_IF_ERROR(StopPoint());
            fingerprint = &again;
        }
        if (fingerprint->changed_while_read || fingerprint->unreadable()) {
            return NoteUnseen(
                path, Status::Error(ErrorKind::kBusy, EAGAIN, "読んでいる間に変わり続けました"));
        }
    }
    const platform::Fingerprint& print = *fingerprint;
    NORV_RETURN_IF_ERROR(NoteIfSampled(path, print));
    NORV_RETURN_IF_ERROR(NoteMissingFacts(path, print));
    ScanCounters& counters = state_.counters;
    ++counters.checked;
    const int64_t size = print.facts.size;
    const std::timespec& mtime = print.facts.mtime;
    auto file_date = [&] { return hooks_.regional.DateTime(platform::FromTimespec(mtime)); };
    // What a file that changed while it was read is recorded with: no digest.
    const std::string digest =
        print.changed_while_read ? std::string(platform::kUnreadableDigest) : print.md5;

    if (state_.mode == ScanMode::kInit) {
        NORV_RETURN_IF_ERROR(
            store_.InsertBaseline(path, size, file_date(), print.md5, print.Extended()));
        hooks_.observer.ShowProgress({ScanPhase::kRecordingBaseline, path, counters});
    } else if (state_.mode == ScanMode::kCheck) {
        auto baseline = store_.LookupBaseline(path);
        if (!baseline.ok()) return baseline.status();
        const std::string new_md5 = print.changed_while_read ? std::string() : print.md5;
        FileLocation found = where;
        found.identity = print.facts.identity;
        if (!baseline->has_value()) {
            ++counters.created;
            // The record first, then the log line and the response.
            NORV_RETURN_IF_ERROR(store_.InsertNew(path, size, file_date(), digest));
            NORV_RETURN_IF_ERROR(ReportChange(
                "Created: ", {ChangeKind::kCreated, path, "", new_md5, size, mtime.tv_sec, {}},
                found, {}, print.Extended()));
        } else if ((*baseline)->first_seen_by_check) {
            // Not in the baseline yet: reported at every check until an init takes it in.
            ++counters.created;
            NORV_RETURN_IF_ERROR(store_.UpdateSeen(path, FileInfoStore::kFirstSeenByThisRun,
                                                   FileInfoStore::kFirstSeenByCheck));
            NORV_RETURN_IF_ERROR(ReportChange(
                "Created: ", {ChangeKind::kCreated, path, "", new_md5, size, mtime.tv_sec, {}},
                found, {}, print.Extended()));
        } else {
            const FileInfoStore::Baseline& recorded = **baseline;
            std::vector<platform::FactChange> changed;
            if (print.changed_while_read) {
                // Something is changing it right now: that is a change, though what it becomes
                // is not known yet.
                const platform::ExtendedFacts none;
                changed.push_back({"content",
                                   platform::ShownFact("content", recorded.md5o,
                                                       recorded.extended.value_or(none)),
                                   std::nullopt});
            } else {
                changed = platform::CompareFacts(recorded.md5o, recorded.extended, print.md5,
                                                 print.Extended());
                NORV_RETURN_IF_ERROR(CompareLengthAndTime(path, recorded, print, changed));
            }
            int flag = FileInfoStore::kSeenEqual;
            if (!changed.empty()) {
                flag = FileInfoStore::kSeenAltered;
                ++counters.altered;
                const ChangeEvent change{
                    ChangeKind::kAltered, path, recorded.md5o, new_md5, size, mtime.tv_sec,
                    std::move(changed)};
                // The log line and the response before the record is updated.
                NORV_RETURN_IF_ERROR(ReportChange("Altered: ", change, where,
                                                  RecordedFile{recorded.md5o, recorded.extended},
                                                  print.Extended()));
            } else if (!recorded.extended) {
                // A record made before the fingerprint was extended, its file unchanged: it gets
                // its extended facts now, without a report.
                NORV_RETURN_IF_ERROR(store_.RecordExtended(path, recorded.md5o, print.Extended()));
            }
            if (print.changed_while_read) {
                NORV_RETURN_IF_ERROR(store_.UpdateFlag(path, flag));
            } else {
                NORV_RETURN_IF_ERROR(store_.UpdateSeen(path, flag, print.md5));
            }
        }
        hooks_.observer.ShowProgress({ScanPhase::kChecking, path, counters});
    }
    return Status::Ok();
}

Status ScanEngine::CompareLengthAndTime(const std::string& path,
                                        const FileInfoStore::Baseline& recorded,
                                        const platform::Fingerprint& print,
                                        std::vector<platform::FactChange>& changed) {
    if (std::any_of(changed.begin(), changed.end(),
                    [](const platform::FactChange& c) { return c.fact == "content"; })) {
        return Status::Ok();
    }
    // Equal digests of a different length can only be digests of part of the content (a file
    // grown past the hash budget, holes and all): a length that differs is always a change.
    if (recorded.size && *recorded.size != print.facts.size) {
        changed.push_back(
            {"size", std::to_string(*recorded.size), std::to_string(print.facts.size)});
        return Status::Ok();
    }
    const bool in_part =
        platform::IsSampledDigest(recorded.md5o) || platform::IsSampledDigest(print.md5);
    if (!in_part) return Status::Ok();
    // Compared on part of the content: a time that differs is a change too.
    const std::string date = hooks_.regional.DateTime(platform::FromTimespec(print.facts.mtime));
    if (!recorded.date.empty() && recorded.date != date) {
        changed.push_back({"time", recorded.date, date});
        return Status::Ok();
    }
    if (!changed.empty() || !print.content_whole) return Status::Ok();  // said by NoteIfSampled
    return Warn(
        path, "内容の一部のみ比較 (記録は先頭と末尾のみ検査したもの。長さ、時刻、属性は同じです)");
}

Status ScanEngine::Warn(const std::string& place, const std::string& text) {
    if (events_) events_->Warning(place, text);
    return log_.WarningLine(DisplayPath(place) + ": " + text);
}

Status ScanEngine::NoteUnseen(const std::string& place, const Status& why) {
    if (!unseen_places_.insert(place).second) return Status::Ok();
    if (unseen_places_.size() > kMostUnseenLines) {
        if (events_) events_->Warning(place, why.message());
        return Status::Ok();
    }
    return Warn(place, "検査できません: " + DisplayPath(why.message()) +
                           " (記録はそのまま残し、削除とはみなしません)");
}

Status ScanEngine::NoteIfSampled(const std::string& path,
                                 const platform::Fingerprint& fingerprint) {
    if (fingerprint.content_whole) return Status::Ok();
    return Warn(path, "内容の一部のみ検査 (サイズ " + std::to_string(fingerprint.facts.size) +
                          " バイト、先頭と末尾のみ)");
}

Status ScanEngine::NoteMissingFacts(const std::string& path,
                                    const platform::Fingerprint& fingerprint) {
    struct Fact {
        std::string_view name;
        const char* shown;
        bool read;
        int error;
    };
    const Fact facts[] = {
        {"capabilities", "ケーパビリティ (security.capability)",
         fingerprint.capabilities.has_value(), fingerprint.capabilities_error},
        {"acl", "ACL (system.posix_acl_access)", fingerprint.acl.has_value(),
         fingerprint.acl_error},
    };
    for (const Fact& fact : facts) {
        if (fact.read || !missing_facts_said_.insert(fact.name).second) continue;
        NORV_RETURN_IF_ERROR(Warn(path, std::string(fact.shown) +
                                            " を読めません: " + std::strerror(fact.error) +
                                            " (読めないファイルでは比べず、変更とはみなしません。"
                                            "この実行では一度だけ記します)"));
    }
    return Status::Ok();
}

platform::TreeWalk::Options::Take ScanEngine::TakeOnce(const platform::FileIdentity& folder,
                                                       const std::string& path, bool recursive) {
    using Take = platform::TreeWalk::Options::Take;
    std::lock_guard<std::mutex> lock(walked_mutex_);
    auto found = walked_folders_.find(folder);
    if (found == walked_folders_.end()) {
        if (remember_walked_) {
            walked_folders_.emplace(folder, WalkedFolder{path, current_rule_, recursive});
        }
        return Take::kAll;
    }
    // The same path gives the same records: a folder that two rules name is walked by both.
    if (found->second.path == path) {
        found->second.recursive = found->second.recursive || recursive;
        return Take::kAll;
    }
    // Walked with its subfolders before: they were measured too.
    const bool whole = found->second.recursive;
    left_out_.emplace(path, LeftOut{found->second, whole});
    return whole ? Take::kNothing : Take::kSubfoldersOnly;
}

Status ScanEngine::NoteLeftOut(const std::string& place) {
    LeftOut left;
    size_t rule = 0;
    const bool folder = !place.empty() && place.back() == platform::kSeparator;
    {
        std::lock_guard<std::mutex> lock(walked_mutex_);
        auto found = left_out_.find(place);
        if (found == left_out_.end()) return Status::Ok();
        left = found->second;
        rule = current_rule_;
    }
    const std::string measured = DisplayPath(left.measured.path);
    // Measured by a single-file rule: the file itself, not its folder, was measured there.
    const bool as_file =
        !left.measured.path.empty() && left.measured.path.back() != platform::kSeparator;
    const std::string text = "ルール " + std::to_string(rule + 1) +
                             (folder ? " のこのフォルダは" : " のこのファイルは") + "、ルール " +
                             std::to_string(left.measured.rule + 1) + " が " + measured +
                             (folder    ? " として検査したフォルダと同じです"
                              : as_file ? " として検査したファイルと同じです"
                                        : " として検査したフォルダにあります") +
                             " (リンクなどで同じフォルダに届きます)。ファイルは一度だけ、" +
                             measured + (as_file ? " として検査します" : " の下で検査します");
    hooks_.notices.Notify(
        {NoticeKind::kMeasuredElsewhere, place, Status::Ok(), DisplayPath(place) + ": " + text});
    return Warn(place, text);
}

bool ScanEngine::IsLeftOut(const std::string& path) const {
    std::lock_guard<std::mutex> lock(walked_mutex_);
    if (left_out_.empty()) return false;
    if (left_out_.count(path) != 0) return true;  // a single-file rule's file
    const size_t last = path.rfind(platform::kSeparator);
    if (last != std::string::npos && left_out_.count(path.substr(0, last + 1)) != 0) return true;
    // Or below a folder left out with its subfolders.
    for (size_t slash = path.find(platform::kSeparator); slash != std::string::npos;
         slash = path.find(platform::kSeparator, slash + 1)) {
        auto found = left_out_.find(path.substr(0, slash + 1));
        if (found != left_out_.end() && found->second.whole) return true;
    }
    return false;
}

bool ScanEngine::IsUnseen(const std::string& path) const {
    if (unseen_places_.empty()) return false;
    if (unseen_places_.count(path) != 0) return true;
    // Each folder on the path, "/srv/", "/srv/www/", ...
    for (size_t slash = path.find(platform::kSeparator); slash != std::string::npos;
         slash = path.find(platform::kSeparator, slash + 1)) {
        if (unseen_places_.count(path.substr(0, slash + 1)) != 0) return true;
    }
    return false;
}

Status ScanEngine::ReportDeletedFiles() {
    // A new file that is gone again (removed, or moved to the cracked folder) was never part of
    // the baseline: nothing to report, nothing to restore.
    NORV_RETURN_IF_ERROR(store_.ForgetVanishedNewFiles());
    return store_.ForEachUnseen(
        [this](const std::string& filename, const FileInfoStore::Baseline& baseline) {
            // A page changed meanwhile comes back before the next of these, however many.
            NORV_RETURN_IF_ERROR(CheckUrgentFiles());
            // Found gone by such a look this run: reported there.
            if (urgent_gone_.count(filename) != 0) return Status::Ok();
            // Measured under another path this run: there, not deleted.
            if (IsLeftOut(filename)) return Status::Ok();
            // Not seen is not deleted: a folder the walk could not enter keeps its records.
            if (IsUnseen(filename)) {
                ++state_.counters.unchecked;
                return Status::Ok();
            }
            ++state_.counters.deleted;
            return ReportChange(
                "Deleted: ", {ChangeKind::kDeleted, filename, baseline.md5o, "", -1, -1, {}}, {},
                RecordedFile{baseline.md5o, baseline.extended});
        });
}

}  // namespace norv
