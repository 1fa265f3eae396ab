// The per-file decision (baseline, new, unchanged, altered) and the deleted-file report.
#include <algorithm>

#include "engine/scan_engine.h"
#include "platform/regional_time.h"

namespace norv {

Status ScanEngine::ReportChange(std::string_view word, const ChangeEvent& change,
                                const FileLocation& where) {
    NORV_RETURN_IF_ERROR(log_.ChangeLine(word, change.path));
    if (events_) events_->Change(change);
    // The response may wait on the user or move files; what the store holds so far is kept.
    NORV_RETURN_IF_ERROR(store_.Commit());
    last_response_ = hooks_.responder.RespondToChange(change.kind, change.path, where);
    // A response that failed says so in the log and the mail, below the change's line.
    for (std::string failure : last_response_.failures) {
        std::replace(failure.begin(), failure.end(), '\n', ' ');
        NORV_RETURN_IF_ERROR(log_.WarningLine(DisplayText(failure)));
    }
    return Status::Ok();
}

Status ScanEngine::RecordFile(const std::string& dir, const std::string& name, int64_t size,
                              const std::timespec& mtime, const std::string& digest,
                              const FileLocation& where) {
    ScanCounters& counters = state_.counters;
    ++counters.checked;
    const std::string path = dir + name;
    auto file_date = [&] { return hooks_.regional.DateTime(platform::FromTimespec(mtime)); };

    if (state_.mode == ScanMode::kInit) {
        NORV_RETURN_IF_ERROR(store_.InsertBaseline(path, size, file_date(), digest));
        hooks_.observer.SetMessageLine("Database initiating and scaning ( " +
                                       std::to_string(counters.checked) + " ) files ");
    } else if (state_.mode == ScanMode::kCheck) {
        auto baseline = store_.LookupBaseline(path);
        if (!baseline.ok()) return baseline.status();
        if (!baseline->has_value()) {
            ++counters.created;
            // The record first, then the log line and the response.
            NORV_RETURN_IF_ERROR(store_.InsertNew(path, size, file_date(), digest));
            NORV_RETURN_IF_ERROR(ReportChange(
                "Created: ", {ChangeKind::kCreated, path, "", digest, size, mtime.tv_sec}, where));
        } else if ((*baseline)->first_seen_by_check) {
            // Not in the baseline yet: reported at every check until an init takes it in.
            ++counters.created;
            NORV_RETURN_IF_ERROR(store_.UpdateSeen(path, FileInfoStore::kFirstSeenByThisRun,
                                                   FileInfoStore::kFirstSeenByCheck));
            NORV_RETURN_IF_ERROR(ReportChange(
                "Created: ", {ChangeKind::kCreated, path, "", digest, size, mtime.tv_sec}, where));
        } else {
            int flag = FileInfoStore::kSeenEqual;
            // A file hashed whole once and sampled once (its read ran out of time) has two
            // digests for one content: that alone is no alteration.
            const bool one_sampled =
                platform::IsSampledDigest(digest) != platform::IsSampledDigest((*baseline)->md5o);
            if (digest != (*baseline)->md5o && !one_sampled) {
                flag = FileInfoStore::kSeenAltered;
                ++counters.altered;
                // The log line and the response before the record is updated.
                NORV_RETURN_IF_ERROR(ReportChange(
                    "Altered: ",
                    {ChangeKind::kAltered, path, (*baseline)->md5o, digest, size, mtime.tv_sec},
                    where));
            }
            NORV_RETURN_IF_ERROR(store_.UpdateSeen(path, flag, digest));
        }
        hooks_.observer.SetMessageLine("File scaning ( " + std::to_string(counters.checked) +
                                       " ) files ");
    }
    return Status::Ok();
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
    hooks_.messages.ShowMessageBox(DisplayPath(place) + ": " + text);
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
    return store_.ForEachUnseen([this](const std::string& filename, const std::string& md5o) {
        // Measured under another path this run: there, not deleted.
        if (IsLeftOut(filename)) return Status::Ok();
        // Not seen is not deleted: a folder the walk could not enter keeps its records.
        if (IsUnseen(filename)) {
            ++state_.counters.unchecked;
            return Status::Ok();
        }
        ++state_.counters.deleted;
        return ReportChange("Deleted: ", {ChangeKind::kDeleted, filename, md5o, "", -1, -1}, {});
    });
}

}  // namespace norv
