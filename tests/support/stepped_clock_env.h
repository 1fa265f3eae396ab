// SteppedClockEnv: an Env for tests whose clocks stand still until the test moves them on; every
// other call goes to its target unchanged, the batch reader included (over the system's Env the
// io_uring path runs, as in production). Safe to read from several threads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "platform/base/env.h"

namespace norv::testing {

class SteppedClockEnv : public platform::EnvWrapper {
  public:
    explicit SteppedClockEnv(platform::Env* target = platform::Env::Default())
        : EnvWrapper(target), steady_start_(target->SteadyNow()), wall_start_(target->WallNow()) {}

    std::chrono::steady_clock::time_point SteadyNow() override {
        return steady_start_ + std::chrono::nanoseconds(passed_.load());
    }
    std::chrono::system_clock::time_point WallNow() override {
        return wall_start_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                 std::chrono::nanoseconds(passed_.load()));
    }

    // A wait passes at once: the clocks move on by it.
    void SleepFor(std::chrono::nanoseconds span) override { Step(span); }

    // Moves both clocks on by `by`.
    void Step(std::chrono::nanoseconds by) { passed_ += by.count(); }

  private:
    const std::chrono::steady_clock::time_point steady_start_;
    const std::chrono::system_clock::time_point wall_start_;
    std::atomic<int64_t> passed_{0};
};

}  // namespace norv::testing
