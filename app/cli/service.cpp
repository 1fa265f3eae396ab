#include "app/cli/service.h"

#include <pthread.h>
#include <signal.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

#include "app/cli/cli.h"
#include "app/cli/terminal.h"
#include "config/settings.h"
#include "engine/change_watcher.h"
#include "platform/fs/folder_lock.h"
#include "response/event_log.h"

namespace norv::cli {
namespace {

using Clock = std::chrono::steady_clock;

// How long a stop may take before the process ends without finishing. A run stops between
// files, but a read the kernel never ends (a FUSE file whose server never answers cannot be
// interrupted, not even by SIGKILL) would keep the service, and the program folder, for ever.
// Shorter than the unit's TimeoutStopSec (10 s): systemd's SIGKILL would leave the lock held.
constexpr std::chrono::seconds kStopGrace{5};

// Once the grace has passed: one line on stderr, the program folder let go, and the end. Ending
// here is as safe as a kill: the store is transactional, a restore's temporary file is removed
// by the next run (its journal), and the log is written again by the next check. A thread
// blocked in the kernel keeps the process's files until its call returns, which is why the lock
// is let go by hand. Nothing but system calls: a blocked thread may hold any mutex.
void StartStopGrace() {
    const std::string line = "norv: 停止の指示から " + std::to_string(kStopGrace.count()) +
                             " 秒たっても終わらないため、処理中のファイルを終えずに終了します\n";
    // Detached: the run may block after the watcher is gone too (in joining a worker).
    std::thread([line] {
        std::this_thread::sleep_for(kStopGrace);
        // The folder first: whoever reads the line may start the next run at once.
        platform::FolderLock::ReleaseHeldNow();
        (void)!::write(STDERR_FILENO, line.data(), line.size());
        ::_exit(0);
    }).detach();
}

sigset_t ServiceSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, s);
    return signals;
}

// The signals the service acts on, taken by one thread with sigtimedwait so that nothing runs in
// a signal handler. They are blocked in every thread, the scan's workers included, and stay
// blocked when the watcher ends: a SIGTERM that arrives while the service winds down (systemd and
// impatient administrators send more than one) must not turn a clean end into death by signal.
class SignalWatcher {
  public:
    SignalWatcher() : signals_(ServiceSignals()) {
        ::pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
        thread_ = std::thread([this] { Watch(); });
    }
    ~SignalWatcher() {
        ending_ = true;
        thread_.join();
        // Take what came in the meantime, so nothing stays pending for a later waiter.
        const timespec now{0, 0};
        while (::sigtimedwait(&signals_, nullptr, &now) > 0) {
        }
    }

    const std::atomic<bool>& stop_flag() const { return stop_; }
    bool stop_requested() const { return stop_; }
    // True once after each SIGHUP.
    bool TakeReload() { return reload_.exchange(false); }
    // Waits until `deadline`, a signal, or (with no deadline) a signal alone.
    void WaitUntil(const Clock::time_point* deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto signalled = [this] { return stop_ || reload_; };
        if (deadline) {
            wakeup_.wait_until(lock, *deadline, signalled);
        } else {
            wakeup_.wait(lock, signalled);
        }
    }

  private:
    void Watch() {
        const timespec tick{0, 100 * 1000 * 1000};
        while (!ending_) {
            const int s = ::sigtimedwait(&signals_, nullptr, &tick);
            if (s < 0) continue;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (s == SIGHUP) {
                    reload_ = true;
                } else {
                    if (!stop_) StartStopGrace();
                    stop_ = true;
                }
            }
            wakeup_.notify_all();
        }
    }

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
Period PeriodOf(const Settings& settings, bool always = false) {
    Period period;
    if (!always && !settings.auto_check_on) {
        period.why_off = "自動検査は行いません (設定 10 行目が 1 ではありません)";
        return period;
    }
    const Result<double>& minutes = settings.scan_period_minutes;
    if (!minutes.ok()) {
        period.why_off = "自動検査は行いません: " + minutes.status().message();
        return period;
    }
    period.on = true;
    period.length = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::ratio<60>>(minutes.value()));
    return period;
}

void Notify(const std::string& state) { ::sd_notify(0, state.c_str()); }

std::string CountsText(const ScanCounters& c) {
    return "検査数 " + std::to_string(c.checked) + "  変更 " + std::to_string(c.altered) +
           "  新規作成 " + std::to_string(c.created) + "  削除 " + std::to_string(c.deleted) +
           (c.unchecked > 0 ? "  未検査 " + std::to_string(c.unchecked) : "");
}

}  // namespace

