// ScanMode and ScanCounters: the two small pieces of state that tie a scan run together.
//
// One instance of each for the process, owned by the application and passed by reference. The
// commands set the mode, the run resets the counters and the per-file steps raise them; both
// keep their values after a run until the next one.
#pragma once

#include <cstdint>
#include <string_view>

namespace norv {

enum class ScanMode { kNone, kCheck, kInit, kUpdateDb };

// The mode's word: "", "check", "init", "updatedb".
constexpr std::string_view ScanModeWord(ScanMode mode) {
    switch (mode) {
        case ScanMode::kCheck:
            return "check";
        case ScanMode::kInit:
            return "init";
        case ScanMode::kUpdateDb:
            return "updatedb";
        case ScanMode::kNone:
            break;
    }
    return "";
}

struct ScanCounters {
    int32_t checked = 0;
    int32_t created = 0;
    int32_t altered = 0;
    int32_t deleted = 0;
    // Recorded files the run left unchecked, being under a place it could not see; not changes.
    int32_t unchecked = 0;

    void Reset() { *this = ScanCounters(); }
    // Changes of the run; above 0 means the run found something.
    int64_t changes() const { return int64_t{created} + altered + deleted; }
};

}  // namespace norv
