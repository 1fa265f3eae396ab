#include "response/archive.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/lha/lha_archive.h"
#include "platform/tree_walk.h"

namespace norv {

ProtectedArchive::ProtectedArchive(const Settings& settings, const RuleTable& rules,
                                   MessageBoxSink& messages)
    : settings_(settings), rules_(rules), messages_(messages) {}

std::string ProtectedArchive::ArchivePath() const {
    return platform::JoinPath(settings_.save_dir, kArchiveFileName);
}

void ProtectedArchive::RemoveLeftovers() const {
    auto folder = platform::OpenDirectory(settings_.save_dir);
    if (!folder.ok()) return;
    auto listing = platform::ListDirectory(**folder, settings_.save_dir);
    if (!listing.ok()) return;
    const std::string temp_prefix = std::string(kArchiveFileName) + ".tmp-";
    const std::string older_prefix = std::string(kArchiveFileName) + ".new";
    for (const auto& entry : listing.value()) {
        if (entry.kind != platform::EntryKind::kRegular) continue;
        if (entry.name.rfind(temp_prefix, 0) == 0 || entry.name.rfind(older_prefix, 0) == 0) {
            ::unlinkat((*folder)->fd(), entry.name.c_str(), 0);
        }
    }
}

int ProtectedArchive::CreateArchive(const std::function<void(const std::string&)>& progress) {
    const std::string archive = ArchivePath();
    // The archive decides what a restore writes, and as whom: it is kept only where nobody
    // else can replace it.
    auto save = platform::OpenTrustedFolder(settings_.save_dir);
    if (!save.ok() && !save.status().Is(ErrorKind::kNotFound)) {
        messages_.ShowMessageBox(std::string(kCompressError) + "\n" + save.status().message());
        return 1;
    }
    RemoveLeftovers();
    // The new archive is built beside the old one and takes its place only when every rule
    // went in: a full disk or a vanished folder never costs the last good archive.
    auto writer = platform::lha::ArchiveWriter::Create(archive);
    if (!writer.ok()) {
        messages_.ShowMessageBox(std::string(kCompressError) + "\n" + writer.status().message());
        return 1;
    }
    const std::vector<platform::FileIdentity> skipped = ProgramFolders(settings_);
    int failures = 0;
    for (const Rule& rule : rules_.rules) {
        Status added = (*writer)->Add(rule.path, skipped, progress);
        if (!added.ok()) {
            ++failures;
            messages_.ShowMessageBox(std::string(kCompressError) + "\n" + added.message() + "\n" +
                                     "以前のアーカイブ " + archive + " はそのままです");
        }
    }
    if (failures > 0) return failures;
    if ((*writer)->entries() == 0) {
        // Nothing to archive (no rule, or rules without files): no archive remains.
        if (platform::FileExists(archive) && ::unlink(archive.c_str()) != 0) {
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

std::string ProtectedArchive::RestoreJournalPath() const {
    return journal_path_.empty()
               ? platform::JoinPath(settings_.save_dir, platform::lha::kRestoreJournalName)
               : journal_path_;
}

void ProtectedArchive::RemoveInterruptedRestores() {
    auto removed = platform::lha::RestoreJournal(RestoreJournalPath()).RemoveLeftovers();
    if (!removed.ok()) {
        messages_.ShowMessageBox(std::string(kExtractError) + "\n" + removed.status().message());
    }
}

void ProtectedArchive::SayRestoreFailure(const Status& status) const {
    messages_.ShowMessageBox(std::string(kExtractError) + "\n" + status.message());
}

Status ProtectedArchive::RestoreFromArchive(const std::string& path, bool say_failure,
                                            std::string* written_digest) {
    auto place = OpenWatchedPlace(rules_, path);
    Status status = place.status();
    const platform::lha::RestoreJournal journal(RestoreJournalPath());
    if (place.ok()) {
        status = platform::lha::RestoreEntry(ArchivePath(), platform::lha::StoredPathOf(path),
                                             *place->root, place->root_path, place->relative,
                                             &index_, &journal, written_digest);
    }
    if (!status.ok() && say_failure) SayRestoreFailure(status);
    return status;
}

}  // namespace norv
