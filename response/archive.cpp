#include "response/archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/fs/tree_walk.h"
#include "platform/lha/lha_archive.h"

namespace norv {

ProtectedArchive::ProtectedArchive(platform::Env& env, const Settings& settings,
                                   const RuleTable& rules, NoticeSink& notices)
    : env_(env), settings_(settings), rules_(rules), notices_(notices) {}

void ProtectedArchive::ReportFailure(NoticeKind kind, const std::string& path, const Status& cause,
                                     const std::string& detail) const {
    const char* title = kind == NoticeKind::kRestoreError ? kExtractError : kCompressError;
    notices_.Notify({kind, path, cause, std::string(title) + "\n" + detail});
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
    std::string text;
    std::vector<std::string> parts;  // StoredPathOf form
    bool whole = false;              // the rule itself failed: parts holds its path alone
    std::string path;                // the rule's
    Status cause;                    // the rule's failure, or the first part's
};

// What became of an unsaved rule's earlier entries, `copied` per part, added to its text.
std::string SayWhatWasKept(const Unsaved& unsaved, const std::vector<int64_t>& copied) {
    if (unsaved.whole) {
        return copied[0] > 0 ? "このルールは以前に保存した版 (" + std::to_string(copied[0]) +
                                   " ファイル) をアーカイブに残しました"
                             : std::string(
                                   "このルールは以前のアーカイブにもないため、"
                                   "自動復旧できません");
    }
    const size_t kept = static_cast<size_t>(
        std::count_if(copied.begin(), copied.end(), [](int64_t n) { return n > 0; }));
    if (kept == copied.size()) return "これらは以前に保存した版をアーカイブに残しました";
    if (kept == 0) return "これらは以前のアーカイブにもないため、自動復旧できません";
    return "うち " + std::to_string(kept) +
           " か所は以前に保存した版をアーカイブに残しました (ほか " +
           std::to_string(copied.size() - kept) +
           " か所は以前のアーカイブにもないため、自動復旧できません)";
}

}  // namespace

int ProtectedArchive::CreateArchive(const std::function<void(const std::string&)>& progress) {
    const std::string archive = ArchivePath();
    // The archive decides what a restore writes, and as whom: it is kept only where nobody
    // else can replace it.
    auto save = platform::OpenTrustedFolder(env_, settings_.save_dir);
    if (!save.ok() && !save.status().Is(ErrorKind::kNotFound)) {
        ReportFailure(NoticeKind::kArchiveError, settings_.save_dir, save.status(),
                      save.status().message());
        return 1;
    }
    RemoveLeftovers();
    // The new archive is built beside the old one and takes its place only at the end: a full
    // disk or a vanished folder never costs the last good archive.
    auto writer = platform::lha::ArchiveWriter::Create(env_, archive);
    if (!writer.ok()) {
        ReportFailure(NoticeKind::kArchiveError, archive, writer.status(),
                      writer.status().message());
        return 1;
    }
    const std::vector<platform::FileIdentity> skipped = ProgramFolders(env_, settings_);
    const bool had_archive = platform::FileExists(env_, archive);
    const std::string kept_whole =
        "以前のアーカイブ " + archive +
        " はそのままです (今回は何も保存していません。復旧は以前のアーカイブから行います)";
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
            ReportFailure(NoticeKind::kArchiveError, archive, added,
                          added.message() + "\n" +
                              (had_archive ? "以前のアーカイブ " + archive + " はそのままです"
                                           : std::string("アーカイブは作りませんでした")));
            return static_cast<int>(failures.size()) + 1;
        }
        const std::string label = "ルール " + std::to_string(i + 1) + " (" + rule.path + ")";
        if (!added.ok()) {
            failures.push_back({label + ": " + added.message(),
                                {platform::lha::StoredPathOf(env_, rule.path)},
                                true,
                                rule.path,
                                added});
        } else if (!missed.empty()) {
            Unsaved unsaved;
            unsaved.path = rule.path;
            unsaved.cause = missed.front().why;
            unsaved.text = label + " のうち " + std::to_string(missed.size()) +
                           " か所を保存できません (ほかは保存しました):";
            for (size_t k = 0; k < missed.size(); ++k) {
                if (k < kMostMissedShown) unsaved.text += "\n" + missed[k].why.message();
                unsaved.parts.push_back(platform::lha::StoredPathOf(env_, missed[k].path));
            }
            if (missed.size() > kMostMissedShown) {
                unsaved.text +=
                    "\nほか " + std::to_string(missed.size() - kMostMissedShown) + " か所";
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
                              archive + " を削除できません: " + std::strerror(error));
                return 1;
            }
            return 0;
        }
        Status committed = (*writer)->Commit();
        if (!committed.ok()) {
            ReportFailure(NoticeKind::kArchiveError, archive, committed, committed.message());
            return 1;
        }
        return 0;
    }
    // Something is missing. What was saved now goes in, and what was not keeps its earlier
    // version: an old copy of one rule never outweighs a new one of another. Only an earlier
    // archive that cannot be read stays whole instead. Without one, what could be archived
    // beats nothing.
    std::string holds;
    if (had_archive) {
        std::vector<std::string> parts;
        for (const Unsaved& failure : failures) {
            parts.insert(parts.end(), failure.parts.begin(), failure.parts.end());
        }
        auto copied = (*writer)->KeepEarlier(archive, parts);
        Status committed;
        if (!copied.ok()) {
            holds = "以前のアーカイブから引き継げません: " + copied.status().message() + "\n" +
                    kept_whole;
        } else if ((*writer)->entries() == 0) {
            holds = kept_whole;
        } else if (committed = (*writer)->Commit(); !committed.ok()) {
            holds = committed.message() + "\n" + kept_whole;
        } else {
            size_t at = 0;
            bool all_kept = true;
            for (Unsaved& failure : failures) {
                const std::vector<int64_t> own(
                    copied->begin() + static_cast<ptrdiff_t>(at),
                    copied->begin() + static_cast<ptrdiff_t>(at + failure.parts.size()));
                at += failure.parts.size();
                all_kept = all_kept && std::count(own.begin(), own.end(), 0) == 0;
                failure.text += "\n" + SayWhatWasKept(failure, own);
            }
            holds = "アーカイブ " + archive + " を作り直しました (今回保存できたものと、" +
                    (all_kept ? std::string("上に挙げたものの以前に保存した版を収めています)")
                              : std::string("上に挙げたもののうち以前に保存した版があるものを"
                                            "収めています。以前の版もないものは自動復旧できま"
                                            "せん)"));
        }
    } else if ((*writer)->entries() == 0) {
        holds = "保存できたファイルがないため、アーカイブは作りませんでした (自動復旧はできません)";
    } else if (Status committed = (*writer)->Commit(); committed.ok()) {
        holds = "以前のアーカイブがないため、保存できたファイルだけでアーカイブ " + archive +
                " を作りました (上に挙げたものは自動復旧できません)";
    } else {
        holds = "アーカイブは作りませんでした: " + committed.message();
    }
    failures.back().text += "\n" + holds;
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
                      removed.status().message());
    }
}

void ProtectedArchive::SayRestoreFailure(const std::string& path, const Status& status) const {
    ReportFailure(NoticeKind::kRestoreError, path, status, status.message());
}

Status ProtectedArchive::RestoreFromArchive(const std::string& path, bool say_failure,
                                            std::string* written_digest,
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
