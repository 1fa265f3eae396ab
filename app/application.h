// Application: everything the process owns, built in the start-up order and shared by the
// desktop program and the command-line tool.
//
// Start() fixes the RunContext, puts the default folders into the settings record, resets the
// counters, opens the database, and loads the settings and the rules. A failure of any step is
// returned with its cause (which file, which line) and nothing has been written by then. Every
// record here is owned once: the core is lent references; the front ends reach the records through
// the accessors, and load, save and edit the settings and the rules through the operations below.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/auto_check_timers.h"
#include "app/process_options.h"
#include "app/records_view.h"
#include "config/notice.h"
#include "config/rule_table.h"
#include "config/run_context.h"
#include "config/settings.h"
#include "engine/engine_hooks.h"
#include "engine/file_info_store.h"
#include "engine/scan_engine.h"
#include "engine/scan_state.h"
#include "platform/text/regional_time.h"
#include "response/accept.h"
#include "response/archive.h"
#include "response/event_log.h"
#include "response/hold.h"

namespace norv {

struct StartupOptions {
    std::string program_dir;                 // empty: the executable's folder
    std::optional<ProgramLayout> layout;     // given, every folder is named (program_dir unused)
    std::string charset;                     // empty: the system's
    std::string locale;                      // empty: the system's
    std::string time_zone;                   // empty: the system's
    const platform::Clock* clock = nullptr;  // null: the Env's wall clock
    platform::Env* env = nullptr;            // null: the system
    EventLogLimits event_limits;             // size and count of the events files
    std::ostream* events_copy = nullptr;     // every event line also goes here (check --json)
    ProcessOptions process;                  // read once where the process starts
};

// The front end's side of the process: progress, notices, timers and the settings it shows.
struct FrontEnd {
    ScanObserver& observer;
    NoticeSink& notices;
    AutoCheckTimers& timers;
    RecordsView& view;
};

class Application : public SettingsReloader {
  public:
    static Result<std::unique_ptr<Application>> Start(const StartupOptions& options,
                                                      FrontEnd front_end);
    ~Application() override;

    const RunContext& context() const { return context_; }
    const Settings& settings() const { return settings_; }
    // Written by the settings window; the engine and the change response read them as they act.
    LiveSwitches& switches() { return switches_; }
    const LiveSwitches& switches() const { return switches_; }
    const RuleTable& rules() const { return rules_; }
    ScanMode mode() const { return mode_; }
    const ScanCounters& counters() const { return counters_; }

    ScanEngine& engine() { return *engine_; }
    JsonEventLog& events() { return *events_; }
    ProtectedArchive& archive() { return *archive_; }
    // Takes reviewed changes into the baseline and the archive (response/accept.h).
    ChangeAcceptor& acceptor() { return *acceptor_; }
    const platform::Clock& clock() const { return *clock_; }
    const ProcessOptions& process() const { return process_; }
    const platform::RegionalFormat& regional() const { return *regional_; }
    FrontEnd& front_end() { return front_end_; }

    // Reads the settings file into the record and the switches and shows it to the front end.
    // Starts the automatic checks when line 10 is 1; a load never stops them.
    Status LoadSettings();
    // Writes the file from `edited` and the switches (line 1 from the record), reads it back
    // into the record so the saved period and folders act at once, then starts or stops the
    // automatic checks by line 10 as written.
    Status SaveSettings(const Settings& edited);
    // Reads the rule file into the table and shows it to the front end.
    Status LoadRules();
    // The settings window's rule edits: each is saved at once and shown to the front end.
    Status AddRule(const std::string& path);
    Status DeleteRule(int n);
    Status SetRuleRecursion(int item, bool on);
    // LoadSettings and LoadRules together: the settings window's opening, an init and the
    // service's SIGHUP. Either file failing to load leaves the settings, the switches and the
    // rules all as they were.
    Status ReloadSettingsAndRules() override;

  private:
    explicit Application(FrontEnd front_end) : front_end_(front_end) {}

    FrontEnd front_end_;
    RunContext context_;
    Settings settings_;
    LiveSwitches switches_;
    RuleTable rules_;
    ScanMode mode_ = ScanMode::kNone;
    ScanCounters counters_;
    ProcessOptions process_;
    std::unique_ptr<platform::EnvClock> env_clock_;
    const platform::Clock* clock_ = nullptr;
    std::unique_ptr<platform::RegionalFormat> regional_;
    std::unique_ptr<FileInfoStore> store_;
    std::unique_ptr<ProtectedArchive> archive_;
    std::unique_ptr<JsonEventLog> events_;
    std::unique_ptr<HoldReader> hold_;
    std::unique_ptr<ChangeResponder> responder_;
    std::unique_ptr<ScanReportMailer> mailer_;
    // Starts every command: the engine's, an accept, building the archive.
    std::unique_ptr<CommandRunner> commands_;
    std::unique_ptr<ScanEngine> engine_;
    std::unique_ptr<ChangeAcceptor> acceptor_;
};

}  // namespace norv
