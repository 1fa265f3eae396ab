#include "response/change_response.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <memory>

#include "engine/scan_log.h"
#include "platform/digest/fingerprint.h"
#include "platform/digest/md5.h"
#include "platform/fs/file_system.h"
#include "platform/text/charset.h"
#include "response/evidence_copy.h"
#include "response/restored_attributes.h"

namespace norv {
namespace {

// Copies of one name within one second; past this the move gives up with a message.
constexpr int kMostCopiesPerName = 1000;

using platform::ScopedFd;

}  // namespace

std::string CrackedStamp(const platform::RegionalFormat& regional, platform::TimePoint now) {
    std::string stamp = regional.ShortDate(now) + regional.LongTime(now);
    for (char& c : stamp) {
        if (c == '/' || c == ':') c = '-';
    }
    return stamp;
}

std::string CrackedName(const std::string& stamp, int copy_number, const std::string& name) {
    const std::string unique = copy_number > 1 ? "(" + std::to_string(copy_number) + ")" : "";
    std::string full = stamp + unique + name;
    if (full.size() <= NAME_MAX) return full;
    const size_t dot = name.rfind('.');
    std::string extension;
    if (dot != std::string::npos && dot > 0 && name.size() - dot <= 16)
        extension = name.substr(dot);
    // Shortened names that begin alike stay apart through a digest of the whole name.
    const std::string tag = "~" + platform::Md5Hex(name).substr(0, 8);
    const size_t fixed = stamp.size() + unique.size() + tag.size() + extension.size();
    const size_t room = fixed < NAME_MAX ? NAME_MAX - fixed : 0;
    // Cut between characters, never inside a UTF-8 sequence.
    size_t cut = 0;
    while (cut < name.size()) {
        const size_t end = platform::Utf8CharacterEnd(name, cut);
        if (end > room) break;
        cut = end;
    }
    full = stamp + unique + name.substr(0, cut) + tag + extension;
    if (full.size() > NAME_MAX) full.resize(NAME_MAX);
    return full;
}

ChangeResponse::ChangeResponse(const Settings& settings, const LiveSwitches& switches,
                               ProtectedArchive& archive, const platform::Clock& clock,
                               const platform::RegionalFormat& regional, NoticeSink& notices,
                               std::string charset)
    : settings_(settings),
      switches_(switches),
      archive_(archive),
      env_(archive.env()),
      clock_(clock),
      regional_(regional),
      notices_(notices),
      charset_(std::move(charset)) {}

void ChangeResponse::Say(const std::string& path, const Status& cause, const std::string& text) {
    notices_.Notify({NoticeKind::kResponseFailure, path, cause, text});
    if (said_) said_->push_back(text);
}

std::string SpecialEntryName(mode_t mode) {
    if (S_ISFIFO(mode)) return "fifo";
    if (S_ISSOCK(mode)) return "socket";
    if (S_ISCHR(mode)) return "char-device";
    if (S_ISBLK(mode)) return "block-device";
    if (S_ISDIR(mode)) return "folder";
    return "other";
}

std::string CrackedAttributes(const platform::ExtendedFacts& facts) {
    std::string fields;
    for (std::string_view fact : {"type", "mode", "owner", "group", "capabilities", "acl"}) {
        fields +=
            "\t" + std::string(fact) + "=" + platform::ShownFact(fact, "", facts).value_or("?");
    }
    return fields + "\tsha256=" + (facts.sha256.empty() ? "?" : facts.sha256);
}

ResponseOutcome ChangeResponse::RespondToChange(ChangeKind kind, const std::string& path,
                                                const FileLocation& where,
                                                const RecordedFile& recorded) {
    const bool held = held_path_ == path ? held_ : Holds(path);
    held_path_.clear();
    std::vector<std::string> said = std::move(hold_notes_);
    hold_notes_.clear();
    if (held) {
        left_held_ = true;
        return {ResponseOutcome::Left::kUntouched, "", std::move(said), std::nullopt};
    }
    said_ = &said;
    ResponseOutcome outcome = Respond(kind, path, where, recorded);
    said_ = nullptr;
    outcome.failures = std::move(said);
    return outcome;
}

HoldLook ChangeResponse::LookAtHold() {
    HoldLook look = hold_->Look();
    for (const std::string& note : look.notes) {
        notices_.Notify({NoticeKind::kHold, platform::JoinPath(hold_->program_dir(), kHoldFileName),
                         Status::Ok(), note});
        if (events_) events_->HoldNote(note);
        if (hold_notes_.size() < 16) hold_notes_.push_back(note);
    }
    return look;
}

bool ChangeResponse::Holds(const std::string& path) {
    held_path_ = path;
    held_ = false;
    if (!hold_) return false;
    HoldLook look = LookAtHold();
    held_ = look.hold && look.hold->Covers(path);
    return held_;
}

bool ChangeResponse::HeldChangesFreed() {
    if (!left_held_ || !hold_) return false;
    if (LookAtHold().hold) return false;
    left_held_ = false;
    return true;
}

ResponseOutcome ChangeResponse::Respond(ChangeKind kind, const std::string& path,
                                        const FileLocation& where, const RecordedFile& recorded) {
    if (switches_.auto_restore == 0) return {};
    if (!platform::FileExists(env_, archive_.ArchivePath())) {
        Say(path, Status::Error(ErrorKind::kNotFound, ENOENT, kNotSavedMessage), kNotSavedMessage);
        if (events_) {
            events_->Action(path,
                            kind == ChangeKind::kCreated ? ResponseAction::kQuarantine
                                                         : ResponseAction::kRestore,
                            false, kNotSavedMessage);
        }
        return {};
    }
    ResponseOutcome taken_out;
    taken_out.left = ResponseOutcome::Left::kNothing;
    if (kind == ChangeKind::kCreated)
        return MoveToCracked(kind, path, where) ? taken_out : ResponseOutcome{};
    if (kind == ChangeKind::kAltered) {
        // The archived version goes back only once the tampered one is kept as evidence.
        if (!MoveToCracked(kind, path, where)) return {};
        const ResponseOutcome restored = Restore(path, recorded);
        return restored.left == ResponseOutcome::Left::kRestored ? restored : taken_out;
    }
    if (kind == ChangeKind::kDeleted) return Restore(path, recorded);
    return {};
}

void ChangeResponse::BeginRun() {
    copies_this_run_ = 0;
    bytes_this_run_ = 0;
    limit_shown_ = false;
    removed_uncopied_ = 0;
    uncopied_lines_ = 0;
    unlisted_ = 0;
    archive_.RemoveInterruptedRestores();
}

std::string UncopiedSummary(int removed, int unlisted) {
    if (removed == 0) {
        return "クラックフォルダの一覧が上限に達したため、" + std::to_string(unlisted) +
               " 個を一覧に記さずに削除しました";
    }
    std::string text = "クラックフォルダへのコピーが上限に達したため、" + std::to_string(removed) +
                       " 個のファイルをコピーせずに削除しました";
    if (unlisted > 0) text += " (うち " + std::to_string(unlisted) + " 個は一覧にも記していません)";
    return text;
}

std::vector<std::string> ChangeResponse::EndRun() {
    if (removed_uncopied_ == 0 && unlisted_ == 0) return {};
    const std::string text = UncopiedSummary(removed_uncopied_, unlisted_);
    const Status cause = Status::Error(ErrorKind::kLimit, kErrLimit, text);
    notices_.Notify({NoticeKind::kResponseFailure, settings_.cracked_dir, cause, text});
    if (events_) events_->Action(settings_.cracked_dir, ResponseAction::kQuarantine, true, text);
    removed_uncopied_ = 0;
    unlisted_ = 0;
    return {text};
}

ResponseOutcome ChangeResponse::Restore(const std::string& path, const RecordedFile& recorded) {
    Status restored;
    ResponseOutcome outcome;
    PutBack put_back;
    // The baseline's attributes go on the restored file before it takes the page's place.
    auto finish = [&](int fd, bool is_link, const std::string& written_md5) {
        put_back = {};
        return PutBackAttributes(env_, fd, is_link, written_md5, recorded, path, &put_back);
    };
    for (int round = 0;; ++round) {
        restored = archive_.RestoreFromArchive(path, /*say_failure=*/false,
                                               &outcome.restored_digest, finish);
        // Something stands at the page's place (written there after the move, a FIFO, socket
        // or folder put there, or a file put in the restored page's place the moment it got
        // there): a change of its own, taken out as evidence, then the page again.
        const bool occupied =
            !restored.ok() && (restored.code() == EEXIST || restored.code() == EISDIR);
        if (!occupied) break;
        if (round == kMostRestoreRounds) {
            restored = Status::Error(ErrorKind::kRefused, EEXIST,
                                     path +
                                         " に何度も別のものが置かれるため復旧をやめました"
                                         " (攻撃の可能性があります): " +
                                         restored.message());
            break;
        }
        if (!TakeOutWhatStands(path)) break;
    }
    if (!restored.ok()) {
        archive_.SayRestoreFailure(path, restored);
        if (said_) said_->push_back(restored.message());
    }
    if (events_) {
        events_->Action(path, ResponseAction::kRestore, restored.ok(),
                        restored.ok() ? path : restored.message());
    }
    if (restored.ok()) {
        outcome.left = ResponseOutcome::Left::kRestored;
        outcome.restored_facts = put_back.left;
        for (const std::string& note : put_back.notes) {
            Say(path, Status::Error(ErrorKind::kIo, 0, note), note);
        }
    }
    return outcome;
}

bool ChangeResponse::TakeOutWhatStands(const std::string& path) {
    auto fail = [&](const Status& status) {
        Say(path, status,
            path + " に置かれたものをクラックフォルダへ移せません: " + status.message());
        if (events_) events_->Action(path, ResponseAction::kQuarantine, false, status.message());
        return false;
    };
    auto place = OpenWatchedPlace(env_, archive_.rules(), path);
    if (!place.ok()) return fail(place.status());
    auto holder = OpenHoldingFolder(place.value());
    if (!holder.ok()) return fail(holder.status());
    const std::string name = place->relative.back();
    // Looked at without asking a file system mounted there since: a mount point is refused.
    auto facts = platform::LookAtEntry(env_, (*holder)->fd(), name, path);
    if (!facts.ok()) return fail(facts.status());
    if (facts->kind == platform::EntryKind::kMissing) return true;  // gone again meanwhile
    // A file or a link is evidence like any other: copied, verified, then removed. A FIFO,
    // socket or device is removed, never opened, its index line saying what it was.
    if (facts->kind != platform::EntryKind::kDirectory) {
        FileLocation where{holder->get(), name, {}};
        if (facts->kind == platform::EntryKind::kOther) where.identity = facts->identity;
        return MoveToCracked(ChangeKind::kCreated, path, where);
    }
    // A folder is moved whole, by its name, into the cracked folder; there it is made root's
    // through and through before anything in it is read.
    Status made = platform::MakeDirectories(env_, settings_.cracked_dir, 0700);
    if (!made.ok()) return fail(made);
    auto cracked = platform::OpenTrustedFolder(env_, settings_.cracked_dir);
    if (!cracked.ok()) return fail(cracked.status());
    const std::string stamp = CrackedStamp(regional_, clock_.Now());
    for (int n = 1; n <= kMostCopiesPerName; ++n) {
        const std::string candidate = CrackedName(stamp, n, name);
        if (env_.RenameAt((*holder)->fd(), name.c_str(), (*cracked)->fd(), candidate.c_str(),
                          RENAME_NOREPLACE) == 0) {
            SecureTakenFolder((*cracked)->fd(), candidate, path);
            if (events_) {
                events_->Action(path, ResponseAction::kQuarantine, true,
                                platform::JoinPath(settings_.cracked_dir, candidate));
            }
            return true;
        }
        if (errno != EEXIST) break;
    }
    return fail(Status::FromErrno(errno, path + " をクラックフォルダへ移せません"));
}

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
    if (step.ok()) step = LookAtSpecial(move, &special);
    if (step.ok() && !special) step = OpenSuspect(move);
    if (!step.ok()) return FailMove(path, step);
    if (special) {
        // Nothing to copy: the index line alone says what it was.
        move.stamp = CrackedStamp(regional_, clock_.Now());
        move.evidence = Evidence::kIndexOnly;
        move.digests = {std::string(kNoCopyName), "", true};
        move.shown_copy = kNoCopyName;
    } else {
        ChooseEvidence(move);
        step = KeepEvidence(move);
        if (!step.ok()) return FailMove(path, step);
    }
    WriteIndexLine(move);
    step = RemoveSuspect(move);
    if (!step.ok()) return FailMove(path, step);
    if (limit_shown_ && move.copy_name.empty()) ++removed_uncopied_;
    if (move.unlisted) ++unlisted_;
    if (events_) events_->Action(path, ResponseAction::kQuarantine, true, move.shown_copy);
    return true;
}

