// The timed checks without a desktop: `norv-cli service` on a server, under systemd or alone.
//
// While line 10 of the settings is 1, a check runs every line-11 minutes (a fraction of a
// minute is kept as it is; a period not above zero or beyond a year turns them off, with a
// message), the first one period after the start, with the same mail decision
// and change response as the desktop program. SIGHUP reloads the settings and rules, and a
// changed period counts from the last check at once. SIGTERM or SIGINT ends the service: a
// running check stops before its next file, keeps what the store did so far, closes its log, and
// the service exits 0; a stop not done within 5 s (a read the kernel never ends) ends the
// process anyway, with a line on stderr, letting the program folder go. systemd hears READY
// once the program folder has loaded, a STATUS line after each check, and STOPPING at the end.
// A check that falls due while another norv process holds the program folder waits for the
// next period, and says so.
#pragma once

#include <iosfwd>
#include <memory>

#include "app/application.h"

namespace norv::cli {

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

// Runs the service on a started application until a stop signal; returns the exit status.
int RunService(Application& app, std::ostream& out, std::ostream& err);

// Real-time protection: one check, then every rule's folders are watched and each changed file
// is checked (and, with automatic restore on, put back) as soon as its writes settle. SIGHUP
// reloads the settings and rules and checks everything again; SIGTERM or SIGINT ends the watch
// cleanly. A full check runs every line-11 minutes as well, for the changes the kernel's events
// cannot show; with `periodic` (the service's --watch) only while line 10 is 1, as the
// service's timed checks do.
int RunWatch(Application& app, std::ostream& out, std::ostream& err, bool periodic);

}  // namespace norv::cli
