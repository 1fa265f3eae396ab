#include "response/archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/lha/lha_archive.h"
#include "platform/tree_walk.h"

namespace norv {

ProtectedArchive::ProtectedArchive(platform::Env& env, const Settings& settings,
                                   const RuleTable& rules, MessageBoxSink& messages)
    : env_(env), settings_(settings), rules_(rules), messages_(messages) {}

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

int ProtectedArchive::CreateArchive(const std::function<void(const std::string&)>& progress) {
    const std::string archive = ArchivePath();
    // The archive decides what a restore writes, and as whom: it is kept only where nobody
    // else can replace it.
    auto save = platform::OpenTrustedFolder(env_, settings_.save_dir);
    if (!save.ok() && !save.status().Is(ErrorKind::kNotFound)) {
        messages_.ShowMessageBox(std::string(kCompressError) + "\n" + save.status().message());
        return 1;
    }
    RemoveLeftovers();
    // The new archive is built beside the old one and takes its place only when every rule
    // went in: a full disk or a vanished folder never costs the last good archive.
    auto writer = platform::lha::ArchiveWriter::Create(env_, archive);
    if (!writer.ok()) {
        messages_.ShowMessageBox(std::string(kCompressError) + "\n" + writer.status().message());
        return 1;
    }
    const std::vector<platform::FileIdentity> skipped = ProgramFolders(env_, settings_);
    const bool had_archive = platform::FileExists(env_, archive);
    // One text per rule that is not in the new archive whole; each is shown at the end, the last
    // with what the archive now holds.
    std::vector<std::string> failures;
    for (size_t i = 0; i < rules_.rules.size(); ++i) {
        const Rule& rule = rules_.rules[i];
        std::vector<Status> missed;
        Status added = (*writer)->Add(rule.path, skipped, progress, &missed);
        if ((*writer)->broken()) {
            // The new archive cannot be written: nothing of it is kept.
            for (const std::string& text : failures) {
                messages_.ShowMessageBox(std::string(kCompressError) + "\n" + text);
            }
            messages_.ShowMessageBox(std::string(kCompressError) + "\n" + added.message() + "\n" +
                                     (had_archive
                                          ? "以前のアーカイブ " + archive + " はそのままです"
                                          : std::string("アーカイブは作りませんでした")));
            return static_cast<int>(failures.size()) + 1;
        }
        const std::string label = "ルール " + std::to_string(i + 1) + " (" + rule.path + ")";
        if (!added.ok()) {
            failures.push_back(label + ": " + added.message());
        } else if (!missed.empty()) {
            std::string text = label + " のうち " + std::to_string(missed.size()) +
                               " か所を保存できません (ほかは保存しました):";
            for (size_t k = 0; k < missed.size() && k < kMostMissedShown; ++k) {
                text += "\n" + missed[k].message();
            }
            if (missed.size() > kMostMissedShown) {
                text += "\nほか " + std::to_string(missed.size() - kMostMissedShown) + " か所";
            }
            failures.push_back(text);
        }
    }
    if (failures.empty()) {
        if ((*writer)->entries() == 0) {
            // Nothing to archive (no rule, or rules without files): no archive remains.
            if (had_archive && env_.UnlinkAt(AT_FDCWD, archive.c_str(), 0) != 0) {
                messages_.ShowMessageBox(std::string(kCompressError) + "\n" + archive +
                                         " を削除できません: " + std::strerror(errno));
                return 1;
            }
            return 0;
        }
        Status committed = (*writer)->Commit();
        if (!committed.ok()) {
            messages_.ShowMessageBox(std::string(kCompressError) + "\n" + committed.message());
            return 1;
        }
        return 0;
    }
    // Something is missing. An earlier archive stays whole rather than lose what it holds of
    // those rules; without one, what could be archived beats nothing.
    std::string holds;
    if (had_archive) {
        holds = "以前のアーカイブ " + archive +
                " はそのままです (今回は何も保存していません。復旧は以前のアーカイブから行います)";
    } else if ((*writer)->entries() == 0) {
        holds = "保存できたファイルがないため、アーカイブは作りませんでした (自動復旧はできません)";
    } else if (Status committed = (*writer)->Commit(); committed.ok()) {
        holds = "以前のアーカイブがないため、保存できたファイルだけでアーカイブ " + archive +
                " を作りました (上に挙げたものは自動復旧できません)";
    } else {
        holds = "アーカイブは作りませんでした: " + committed.message();
    }
    failures.back() += "\n" + holds;
    for (const std::string& text : failures) {
        messages_.ShowMessageBox(std::string(kCompressError) + "\n" + text);
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
        messages_.ShowMessageBox(std::string(kExtractError) + "\n" + removed.status().message());
    }
}

void ProtectedArchive::SayRestoreFailure(const Status& status) const {
    messages_.ShowMessageBox(std::string(kExtractError) + "\n" + status.message());
}

Status ProtectedArchive::RestoreFromArchive(const std::string& path, bool say_failure,
                                            std::string* written_digest) {
    auto place = OpenWatchedPlace(env_, rules_, path);
    Status status = place.status();
    const platform::lha::RestoreJournal journal(env_, RestoreJournalPath());
    if (place.ok()) {
        status = platform::lha::RestoreEntry(ArchivePath(), platform::lha::StoredPathOf(env_, path),
                                             *place->root, place->root_path, place->relative,
                                             &index_, &journal, written_digest);
    }
    if (!status.ok() && say_failure) SayRestoreFailure(status);
    return status;
}

}  // namespace norv