bool ChangeResponse::FailMove(const std::string& path, const Status& status) {
    Say(path, status,
        "改ざんされたファイル " + path +
            " をクラックフォルダへ移せません (ファイルはそのままです): " + status.message());
    if (events_) events_->Action(path, ResponseAction::kQuarantine, false, status.message());
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
    // another user swapped for a folder or link of their own must not keep every page defaced:
    // an altered page still leaves the site and comes back, and the message and the event keep
    // its size and digest. A folder that merely cannot be made or written keeps the file in
    // place, the evidence whole, until the administrator mends it.
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
                                 path + " は通常のファイルではありません");
        }
    } else {
        if (errno == ENOENT && move.where.identity) {
            return Status::FromErrno(ENOENT, path + " は検査の後でなくなりました");
        }
        if (errno != ELOOP) return Status::FromErrno(errno, path + " を読めません");
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
            return Status::FromErrno(ENOENT, path + " がありません");
        }
        auto target = platform::ReadLinkTarget(env_, held.get(), "");
        if (!target) return Status::FromErrno(errno, path + " を読めません");
        move.link_target = std::move(*target);
    }
    // Found by a walk that has ended: only the very file measured is taken, never one put at
    // its path since (the next check finds that one).
    const auto& identity = move.where.identity;
    if (identity && (st.st_dev != identity->device || st.st_ino != identity->inode)) {
        return Status::Error(ErrorKind::kRefused, EAGAIN,
                             path + " は検査の後で別のファイルに置き換えられました");
    }
    return Status::Ok();
}

