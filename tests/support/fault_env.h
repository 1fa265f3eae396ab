// FaultEnv: an Env for tests that passes calls on and fails the ones it is told to (the Nth call
// of a kind, or every one, on the paths a pattern names; see call_env.h), shortens reads and
// writes, or flips one byte written to a file. Safe to call from several threads.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/call_env.h"

namespace norv::testing {

class FaultEnv : public CallEnv {
  public:
    explicit FaultEnv(platform::Env* target = platform::Env::Default()) : CallEnv(target) {}

    // The `nth` matching call of `call` (counted from 1; 0: every one) fails with errno `error`.
    // With `error` 0 a read or write returns 0 instead: an end of file that comes early, or a
    // disk that takes nothing more.
    void Fail(Call call, int error, int nth = 1, std::string pattern = {});
    // Each read (kRead, kPRead) or write on a matching file moves at most `bytes`.
    void Limit(Call call, size_t bytes, std::string pattern = {});
    // The byte at `offset` of a matching file is flipped in the data written to it.
    void FlipWrittenByte(std::string pattern, off_t offset);
    // The calls of `call` so far that matched a rule set for it.
    int MatchedCalls(Call call) const;

    ssize_t Write(int fd, const void* data, size_t size) override;

  protected:
    bool Watches(Call call) const override;
    Verdict Intercept(Call call, const std::vector<std::string>& paths, size_t* size) override;

  private:
    struct Rule {
        Call call;
        std::string pattern;
        int error = 0;       // for failures
        int nth = 0;         // for failures
        size_t limit = 0;    // for limits; 0 when the rule is a failure
        off_t flip_at = -1;  // for flips
        int seen = 0;
    };
    // Intercept's decision, and for a flip its offset in *flip_at.
    Verdict Decide(Call call, const std::vector<std::string>& paths, size_t* size, off_t* flip_at);

    mutable std::mutex mutex_;
    std::vector<Rule> rules_;
    int matched_[static_cast<int>(Call::kCount)] = {};
};

}  // namespace norv::testing
