// What the service and the watch share: the thread that takes their signals, the period of
// line 11, and what they tell systemd and the terminal.
#pragma once

#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iosfwd>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "app/application.h"

namespace norv::cli {

using Clock = std::chrono::steady_clock;

// The signals the service acts on, taken by one thread with sigtimedwait so that nothing runs in
// a signal handler. They are blocked in every thread, the scan's workers included, and stay
// blocked when the watcher ends: a SIGTERM that arrives while the service winds down (systemd and
// impatient administrators send more than one) must not turn a clean end into death by signal.
class SignalWatcher {
  public:
    SignalWatcher();
    ~SignalWatcher();

    const std::atomic<bool>& stop_flag() const { return stop_; }
    bool stop_requested() const { return stop_; }
    // True once after each SIGHUP.
    bool TakeReload() { return reload_.exchange(false); }
    // Waits until `deadline`, a signal, or (with no deadline) a signal alone.
    void WaitUntil(const Clock::time_point* deadline);

  private:
    void Watch();

    sigset_t signals_{};
    std::atomic<bool> stop_{false}, reload_{false}, ending_{false};
    std::mutex mutex_;
    std::condition_variable wakeup_;
    std::thread thread_;
};

// The period of line 11 in minutes, or a reason why there is none.
struct Period {
    bool on = false;
    Clock::duration length{};
    std::string why_off;
};

// With `always`, line 10 is not asked: the real-time watch's full checks, which catch what the
// kernel's events cannot show (writes through a hard link from an unwatched folder, through a
// shared mapping, or from another machine on a network file system), run whatever it says.
Period PeriodOf(const Settings& settings, bool always = false);

// Tells systemd `state` ("READY=1", "STATUS=...").
void NotifySystemd(const std::string& state);

// Under systemd with standard error in the journal (JOURNAL_STREAM names it): each event goes to
// the journal too, at its severity as PRIORITY (so `journalctl -p warning` shows the changes
// and failures), its line as NORV_EVENT. Elsewhere nothing changes.
void SendEventsToJournal(Application& app);

// A status line on `out` and as systemd's STATUS.
void Announce(std::ostream& out, const std::string& status);

std::string CountsText(const ScanCounters& c);

// The "service" events (response/event_log.h) of the service and the watch: started, with the
// period's seconds (none while off), and stopped. Each is written under the program folder's
// lock, so its number is the folder's next. A "started" the lock refuses (another norv process
// holds the folder) waits and goes out at the next Flush, so the start is never held up; a
// "stopped" waits for the lock up to kStoppedWait, within the stop's grace. An event that cannot
// be written costs a line on `err`, never the service.
class ServiceStateEvents {
  public:
    static constexpr std::chrono::milliseconds kStoppedWait{2000};

    ServiceStateEvents(Application& app, std::ostream& err) : app_(app), err_(err) {}
    void Started(const Period& period);
    // Writes a "started" that waits; nothing to do (no lock taken) when none does.
    void Flush();
    void Stopped(const Period& period);

  private:
    Status Send(std::string_view state, const Period& period, std::chrono::milliseconds wait);

    Application& app_;
    std::ostream& err_;
    std::optional<Period> waiting_;
};

// A SIGHUP's reload, as the service and the watch take it: systemd is told, the settings and
// rules are read again (a failure is said on `err`, and the run goes on with the old ones), and
// a period changed by it is a new "started" event. Whether the reload succeeded.
bool ReloadOnSignal(Application& app, Period& period, bool always, ServiceStateEvents& events,
                    std::ostream& err);

}  // namespace norv::cli
