// The stop and reload signals, as cli.cpp sets them up before the application starts: blocked
// for the service and the watch (a thread of theirs takes them, see commands/service_loop.h),
// or left to end a command that runs once, the program folder let go first.
#pragma once

#include <signal.h>

#include <memory>

namespace norv::cli {

// SIGTERM, SIGINT and SIGHUP.
sigset_t ServiceSignals();

// Blocks SIGTERM, SIGINT and SIGHUP in the calling thread, and so in every thread it starts
// later. Called before the application starts, so that a stop signal arriving during start-up
// waits for the service to take it instead of killing the process; they stay blocked for good.
void BlockServiceSignals();

// For a command that runs once: SIGTERM, SIGINT and SIGHUP (those not ignored when it started)
// still end the process at once as by default, but the program folder is let go first, since a
// thread blocked in the kernel (a read that never returns) would keep it for as long. Made
// before the application starts, so that every thread it starts leaves these signals to one
// thread of its own; on destruction the calling thread takes them back.
class LockLetGoOnStop {
  public:
    LockLetGoOnStop();
    ~LockLetGoOnStop();
    LockLetGoOnStop(const LockLetGoOnStop&) = delete;
    LockLetGoOnStop& operator=(const LockLetGoOnStop&) = delete;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace norv::cli
