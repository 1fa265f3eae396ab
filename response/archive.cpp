#include "response/archive.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/lha/lha_archive.h"
#include "platform/tree_walk.h"

namespace norv {

Result<WatchedPlace> OpenWatchedPlace(const RuleTable& rules, const std::string& path) {
    const Rule* covering = nullptr;
    std::string below;
    for (const Rule& rule : rules.rules) {
        if (rule.flag == RULE_FILE) {
            if (path != rule.path) continue;
            if (!covering || rule.path.size() >= covering->path.size()) {
                covering = &rule;
                below.clear();
            }
            continue;
        }
        if (rule.flag <= 0) continue;
        const std::string prefix = platform::FolderPrefix(rule.path);
        if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) continue;
        std::string rest = path.substr(prefix.size());
        if (rule.flag != RULE_TREE && rest.find(platform::kSeparator) != std::string::npos) continue;
        if (!covering || prefix.size() > covering->path.size()) {
            covering = &rule;
            below = std::move(rest);
        }
    }
    if (!covering) return Status::Error(ENOENT, path + " はどの監視対象にも含まれません");
    auto resolved = platform::ResolveAdministratorPath(covering->path);
    if (!resolved.ok()) return resolved.status();
    WatchedPlace place;
    if (covering->flag == RULE_FILE) {
        if (resolved->name.empty()) return Status::FromErrno(EISDIR, covering->path);
        place.root = resolved->parent;
        place.root_path = platform::ParentOfPath(covering->path);
        place.relative = {resolved->name};
        return place;
    }
    auto root = platform::OpenResolvedDirectory(resolved.value(), covering->path);
    if (!root.ok()) return root.status();
    place.root = std::move(root).value();
    place.root_path = covering->path;
    place.relative = platform::PathNames(below);
    if (place.relative.empty()) return Status::FromErrno(EISDIR, path);
    return place;
}

Result<std::shared_ptr<platform::DirectoryHandle>> OpenHoldingFolder(const WatchedPlace& place) {
    std::shared_ptr<platform::DirectoryHandle> folder = place.root;
    std::string shown = place.root_path;
    for (size_t i = 0; i + 1 < place.relative.size(); ++i) {
        shown = platform::FolderPrefix(shown) + place.relative[i];
        auto next = platform::OpenDirectoryAt(*folder, place.relative[i], shown);
        if (!next.ok()) return next.status();
        folder = std::move(next).value();
    }
    return folder;
}

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

Status ProtectedArchive::RestoreFromArchive(const std::string& path) {
    auto place = OpenWatchedPlace(rules_, path);
    Status status = place.status();
    if (place.ok()) {
        status = platform::lha::RestoreEntry(ArchivePath(), platform::lha::StoredPathOf(path),
                                             *place->root, place->root_path, place->relative);
    }
    if (!status.ok()) messages_.ShowMessageBox(std::string(kExtractError) + "\n" + status.message());
    return status;
}

}  // namespace norv
