// ProtectedArchive: the known-good copy of every watched tree, "arcive.lzh" in the save folder.
//
// CreateArchive starts a new archive and adds every rule's path to it, one archiver command per
// rule; RestoreFromArchive puts one changed file back. Both speak to the archiver only through
// its two command lines. Failures are shown with the archiver's own messages, followed by the
// cause on a second line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "config/rule_table.h"
#include "config/settings.h"
#include "platform/user_interface.h"

namespace norv {

inline constexpr const char* kArchiveFileName = "arcive.lzh";
inline constexpr const char* kCompressError = "LHA 圧縮エラー";
inline constexpr const char* kExtractError = "LHA 上書きディリクトリ付解凍エラー";

// a -x1 -r2 "ARCHIVE" "RULE"/*.*
std::string ArchiveCommand(const std::string& archive, const std::string& rule_path);
// x -c "ARCHIVE" "NAME"
std::string ExtractCommand(const std::string& archive, const std::string& file_name);

// Runs one archiver command line; true when the archiver reports success. `detail` receives the
// archiver's reason on failure.
bool RunArchiver(int32_t owner_window, const std::string& command, std::string* detail = nullptr,
                 const std::function<void(const std::string&)>& progress = {});

class ProtectedArchive {
  public:
    ProtectedArchive(const Settings& settings, const RuleTable& rules, MessageBoxSink& messages);

    // save_dir + "/arcive.lzh"
    std::string ArchivePath() const;
    // Archives every rule into a new archive that replaces the old one when all rules went in;
    // when any fails (one message per rule), the old archive stays as it was. Returns the
    // number of failures. `progress` hears each path as it is added.
    int CreateArchive(const std::function<void(const std::string&)>& progress = {});
    // Extracts the entries named like the changed file; a message when that fails.
    void RestoreFromArchive(const std::string& path);

  private:
    const Settings& settings_;
    const RuleTable& rules_;
    MessageBoxSink& messages_;
};

}  // namespace norv
