// The real-time watch's second tries: a restore that failed is tried again, later each time, a
// bounded number of times and for a bounded time, before the recorded file is left to the full
// checks.
#include <algorithm>
#include <string_view>
#include <unordered_set>

#include "engine/change_watcher.h"
#include "engine/scan_log.h"
#include "platform/base/notice_code.h"

namespace norv {

void ChangeWatcher::NoteFailedRestores(const std::vector<std::string>& failed,
                                       Clock::time_point now) {
    for (const std::string& path : failed) {
        auto [found, fresh] = restore_retries_.try_emplace(path);
        RestoreRetry& retry = found->second;
        if (fresh) {
            // Bounded as the engine bounds them: past it, the full checks find the rest.
            if (restore_retries_.size() > kMostFailedRestores) {
                restore_retries_.erase(found);
                continue;
            }
            retry.first_failure = now;
        }
        ++retry.failures;
        const auto wait =
            options_.restore_retry_first * (int64_t{1} << std::min(retry.failures - 1, 20));
        retry.next_try = now + wait;
        if (retry.failures <= options_.restore_retry_most &&
            retry.next_try - retry.first_failure <= options_.restore_retry_longest) {
            continue;
        }
        const Message text(NoticeCode::kRestoreRetriesGivenUp,
                           {DisplayPath(path), std::to_string(retry.failures)});
        notices_.Notify(
            {NoticeKind::kResponseFailure, path, Status::Error(ErrorKind::kIo, 0, text), text});
        restore_retries_.erase(found);
    }
}

Status ChangeWatcher::RetryRestores(Clock::time_point now) {
    // Automatic restore turned off meanwhile: nothing is to be put back.
    if (!engine_.Restores()) restore_retries_.clear();
    if (now < retry_at_) return Status::Ok();
    std::vector<WatchedFile> files;
    for (auto retry = restore_retries_.begin(); retry != restore_retries_.end();) {
        const std::string& path = retry->first;
        if (retry->second.next_try > now) {
            ++retry;
            continue;
        }
        auto file = OpenRecordedFile(path);
        if (!file) {
            retry = restore_retries_.erase(retry);
            continue;
        }
        // What the failed response left there is no work of norv's to leave alone now.
        engine_.ForgetResponseAt(path);
        files.push_back(std::move(*file));
        ++retry;
    }
    if (files.empty()) return Status::Ok();
    if (schedule_.OpenBurst(now)) engine_.BeginWatchBurst();
    const int64_t changes_before = engine_.counters().changes();
    Status status = engine_.CheckWatchedFiles(files);
    if (status.Is(ErrorKind::kBusy)) {
        retry_at_ = now + options_.retry;
        return Status::Ok();
    }
    statistics_.files_checked += static_cast<int64_t>(files.size());
    statistics_.restore_retries += static_cast<int64_t>(files.size());
    if (engine_.counters().changes() > changes_before) schedule_.ChangeFound(Now());
    // Those whose restore failed again wait for their next try; the rest are done.
    const std::vector<std::string> failed = engine_.TakeFailedRestores();
    const std::unordered_set<std::string_view> again(failed.begin(), failed.end());
    for (const WatchedFile& file : files) {
        if (again.count(file.path) == 0) restore_retries_.erase(file.path);
    }
    NoteFailedRestores(failed, Now());
    if (status.Is(ErrorKind::kStopped)) return status;
    if (!status.ok()) {
        notices_.Notify({NoticeKind::kCheckFailure, "", status, status.Numbered()});
        RequestFullCheck();
    }
    return Status::Ok();
}

}  // namespace norv