void BlockServiceSignals() {
    const sigset_t signals = ServiceSignals();
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

namespace {
const int kWake = SIGRTMIN;
}  // namespace

struct LockLetGoOnStop::State {
    sigset_t signals{};
    sigset_t before{};
    std::atomic<bool> ending{false};
    std::thread thread;
};

LockLetGoOnStop::LockLetGoOnStop() : state_(std::make_unique<State>()) {
    sigemptyset(&state_->signals);
    for (int s : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction now {};
        if (::sigaction(s, nullptr, &now) == 0 && now.sa_handler == SIG_DFL) {
            sigaddset(&state_->signals, s);
        }
    }
    // A signal of its own wakes the thread at once when the lock's holder ends, rather than at
    // its next tick: every command would otherwise end up to a tick late.
    sigset_t taken = state_->signals;
    sigaddset(&taken, kWake);
    ::pthread_sigmask(SIG_BLOCK, &taken, &state_->before);
    state_->thread = std::thread([state = state_.get(), taken] {
        const timespec tick{0, 100 * 1000 * 1000};
        while (!state->ending) {
            const int s = ::sigtimedwait(&taken, nullptr, &tick);
            if (s < 0 || s == kWake) continue;
            platform::FolderLock::ReleaseHeldNow();
            // The signal's own end: unblocked here, it ends the process as it would have.
            sigset_t one;
            sigemptyset(&one);
            sigaddset(&one, s);
            ::pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
            ::raise(s);
        }
    });
}

LockLetGoOnStop::~LockLetGoOnStop() {
    state_->ending = true;
    ::pthread_kill(state_->thread.native_handle(), kWake);
    state_->thread.join();
    ::pthread_sigmask(SIG_SETMASK, &state_->before, nullptr);
}

int RunWatch(Application& app, std::ostream& out, std::ostream& err, bool periodic) {
    SignalWatcher signals;
    ScanEngine& engine = app.engine();
    engine.SetStopFlag(&signals.stop_flag());
    WatchOptions options;
    options.program_dir = app.context().program_dir;
    options.own_file_prefixes = {kLogFileName, kDatabaseFileName, kLockFileName, kEventsFileName,
                                 kHoldFileName};
    ChangeWatcher watcher(engine, app.rules(), app.settings(), app.front_end().notices,
                          std::move(options));
    // Escaped for systemd too: a line break in a STATUS= value would start another assignment.
    auto announce = [&](const std::string& status) {
        out << Shown(status) << std::endl;
        Notify("STATUS=" + Shown(status));
    };
    Notify("READY=1");
    Period period = PeriodOf(app.settings(), !periodic);
    Status started = watcher.Start();
    Clock::time_point last_check = Clock::now();
    if (!started.ok() && !started.Is(ErrorKind::kStopped)) {
        err << "norv: リアルタイム監視を始められません: " << Shown(started.ToString()) << "\n";
        Notify("STOPPING=1");
        engine.SetStopFlag(nullptr);
        return kExitFailure;
    }
    if (started.ok()) {
        announce("リアルタイム監視を開始しました (フォルダ " +
                 std::to_string(watcher.statistics().folders) + ")  " + CountsText(app.counters()));
    }
    while (started.ok() && !signals.stop_requested()) {
        if (signals.TakeReload()) {
            Notify("RELOADING=1");
            Status loaded = app.ReloadSettingsAndRules();
            if (!loaded.ok()) {
                err << "norv: 設定を読み直せません: " << Shown(loaded.ToString()) << "\n";
            }
            period = PeriodOf(app.settings(), !periodic);
            watcher.RulesChanged();
            Notify("READY=1");
            announce(loaded.ok() ? "設定を読み直しました。全体を検査します"
                                 : "設定を読み直せません。前の設定で続けます");
        }
        if (period.on && Clock::now() >= last_check + period.length) {
            watcher.RequestFullCheck("");
            last_check = Clock::now();
        }
        const int64_t full_checks = watcher.statistics().full_checks;
        Status step = watcher.Step(std::chrono::milliseconds(200));
        if (step.Is(ErrorKind::kStopped)) break;
        if (watcher.statistics().full_checks != full_checks) {
            last_check = Clock::now();
            announce("全体を検査しました  " + CountsText(app.counters()));
        }
    }
    watcher.Finish();
    Notify("STOPPING=1");
    out << "リアルタイム監視を終了しました" << std::endl;
    engine.SetStopFlag(nullptr);
    return kExitUnchanged;
}

int RunService(Application& app, std::ostream& out, std::ostream& err) {
    SignalWatcher signals;
    ScanEngine& engine = app.engine();
    engine.SetStopFlag(&signals.stop_flag());
    Period period = PeriodOf(app.settings());
    Clock::time_point last_check = Clock::now();
    // Escaped for systemd too: a line break in a STATUS= value would start another assignment.
    auto announce = [&](const std::string& status) {
        out << Shown(status) << std::endl;
        Notify("STATUS=" + Shown(status));
    };
    Notify("READY=1");
    announce(period.on ? "自動検査を開始しました (周期 " + app.settings().scan_period + " 分)"
                       : period.why_off);

    while (!signals.stop_requested()) {
        const Clock::time_point due = last_check + period.length;
        signals.WaitUntil(period.on ? &due : nullptr);
        if (signals.stop_requested()) break;
        if (signals.TakeReload()) {
            Notify("RELOADING=1");
            Status loaded = app.ReloadSettingsAndRules();
            if (!loaded.ok()) {
                err << "norv: 設定を読み直せません: " << Shown(loaded.ToString()) << "\n";
            }
            period = PeriodOf(app.settings());
            Notify("READY=1");
            announce(loaded.ok() ? (period.on ? "設定を読み直しました (周期 " +
                                                    app.settings().scan_period + " 分)"
                                              : period.why_off)
                                 : "設定を読み直せません。前の設定で続けます");
            continue;  // the new period counts from the last check
        }
        if (!period.on || Clock::now() < due) continue;

        Status status = engine.Check();
        last_check = Clock::now();
        if (status.Is(ErrorKind::kStopped)) break;
        if (status.Is(ErrorKind::kBusy)) {
            announce("ほかの norv がプログラムフォルダを使っています。次の周期に検査します: " +
                     status.message());
        } else if (!status.ok()) {
            err << "norv: " << Shown(status.ToString()) << "\n";
            announce("検査できませんでした: " + status.message());
        } else {
            announce(CountsText(app.counters()));
        }
    }
    Notify("STOPPING=1");
    out << "自動検査を終了しました" << std::endl;
    engine.SetStopFlag(nullptr);
    return kExitUnchanged;
}

}  // namespace norv::cli