Status ChangeResponse::LookAtSpecial(QuarantineMove& move, bool* special) {
    // Looked at without opening it: a FIFO is never opened, a device never touched. Only the
    // very entry the walk measured is taken.
    *special = false;
    auto facts = platform::LookAtEntry(env_, move.holder->fd(), move.name, move.path);
    if (!facts.ok()) return facts.status();
    move.looked = *facts;
    if (facts->kind != platform::EntryKind::kOther) return Status::Ok();
    const auto& identity = move.where.identity;
    struct stat& st = move.st;
    if ((identity && facts->identity != *identity) ||
        env_.FStatAt(move.holder->fd(), move.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        st.st_dev != facts->identity.device || st.st_ino != facts->identity.inode) {
        return Status::Error(ErrorKind::kRefused, EAGAIN,
                             move.path + " は検査の後で別のものに置き換えられました");
    }
    *special = true;
    move.note = "entry=" + SpecialEntryName(st.st_mode);
    return Status::Ok();
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
            Say(move.path, Status::Error(ErrorKind::kLimit, kErrLimit, kCopyLimitMessage),
                kCopyLimitMessage);
        }
        limit_shown_ = true;
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
        if (errno != EEXIST) {
            return Status::FromErrno(errno,
                                     platform::JoinPath(folder, candidate) + " を作れません");
        }
    }
    return Status::Error(ErrorKind::kExists, EEXIST,
                         folder + " に " + move.name + " のコピーの空き名がありません");
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
    move.digests = {platform::Md5Hex(move.link_target), platform::Sha256Hex(move.link_target),
                    true};
    if (move.evidence == Evidence::kWhole) {
        Status made_copy = CopyIntoCracked(move, move.size(), false, &move.digests);
        if (!made_copy.ok()) {
            // Short of room, or the file written to while it was copied: its first bytes and
            // its digest are the evidence, and it still leaves the site, so a page rewritten
            // without pause comes back.
            if ((!OutOfRoom(made_copy) && !move.rewritten) || move.is_link()) {
                return Status::Error(made_copy.kind(), made_copy.code(),
                                     move.path + ": " + made_copy.message());
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
    const std::string& digest = move.digests.md5;
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
        Say(path, indexed,
            "クラックフォルダの一覧に " + move.shown_copy + " を書けません (" + DisplayPath(path) +
                " サイズ " + std::to_string(move.size()) + " MD5 " + digest +
                "): " + indexed.message());
    }
}

Status ChangeResponse::AppendIndexLine(int cracked_fd, const std::string& line) {
    const std::string shown = platform::JoinPath(settings_.cracked_dir, kCrackedIndexName);
    std::string bytes = platform::EncodeTextEscaping(
                            line, charset_.empty() ? platform::SystemCharset() : charset_) +
                        "\r\n";
    ScopedFd index(env_, env_.OpenAt(cracked_fd, kCrackedIndexName,
                                     O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (index.get() < 0) return Status::FromErrno(errno, shown);
    NORV_RETURN_IF_ERROR(platform::CheckOwnFileToWrite(env_, index.get(), shown));
    NORV_RETURN_IF_ERROR(platform::WriteFully(env_, index.get(), bytes, kCrackedIndexName));
    if (env_.Fsync(index.get()) != 0) return Status::FromErrno(errno, shown);
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
        return Status::Error(ErrorKind::kRefused, EAGAIN,
                             path + " はコピーの間に置き換えられました (コピーは " +
                                 move.shown_copy + " にあります)");
    }
    if (env_.UnlinkAt(move.holder->fd(), move.name.c_str(), 0) != 0) {
        return Status::FromErrno(
            errno, path + " を削除できません (コピーは " + move.shown_copy + " にあります)");
    }
    return Status::Ok();
}

}  // namespace norv
