// The directory walk and the single-file step: find the files a rule covers and measure them.
//
// A rule's own path is resolved as the administrator wrote it (a link there is followed when
// root or the running user owns it); everything below it is reached through open folders and
// never through a link. Subfolders are walked first, depth first in listing order, then the
// folder's files. Regular files are fingerprinted by content and symbolic links by their target
// text; FIFOs, sockets and devices are never read: their kind and owners are recorded, and a
// check reports a new one. Each folder's own mode, owners and attributes are recorded too. Names
// beginning with a dot are monitored like any other. The cracked and save folders are never
// entered.
#include "engine/rule_walker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <thread>

#include "engine/digest_pipeline.h"
#include "engine/scan_engine.h"
#include "platform/base/notice_code.h"
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
    return Status::Error(ErrorKind::kIo, EIO, Message(NoticeCode::kContentUnreadable));
}

// Whether the file at `name` is still the one measured ahead, unchanged since: its change time
// moves (at the clock's granularity) with every write, attribute change and link count change,
// which a response to another file may bring (a restore replacing a second name of the same
// file, say). Anything but a whole, settled measure of a regular file is measured again: a
// link's text or a vanished entry costs little, and a file norv refused to read (another user's
// file system on it) is refused again there without a question put to that file system. The
// look itself asks no file system either: it takes what the kernel holds.
bool StillAsMeasured(const platform::DirectoryHandle& folder, const std::string& name,
                     const platform::Fingerprint& measured) {
    const platform::FileFacts& facts = measured.facts;
    if (facts.kind != platform::EntryKind::kRegular || !measured.cause.ok() ||
        measured.changed_while_read) {
        return false;
    }
    struct statx now {};
    if (folder.env().Statx(folder.fd(), name.c_str(), platform::kLookOnly, STATX_BASIC_STATS,
                           &now) != 0) {
        return false;
    }
    return platform::FileIdentity{makedev(now.stx_dev_major, now.stx_dev_minor), now.stx_ino} ==
               facts.identity &&
           static_cast<int64_t>(now.stx_size) == facts.size && now.stx_mode == facts.mode &&
           now.stx_uid == facts.owner && now.stx_gid == facts.group &&
           now.stx_mtime.tv_sec == facts.mtime.tv_sec &&
           now.stx_mtime.tv_nsec == static_cast<uint32_t>(facts.mtime.tv_nsec) &&
           now.stx_ctime.tv_sec == facts.ctime.tv_sec &&
           now.stx_ctime.tv_nsec == static_cast<uint32_t>(facts.ctime.tv_nsec);
}

}  // namespace

int DefaultDigestWorkers() {
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : static_cast<int>(std::min(n, 8u));
}

Status RuleWalker::SkipFolder(const std::string& dir) {
    std::string path = dir;
    if (path.size() > 1 && path.back() == platform::kSeparator) path.pop_back();
    // Once per run, however many rules reach it.
    if (!run_.skipped_logged.insert(path).second) return Status::Ok();
    return tools_.log.SkippedLine(path);
}

