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
// next period, and says so. Its start, its end and a period a reload changed are "service"
// events.
#include <ostream>
#include <string>

#include "app/cli/cli.h"
#include "app/cli/commands/commands.h"
#include "app/cli/commands/service_loop.h"
#include "config/settings.h"
#include "response/event_log.h"

namespace norv::cli {

int RunService(Application& app, std::ostream& out, std::ostream& err) {
    SignalWatcher signals;
    SendEventsToJournal(app);
    ScanEngine& engine = app.engine();
    engine.SetStopFlag(&signals.stop_flag());
    Period period = PeriodOf(app.settings());
    ServiceStateEvents state_events(app, err);
    Clock::time_point last_check = app.context().env->SteadyNow();
    NotifySystemd("READY=1");
    state_events.Started(period);
    Announce(out, period.on ? "自動検査を開始しました (周期 " + app.settings().scan_period + " 分)"
                            : period.why_off);

    while (!signals.stop_requested()) {
        const Clock::time_point due = last_check + period.length;
        signals.WaitUntil(period.on ? &due : nullptr);
        if (signals.stop_requested()) break;
        if (signals.TakeReload()) {
            const bool loaded = ReloadOnSignal(app, period, false, state_events, err);
            NotifySystemd("READY=1");
            Announce(out, loaded ? (period.on ? "設定を読み直しました (周期 " +
                                                    app.settings().scan_period + " 分)"
                                              : period.why_off)
                                 : "設定を読み直せません。前の設定で続けます");
            continue;  // the new period counts from the last check
        }
        if (!period.on || app.context().env->SteadyNow() < due) continue;

        state_events.Flush();
        Status status = engine.Check();
        last_check = app.context().env->SteadyNow();
        if (status.Is(ErrorKind::kStopped)) break;
        if (status.Is(ErrorKind::kBusy)) {
            Announce(out, "ほかの norv がプログラムフォルダを使っています。次の周期に検査します: " +
                              status.message());
        } else if (!status.ok()) {
            err << "norv: " << Shown(status) << "\n";
            Announce(out, "検査できませんでした: " + status.message());
        } else {
            Announce(out, CountsText(app.counters()));
        }
    }
    NotifySystemd("STOPPING=1");
    state_events.Stopped(period);
    out << "自動検査を終了しました" << std::endl;
    engine.SetStopFlag(nullptr);
    return kExitUnchanged;
}

}  // namespace norv::cli
