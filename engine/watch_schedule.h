// WatchSchedule: when the real-time watch checks a changed file and when it ends a burst. Pure
// timing rules over time points the caller gives, so they are tested without sleeping.
//
// - A file is checked once its writes have been quiet for `settle`, or, written without pause,
//   `longest_wait` after its first change. Each time in a row it is checked before it was ever
//   quiet, that wait doubles, up to a minute: a growing log is not hashed whole every second.
// - A file noted "at once" (a recorded file, with automatic restore on) is due at the next step
//   after a change that is complete (written and closed, moved, removed), ahead of every other
//   file and with no back-off; written without a close, it waits as any file does.
// - Past `most_pending` waiting files the schedule gives up (the caller runs a full check).
// - A burst (changes close together) ends `burst_quiet` after its last change, or
//   `longest_burst` after it began.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace norv {

struct WatchTimings {
    using Duration = std::chrono::milliseconds;
    Duration settle{100};           // quiet time before a written file is checked
    Duration longest_wait{1000};    // a file written without pause is checked after this
    Duration burst_quiet{5000};     // a burst ends after this long without a change
    Duration longest_burst{60000};  // and in any case after this long
    size_t most_pending = 100000;   // files waiting to be checked; past it, a full check
};

class WatchSchedule {
  public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;
    using FileKey = std::pair<int, std::string>;  // the folder's watch, the file's name

    explicit WatchSchedule(const WatchTimings& timings) : timings_(timings) {}

    // A change to the file at `when`; `finished` when the change is complete (closed after
    // writing, moved, removed). False when more files than the bound now wait: the schedule is
    // emptied and the caller falls back to a full check.
    // `moved_away`: the file left by a rename; it waits for quiet again, so that its new name,
    // noted just after, is checked with it.
    bool Note(const FileKey& file, TimePoint when, bool at_once, bool finished = true,
              bool moved_away = false);
    bool Waiting(const FileKey& file) const { return pending_.count(file) != 0; }
    size_t waiting() const { return pending_.size(); }

    // The files due at `now`: those to check at once first, then the others in key order. They
    // stay waiting until Done (a check another norv made wait is tried again).
    struct Due {
        std::vector<FileKey> at_once, others;
    };
    Due TakeDue(TimePoint now);
    // Only the files to check at once that are due at `now` (the others are left untouched).
    std::vector<FileKey> TakeDueAtOnce(TimePoint now) const;
    void Done(const FileKey& file) { pending_.erase(file); }
    void Clear() { pending_.clear(); }

    // A change was found at `now`: it opens a burst, or extends the one open.
    void ChangeFound(TimePoint now);
    // Opens a burst at `now` if none is open; true when it opened one.
    bool OpenBurst(TimePoint now);
    bool burst_open() const { return burst_open_; }
    // Whether the open burst has been quiet, or has lasted, long enough to end.
    bool BurstDue(TimePoint now) const;
    void EndBurst() { burst_open_ = false; }

    // The earliest time anything above falls due (TimePoint::max() when nothing waits).
    TimePoint NextDeadline(TimePoint now) const;

  private:
    struct Pending {
        TimePoint first, last;
        Clock::duration longest{};  // checked by first + longest even if never quiet
        bool at_once = false;
        bool finished = false;  // a complete change was noted
    };
    WatchTimings timings_;
    std::map<FileKey, Pending> pending_;
    std::map<FileKey, int> unsettled_;  // checked before quiet, how many times in a row
    bool burst_open_ = false;
    TimePoint burst_started_{}, burst_last_{};
};

}  // namespace norv