Status RuleWalker::WalkDirectory(const std::string& path, RuleKind kind) {
    auto resolved = platform::ResolveAdministratorPath(tools_.env(), path);
    Result<std::shared_ptr<platform::DirectoryHandle>> root =
        resolved.ok() ? platform::OpenResolvedDirectory(*resolved, path)
                      : Result<std::shared_ptr<platform::DirectoryHandle>>(resolved.status());
    if (!root.ok()) {
        if (AbsentRulePath(root.status())) return Status::Ok();
        // A path another user could steer, or one norv may not enter: not walked, said so, and
        // nothing recorded there is taken for deleted.
        if (root.status().Is(ErrorKind::kRefused)) {
            tools_.hooks.notices.Notify(
                {NoticeKind::kRefusedPath, path, root.status(), root.status().what()});
        }
        return recorder_.NoteUnseen(platform::FolderPrefix(path), root.status());
    }
    TreeWalk::Options options;
    options.recursive = kind == RuleKind::kTree;
    options.special_files = true;
    options.report_folders = true;
    options.skipped = run_.excluded_folders;
    options.take = [this, recursive = options.recursive](const platform::FileIdentity& folder,
                                                         const std::string& dir) {
        return run_.measured.ClaimFolder(folder, dir, recursive);
    };
    // Fingerprints are computed ahead on worker threads, except in a watch's check with
    // automatic restore on: there the files the watch hands over are answered between the
    // blocks of any file read, which only the run's thread can do. With restore on, a response
    // made meanwhile may have changed a file already measured, and results must be those of a
    // walk that measures each file just before recording it: a file is recorded from its
    // measurement only while it still stands as measured, and is measured again otherwise.
    const bool ahead = digest_workers_ > 0 && !watch_.AnswersUrgentFiles();
    // As many files in flight as the rule's device queues (its walk never leaves the device).
    platform::ReadOptions reading = tools_.state.context.reading;
    struct stat root_facts {};
    if (ahead && tools_.env().FStat((*root)->fd(), &root_facts) == 0) {
        reading.batch_files = platform::BatchFilesFor(root_facts.st_dev, digest_workers_);
    }
    auto walk = std::make_unique<TreeWalk>(std::move(root).value(), path, std::move(options));
    if (!ahead) return WalkSerially(*walk);

    DigestPipeline pipeline(std::move(walk), digest_workers_, tools_.stop_requested, reading);
    auto idle = [this] { tools_.hooks.observer.YieldToEvents(); };
    Status walked = [&] {
        for (;;) {
            DigestPipeline::Item item = pipeline.Next(idle);
            // Said in the log, once, where the run's other warnings go.
            if (Status given_up = pipeline.TakeReaderFailure(); !given_up.ok()) {
                NORV_RETURN_IF_ERROR(recorder_.Warn(path, given_up.what()));
            }
            // Checked after the item came: one measured after the stop is never recorded.
            NORV_RETURN_IF_ERROR(tools_.StopPoint());
            if (item.entry.type == TreeWalk::Entry::Type::kEnd) return Status::Ok();
            if (item.entry.type == TreeWalk::Entry::Type::kFile) {
                tools_.hooks.observer.YieldToEvents();
                // (Asked for each file: the desktop may turn restore on while the check runs.)
                if (tools_.Restores() &&
                    !StillAsMeasured(*item.entry.folder, item.entry.name, item.fingerprint)) {
                    NORV_RETURN_IF_ERROR(MeasureNow(item.entry, item.fingerprint));
                }
            }
            NORV_RETURN_IF_ERROR(HandleWalkEntry(item.entry, item.fingerprint));
        }
    }();
    // Committed before the pipeline joins its workers: one may be held in a read that never
    // returns, and the store's write lock with it, past the end of a stopped run.
    Status committed = tools_.store.Commit();
    return walked.ok() ? committed : walked;
}

Status RuleWalker::WalkSerially(TreeWalk& walk) {
    for (;;) {
        NORV_RETURN_IF_ERROR(tools_.StopPoint());
        TreeWalk::Entry entry = walk.Next();
        if (entry.type == TreeWalk::Entry::Type::kEnd) return Status::Ok();
        platform::Fingerprint fingerprint;
        if (entry.type == TreeWalk::Entry::Type::kFile) {
            tools_.hooks.observer.YieldToEvents();
            NORV_RETURN_IF_ERROR(MeasureNow(entry, fingerprint));
        }
        NORV_RETURN_IF_ERROR(HandleWalkEntry(entry, fingerprint));
    }
}

