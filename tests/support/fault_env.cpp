#include "tests/support/fault_env.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace norv::testing {

void FaultEnv::Fail(Call call, int error, int nth, std::string pattern) {
    std::lock_guard lock(mutex_);
    rules_.push_back({call, std::move(pattern), error, nth, 0, -1, 0});
}

void FaultEnv::Limit(Call call, size_t bytes, std::string pattern) {
    std::lock_guard lock(mutex_);
    rules_.push_back({call, std::move(pattern), 0, 0, std::max<size_t>(bytes, 1), -1, 0});
}

void FaultEnv::FlipWrittenByte(std::string pattern, off_t offset) {
    std::lock_guard lock(mutex_);
    rules_.push_back({Call::kWrite, std::move(pattern), 0, 0, 0, offset, 0});
}

int FaultEnv::MatchedCalls(Call call) const {
    std::lock_guard lock(mutex_);
    return matched_[static_cast<int>(call)];
}

bool FaultEnv::Watches(Call call) const {
    std::lock_guard lock(mutex_);
    return std::any_of(rules_.begin(), rules_.end(),
                       [call](const Rule& r) { return r.call == call; });
}

CallEnv::Verdict FaultEnv::Intercept(Call call, const std::vector<std::string>& paths,
                                     size_t* size) {
    return Decide(call, paths, size, nullptr);
}

CallEnv::Verdict FaultEnv::Decide(Call call, const std::vector<std::string>& paths, size_t* size,
                                  off_t* flip_at) {
    std::lock_guard lock(mutex_);
    bool matched_any = false;
    Verdict verdict;
    for (Rule& rule : rules_) {
        if (rule.call != call || !PatternMatches(rule.pattern, paths)) continue;
        matched_any = true;
        if (rule.flip_at >= 0) {
            if (flip_at) *flip_at = rule.flip_at;
        } else if (rule.limit > 0) {
            if (size) *size = std::min(*size, rule.limit);
        } else {
            ++rule.seen;
            if (!verdict.fail && (rule.nth == 0 || rule.seen == rule.nth)) {
                verdict.fail = true;
                verdict.error = rule.error;
            }
        }
    }
    if (matched_any) ++matched_[static_cast<int>(call)];
    return verdict;
}

ssize_t FaultEnv::Write(int fd, const void* data, size_t size) {
    // Writes are decided here, where a flipped byte can be put in the data.
    if (!Watches(Call::kWrite)) return target()->Write(fd, data, size);
    off_t flip_at = -1;
    const Verdict verdict = Decide(Call::kWrite, {PathOfFd(fd)}, &size, &flip_at);
    if (verdict.fail) {
        if (verdict.error == 0) return 0;
        errno = verdict.error;
        return -1;
    }
    const off_t at = flip_at >= 0 ? ::lseek(fd, 0, SEEK_CUR) : -1;
    if (at >= 0 && flip_at >= at && flip_at < at + static_cast<off_t>(size)) {
        std::string changed(static_cast<const char*>(data), size);
        changed[static_cast<size_t>(flip_at - at)] ^= 0x01;
        return target()->Write(fd, changed.data(), changed.size());
    }
    return target()->Write(fd, data, size);
}

}  // namespace norv::testing
