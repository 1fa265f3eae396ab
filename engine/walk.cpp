// The directory walk and the single-file step: find the files a rule covers and measure them.
//
// A rule's own path is resolved as the administrator wrote it (a link there is followed when
// root or the running user owns it); everything below it is reached through open folders and
// never through a link. Subfolders are walked first, depth first in listing order, then the
// folder's files. Regular files are fingerprinted by content and symbolic links by their target
// text; FIFOs, sockets and devices are never read, and a check reports a new one. Names beginning
// with a dot are monitored like any other. The cracked and save folders are never entered.
#include <cerrno>

#include "engine/digest_pipeline.h"
#include "engine/scan_engine.h"
#include "platform/digest/fingerprint.h"
#include "platform/fs/tree_walk.h"

namespace norv {

using platform::EntryKind;
using platform::TreeWalk;

namespace {

bool IsMonitoredFile(const platform::FileFacts& facts) {
    return facts.kind == EntryKind::kRegular || facts.kind == EntryKind::kSymlink;
}

// A rule path that is not there (or not a folder) lists as empty: its recorded files then count
// as deleted.
bool AbsentRulePath(const Status& status) { return status.Is(ErrorKind::kNotFound); }

// Why a file's content could not be read: the cause when known (a file system another user
// mounted on it), else only that.
Status UnreadableFile(const platform::Fingerprint& fingerprint) {
    if (!fingerprint.cause.ok()) return fingerprint.cause;
    return Status::Error(ErrorKind::kIo, EIO, "内容を読めません");
}

}  // namespace

Status ScanEngine::SkipFolder(const std::string& dir) {
    std::string path = dir;
    if (path.size() > 1 && path.back() == platform::kSeparator) path.pop_back();
    // Once per run, however many rules reach it.
    if (!skipped_logged_.insert(path).second) return Status::Ok();
    return log_.SkippedLine(path);
}

Status ScanEngine::WalkDirectory(const std::string& path, RuleKind kind) {
    auto resolved = platform::ResolveAdministratorPath(env(), path);
    Result<std::shared_ptr<platform::DirectoryHandle>> root =
        resolved.ok() ? platform::OpenResolvedDirectory(*resolved, path)
                      : Result<std::shared_ptr<platform::DirectoryHandle>>(resolved.status());
    if (!root.ok()) {
        if (AbsentRulePath(root.status())) return Status::Ok();
        // A path another user could steer, or one norv may not enter: not walked, said so, and
        // nothing recorded there is taken for deleted.
        if (root.status().Is(ErrorKind::kRefused)) {
            hooks_.notices.Notify(
                {NoticeKind::kRefusedPath, path, root.status(), root.status().message()});
        }
        return NoteUnseen(platform::FolderPrefix(path), root.status());
    }
    TreeWalk::Options options;
    options.recursive = kind == RuleKind::kTree;
    options.special_files = true;
    options.skipped = excluded_folders_;
    options.take = [this, recursive = options.recursive](const platform::FileIdentity& folder,
                                                         const std::string& dir) {
        return TakeOnce(folder, dir, recursive);
    };
    auto walk = std::make_unique<TreeWalk>(std::move(root).value(), path, std::move(options));
    // Fingerprints are computed ahead on worker threads unless automatic restore is on: a
    // restore may change files that are already queued, and results must be those of a walk
    // that measures each file just before recording it.
    if (digest_workers_ == 0 || state_.switches.auto_restore != 0) return WalkSerially(*walk);

    DigestPipeline pipeline(std::move(walk), digest_workers_, stop_requested_);
    auto idle = [this] { hooks_.observer.YieldToEvents(); };
    Status walked = [&] {
        for (;;) {
            DigestPipeline::Item item = pipeline.Next(idle);
            // Checked after the item came: one measured after the stop is never recorded.
            NORV_RETURN_IF_ERROR(StopPoint());
            if (item.entry.type == TreeWalk::Entry::Type::kEnd) return Status::Ok();
            if (item.entry.type == TreeWalk::Entry::Type::kFile) hooks_.observer.YieldToEvents();
            NORV_RETURN_IF_ERROR(TakeEntry(item.entry, item.fingerprint));
        }
    }();
    // Committed before the pipeline joins its workers: one may be held in a read that never
    // returns, and the store's write lock with it, past the end of a stopped run.
    Status committed = store_.Commit();
    return walked.ok() ? committed : walked;
}

Status ScanEngine::WalkSerially(TreeWalk& walk) {
    for (;;) {
        NORV_RETURN_IF_ERROR(StopPoint());
        TreeWalk::Entry entry = walk.Next();
        if (entry.type == TreeWalk::Entry::Type::kEnd) return Status::Ok();
        platform::Fingerprint fingerprint;
        if (entry.type == TreeWalk::Entry::Type::kFile) {
            hooks_.observer.YieldToEvents();
            NORV_RETURN_IF_ERROR(CheckUrgentFiles());
            fingerprint = platform::FingerprintAt(*entry.folder, entry.name, stop_requested_);
            NORV_RETURN_IF_ERROR(StopPoint());
        }
        NORV_RETURN_IF_ERROR(TakeEntry(entry, fingerprint));
    }
}

Status ScanEngine::CheckUrgentFiles() {
    if (!urgent_files_ || state_.switches.auto_restore == 0) return Status::Ok();
    // Past the bound, the rest of the check asks no more; asked first, so that no file the watch
    // handed over is dropped unchecked.
    if (urgent_gone_.size() >= kMostUrgentFiles) {
        urgent_files_ = nullptr;
        return Status::Ok();
    }
    for (const WatchedFile& file : urgent_files_()) {
        // The walk counts the file when it meets it; here only what the look finds counts.
        const auto checked = state_.counters.checked;
        const auto deleted = state_.counters.deleted;
        Status status = CheckWatchedFile(file);
        state_.counters.checked = checked;
        // Reported deleted here, it is left out of the report of the files the walk did not
        // meet. A look that reported nothing (the file gone as the response left it) leaves
        // that report to say it.
        if (state_.counters.deleted != deleted) urgent_gone_.insert(file.path);
        NORV_RETURN_IF_ERROR(status);
    }
    return Status::Ok();
}

Status ScanEngine::TakeEntry(const TreeWalk::Entry& entry,
                             const platform::Fingerprint& fingerprint) {
    switch (entry.type) {
        case TreeWalk::Entry::Type::kFailure:
            return entry.failure;
        case TreeWalk::Entry::Type::kSkippedFolder:
            return SkipFolder(entry.dir);
        case TreeWalk::Entry::Type::kUnseen:
            return NoteUnseen(entry.dir, entry.failure);
        case TreeWalk::Entry::Type::kFilesLeftOut:
            return NoteLeftOut(entry.dir);
        case TreeWalk::Entry::Type::kSpecial:
            return ReportSpecialEntry(entry);
        case TreeWalk::Entry::Type::kFile:
            // Gone (or no longer a file) since the listing: a normal race, the file counts as
            // not seen.
            if (!IsMonitoredFile(fingerprint.facts)) return Status::Ok();
            if (auto measured = MeasuredBySingleFileRule(entry); !measured.ok() || *measured) {
                return measured.status();
            }
            // What could not be measured is never a fingerprint.
            if (fingerprint.unreadable())
                return NoteUnseen(entry.dir + entry.name, UnreadableFile(fingerprint));
            return RecordFile(entry.dir, entry.name, fingerprint,
                              FileLocation{entry.folder.get(), entry.name, {}});
        case TreeWalk::Entry::Type::kFolder:
        case TreeWalk::Entry::Type::kEnd:
            break;
    }
    return Status::Ok();
}

Status ScanEngine::ReportSpecialEntry(const TreeWalk::Entry& entry) {
    // A FIFO, socket or device has no content to record and is never opened: a check reports a
    // new one (with restore on, it is taken out as a new file is). At a recorded file's place
    // it is left to the report of that file as deleted, whose restore takes out what stands
    // there.
    if (state_.mode != ScanMode::kCheck) return Status::Ok();
    const std::string path = entry.dir + entry.name;
    auto facts = platform::LStatAt(*entry.folder, entry.name, path);
    if (!facts.ok() || facts->kind != EntryKind::kOther) return Status::Ok();  // gone meanwhile
    auto baseline = store_.LookupBaseline(path);
    if (!baseline.ok()) return baseline.status();
    if (baseline->has_value()) return Status::Ok();
    return ReportNewSpecialEntry(path, *entry.folder, entry.name, *facts);
}

Status ScanEngine::ReportNewSpecialEntry(const std::string& path,
                                         const platform::DirectoryHandle& folder,
                                         const std::string& name,
                                         const platform::FileFacts& facts) {
    ++state_.counters.created;
    return ReportChange(
        "Created: ", {ChangeKind::kCreated, path, "", "", facts.size, facts.mtime.tv_sec, {}},
        FileLocation{&folder, name, facts.identity}, {}, std::nullopt);
}

Result<bool> ScanEngine::MeasuredBySingleFileRule(const TreeWalk::Entry& entry) {
    {
        std::lock_guard<std::mutex> lock(walked_mutex_);
        if (single_files_.empty()) return false;
    }
    auto folder = platform::IdentityOf(*entry.folder, entry.dir);
    if (!folder.ok()) return false;
    const std::string path = entry.dir + entry.name;
    {
        std::lock_guard<std::mutex> lock(walked_mutex_);
        auto found = single_files_.find(std::make_pair(folder.value(), entry.name));
        if (found == single_files_.end() || found->second.path == path) return false;
        left_out_.emplace(path, LeftOut{found->second, false});
    }
    NORV_RETURN_IF_ERROR(NoteLeftOut(path));
    return true;
}

Status ScanEngine::CheckSingleFile(const std::string& path) {
    auto resolved = platform::ResolveAdministratorPath(env(), path);
    if (!resolved.ok() && !AbsentRulePath(resolved.status())) {
        if (resolved.status().Is(ErrorKind::kRefused)) {
            hooks_.notices.Notify(
                {NoticeKind::kRefusedPath, path, resolved.status(), resolved.status().message()});
        }
        return NoteUnseen(path, resolved.status());
    }
    if (resolved.ok() && !resolved->name.empty()) {
        // In a folder an earlier rule measured under another path: measured there, once.
        auto folder = platform::IdentityOf(*resolved->parent, path);
        if (folder.ok()) {
            const std::string dir = path.substr(0, path.rfind(platform::kSeparator) + 1);
            bool left_out = false;
            {
                std::lock_guard<std::mutex> lock(walked_mutex_);
                auto found = walked_folders_.find(folder.value());
                if (found != walked_folders_.end() && found->second.path != dir) {
                    left_out_.emplace(path, LeftOut{found->second, false});
                    left_out = true;
                }
            }
            if (left_out) return NoteLeftOut(path);
        }
        if (folder.ok() && remember_walked_) {
            std::lock_guard<std::mutex> lock(walked_mutex_);
            single_files_.emplace(std::make_pair(folder.value(), resolved->name),
                                  WalkedFolder{path, current_rule_, false});
        }
        hooks_.observer.YieldToEvents();
        platform::Fingerprint fingerprint =
            platform::FingerprintAt(*resolved->parent, resolved->name, stop_requested_);
        NORV_RETURN_IF_ERROR(StopPoint());
        if (fingerprint.unreadable()) return NoteUnseen(path, UnreadableFile(fingerprint));
        if (IsMonitoredFile(fingerprint.facts)) {
            return RecordFile(path, "", fingerprint,
                              FileLocation{resolved->parent.get(), resolved->name, {}});
        }
    }
    // Reported gone by a look of this check at the watch's events: said once.
    if (urgent_gone_.count(path) != 0) return Status::Ok();
    ++state_.counters.deleted;
    // The restore puts it back as the baseline recorded it.
    RecordedFile recorded;
    auto baseline = store_.LookupBaseline(path);
    if (!baseline.ok()) return baseline.status();
    if (baseline->has_value() && !(*baseline)->first_seen_by_check) {
        recorded = {(*baseline)->md5o, (*baseline)->extended};
    }
    return ReportChange("Deleted: ", {ChangeKind::kDeleted, path, "", "", -1, -1, {}}, {},
                        recorded);
}

}  // namespace norv