Status RuleWalker::MeasureNow(const TreeWalk::Entry& entry, platform::Fingerprint& fingerprint) {
    NORV_RETURN_IF_ERROR(watch_.CheckUrgentFiles());
    // And between the blocks of its content: a watched page defaced while a planted file of
    // gigabytes is read is back before that read ends.
    Status paused;
    std::vector<std::string> checked_meanwhile;
    const std::function<void()> pause = [&] {
        if (paused.ok()) paused = watch_.CheckUrgentFiles(&checked_meanwhile);
    };
    fingerprint = platform::FingerprintAt(*entry.folder, entry.name, tools_.stop_requested,
                                          platform::kDefaultHashBudget, &pause);
    NORV_RETURN_IF_ERROR(paused);
    // This very file answered meanwhile (restored, its tampered copy taken away as it was read):
    // it is measured again as it stands now, not reported a second time.
    const std::string path = entry.dir + entry.name;
    if (std::find(checked_meanwhile.begin(), checked_meanwhile.end(), path) !=
        checked_meanwhile.end()) {
        fingerprint = platform::FingerprintAt(*entry.folder, entry.name, tools_.stop_requested);
    }
    return tools_.StopPoint();
}

Status RuleWalker::HandleWalkEntry(const TreeWalk::Entry& entry,
                                   const platform::Fingerprint& fingerprint) {
    switch (entry.type) {
        case TreeWalk::Entry::Type::kFailure:
            return entry.failure;
        case TreeWalk::Entry::Type::kSkippedFolder:
            return SkipFolder(entry.dir);
        case TreeWalk::Entry::Type::kUnseen:
            return recorder_.NoteUnseen(entry.dir, entry.failure);
        case TreeWalk::Entry::Type::kFilesLeftOut:
            return NoteMeasuredElsewhere(entry.dir);
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
            if (fingerprint.unreadable()) {
                return recorder_.NoteUnseen(entry.dir + entry.name, UnreadableFile(fingerprint));
            }
            return recorder_.RecordFile(entry.dir, entry.name, fingerprint,
                                        FileLocation{entry.folder.get(), entry.name, {}});
        case TreeWalk::Entry::Type::kFolder:
            return RecordFolder(entry);
        case TreeWalk::Entry::Type::kEnd:
            break;
    }
    return Status::Ok();
}

Status RuleWalker::RecordFolder(const TreeWalk::Entry& entry) {
    if (tools_.state.mode != ScanMode::kInit && tools_.state.mode != ScanMode::kCheck) {
        return Status::Ok();
    }
    auto facts = platform::FolderFactsOf(tools_.env(), entry.folder->fd(), entry.dir);
    if (!facts.ok()) return recorder_.NoteUnseen(entry.dir, facts.status());
    return recorder_.RecordPlace(entry.dir, *facts, FileLocation{entry.folder.get(), "", {}});
}

Status RuleWalker::ReportSpecialEntry(const TreeWalk::Entry& entry) {
    // A FIFO, socket or device has no content and is never opened: its kind, device number,
    // mode and owners are its record. A check reports a new one (with restore on, it is taken
    // out as a new file is). At a recorded file's place it is left to the report of that file as
    // deleted, whose restore takes out what stands there.
    if (tools_.state.mode != ScanMode::kInit && tools_.state.mode != ScanMode::kCheck) {
        return Status::Ok();
    }
    const std::string path = entry.dir + entry.name;
    auto place = platform::SpecialFactsAt(*entry.folder, entry.name, path);
    if (!place.ok() || place->kind.empty()) return Status::Ok();  // gone meanwhile
    const FileLocation where{entry.folder.get(), entry.name, {}};
    if (tools_.state.mode == ScanMode::kInit) return recorder_.RecordPlace(path, *place, where);
    auto recorded = tools_.store.LookupPlace(path);
    if (!recorded.ok()) return recorded.status();
    if (recorded->has_value()) return recorder_.RecordPlace(path, *place, where);
    auto baseline = tools_.store.LookupBaseline(path);
    if (!baseline.ok()) return baseline.status();
    if (baseline->has_value()) return Status::Ok();
    auto facts = platform::LStatAt(*entry.folder, entry.name, path);
    if (!facts.ok() || facts->kind != EntryKind::kOther) return Status::Ok();
    return recorder_.ReportNewSpecialEntry(path, *entry.folder, entry.name, *facts);
}

