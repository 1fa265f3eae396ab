// The command-line tool: runs one command of the program on its program folder and exits.
//
//   norv-cli [--dir FOLDER] [--charset NAME] [--locale NAME] COMMAND
//   COMMAND: init | check | update | archive | show
//
// Exit status: 0 when nothing changed, 1 when the run found changes, 2 on failure.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace norv::cli {

inline constexpr int kExitUnchanged = 0;
inline constexpr int kExitChanged = 1;
inline constexpr int kExitFailure = 2;

// Runs the tool with `args` (without the program name), writing to `out` and `err`.
// `progress` enables the live progress line on `err`.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err, bool progress);

}  // namespace norv::cli
