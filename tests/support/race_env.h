// RaceEnv: an Env for tests that runs a hook of the test's between two of norv's calls, where a
// race strikes: before or after the Nth call of a kind on the paths a pattern names (see
// call_env.h), or each such call. A hook acts on the system directly, as another process would;
// it is never run inside another hook. Safe to call from several threads; hooks run on the
// calling thread, one at a time.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/call_env.h"

namespace norv::testing {

class RaceEnv : public CallEnv {
  public:
    explicit RaceEnv(platform::Env* target = platform::Env::Default()) : CallEnv(target) {}

    // `hook` runs just before the `nth` matching call of `call` (counted from 1; 0: each one).
    void Before(Call call, std::string pattern, std::function<void()> hook, int nth = 1);
    // `hook` runs just after it, whatever the call returned.
    void After(Call call, std::string pattern, std::function<void()> hook, int nth = 1);
    // The hooks run so far.
    int Fired() const;

  protected:
    bool Watches(Call call) const override;
    Verdict Intercept(Call call, const std::vector<std::string>& paths, size_t* size) override;
    void Returned(Call call, const std::vector<std::string>& paths) override;

  private:
    struct Hook {
        Call call;
        std::string pattern;
        bool after = false;
        std::function<void()> run;
        int nth = 1;
        int seen = 0;
    };
    void RunHooks(Call call, const std::vector<std::string>& paths, bool after);

    mutable std::recursive_mutex mutex_;
    std::vector<Hook> hooks_;
    int fired_ = 0;
    bool in_hook_ = false;
};

}  // namespace norv::testing
