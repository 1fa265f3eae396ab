// MoveToCracked, step by step: a changed file's evidence kept in the cracked folder, indexed,
// and the file removed from its place only once the evidence is safe.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>

#include "engine/scan_log.h"
#include "platform/base/notice_code.h"
#include "platform/digest/fingerprint.h"
#include "platform/digest/md5.h"
#include "platform/fs/file_system.h"
#include "platform/text/charset.h"
#include "response/change_response.h"
#include "response/evidence_copy.h"

namespace norv {

using platform::ScopedFd;

namespace {
// How much of a file the cracked folder keeps.
enum class Evidence { kWhole, kHead, kIndexOnly };
}  // namespace

// One quarantine move under way: what each step found, for the steps after it.
struct ChangeResponse::QuarantineMove {
    QuarantineMove(platform::Env& env, ChangeKind change, const std::string& changed_path,
                   const FileLocation& location)
        : kind(change), path(changed_path), where(location), in(env), out(env) {}

    const ChangeKind kind;
    const std::string& path;
    const FileLocation& where;
    // The folder holding the file, and the file's name in it.
    std::shared_ptr<platform::DirectoryHandle> opened_holder;
    const platform::DirectoryHandle* holder = nullptr;
    std::string name;
    // The cracked folder; none when only the index line's message can keep the evidence.
    std::shared_ptr<platform::DirectoryHandle> cracked;
    Status cracked_status;
    int cracked_fd() const { return cracked ? cracked->fd() : -1; }
    // The first look at the entry, which opens nothing.
    platform::FileFacts looked;
    // The file, opened once (no descriptor for a link), as it was looked at.
    ScopedFd in;
    struct stat st {};
    std::string link_target;
    bool is_link() const { return in.get() < 0; }
    int64_t size() const { return is_link() ? 0 : static_cast<int64_t>(st.st_size); }
    // The evidence kept of it.
    Evidence evidence = Evidence::kWhole;
    bool past_copy_bound = false;  // past the run's copies: no copy, counted in the run's end
    std::string stamp;
    std::string copy_name;
    ScopedFd out;
    bool rewritten = false;  // the last copy did not match because the file was written to
    platform::ContentDigest digests;
    std::string shown_copy;
    std::string note;       // a last "name=value" field for the index, if any
    bool unlisted = false;  // removed without a copy past the index's bound: no line
};

bool ChangeResponse::MoveToCracked(ChangeKind kind, const std::string& path,
                                   const FileLocation& where) {
    QuarantineMove move(env_, kind, path, where);
    Status step = FindHolder(move);
    if (step.ok()) step = OpenCrackedFolder(move);
    bool special = false;
    if (step.ok()) {
        Result<bool> looked = LookAtSpecial(move);
        step = looked.status();
        special = looked.ok() && *looked;
    }
    if (step.ok() && !special) step = OpenSuspect(move);
    if (!step.ok()) return FailMove(path, step);
    if (special) {
        // Nothing to copy: the index line alone says what it was.
        move.evidence = Evidence::kIndexOnly;
        move.digests = kNoContent;
        move.shown_copy = kNoCopyName;
    } else {
        ChooseEvidence(move);
        step = KeepEvidence(move);
        if (!step.ok()) return FailMove(path, step);
    }
    WriteIndexLine(move);
    step = RemoveSuspect(move);
    if (!step.ok()) return FailMove(path, step);
    if (move.past_copy_bound) ++removed_uncopied_;
    if (move.unlisted) ++unlisted_;
    if (events_) events_->Action(path, ResponseAction::kQuarantine, true, move.shown_copy);
    return true;
}

bool ChangeResponse::FailMove(const std::string& path, const Status& status) {
    ReportFailure(path, status, Message(NoticeCode::kCannotQuarantine, {path, status.what()}));
    if (events_) {
        events_->Action(path, ResponseAction::kQuarantine, false, status.what());
    }
    return false;
}

Status ChangeResponse::FindHolder(QuarantineMove& move) {
    // The folder holding the file: the one the walk verified, or the rule's, name by name.
    move.holder = move.where.folder;
    move.name = move.where.name;
    if (move.holder) return Status::Ok();
    auto place = OpenWatchedPlace(env_, archive_.rules(), move.path);
    if (!place.ok()) return place.status();
    auto folder = OpenHoldingFolder(place.value());
    if (!folder.ok()) return folder.status();
    move.opened_holder = std::move(folder).value();
    move.holder = move.opened_holder.get();
    move.name = place->relative.back();
    return Status::Ok();
}

Status ChangeResponse::OpenCrackedFolder(QuarantineMove& move) {
    // Evidence goes only to a folder nobody but root can reach into, rename or replace. One that
    // another user swapped for a folder or link of their own must not keep every recorded file
    // defaced: an altered recorded file still leaves the site and comes back, and the message and
    // the event keep its size and digest. A folder that merely cannot be made or written keeps the
    // file in place, the evidence whole, until the administrator mends it.
    Status made = platform::MakeDirectories(env_, settings_.cracked_dir, 0700);
    if (!made.ok()) return made;
    auto cracked = platform::OpenTrustedFolder(env_, settings_.cracked_dir);
    if (!cracked.ok() &&
        !(cracked.status().Is(ErrorKind::kRefused) && move.kind == ChangeKind::kAltered)) {
        return cracked.status();
    }
    move.cracked_status = cracked.status();
    if (cracked.ok()) move.cracked = std::move(cracked).value();
    return Status::Ok();
}

Status ChangeResponse::OpenSuspect(QuarantineMove& move) {
    const std::string& path = move.path;
    const int holder_fd = move.holder->fd();
    const char* name = move.name.c_str();
    struct stat& st = move.st;
    // The file itself, opened once: a regular file, or a link (O_NOFOLLOW refuses it). A lease
    // another process holds on it is waited for, never a FIFO swapped in.
    move.in.reset(platform::OpenRegularForReading(env_, holder_fd, name));
    if (move.in.get() >= 0) {
        if (env_.FStat(move.in.get(), &st) != 0) return Status::FromErrno(errno, path);
        if (!S_ISREG(st.st_mode)) {
            return Status::Error(ErrorKind::kRefused, EINVAL,
                                 Message(NoticeCode::kSuspectNotRegular, {path}));
        }
    } else {
        const Status unopened =
            Status::FromErrno(errno, Message(NoticeCode::kSuspectUnreadable, {path}));
        if (unopened.Is(ErrorKind::kNotFound) && move.where.identity) {
            return Status::FromErrno(ENOENT, Message(NoticeCode::kSuspectGoneSinceCheck, {path}));
        }
        if (!unopened.Is(ErrorKind::kLink)) return unopened;
        // A link is looked at only after a look that asks nothing has found a link there. Then
        // it is opened once, itself (O_PATH), never across a mount point, and its facts and
        // target are read through that descriptor: a name swapped meanwhile gives nothing.
        const platform::FileFacts* link = &move.looked;
        ScopedFd held(env_, link->kind != platform::EntryKind::kSymlink
                                ? -1
                                : platform::OpenWithinMount(env_, holder_fd, name,
                                                            O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (held.get() < 0 || env_.FStat(held.get(), &st) != 0 || !S_ISLNK(st.st_mode) ||
            st.st_dev != link->identity.device || st.st_ino != link->identity.inode) {
            return Status::FromErrno(ENOENT, Message(NoticeCode::kSuspectLinkGone, {path}));
        }
        auto target = platform::ReadLinkTarget(env_, held.get(), "");
        if (!target) {
            return Status::FromErrno(errno, Message(NoticeCode::kSuspectUnreadable, {path}));
        }
        move.link_target = std::move(*target);
    }
    // Found by a walk that has ended: only the very file measured is taken, never one put at
    // its path since (the next check finds that one).
    const auto& identity = move.where.identity;
    if (identity && (st.st_dev != identity->device || st.st_ino != identity->inode)) {
        return Status::Error(ErrorKind::kRefused, EAGAIN,
                             Message(NoticeCode::kSuspectReplacedSinceCheck, {path}));
    }
    return Status::Ok();
}

Result<bool> ChangeResponse::LookAtSpecial(QuarantineMove& move) {
    // Looked at without opening it: a FIFO is never opened, a device never touched. Only the
    // very entry the walk measured is taken.
    auto facts = platform::LookAtEntry(env_, move.holder->fd(), move.name, move.path);
    if (!facts.ok()) return facts.status();
    move.looked = *facts;
    if (facts->kind != platform::EntryKind::kOther) return false;
    const auto& identity = move.where.identity;
    struct stat& st = move.st;
    if ((identity && facts->identity != *identity) ||
        env_.FStatAt(move.holder->fd(), move.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        st.st_dev != facts->identity.device || st.st_ino != facts->identity.inode) {
        return Status::Error(ErrorKind::kRefused, EAGAIN,
                             Message(NoticeCode::kSpecialReplacedSinceCheck, {move.path}));
    }
    move.note = cracked_index::kEntryField + SpecialEntryName(st.st_mode);
    return true;
}

void ChangeResponse::ChooseEvidence(QuarantineMove& move) {
    // How much evidence this run still has room for: the whole file, its first bytes, or (past
    // the number of copies) an index line alone. The bound protects the disk, never the file:
    // past it a file still leaves the site, without a copy.
    move.evidence = Evidence::kWhole;
    if (move.cracked_fd() < 0) {
        move.evidence = Evidence::kIndexOnly;
    } else if (copies_this_run_ >= bounds_.most_copies) {
        if (!limit_shown_) {
            const Message limit(NoticeCode::kQuarantineCopyLimit);
            ReportFailure(move.path, Status::Error(ErrorKind::kLimit, kErrLimit, limit), limit);
        }
        limit_shown_ = true;
        move.past_copy_bound = true;
        move.evidence = Evidence::kIndexOnly;
    } else if (!move.is_link() && move.size() > bounds_.most_bytes - bytes_this_run_) {
        move.evidence = Evidence::kHead;
    }
}

Status ChangeResponse::MakeCopyEntry(QuarantineMove& move) {
    // A free name: an earlier copy of the same name is evidence too, never overwritten.
    const std::string& folder = settings_.cracked_dir;
    for (int n = 1; n <= kMostCopiesPerName; ++n) {
        std::string candidate = CrackedName(move.stamp, n, move.name);
        int made_entry = -1;
        if (move.is_link()) {
            made_entry =
                env_.SymlinkAt(move.link_target.c_str(), move.cracked_fd(), candidate.c_str());
        } else {
            move.out.reset(env_.OpenAt(move.cracked_fd(), candidate.c_str(),
                                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            made_entry = move.out.get();
        }
        if (made_entry >= 0) {
            move.copy_name = std::move(candidate);
            return Status::Ok();
        }
        const Status unmade = Status::FromErrno(
            errno,
            Message(NoticeCode::kCannotMakeCopyEntry, {platform::JoinPath(folder, candidate)}));
        if (!unmade.Is(ErrorKind::kExists)) return unmade;
    }
    return Status::Error(ErrorKind::kExists, EEXIST,
                         Message(NoticeCode::kNoFreeCopyName, {folder, move.name}));
}

Status ChangeResponse::CopyIntoCracked(QuarantineMove& move, int64_t bytes, bool head,
                                       platform::ContentDigest* copied_digest) {
    // One copy entry filled with the file's first `bytes` (all of it, unless `head`), verified,
    // and counted against this run's bounds; the entry goes again when the copy fails.
    Status copied = MakeCopyEntry(move);
    if (copied.ok() && !move.is_link()) {
        copied = CopyAndVerify(env_, move.in.get(), move.st, bytes, head, move.out.get(),
                               move.cracked_fd(), move.copy_name,
                               platform::JoinPath(settings_.cracked_dir, move.copy_name),
                               copied_digest, &move.rewritten);
        if (!copied.ok()) env_.UnlinkAt(move.cracked_fd(), move.copy_name.c_str(), 0);
    }
    if (copied.ok()) {
        ++copies_this_run_;
        bytes_this_run_ += bytes;
    } else {
        move.copy_name.clear();
    }
    return copied;
}

Status ChangeResponse::KeepEvidence(QuarantineMove& move) {
    move.stamp = CrackedStamp(regional_, clock_.Now());
    move.digests = {platform::Md5Digest(platform::Md5Hex(move.link_target)),
                    platform::Sha256Digest(platform::Sha256Hex(move.link_target)), true};
    if (move.evidence == Evidence::kWhole) {
        Status made_copy = CopyIntoCracked(move, move.size(), false, &move.digests);
        if (!made_copy.ok()) {
            // Short of room, or the file written to while it was copied: its first bytes and
            // its digest are the evidence, and it still leaves the site, so a recorded file
            // rewritten without pause comes back.
            if ((!OutOfRoom(made_copy) && !move.rewritten) || move.is_link()) {
                return Status::Error(
                    made_copy.kind(), made_copy.code(),
                    Message(NoticeCode::kWithCause, {move.path, made_copy.what()}));
            }
            move.evidence = Evidence::kHead;
        }
    }
    // The file's own digest (sampled when it is too large to read whole) stands for what a
    // partial copy lacks.
    if (move.evidence != Evidence::kWhole && !move.is_link()) {
        env_.LSeek(move.in.get(), 0, SEEK_SET);
        move.digests = platform::DigestOfOpenFile(env_, move.in.get(), move.size());
    }
    if (move.evidence == Evidence::kHead) {
        platform::ContentDigest head_digest;
        if (!CopyIntoCracked(move, std::min(move.size(), kEvidenceHeadBytes), true, &head_digest)
                 .ok()) {
            move.evidence = Evidence::kIndexOnly;
        }
    }
    move.shown_copy = move.copy_name.empty()
                          ? std::string(kNoCopyName)
                          : platform::JoinPath(settings_.cracked_dir, move.copy_name);
    return Status::Ok();
}

void ChangeResponse::WriteIndexLine(QuarantineMove& move) {
    const std::string& path = move.path;
    const std::string digest = move.digests.md5.text();
    // Files removed without a copy are listed up to a bound; the rest are counted in the run's
    // summary.
    if (move.copy_name.empty() && move.cracked_fd() >= 0) {
        if (uncopied_lines_ >= bounds_.most_uncopied_lines) {
            move.unlisted = true;
            return;
        }
        ++uncopied_lines_;
    }
    // The index says where the copy came from; a file kept in part or not at all also has its
    // size there, and its digest stands for what the copy lacks.
    std::string line =
        (move.copy_name.empty() ? std::string(kNoCopyName) : DisplayPath(move.copy_name)) + "\t" +
        std::string(ChangeKindName(move.kind)) + "\t" + regional_.DateTime(clock_.Now()) + "\t" +
        digest + "\t" + DisplayPath(path);
    if (move.evidence != Evidence::kWhole) line += "\t" + std::to_string(move.size());
    if (move.evidence == Evidence::kHead) line += std::string("\t") + kHeadOnlyNote;
    // What the file was, read through the descriptor it was copied from.
    platform::ExtendedFacts evidence_facts =
        platform::ExtendedFactsOf(env_, move.in.get(), move.st);
    evidence_facts.sha256 = move.digests.sha256;
    line += CrackedAttributes(evidence_facts);
    if (!move.note.empty()) line += "\t" + move.note;
    Status indexed =
        move.cracked_fd() < 0 ? move.cracked_status : AppendIndexLine(move.cracked_fd(), line);
    if (!indexed.ok()) {
        // The message keeps what the index could not.
        ReportFailure(path, indexed,
                      Message(NoticeCode::kCannotIndexCopy,
                              {move.shown_copy, DisplayPath(path), std::to_string(move.size()),
                               digest, indexed.what()}));
    }
}

Status ChangeResponse::OpenCrackedIndex(int cracked_fd, ScopedFd& index) {
    const std::string shown = platform::JoinPath(settings_.cracked_dir, kCrackedIndexName);
    index.reset(env_.OpenAt(cracked_fd, kCrackedIndexName,
                            O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (index.get() < 0) return Status::FromErrno(errno, shown);
    Status own = platform::CheckOwnFileToWrite(env_, index.get(), shown);
    if (!own.ok()) index.reset();
    return own;
}

Status ChangeResponse::AppendToIndex(int index_fd, const std::string& line) {
    const std::string bytes = platform::EncodeTextEscaping(
                                  line, charset_.empty() ? platform::SystemCharset() : charset_) +
                              "\r\n";
    return platform::WriteFully(env_, index_fd, bytes, kCrackedIndexName);
}

Status ChangeResponse::AppendIndexLine(int cracked_fd, const std::string& line) {
    ScopedFd index(env_);
    NORV_RETURN_IF_ERROR(OpenCrackedIndex(cracked_fd, index));
    NORV_RETURN_IF_ERROR(AppendToIndex(index.get(), line));
    if (env_.Fsync(index.get()) != 0) {
        return Status::FromErrno(errno,
                                 platform::JoinPath(settings_.cracked_dir, kCrackedIndexName));
    }
    return Status::Ok();
}

Status ChangeResponse::RemoveSuspect(QuarantineMove& move) {
    const std::string& path = move.path;
    // The file leaves its place only if the name still holds the very file that was copied,
    // looked at without asking a file system mounted there since.
    auto still = platform::StillHolds(env_, move.holder->fd(), move.name,
                                      platform::FileIdentity{move.st.st_dev, move.st.st_ino}, path);
    if (!still.ok()) return still.status();
    if (!*still) {
        return Status::Error(
            ErrorKind::kRefused, EAGAIN,
            Message(NoticeCode::kSuspectReplacedWhileCopied, {path, move.shown_copy}));
    }
    // An immutable or append-only file cannot be removed: those flags come off first, through
    // the descriptor of the very file copied.
    unsigned flags = 0;
    if (!move.is_link() && env_.GetInodeFlags(move.in.get(), &flags) == 0 &&
        (flags & platform::kLockingInodeFlags) != 0) {
        (void)env_.SetInodeFlags(move.in.get(), flags & ~platform::kLockingInodeFlags);
    }
    if (env_.UnlinkAt(move.holder->fd(), move.name.c_str(), 0) != 0) {
        return Status::FromErrno(
            errno, Message(NoticeCode::kCannotRemoveSuspect, {path, move.shown_copy}));
    }
    return Status::Ok();
}

}  // namespace norv
