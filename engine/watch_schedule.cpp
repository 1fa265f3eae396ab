#include "engine/watch_schedule.h"

#include <algorithm>

namespace norv {

bool WatchSchedule::Note(const FileKey& file, TimePoint when, bool at_once, bool finished,
                         bool moved_away) {
    auto [slot, fresh] = pending_.try_emplace(file);
    Pending& pending = slot->second;
    if (fresh) {
        pending.first = when;
        pending.at_once = at_once;
        pending.longest = timings_.longest_wait;
        if (auto unsettled = unsettled_.find(file); unsettled != unsettled_.end()) {
            pending.longest = std::min<Clock::duration>(
                timings_.longest_wait * (int64_t{1} << std::min(unsettled->second, 6)),
                std::chrono::minutes(1));
        }
    }
    pending.last = std::max(pending.last, when);
    pending.finished = moved_away ? false : pending.finished || finished;
    if (pending_.size() <= timings_.most_pending) return true;
    pending_.clear();
    return false;
}

WatchSchedule::Due WatchSchedule::TakeDue(TimePoint now) {
    Due due;
    for (const auto& [file, pending] : pending_) {
        if (!pending.at_once) continue;
        const bool settled = now - pending.last >= timings_.settle;
        const bool waited = now - pending.first >= pending.longest;
        if (pending.finished || settled || waited) due.at_once.push_back(file);
    }
    // With recorded files due, the other files whose change is complete come first and at once:
    // a rename's new name comes with the recorded file it left.
    std::vector<FileKey> rest;
    for (const auto& [file, pending] : pending_) {
        if (pending.at_once) continue;
        const bool settled = now - pending.last >= timings_.settle;
        const bool waited = now - pending.first >= pending.longest;
        if (!settled && !waited) {
            if (pending.finished && !due.at_once.empty()) due.others.push_back(file);
            continue;
        }
        rest.push_back(file);
        if (settled) {
            unsettled_.erase(file);
        } else {
            if (unsettled_.size() >= timings_.most_pending) unsettled_.clear();
            ++unsettled_[file];
        }
    }
    due.others.insert(due.others.end(), rest.begin(), rest.end());
    return due;
}

std::vector<WatchSchedule::FileKey> WatchSchedule::TakeDueAtOnce(TimePoint now) const {
    std::vector<FileKey> due;
    for (const auto& [file, pending] : pending_) {
        if (!pending.at_once) continue;
        if (pending.finished || now - pending.last >= timings_.settle ||
            now - pending.first >= pending.longest) {
            due.push_back(file);
        }
    }
    return due;
}

void WatchSchedule::ChangeFound(TimePoint now) {
    if (OpenBurst(now)) return;
    burst_last_ = std::max(burst_last_, now);
}

bool WatchSchedule::OpenBurst(TimePoint now) {
    if (burst_open_) return false;
    burst_open_ = true;
    burst_started_ = burst_last_ = now;
    return true;
}

bool WatchSchedule::BurstDue(TimePoint now) const {
    return burst_open_ && (now - burst_last_ >= timings_.burst_quiet ||
                           now - burst_started_ >= timings_.longest_burst);
}

WatchSchedule::TimePoint WatchSchedule::NextDeadline(TimePoint now) const {
    TimePoint next = TimePoint::max();
    for (const auto& [file, pending] : pending_) {
        if (pending.at_once && pending.finished) return now;
        next = std::min({next, pending.last + timings_.settle, pending.first + pending.longest});
    }
    if (burst_open_) {
        next = std::min(
            {next, burst_last_ + timings_.burst_quiet, burst_started_ + timings_.longest_burst});
    }
    return next;
}

}  // namespace norv
