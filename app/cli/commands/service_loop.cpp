#include "app/cli/commands/service_loop.h"

#include <pthread.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <ostream>

#include "app/application.h"
#include "app/cli/signals.h"
#include "app/cli/terminal.h"
#include "config/settings.h"
#include "platform/fs/folder_lock.h"
#include "response/event_log.h"

namespace norv::cli {
namespace {

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

}  // namespace

SignalWatcher::SignalWatcher() : signals_(ServiceSignals()) {
    ::pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    thread_ = std::thread([this] { Watch(); });
}

SignalWatcher::~SignalWatcher() {
    ending_ = true;
    thread_.join();
    // Take what came in the meantime, so nothing stays pending for a later waiter.
    const timespec now{0, 0};
    while (::sigtimedwait(&signals_, nullptr, &now) > 0) {
    }
}

void SignalWatcher::WaitUntil(const Clock::time_point* deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto signalled = [this] { return stop_ || reload_; };
    if (deadline) {
        wakeup_.wait_until(lock, *deadline, signalled);
    } else {
        wakeup_.wait(lock, signalled);
    }
}

void SignalWatcher::Watch() {
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

Period PeriodOf(const Settings& settings, bool always) {
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

Status ServiceStateEvents::Send(std::string_view state, const Period& period,
                                std::chrono::milliseconds wait) {
    std::optional<double> seconds;
    if (period.on) seconds = std::chrono::duration<double>(period.length).count();
    auto write = [&] {
        app_.events().ServiceState(state, seconds);
        return Status();
    };
    return wait.count() > 0 ? app_.engine().RunExclusiveWaiting(wait, write)
                            : app_.engine().RunExclusive(write);
}

void ServiceStateEvents::Started(const Period& period) {
    waiting_ = period;
    Flush();
}

void ServiceStateEvents::Flush() {
    if (!waiting_) return;
    const Status sent = Send(kServiceStarted, *waiting_, std::chrono::milliseconds(0));
    if (sent.Is(ErrorKind::kBusy)) return;  // another norv holds the folder: next time
    if (!sent.ok()) err_ << "norv: サービスの開始を記録できません: " << Shown(sent) << "\n";
    waiting_.reset();
}

void ServiceStateEvents::Stopped(const Period& period) {
    Flush();
    waiting_.reset();
    const Status sent = Send(kServiceStopped, period, kStoppedWait);
    if (!sent.ok()) err_ << "norv: サービスの終了を記録できません: " << Shown(sent) << "\n";
}

void NotifySystemd(const std::string& state) { ::sd_notify(0, state.c_str()); }

namespace {

// Whether standard error is the journal's stream systemd connected (JOURNAL_STREAM is
// "device:inode" of it; a child that inherited the variable with another stderr is not).
bool StderrIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    if (!stream || std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
    struct stat st {};
    return ::fstat(STDERR_FILENO, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

}  // namespace

void SendEventsToJournal(Application& app) {
    if (!StderrIsJournal()) return;
    app.events().SetTap(
        [](EventSeverity severity, const std::string& summary, const std::string& line) {
            const std::string event = line.substr(0, line.find_last_not_of('\n') + 1);
            ::sd_journal_send("MESSAGE=%s", summary.c_str(), "PRIORITY=%d",
                              static_cast<int>(severity), "NORV_EVENT=%s", event.c_str(), nullptr);
        });
}

// Escaped for systemd too: a line break in a STATUS= value would start another assignment.
void Announce(std::ostream& out, const std::string& status) {
    out << Shown(status) << std::endl;
    NotifySystemd("STATUS=" + Shown(status));
}

std::string CountsText(const ScanCounters& c) {
    return "検査数 " + std::to_string(c.checked) + "  変更 " + std::to_string(c.altered) +
           "  新規作成 " + std::to_string(c.created) + "  削除 " + std::to_string(c.deleted) +
           (c.unchecked > 0 ? "  未検査 " + std::to_string(c.unchecked) : "");
}

bool ReloadOnSignal(Application& app, Period& period, bool always, ServiceStateEvents& events,
                    std::ostream& err) {
    NotifySystemd("RELOADING=1");
    const Status loaded = app.ReloadSettingsAndRules();
    if (!loaded.ok()) err << "norv: 設定を読み直せません: " << Shown(loaded) << "\n";
    const Period was = period;
    period = PeriodOf(app.settings(), always);
    if (period.on != was.on || period.length != was.length) events.Started(period);
    return loaded.ok();
}

}  // namespace norv::cli
