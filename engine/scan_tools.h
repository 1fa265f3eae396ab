// ScanTools: what every part of a run works with, owned by the engine and lent to its parts (the
// walk, the recorder, the watch's bursts): the process's records, the store, the hooks, the log
// being written, and the optional event sink and stop flag.
#pragma once

#include <atomic>
#include <cstdint>

#include "config/notice.h"
#include "config/rule_table.h"
#include "config/run_context.h"
#include "config/settings.h"
#include "engine/engine_hooks.h"
#include "engine/file_info_store.h"
#include "engine/scan_log.h"
#include "engine/scan_state.h"
#include "platform/text/regional_time.h"

namespace norv {

// The process-wide records a run reads and writes, each owned once by the application.
struct ProcessState {
    RunContext& context;
    const Settings& settings;
    const LiveSwitches& switches;  // read at the moment of use: they may change during a run
    RuleTable& rules;
    ScanMode& mode;
    ScanCounters& counters;
};

struct EngineHooks {
    const platform::Clock& clock;
    const platform::RegionalFormat& regional;
    ScanObserver& observer;
    NoticeSink& notices;
    SettingsReloader& reloader;
    ChangeResponder& responder;
    ScanReportMailer& mailer;
};

// Whether Check mails its report: with changes when line 3 reads 1 (mail_alert_on); without,
// only when it does and the "mail even without tampering" switch (mail_always) is 1.
inline bool ShouldSendReport(int64_t changes, bool mail_alert_on, int mail_always) {
    return changes > 0 ? mail_alert_on : mail_alert_on && mail_always == 1;
}

struct ScanTools {
    ProcessState state;
    FileInfoStore& store;
    EngineHooks hooks;
    ScanLog log;
    EventSink* events = nullptr;  // null for none
    // Once set, a running scan stops before its next file (see ScanEngine::SetStopFlag).
    const std::atomic<bool>* stop_requested = nullptr;

    // The system as the run reaches it (the context's).
    platform::Env& env() const { return *state.context.env; }
    // kStopped once the stop flag is set.
    Status StopPoint() const;
    // Whether automatic restore is on now.
    bool Restores() const { return state.switches.auto_restore != 0; }
};

}  // namespace norv
