// The archiver behind RunArchiver: it takes the two command lines of the original archiver
// library and carries them out on LHA archives.
//
//   a -x1 -r2 "ARCHIVE" "FOLDER"/*.*   add every file below FOLDER (or FOLDER itself, a file)
//   x -c "ARCHIVE" "NAME"              extract every entry named NAME back to its place
//
// "*.*" means every file, names without a dot included. Any other line is refused.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace norv::platform::lha {

struct ArchiverCommand {
    enum class Verb { kAdd, kExtract } verb;
    std::string archive;
    std::string operand;  // the folder to add, or the file name to extract
};

Result<ArchiverCommand> ParseArchiverCommand(std::string_view line);

// Runs one command line. Returns 0 on success; otherwise non-zero, with the reason in `output`.
// `progress`, when given, hears each path as it is added.
int Unlha(std::string_view line, std::string& output,
          const std::function<void(const std::string&)>& progress = {});

}  // namespace norv::platform::lha
