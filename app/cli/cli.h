// The command-line tool: runs one command of the program on its program folder and exits.
//
//   norv-cli [--dir FOLDER] [--charset NAME] [--locale NAME] [--json] ... COMMAND
//
// Exit status: 0 when nothing changed, 1 when the run found changes, 2 on failure, 3 when a part
// could not be seen and nothing seen changed, 4 when a part could not be seen and changes were
// found, 64 for a mistake in the command line.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace norv::cli {

inline constexpr int kExitUnchanged = 0;
inline constexpr int kExitChanged = 1;
inline constexpr int kExitFailure = 2;
inline constexpr int kExitNotAllSeen = 3;
inline constexpr int kExitChangedNotAllSeen = 4;
inline constexpr int kExitUsage = 64;  // EX_USAGE

// Runs the tool with `args` (without the program name), writing to `out` and `err`.
// `progress` enables the live progress line on `err`.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool progress);

}  // namespace norv::cli
