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
    if (platform::FileExists(archive) && ::unlink(archive.c_str()) != 0) {
        // Adding to the old archive would mix two states of the trees: stop here.
        messages_.ShowMessageBox(std::string(kCompressError) + "\n" + archive +
                                 " を削除できません: " + std::strerror(errno));
        return 1;
    }
    int failures = 0;
    for (const Rule& rule : rules_.rules) {
        std::string detail;
        if (!RunArchiver(0, ArchiveCommand(archive, rule.path), &detail, progress)) {
            ++failures;
            messages_.ShowMessageBox(std::string(kCompressError) + "\n" + detail);
        }
    }
    return failures;
}

void ProtectedArchive::RestoreFromArchive(const std::string& path) {
    std::string detail;
    if (!RunArchiver(0, ExtractCommand(ArchivePath(), platform::FileNameOfPath(path)), &detail)) {
        messages_.ShowMessageBox(std::string(kExtractError) + "\n" + detail);
    }
}

}  // namespace norv
