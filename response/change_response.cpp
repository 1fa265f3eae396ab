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
#include "platform/base/notice_code.h"
#include "platform/digest/fingerprint.h"
#include "platform/digest/md5.h"
#include "platform/fs/file_system.h"
#include "platform/text/charset.h"
#include "response/evidence_copy.h"
#include "response/restored_attributes.h"

namespace norv {
std::string CrackedStamp(const platform::RegionalFormat& regional, platform::TimePoint now) {
    // The C locale's forms read badly in a name ("12-8-202610-47-48 PMx"): a fixed form there.
    if (regional.posix()) return regional.SortableStamp(now) + "_";
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

void ChangeResponse::ReportFailure(const std::string& path, const Status& cause,
                                   const Message& text) {
    notices_.Notify({NoticeKind::kResponseFailure, path, cause, text});
    // The outcome's failures become the log's Warning: lines, which quote the message.
    if (said_) said_->push_back(text);
}

std::string SpecialEntryName(mode_t mode) {
    if (S_ISFIFO(mode)) return "fifo";
    if (S_ISSOCK(mode)) return "socket";
    if (S_ISCHR(mode)) return "char-device";
    if (S_ISBLK(mode)) return "block-device";
    return "other";
}

namespace {
// The facts the index gives for what an item was, before its sha256.
constexpr platform::Fact kIndexedFacts[] = {platform::Fact::kType,         platform::Fact::kMode,
                                            platform::Fact::kOwner,        platform::Fact::kGroup,
                                            platform::Fact::kCapabilities, platform::Fact::kAcl};
}  // namespace

std::string CrackedAttributes(const platform::ExtendedFacts& facts) {
    std::string fields;
    for (platform::Fact fact : kIndexedFacts) {
        fields += "\t" + std::string(platform::FactName(fact)) + "=" +
                  platform::ShownFact(fact, "", facts).value_or(cracked_index::kUnknownFact);
    }
    return fields + "\t" + cracked_index::kSha256Field +
           (facts.sha256.measured() ? facts.sha256.text() : cracked_index::kUnknownFact);
}

std::string UnknownCrackedAttributes() {
    std::string fields;
    for (platform::Fact fact : kIndexedFacts) {
        fields += "\t" + std::string(platform::FactName(fact)) + "=" + cracked_index::kUnknownFact;
    }
    return fields + "\t" + cracked_index::kSha256Field + cracked_index::kUnknownFact;
}

ResponseOutcome ChangeResponse::RespondToChange(ChangeKind kind, const std::string& path,
                                                const FileLocation& where,
                                                const RecordedFile& recorded) {
    const bool held = held_path_ == path ? held_ : Holds(path);
    held_path_.clear();
    std::vector<Message> said = std::move(hold_notes_);
    hold_notes_.clear();
    if (held) {
        left_held_ = true;
        return {ResponseOutcome::Left::kUntouched, {}, std::move(said), std::nullopt};
    }
    said_ = &said;
    ResponseOutcome outcome = Respond(kind, path, where, recorded);
    said_ = nullptr;
    outcome.failures = std::move(said);
    return outcome;
}

HoldLook ChangeResponse::LookAtHold() {
    HoldLook look = hold_->ReadHold();
    for (const auto& note : look.notes) {
        notices_.Notify({NoticeKind::kHold, platform::JoinPath(hold_->program_dir(), kHoldFileName),
                         Status::Ok(), note});
        // The events and the log quote the note.
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
    // A folder or special file comes back from its record, not from the archive.
    if (!recorded.place_kind.empty()) return RestorePlace(path, where, recorded);
    if (!platform::FileExists(env_, archive_.ArchivePath())) {
        const Message nothing_saved(NoticeCode::kNothingSaved);
        ReportFailure(path, Status::Error(ErrorKind::kNotFound, ENOENT, nothing_saved),
                      nothing_saved);
        if (events_) {
            events_->Action(path,
                            kind == ChangeKind::kCreated ? ResponseAction::kQuarantine
                                                         : ResponseAction::kRestore,
                            false, nothing_saved);
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
    if (kind == ChangeKind::kMoved) return UndoMove(path, where, recorded);
    return {};
}

void ChangeResponse::BeginRun() {
    copies_this_run_ = 0;
    bytes_this_run_ = 0;
    limit_shown_ = false;
    removed_uncopied_ = 0;
    uncopied_lines_ = 0;
    unlisted_ = 0;
    kept_uncopied_ = 0;
    archive_.RemoveInterruptedRestores();
}

Message UncopiedSummary(int removed, int unlisted, int kept) {
    Message removed_text;
    if (removed == 0 && unlisted > 0) {
        removed_text = Message(NoticeCode::kRemovedUnlisted, {std::to_string(unlisted)});
    } else if (removed > 0 && unlisted > 0) {
        removed_text = Message(NoticeCode::kRemovedUncopiedSomeUnlisted,
                               {std::to_string(removed), std::to_string(unlisted)});
    } else if (removed > 0) {
        removed_text = Message(NoticeCode::kRemovedUncopied, {std::to_string(removed)});
    }
    if (kept == 0) return removed_text;
    Message kept_text(NoticeCode::kTakenFilesKeptUncopied, {std::to_string(kept)});
    if (removed_text.empty()) return kept_text;
    return Message(NoticeCode::kRemovedAndKept, {std::move(removed_text), std::move(kept_text)});
}

std::vector<Message> ChangeResponse::EndRun() {
    if (removed_uncopied_ == 0 && unlisted_ == 0 && kept_uncopied_ == 0) return {};
    const Message text = UncopiedSummary(removed_uncopied_, unlisted_, kept_uncopied_);
    const Status cause = Status::Error(ErrorKind::kLimit, kErrLimit, text);
    notices_.Notify({NoticeKind::kResponseFailure, settings_.cracked_dir, cause, text});
    // The events and the log quote the summary.
    if (events_) events_->Action(settings_.cracked_dir, ResponseAction::kQuarantine, true, text);
    removed_uncopied_ = 0;
    unlisted_ = 0;
    kept_uncopied_ = 0;
    return {text};
}

ResponseOutcome ChangeResponse::Restore(const std::string& path, const RecordedFile& recorded) {
    Status restored;
    ResponseOutcome outcome;
    PutBack put_back;
    // The baseline's attributes go on the restored file before it takes the recorded file's place.
    auto finish = [&](int fd, bool is_link, const platform::Md5Digest& written_md5) {
        put_back = {};
        return PutBackAttributes(env_, fd, is_link, written_md5, recorded, path, &put_back);
    };
    for (int round = 0;; ++round) {
        restored = archive_.RestoreFromArchive(path, /*say_failure=*/false,
                                               &outcome.restored_digest, finish);
        // Something stands at the recorded file's place (written there after the move, a FIFO,
        // socket or folder put there, or a file put in the restored recorded file's place the
        // moment it got there): a change of its own, taken out as evidence, then the recorded file
        // again.
        const bool occupied = restored.Is(ErrorKind::kExists);
        if (!occupied) break;
        if (round == kMostRestoreRounds) {
            restored =
                Status::Error(ErrorKind::kRefused, EEXIST,
                              Message(NoticeCode::kRestoreOutlasted, {path, restored.what()}));
            break;
        }
        if (!TakeOutWhatStands(path)) break;
    }
    if (restored.ok() && put_back.locking_flags != 0) {
        // Immutable or append-only, as recorded: set now that the file stands in its place.
        Status locked = [&]() -> Status {
            auto place = OpenWatchedPlace(env_, archive_.rules(), path);
            if (!place.ok()) return place.status();
            auto holder = OpenHoldingFolder(place.value());
            if (!holder.ok()) return holder.status();
            return PutBackLockingFlags(env_, **holder, place->relative.back(), put_back, path);
        }();
        if (!locked.ok()) put_back.notes.push_back(locked.what());
    }
    if (!restored.ok()) {
        archive_.SayRestoreFailure(path, restored);
        if (said_) said_->push_back(restored.what());
    }
    if (events_) {
        events_->Action(path, ResponseAction::kRestore, restored.ok(),
                        restored.ok() ? Message(path) : restored.what());
    }
    if (restored.ok()) {
        outcome.left = ResponseOutcome::Left::kRestored;
        outcome.restored_facts = put_back.left;
        for (const Message& note : put_back.notes) {
            ReportFailure(path, Status::Error(ErrorKind::kIo, 0, note), note);
        }
    }
    return outcome;
}

bool ChangeResponse::TakeOutWhatStands(const std::string& path) {
    auto fail = [&](const Status& status) {
        ReportFailure(path, status,
                      Message(NoticeCode::kCannotTakeOutWhatStands, {path, status.what()}));
        if (events_) {
            events_->Action(path, ResponseAction::kQuarantine, false, status.what());
        }
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
        const Status moved =
            Status::FromErrno(errno, Message(NoticeCode::kCannotMoveFolderToCracked, {path}));
        if (!moved.Is(ErrorKind::kExists)) return fail(moved);
    }
    return fail(Status::FromErrno(EEXIST, Message(NoticeCode::kCannotMoveFolderToCracked, {path})));
}

}  // namespace norv
