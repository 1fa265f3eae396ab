#include "response/archive.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/file_system.h"
#include "platform/lha/archiver.h"

namespace norv {

std::string ArchiveCommand(const std::string& archive, const std::string& rule_path) {
    return "a -x1 -r2 \"" + archive + "\" \"" + rule_path + "\"" + platform::kSeparator + "*.*";
}

std::string ExtractCommand(const std::string& archive, const std::string& file_name) {
    return "x -c \"" + archive + "\" \"" + file_name + "\"";
}

bool RunArchiver(int32_t /*owner_window*/, const std::string& command, std::string* detail,
                 const std::function<void(const std::string&)>& progress) {
    std::string output;
    int result = platform::lha::Unlha(command, output, progress);
    if (detail) *detail = output;
    return result == 0;
}

ProtectedArchive::ProtectedArchive(const Settings& settings, const RuleTable& rules,
                                   MessageBoxSink& messages)
    : settings_(settings), rules_(rules), messages_(messages) {}

std::string ProtectedArchive::ArchivePath() const {
    return platform::JoinPath(settings_.save_dir, kArchiveFileName);
}

int ProtectedArchive::CreateArchive(const std::function<void(const std::string&)>& progress) {
    const std::string archive = ArchivePath();
    // The new archive is built beside the old one and takes its place only when every rule
    // went in: a full disk or a vanished folder never costs the last good archive.
    const std::string building = archive + ".new";
    ::unlink(building.c_str());
    int failures = 0;
    for (const Rule& rule : rules_.rules) {
        std::string detail;
        if (!RunArchiver(0, ArchiveCommand(building, rule.path), &detail, progress)) {
            ++failures;
            messages_.ShowMessageBox(std::string(kCompressError) + "\n" + detail + "\n" +
                                     "以前のアーカイブ " + archive + " はそのままです");
        }
    }
    if (failures > 0) {
        ::unlink(building.c_str());
        return failures;
    }
    if (platform::FileExists(building)) {
        if (::rename(building.c_str(), archive.c_str()) != 0) {
            messages_.ShowMessageBox(std::string(kCompressError) + "\n" + archive +
                                     " を置き換えられません: " + std::strerror(errno));
            ::unlink(building.c_str());
            return 1;
        }
        platform::SyncParentDirectory(archive);
    } else if (platform::FileExists(archive) && ::unlink(archive.c_str()) != 0) {
        // Nothing to archive (no rule, or rules without files): no archive remains.
        messages_.ShowMessageBox(std::string(kCompressError) + "\n" + archive +
                                 " を削除できません: " + std::strerror(errno));
        return 1;
    }
    return 0;
}

void ProtectedArchive::RestoreFromArchive(const std::string& path) {
    std::string detail;
    if (!RunArchiver(0, ExtractCommand(ArchivePath(), platform::FileNameOfPath(path)), &detail)) {
        messages_.ShowMessageBox(std::string(kExtractError) + "\n" + detail);
    }
}

}  // namespace norv
