#include "response/archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/base/notice_code.h"
#include "platform/fs/tree_walk.h"
#include "platform/lha/lha_archive.h"

namespace norv {

ProtectedArchive::ProtectedArchive(platform::Env& env, const Settings& settings,
                                   const RuleTable& rules, NoticeSink& notices)
    : env_(env), settings_(settings), rules_(rules), notices_(notices) {}

void ProtectedArchive::ReportFailure(NoticeKind kind, const std::string& path, const Status& cause,
                                     Message detail) const {
    const NoticeCode title =
        kind == NoticeKind::kRestoreError ? NoticeCode::kRestoreFailed : NoticeCode::kArchiveFailed;
    notices_.Notify({kind, path, cause, Message(title, {std::move(detail)})});
}

std::string ProtectedArchive::ArchivePath() const {
    return platform::JoinPath(settings_.save_dir, kArchiveFileName);
}

void ProtectedArchive::RemoveLeftovers() const {
    auto folder = platform::OpenDirectory(env_, settings_.save_dir);
    if (!folder.ok()) return;
    auto listing = platform::ListDirectory(**folder, settings_.save_dir);
    if (!listing.ok()) return;
    const std::string temp_prefix = std::string(kArchiveFileName) + ".tmp-";
    const std::string older_prefix = std::string(kArchiveFileName) + ".new";
    for (const auto& entry : listing.value()) {
        if (entry.kind != platform::EntryKind::kRegular) continue;
        if (entry.name.rfind(temp_prefix, 0) == 0 || entry.name.rfind(older_prefix, 0) == 0) {
            env_.UnlinkAt((*folder)->fd(), entry.name.c_str(), 0);
        }
    }
}

namespace {

// A rule not in the new archive whole: what to say of it, and the stored paths whose earlier
// entries stand in for what was not saved now.
struct Unsaved {
    Message text;
    std::vector<std::string> parts;  // StoredPathOf form
    bool whole = false;              // the rule itself failed: parts holds its path alone
    std::string path;                // the rule's
    Status cause;                    // the rule's failure, or the first part's
};

// `first`, then `next` on the line below it.
Message NextLine(Message first, Message next) {
    return Message(NoticeCode::kArchiveNextLine, {std::move(first), std::move(next)});
}

// What became of an unsaved rule's earlier entries, `copied` per part, added to its text.
Message SayWhatWasKept(const Unsaved& unsaved, const std::vector<int64_t>& copied) {
    if (unsaved.whole) {
        return copied[0] > 0 ? Message(NoticeCode::kRuleEarlierKept, {std::to_string(copied[0])})
                             : Message(NoticeCode::kRuleNotInEarlier);
    }
    const size_t kept = static_cast<size_t>(
        std::count_if(copied.begin(), copied.end(), [](int64_t n) { return n > 0; }));
    if (kept == copied.size()) return Message(NoticeCode::kPartsEarlierKept);
    if (kept == 0) return Message(NoticeCode::kPartsNotInEarlier);
    return Message(NoticeCode::kSomePartsEarlierKept,
                   {std::to_string(kept), std::to_string(copied.size() - kept)});
}

}  // namespace

int ProtectedArchive::CreateArchive(const std::function<void(const std::string&)>& progress) {
    const std::string archive = ArchivePath();
    // The archive decides what a restore writes, and as whom: it is kept only where nobody
    // else can replace it.
    auto save = platform::OpenTrustedFolder(env_, settings_.save_dir);
    if (!save.ok() && !save.status().Is(ErrorKind::kNotFound)) {
        ReportFailure(NoticeKind::kArchiveError, settings_.save_dir, save.status(),
                      save.status().what());
        return 1;
    }
    RemoveLeftovers();
    // The new archive is built beside the old one and takes its place only at the end: a full
    // disk or a vanished folder never costs the last good archive.
    auto writer = platform::lha::ArchiveWriter::Create(env_, archive);
    if (!writer.ok()) {
        ReportFailure(NoticeKind::kArchiveError, archive, writer.status(), writer.status().what());
        return 1;
    }
    const std::vector<platform::FileIdentity> skipped = ProgramFolders(env_, settings_);
    const bool had_archive = platform::FileExists(env_, archive);
    const Message kept_whole(NoticeCode::kEarlierArchiveStands, {archive});
    // One per rule that is not in the new archive whole; each is shown at the end, the last
    // with what the archive now holds.
    std::vector<Unsaved> failures;
    for (size_t i = 0; i < rules_.rules.size(); ++i) {
        const Rule& rule = rules_.rules[i];
        std::vector<platform::lha::MissedPart> missed;
        Status added = (*writer)->Add(rule.path, skipped, progress, &missed);
        if ((*writer)->broken()) {
            // The new archive cannot be written: nothing of it is kept.
            for (const Unsaved& failure : failures) {
                ReportFailure(NoticeKind::kArchiveError, failure.path, failure.cause, failure.text);
            }
            ReportFailure(
                NoticeKind::kArchiveError, archive, added,
                NextLine(added.what(),
                         had_archive ? Message(NoticeCode::kEarlierArchiveUnchanged, {archive})
                                     : Message(NoticeCode::kNoArchiveMade)));
            return static_cast<int>(failures.size()) + 1;
        }
        const std::string number = std::to_string(i + 1);
        if (!added.ok()) {
            failures.push_back(
                {Message(NoticeCode::kRuleNotArchived, {number, rule.path, added.what()}),
                 {platform::lha::StoredPathOf(env_, rule.path)},
                 true,
                 rule.path,
                 added});
        } else if (!missed.empty()) {
            Unsaved unsaved;
            unsaved.path = rule.path;
            unsaved.cause = missed.front().why;
            // The parts shown, a line each: built from the last, each line holding those below it.
            const size_t shown = std::min(missed.size(), kMostMissedShown);
            Message lines = missed[shown - 1].why.what();
            if (missed.size() > kMostMissedShown) {
                lines = NextLine(std::move(lines),
                                 Message(NoticeCode::kMorePartsNotArchived,
                                         {std::to_string(missed.size() - kMostMissedShown)}));
            }
            for (size_t k = shown - 1; k > 0; --k) {
                lines = NextLine(missed[k - 1].why.what(), std::move(lines));
            }
            unsaved.text =
                Message(NoticeCode::kRulePartsNotArchived,
                        {number, rule.path, std::to_string(missed.size()), std::move(lines)});
            for (const platform::lha::MissedPart& part : missed) {
                unsaved.parts.push_back(platform::lha::StoredPathOf(env_, part.path));
            }
            failures.push_back(std::move(unsaved));
        }
    }
    if (failures.empty()) {
        if ((*writer)->entries() == 0) {
            // Nothing to archive (no rule, or rules without files): no archive remains.
            if (had_archive && env_.UnlinkAt(AT_FDCWD, archive.c_str(), 0) != 0) {
                const int error = errno;
                ReportFailure(NoticeKind::kArchiveError, archive, Status::FromErrno(error, archive),
                              Message(NoticeCode::kCannotRemoveArchive,
                                      {archive, std::string(std::strerror(error))}));
                return 1;
            }
            return 0;
        }
        Status committed = (*writer)->Commit();
        if (!committed.ok()) {
            ReportFailure(NoticeKind::kArchiveError, archive, committed, committed.what());
            return 1;
        }
        return 0;
    }
    // Something is missing. What was saved now goes in, and what was not keeps its earlier
    // version: an old copy of one rule never outweighs a new one of another. Only an earlier
    // archive that cannot be read stays whole instead. Without one, what could be archived
    // beats nothing.
    Message holds;
    if (had_archive) {
        std::vector<std::string> parts;
        for (const Unsaved& failure : failures) {
            parts.insert(parts.end(), failure.parts.begin(), failure.parts.end());
        }
        auto copied = (*writer)->KeepEarlier(archive, parts);
        Status committed;
        if (!copied.ok()) {
            holds = NextLine(Message(NoticeCode::kCannotCarryOverEarlier, {copied.status().what()}),
                             kept_whole);
        } else if ((*writer)->entries() == 0) {
            holds = kept_whole;
        } else if (committed = (*writer)->Commit(); !committed.ok()) {
            holds = NextLine(committed.what(), kept_whole);
        } else {
            size_t at = 0;
            bool all_kept = true;
            for (Unsaved& failure : failures) {
                const std::vector<int64_t> own(
                    copied->begin() + static_cast<ptrdiff_t>(at),
                    copied->begin() + static_cast<ptrdiff_t>(at + failure.parts.size()));
                at += failure.parts.size();
                all_kept = all_kept && std::count(own.begin(), own.end(), 0) == 0;
                failure.text = NextLine(std::move(failure.text), SayWhatWasKept(failure, own));
            }
            holds = Message(
                all_kept ? NoticeCode::kArchiveRebuilt : NoticeCode::kArchiveRebuiltSomeLost,
                {archive});
        }
    } else if ((*writer)->entries() == 0) {
        holds = Message(NoticeCode::kNothingSavedNoArchive);
    } else if (Status committed = (*writer)->Commit(); committed.ok()) {
        holds = Message(NoticeCode::kPartialArchiveMade, {archive});
    } else {
        holds = Message(NoticeCode::kArchiveNotMadeBecause, {committed.what()});
    }
    failures.back().text = NextLine(std::move(failures.back().text), std::move(holds));
    for (const Unsaved& failure : failures) {
        ReportFailure(NoticeKind::kArchiveError, failure.path, failure.cause, failure.text);
    }
    return static_cast<int>(failures.size());
}

std::string ProtectedArchive::RestoreJournalPath() const {
    return journal_path_.empty()
               ? platform::JoinPath(settings_.save_dir, platform::lha::kRestoreJournalName)
               : journal_path_;
}

void ProtectedArchive::RemoveInterruptedRestores() {
    auto removed = platform::lha::RestoreJournal(env_, RestoreJournalPath()).RemoveLeftovers();
    if (!removed.ok()) {
        ReportFailure(NoticeKind::kRestoreError, RestoreJournalPath(), removed.status(),
                      removed.status().what());
    }
}

void ProtectedArchive::SayRestoreFailure(const std::string& path, const Status& status) const {
    ReportFailure(NoticeKind::kRestoreError, path, status, status.what());
}

Status ProtectedArchive::RestoreFromArchive(const std::string& path, bool say_failure,
                                            platform::Md5Digest* written_digest,
                                            const platform::lha::FinishRestore& finish) {
    auto place = OpenWatchedPlace(env_, rules_, path);
    Status status = place.status();
    const platform::lha::RestoreJournal journal(env_, RestoreJournalPath());
    if (place.ok()) {
        status = platform::lha::RestoreEntry(ArchivePath(), platform::lha::StoredPathOf(env_, path),
                                             *place->root, place->root_path, place->relative,
                                             &index_, &journal, written_digest, finish);
    }
    if (!status.ok() && say_failure) SayRestoreFailure(path, status);
    return status;
}

}  // namespace norv
