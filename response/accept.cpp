#include "response/accept.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "config/watched_place.h"
#include "engine/scan_log.h"
#include "platform/base/notice_code.h"
#include "platform/fs/folder_lock.h"
#include "platform/fs/tree_walk.h"
#include "platform/lha/lha_archive.h"
#include "platform/text/text_file.h"

namespace norv {
namespace {

// Archive writings, at most, while accepted files keep changing under it.
constexpr int kMostArchivePasses = 3;

// "/srv/www" for "/srv/www/" and "/srv//www"; "/" stays.
std::string Normal(const std::string& path) {
    std::string out;
    for (const std::string& name : platform::PathNames(path)) out += "/" + name;
    return out.empty() ? std::string("/") : out;
}

bool AtOrBelow(const std::string& path, const std::string& top) {
    if (top == "/") return true;
    return path == top || (path.size() > top.size() && path.compare(0, top.size(), top) == 0 &&
                           path[top.size()] == '/');
}

bool Present(const platform::Fingerprint& fingerprint) {
    return fingerprint.facts.kind == platform::EntryKind::kRegular ||
           fingerprint.facts.kind == platform::EntryKind::kSymlink;
}

// One item as it stands now: the folder holding it, opened name by name from its rule's
// folder, and what was measured there.
struct Measured {
    std::shared_ptr<platform::DirectoryHandle> folder;
    std::string name;
    platform::Fingerprint fingerprint;
    bool gone = false;  // nothing there (a folder on the way missing counts as gone)
};

Result<Measured> Measure(platform::Env& env, const RuleTable& rules, const std::string& path) {
    Measured measured;
    if (!CoveringRule(rules, path)) {
        return Status::Error(ErrorKind::kRefused, EINVAL, Message(NoticeCode::kNoRuleCovers));
    }
    auto place = OpenWatchedPlace(env, rules, path);
    if (!place.ok()) {
        if (!place.status().Is(ErrorKind::kNotFound)) return place.status();
        measured.gone = true;
        return measured;
    }
    auto folder = OpenHoldingFolder(place.value());
    if (!folder.ok()) {
        if (!folder.status().Is(ErrorKind::kNotFound)) return folder.status();
        measured.gone = true;
        return measured;
    }
    measured.folder = std::move(folder).value();
    measured.name = place->relative.empty() ? std::string() : place->relative.back();
    measured.fingerprint = platform::FingerprintAt(*measured.folder, measured.name);
    measured.gone = measured.fingerprint.facts.kind == platform::EntryKind::kMissing;
    return measured;
}

// Why the file at `item.path` is no longer as reviewed; none when it is.
Message Differs(const ReviewedChange& item, const Measured& now) {
    if (item.kind == ChangeKind::kDeleted) {
        return now.gone ? Message() : Message(NoticeCode::kReappearedAfterReview);
    }
    if (now.gone) return Message(NoticeCode::kVanishedAfterReview);
    const platform::Fingerprint& print = now.fingerprint;
    if (!Present(print)) return Message(NoticeCode::kNoLongerFileOrLink);
    if (print.unreadable()) {
        Message unreadable(NoticeCode::kContentUnreadable);
        if (print.cause.ok()) return unreadable;
        return Message(NoticeCode::kWithCause, {std::move(unreadable), print.cause.what()});
    }
    if (print.changed_while_read) return Message(NoticeCode::kChangedWhileRead);
    if (!print.content_whole) return Message(NoticeCode::kTooLargeToAccept);
    if (!item.new_md5) return Message(NoticeCode::kNotMeasuredAtReview);
    if (!platform::CompareFacts(*item.new_md5, item.new_facts, print.md5, print.Extended())
             .empty()) {
        return Message(NoticeCode::kChangedAgainAfterReview);
    }
    return Message();
}

// The baseline must still be the one the change was found against: why it is not, or none.
Result<Message> BaselineMoved(FileInfoStore& store, const ReviewedChange& item) {
    auto baseline = store.LookupBaseline(item.path);
    if (!baseline.ok()) return baseline.status();
    const bool recorded = baseline->has_value() && !(*baseline)->first_seen_by_check;
    if (item.kind == ChangeKind::kCreated) {
        return recorded ? Message(NoticeCode::kAlreadyInBaseline) : Message();
    }
    if (item.kind == ChangeKind::kMoved) {
        // New at its path, and its record still the one it left.
        if (recorded) return Message(NoticeCode::kAlreadyInBaseline);
        baseline = store.LookupBaseline(item.moved_from);
        if (!baseline.ok()) return baseline.status();
        if (!baseline->has_value() || (*baseline)->first_seen_by_check) {
            return Message(NoticeCode::kNotInBaseline);
        }
        if ((*baseline)->md5o != item.old_md5)
            return Message(NoticeCode::kBaselineChangedSinceList);
        return Message();
    }
    if (!recorded) return Message(NoticeCode::kNotInBaseline);
    if ((*baseline)->md5o != item.old_md5) {
        return Message(NoticeCode::kBaselineChangedSinceList);
    }
    return Message();
}

bool SameChange(const ReviewedChange& a, const ReviewedChange& b) {
    return a.path == b.path && a.kind == b.kind && a.old_md5 == b.old_md5 &&
           a.new_md5 == b.new_md5 && a.new_facts == b.new_facts && a.moved_from == b.moved_from;
}

}  // namespace

ReviewedFacts FactsOfChange(const ReviewedChange& change) {
    ReviewedFacts facts;
    if (!change.new_facts) return facts;
    const platform::ExtendedFacts& now = *change.new_facts;
    if (change.kind != ChangeKind::kCreated) {
        facts.changed =
            platform::CompareFacts(change.old_md5, change.old_facts, change.new_md5, now);
    }
    const platform::ExtendedFacts none;
    const platform::ExtendedFacts& had = change.old_facts ? *change.old_facts : none;
    facts.set_id_gained = (now.mode & ~had.mode & (S_ISUID | S_ISGID)) != 0;
    facts.capability_gained = now.capabilities && !now.capabilities->empty() &&
                              now.capabilities != had.capabilities.value_or("");
    return facts;
}

std::vector<ReviewedChange> SelectChanges(const ChangeList& list,
                                          const std::vector<std::string>& paths,
                                          std::vector<std::string>* unmatched) {
    std::vector<bool> taken(list.changes.size(), false);
    std::vector<std::string> normal;
    normal.reserve(list.changes.size());
    for (const ReviewedChange& change : list.changes) normal.push_back(Normal(change.path));
    for (const std::string& path : paths) {
        const std::string top = Normal(path);
        bool matched = false;
        for (size_t i = 0; i < list.changes.size(); ++i) {
            if (!AtOrBelow(normal[i], top)) continue;
            taken[i] = true;
            matched = true;
        }
        if (!matched && unmatched) unmatched->push_back(path);
    }
    std::vector<ReviewedChange> selected;
    for (size_t i = 0; i < list.changes.size(); ++i) {
        if (taken[i]) selected.push_back(list.changes[i]);
    }
    return selected;
}

ChangeAcceptor::ChangeAcceptor(const RunContext& context, const Settings& settings,
                               const RuleTable& rules, FileInfoStore& store,
                               ProtectedArchive& archive, const platform::RegionalFormat& regional,
                               EventSink* events, CommandRunner& commands, Options options)
    : context_(context),
      settings_(settings),
      rules_(rules),
      store_(store),
      archive_(archive),
      regional_(regional),
      events_(events),
      commands_(commands),
      options_(options) {
    // Every command, an accept included, first finishes an accept a killed run left between its
    // two steps.
    commands_.SetPrologue([this] { return FinishInterruptedAccept(); });
}

Status ChangeAcceptor::FinishInterruptedAccept() {
    platform::Env& env = *context_.env;
    auto marker = store_.ReadPendingArchive();
    if (!marker.ok()) return marker.status();
    if (!marker->has_value()) {
        archive_.RemoveLeftoverTemporaries();
        return Status::Ok();
    }
    const FileInfoStore::PendingArchive& pending = **marker;
    const std::string archive = archive_.ArchivePath();
    auto is_pending = [&](int dirfd, const std::string& name) {
        struct stat st {};
        return env.FStatAt(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
               S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_dev) == pending.device &&
               static_cast<uint64_t>(st.st_ino) == pending.inode;
    };
    auto folder = platform::OpenTrustedFolder(env, settings_.save_dir);
    if (!folder.ok()) return folder.status();
    const int fd = (*folder)->fd();
    Status status;
    // The records already hold the accepted rows: the new archive goes into place, or is there.
    const bool plain_name = pending.temp_name.find('/') == std::string::npos &&
                            !pending.temp_name.empty() && pending.temp_name != "." &&
                            pending.temp_name != "..";
    if (plain_name && is_pending(fd, pending.temp_name)) {
        if (env.RenameAt(fd, pending.temp_name.c_str(), fd, kArchiveFileName, 0) != 0) {
            return Status::FromErrno(errno,
                                     Message(NoticeCode::kCannotPlaceAcceptedArchive, {archive}));
        }
        if (env.Fsync(fd) != 0) return Status::FromErrno(errno, settings_.save_dir);
    } else if (!is_pending(fd, kArchiveFileName)) {
        status =
            Status::Error(kErrArchive, Message(NoticeCode::kAcceptedArchiveMissing, {archive}));
    }
    Status cleared = store_.ClearPendingArchive();
    archive_.RemoveLeftoverTemporaries();
    return status.ok() ? cleared : status;
}

Result<ChangeList> ChangeAcceptor::LoadChanges() {
    std::optional<ChangeList> list;
    NORV_RETURN_IF_ERROR(commands_.RunWaiting(options_.lock_wait, [&] {
        auto read = store_.ReadChangeList();
        if (!read.ok()) return read.status();
        list = std::move(read).value();
        return Status::Ok();
    }));
    return std::move(*list);
}

Result<AcceptOutcome> ChangeAcceptor::Accept(int64_t generation,
                                             const std::vector<ReviewedChange>& items,
                                             const std::string& who) {
    std::optional<AcceptOutcome> accepted;
    NORV_RETURN_IF_ERROR(commands_.RunWaiting(options_.lock_wait, [&] {
        // The accept is a run of its own in the events, closed by its "run" event as a check's
        // is: the accepted changes counted by kind, "checked" the items asked for.
        if (events_) events_->BeginRun("accept");
        auto outcome = AcceptLocked(generation, items, who);
        if (events_) {
            ScanCounters counts;
            counts.checked = static_cast<int32_t>(items.size());
            if (outcome.ok()) {
                for (const ReviewedChange& change : outcome->accepted) {
                    // A move is a file gone from the baseline and one added, as the log has it.
                    if (change.kind == ChangeKind::kMoved) {
                        ++counts.created;
                        ++counts.deleted;
                        continue;
                    }
                    ++(change.kind == ChangeKind::kCreated   ? counts.created
                       : change.kind == ChangeKind::kDeleted ? counts.deleted
                                                             : counts.altered);
                }
            }
            events_->EndRun(counts, outcome.ok() ? "completed" : "failed");
        }
        if (!outcome.ok()) return outcome.status();
        accepted = std::move(outcome).value();
        return Status::Ok();
    }));
    return std::move(*accepted);
}

Result<AcceptOutcome> ChangeAcceptor::AcceptLocked(int64_t generation,
                                                   const std::vector<ReviewedChange>& items,
                                                   const std::string& who) {
    platform::Env& env = *context_.env;
    auto list = store_.ReadChangeList();
    if (!list.ok()) return list.status();
    if (!list->checked) {
        return Status::Error(ErrorKind::kRefused, EINVAL, Message(NoticeCode::kNoCheckSinceInit));
    }
    if (list->generation != generation) {
        return Status::Error(ErrorKind::kRefused, EINVAL,
                             Message(NoticeCode::kBaselineInitialisedAgain));
    }
    const std::string archive_path = archive_.ArchivePath();
    if (!platform::FileExists(env, archive_path)) {
        return Status::Error(kErrArchive,
                             Message(NoticeCode::kArchiveMissingForAccept, {archive_path}));
    }

    AcceptOutcome outcome;
    // Each item still as reviewed, with where it is now.
    struct Candidate {
        ReviewedChange item;
        Measured now;
    };
    std::vector<Candidate> candidates;
    // The list by path, built once: an accept of every change would otherwise scan it per item.
    std::unordered_map<std::string, const ReviewedChange*> listed;
    for (const ReviewedChange& change : list->changes) listed[change.path] = &change;
    std::set<std::string> seen;
    for (const ReviewedChange& item : items) {
        if (!seen.insert(item.path).second) continue;
        auto refuse = [&](Message why) {
            outcome.refused.push_back(
                {item.path,
                 Message(NoticeCode::kItemNotAccepted, {DisplayPath(item.path), std::move(why)})});
        };
        const auto found = listed.find(item.path);
        if (found == listed.end() || !SameChange(*found->second, item)) {
            refuse(Message(NoticeCode::kNotInLastChangeList));
            continue;
        }
        // A folder's or special file's own facts are taken in by an init, not from a review.
        auto place = store_.LookupPlace(item.path);
        if (!place.ok()) return place.status();
        if (place->has_value()) {
            refuse(Message(NoticeCode::kPlaceAcceptedByInit));
            continue;
        }
        auto moved = BaselineMoved(store_, item);
        if (!moved.ok()) return moved.status();
        if (!moved->empty()) {
            refuse(*moved);
            continue;
        }
        auto measured = Measure(env, rules_, item.path);
        if (!measured.ok()) {
            refuse(Message(NoticeCode::kCannotCheckItem, {measured.status().what()}));
            continue;
        }
        if (Message why = Differs(item, measured.value()); !why.empty()) {
            refuse(Message(NoticeCode::kLeftAsChange, {std::move(why)}));
            continue;
        }
        // A move: the place it left must still be empty.
        if (item.kind == ChangeKind::kMoved) {
            auto left = Measure(env, rules_, item.moved_from);
            if (!left.ok()) {
                refuse(Message(NoticeCode::kCannotCheckItem, {left.status().what()}));
                continue;
            }
            if (!left->gone) {
                refuse(Message(NoticeCode::kLeftAsChange,
                               {Message(NoticeCode::kReappearedAfterReview)}));
                continue;
            }
        }
        candidates.push_back({item, std::move(measured).value()});
    }
    if (candidates.empty()) return outcome;

    // The new archive: the accepted files as read now, then every other entry of the current
    // archive copied byte for byte. A file whose stored bytes are not what was measured changed
    // in between: it is refused, and the accepted files are written again without it. Files
    // that keep changing could make that endless, so after kMostArchivePasses nothing is
    // accepted.
    std::unique_ptr<platform::lha::ArchiveWriter> writer;
    for (int pass = 1;; ++pass) {
        auto created = platform::lha::ArchiveWriter::Create(env, archive_path);
        if (!created.ok()) return created.status();
        writer = std::move(created).value();
        std::vector<Candidate> kept_candidates;
        for (Candidate& c : candidates) {
            if (c.item.kind != ChangeKind::kDeleted) {
                std::optional<platform::Md5Digest> written;
                std::optional<platform::Sha256Digest> written_sha256;
                platform::FileFacts stored;
                Status added = writer->AddFileAt(*c.now.folder, c.now.name, c.item.path, &written,
                                                 &stored, &written_sha256);
                if (writer->broken()) return added;
                // Every digest the record will keep must be that of the bytes stored: a file
                // rewritten in place with the same MD5 (a collision) differs in its SHA-256.
                const platform::Sha256Digest& measured_sha256 = c.now.fingerprint.sha256;
                const bool same_content =
                    written && c.item.new_md5 == written &&
                    (!measured_sha256.measured() || written_sha256 == measured_sha256);
                // The entry stored must be the very file measured, as it was measured: a link
                // whose target text has the file's digest, or a mode changed in between, is not.
                const platform::FileFacts& measured = c.now.fingerprint.facts;
                const bool same_entry =
                    stored.identity == measured.identity && stored.mode == measured.mode &&
                    stored.owner == measured.owner && stored.group == measured.group;
                if (!added.ok() || !same_content || !same_entry) {
                    Message why =
                        added.ok() ? Message(NoticeCode::kChangedAgainAfterReview) : added.what();
                    outcome.refused.push_back(
                        {c.item.path,
                         Message(NoticeCode::kItemNotAccepted,
                                 {DisplayPath(c.item.path),
                                  Message(NoticeCode::kLeftAsChange, {std::move(why)})})});
                    continue;
                }
            }
            kept_candidates.push_back(std::move(c));
        }
        const bool redo = kept_candidates.size() != candidates.size();
        candidates = std::move(kept_candidates);
        if (!redo) break;
        if (candidates.empty()) return outcome;
        if (pass == kMostArchivePasses) {
            return Status::Error(ErrorKind::kBusy, EAGAIN,
                                 Message(NoticeCode::kKeptChangingWhileAccepted));
        }
    }
    std::unordered_set<std::string> dropped;
    for (const Candidate& c : candidates) {
        if (c.item.kind == ChangeKind::kDeleted) {
            dropped.insert(platform::lha::StoredPathOf(env, c.item.path));
        }
        if (c.item.kind == ChangeKind::kMoved) {
            dropped.insert(platform::lha::StoredPathOf(env, c.item.moved_from));
        }
    }
    auto kept = writer->KeepEarlier(archive_path, {""}, dropped);
    if (!kept.ok()) {
        return Status::Error(
            kErrArchive, Message(NoticeCode::kCannotCarryOverForAccept, {kept.status().what()}));
    }
    auto sealed = writer->Seal();
    if (!sealed.ok()) return sealed.status();

    // The rows and the marker naming the new archive, in one durable transaction: from here
    // on the new pair is the current one.
    std::vector<FileInfoStore::AcceptedRow> rows;
    for (const Candidate& c : candidates) {
        FileInfoStore::AcceptedRow row{c.item, ""};
        if (c.item.kind != ChangeKind::kDeleted) {
            const platform::Fingerprint& print = c.now.fingerprint;
            row.change.size = print.facts.size;
            row.change.mtime = print.facts.mtime.tv_sec;
            row.change.new_facts = print.Extended();
            row.date = regional_.DateTime(platform::FromTimespec(print.facts.mtime));
        }
        rows.push_back(std::move(row));
    }
    const std::string& temp_path = writer->temp_path();
    const std::string temp_name = temp_path.substr(temp_path.rfind('/') + 1);
    NORV_RETURN_IF_ERROR(store_.ApplyAccepted(
        rows,
        {temp_name, static_cast<uint64_t>(sealed->device), static_cast<uint64_t>(sealed->inode)}));
    writer->KeepSealed();
    // The rename, and the marker cleared; a failure here is finished by the next command.
    NORV_RETURN_IF_ERROR(FinishInterruptedAccept());

    for (const FileInfoStore::AcceptedRow& row : rows) {
        if (events_) {
            events_->Accepted(
                {row.change.kind, row.change.path, row.change.old_md5, row.change.new_md5, who});
        }
        outcome.accepted.push_back(row.change);
    }
    return outcome;
}

}  // namespace norv
