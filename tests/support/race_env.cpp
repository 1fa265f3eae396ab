#include "tests/support/race_env.h"

#include <algorithm>

namespace norv::testing {

void RaceEnv::Before(Call call, std::string pattern, std::function<void()> hook, int nth) {
    std::lock_guard lock(mutex_);
    hooks_.push_back({call, std::move(pattern), false, std::move(hook), nth, 0});
}

void RaceEnv::After(Call call, std::string pattern, std::function<void()> hook, int nth) {
    std::lock_guard lock(mutex_);
    hooks_.push_back({call, std::move(pattern), true, std::move(hook), nth, 0});
}

int RaceEnv::Fired() const {
    std::lock_guard lock(mutex_);
    return fired_;
}

bool RaceEnv::Watches(Call call) const {
    std::lock_guard lock(mutex_);
    return std::any_of(hooks_.begin(), hooks_.end(),
                       [call](const Hook& h) { return h.call == call; });
}

CallEnv::Verdict RaceEnv::Intercept(Call call, const std::vector<std::string>& paths, size_t*) {
    RunHooks(call, paths, false);
    return {};
}

void RaceEnv::Returned(Call call, const std::vector<std::string>& paths) {
    RunHooks(call, paths, true);
}

void RaceEnv::RunHooks(Call call, const std::vector<std::string>& paths, bool after) {
    // Held while a hook runs: one hook at a time, and a call the hook itself makes through this
    // Env (a helper that takes the system's Env is fine too) never sets off another.
    std::lock_guard lock(mutex_);
    if (in_hook_) return;
    for (Hook& hook : hooks_) {
        if (hook.call != call || hook.after != after || !PatternMatches(hook.pattern, paths)) {
            continue;
        }
        ++hook.seen;
        if (hook.nth != 0 && hook.seen != hook.nth) continue;
        ++fired_;
        in_hook_ = true;
        hook.run();
        in_hook_ = false;
    }
}

}  // namespace norv::testing
