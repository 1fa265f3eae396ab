// `norv-cli watch`, and `norv-cli service --watch` with `periodic`.
//
// Real-time protection: one check, then every rule's folders are watched and each changed file
// is checked (and, with automatic restore on, put back) as soon as its writes settle. SIGHUP
// reloads the settings and rules and checks everything again; SIGTERM or SIGINT ends the watch
// cleanly. A full check runs every line-11 minutes as well, for the changes the kernel's events
// cannot show; with `periodic` (the service's --watch) only while line 10 is 1, as the
// service's timed checks do. Its start and end are "service" events with that period.
#include <ostream>
#include <string>

#include "app/cli/cli.h"
#include "app/cli/commands/commands.h"
#include "app/cli/commands/service_loop.h"
#include "config/settings.h"
#include "engine/change_watcher.h"
#include "platform/lha/lha_archive.h"
#include "response/event_log.h"

namespace norv::cli {

int RunWatch(Application& app, std::ostream& out, std::ostream& err, bool periodic) {
    SignalWatcher signals;
    SendEventsToJournal(app);
    ScanEngine& engine = app.engine();
    engine.SetStopFlag(&signals.stop_flag());
    WatchOptions options;
    const ProgramLayout& folders = app.context().folders;
    options.own_folders = {folders.state, folders.logs, folders.runtime};
    options.try_fanotify = app.process().fanotify;
    options.own_file_prefixes = {kLogFileName,
                                 kDatabaseFileName,
                                 kLockFileName,
                                 kEventsFileName,
                                 kEventSequenceFileName,
                                 kHoldFileName,
                                 platform::lha::kRestoreJournalName};
    ChangeWatcher watcher(engine, app.rules(), app.settings(), app.front_end().notices,
                          std::move(options));
    NotifySystemd("READY=1");
    Period period = PeriodOf(app.settings(), !periodic);
    ServiceStateEvents state_events(app, err);
    state_events.Started(period);
    Status started = watcher.Start();
    Clock::time_point last_check = app.context().env->SteadyNow();
    if (!started.ok() && !started.Is(ErrorKind::kStopped)) {
        err << "norv: リアルタイム監視を始められません: " << Shown(started) << "\n";
        NotifySystemd("STOPPING=1");
        state_events.Stopped(period);
        engine.SetStopFlag(nullptr);
        return kExitFailure;
    }
    if (started.ok()) {
        Announce(out, "リアルタイム監視を開始しました (フォルダ " +
                          std::to_string(watcher.statistics().folders) + ", " +
                          watcher.statistics().events_source + ")  " + CountsText(app.counters()));
    }
    while (started.ok() && !signals.stop_requested()) {
        if (signals.TakeReload()) {
            const bool loaded = ReloadOnSignal(app, period, !periodic, state_events, err);
            watcher.RulesChanged();
            NotifySystemd("READY=1");
            Announce(out, loaded ? "設定を読み直しました。全体を検査します"
                                 : "設定を読み直せません。前の設定で続けます");
        }
        if (period.on && app.context().env->SteadyNow() >= last_check + period.length) {
            watcher.RequestFullCheck();
            last_check = app.context().env->SteadyNow();
        }
        const int64_t full_checks = watcher.statistics().full_checks;
        state_events.Flush();
        Status step = watcher.Step(std::chrono::milliseconds(200));
        if (step.Is(ErrorKind::kStopped)) break;
        if (watcher.statistics().full_checks != full_checks) {
            last_check = app.context().env->SteadyNow();
            Announce(out, "全体を検査しました  " + CountsText(app.counters()));
        }
    }
    watcher.Finish();
    NotifySystemd("STOPPING=1");
    state_events.Stopped(period);
    out << "リアルタイム監視を終了しました" << std::endl;
    engine.SetStopFlag(nullptr);
    return kExitUnchanged;
}

}  // namespace norv::cli
