// ProgressLine: the one-line progress text both front ends show for the engine's ScanProgress
// (the desktop's message line, the command-line tool's progress and its closing line).
#pragma once

#include <string>

#include "engine/engine_hooks.h"

namespace norv {

// "File scaning ( 12 ) files " while a check measures, "スキャンされたファイル数 ( 12 )  " when
// its scan ends, and so on for each phase.
std::string ProgressLine(const ScanProgress& progress);

}  // namespace norv