Result<bool> RuleWalker::MeasuredBySingleFileRule(const TreeWalk::Entry& entry) {
    if (!run_.measured.HasSingleFiles()) return false;
    auto folder = platform::IdentityOf(*entry.folder, entry.dir);
    if (!folder.ok()) return false;
    const std::string path = entry.dir + entry.name;
    if (!run_.measured.LeaveOutIfSingleFileMeasured(folder.value(), entry.name, path)) {
        return false;
    }
    NORV_RETURN_IF_ERROR(NoteMeasuredElsewhere(path));
    return true;
}

Status RuleWalker::CheckSingleFile(const std::string& path) {
    auto resolved = platform::ResolveAdministratorPath(tools_.env(), path);
    if (!resolved.ok() && !AbsentRulePath(resolved.status())) {
        if (resolved.status().Is(ErrorKind::kRefused)) {
            tools_.hooks.notices.Notify(
                {NoticeKind::kRefusedPath, path, resolved.status(), resolved.status().what()});
        }
        return recorder_.NoteUnseen(path, resolved.status());
    }
    if (resolved.ok() && !resolved->name.empty()) {
        // In a folder an earlier rule measured under another path: measured there, once.
        auto folder = platform::IdentityOf(*resolved->parent, path);
        if (folder.ok()) {
            const std::string dir = path.substr(0, path.rfind(platform::kSeparator) + 1);
            if (run_.measured.LeaveOutIfFolderMeasured(folder.value(), dir, path)) {
                return NoteMeasuredElsewhere(path);
            }
            run_.measured.RememberSingleFile(folder.value(), resolved->name, path);
        }
        tools_.hooks.observer.YieldToEvents();
        platform::Fingerprint fingerprint =
            platform::FingerprintAt(*resolved->parent, resolved->name, tools_.stop_requested);
        NORV_RETURN_IF_ERROR(tools_.StopPoint());
        if (fingerprint.unreadable()) {
            return recorder_.NoteUnseen(path, UnreadableFile(fingerprint));
        }
        if (IsMonitoredFile(fingerprint.facts)) {
            return recorder_.RecordFile(path, "", fingerprint,
                                        FileLocation{resolved->parent.get(), resolved->name, {}});
        }
    }
    // Reported gone by a look of this check at the watch's events: said once.
    if (run_.urgent_gone.count(path) != 0) return Status::Ok();
    ++tools_.state.counters.deleted;
    // The restore puts it back as the baseline recorded it.
    RecordedFile recorded;
    auto baseline = tools_.store.LookupBaseline(path);
    if (!baseline.ok()) return baseline.status();
    if (baseline->has_value() && !(*baseline)->first_seen_by_check) {
        recorded = {(*baseline)->md5o, (*baseline)->extended, {}};
    }
    return recorder_.ReportChange(
        {ChangeKind::kDeleted, path, std::nullopt, std::nullopt, -1, -1, {}}, {}, recorded);
}

Status RuleWalker::NoteMeasuredElsewhere(const std::string& place) {
    auto found = run_.measured.LeftOutAt(place);
    if (!found) return Status::Ok();
    const auto& [left, rule] = *found;
    const bool folder = !place.empty() && place.back() == platform::kSeparator;
    const std::string measured = DisplayPath(left.measured.path);
    // Measured by a single-file rule: the file itself, not its folder, was measured there.
    const bool as_file =
        !left.measured.path.empty() && left.measured.path.back() != platform::kSeparator;
    // A folder is left out only for a folder an earlier rule walked.
    const NoticeCode code = folder    ? NoticeCode::kFolderMeasuredElsewhere
                            : as_file ? NoticeCode::kFileMeasuredAsFile
                                      : NoticeCode::kFileMeasuredInFolder;
    const Message text(
        code, {std::to_string(rule + 1), std::to_string(left.measured.rule + 1), measured});
    tools_.hooks.notices.Notify({NoticeKind::kMeasuredElsewhere, place, Status::Ok(),
                                 Message(NoticeCode::kSaidOfPlace, {DisplayPath(place), text})});
    return recorder_.Warn(place, text);
}

}  // namespace norv
