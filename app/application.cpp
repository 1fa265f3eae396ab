#include "app/application.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "app/scheduler.h"
#include "platform/base/notice_code.h"
#include "platform/fs/file_system.h"
#include "response/change_response.h"
#include "response/mail_report.h"

namespace norv {
Application::~Application() = default;

Result<std::unique_ptr<Application>> Application::Start(const StartupOptions& options,
                                                        FrontEnd front_end) {
    platform::RaiseOpenFileLimit();
    std::unique_ptr<Application> app(new Application(front_end));
    app->process_ = options.process;
    auto regional = platform::RegionalFormat::Create(options.locale, options.time_zone);
    if (!regional.ok()) return regional.status();
    app->regional_ = std::move(regional).value();

    // Run-time context and the default folders, which a settings file's empty line keeps.
    RunContext& context = app->context_;
    if (options.env) context.env = options.env;
    context.reading = options.process.reading;
    platform::Env& env = *context.env;
    if (options.clock) {
        app->clock_ = options.clock;
    } else {
        app->env_clock_ = std::make_unique<platform::EnvClock>(env);
        app->clock_ = app->env_clock_.get();
    }
    if (options.layout) {
        context.folders = *options.layout;
    } else if (!options.program_dir.empty()) {
        context.folders = ProgramLayout::InOne(options.program_dir);
    } else {
#ifdef NORV_SYSTEM_LAYOUT
        context.folders = ProgramLayout::OfTheSystem();
#else
        context.folders = ProgramLayout::InOne(platform::ExecutableDirectory(env));
#endif
    }
    context.system_dir = kSystemConfigFolder;
    context.root_dir = RootOf(context.system_dir);
    context.charset = options.charset;
    app->settings_.save_dir = context.root_dir + kDefaultSaveFolder;
    app->settings_.cracked_dir = context.root_dir + kDefaultCrackedFolder;
    app->counters_.Reset();

    // The program's files decide what norv watches, where it writes and what it restores as
    // root: a folder another user could change would let that user steer it. A folder that is
    // not there holds none of them: the settings' absence tells.
    // Each folder is judged once, however many kinds of file it holds; the state's is kept for
    // the database's files below.
    std::shared_ptr<platform::DirectoryHandle> state_folder;
    bool runtime_present = false;
    std::vector<std::string> judged;
    for (const std::string* folder : {&context.folders.config, &context.folders.state,
                                      &context.folders.logs, &context.folders.runtime}) {
        if (std::find(judged.begin(), judged.end(), *folder) != judged.end()) continue;
        judged.push_back(*folder);
        auto trusted = platform::OpenTrustedFolder(env, *folder);
        if (!trusted.ok() && !trusted.status().Is(ErrorKind::kNotFound)) return trusted.status();
        if (!trusted.ok()) continue;
        if (*folder == context.folders.state) state_folder = *trusted;
        if (*folder == context.folders.runtime) runtime_present = true;
    }
    // The lock's folder is on a file system emptied at each boot: made again, root's alone.
    if (!runtime_present && !context.folders.InOneFolder()) {
        const std::string& runtime = context.folders.runtime;
        auto parent = platform::OpenTrustedFolderOf(env, runtime);
        if (!parent.ok()) return parent.status();
        if (env.MkdirAt((*parent)->fd(), platform::FileNameOfPath(runtime).c_str(), 0700) != 0 &&
            errno != EEXIST) {
            return Status::FromErrno(errno, Message(NoticeCode::kCannotCreate, {runtime}));
        }
    }

    // The database: an existing file is opened now; a missing one is created only once the
    // settings and rules have loaded, so a failed start-up writes nothing.
    const std::string db_path = context.DatabasePath();
    // SQLite opens it by its path: it, and its write-ahead log, must be root's alone, looked at
    // in the very folder judged above.
    for (const char* suffix : {"", "-wal", "-shm"}) {
        if (state_folder) {
            NORV_RETURN_IF_ERROR(platform::CheckTrustedFileAt(
                *state_folder, std::string(kDatabaseFileName) + suffix, db_path + suffix, true));
        }
    }
    // A file that cannot even be looked at counts as present, so opening it reports why.
    auto db_facts = platform::LStat(env, db_path);
    // An empty file is an empty database to SQLite: it gets the table, like a new one.
    const bool db_exists =
        !db_facts.ok() ||
        (db_facts->kind != platform::EntryKind::kMissing &&
         !(db_facts->kind == platform::EntryKind::kRegular && db_facts->size == 0));
    auto open_store = [&](bool create) -> Status {
        auto db = platform::Database::Open(env, db_path, create);
        if (!db.ok()) return db.status();
        context.db_conn = std::move(db).value();
        auto store = FileInfoStore::Open(*context.db_conn, create);
        if (!store.ok()) return store.status();
        app->store_ = std::move(store).value();
        return Status::Ok();
    };
    if (db_exists) NORV_RETURN_IF_ERROR(open_store(false));

    NORV_RETURN_IF_ERROR(app->ReloadSettingsAndRules());
    if (!db_exists) NORV_RETURN_IF_ERROR(open_store(true));

    app->archive_ =
        std::make_unique<ProtectedArchive>(env, app->settings_, app->rules_, front_end.notices);
    app->archive_->SetRestoreJournal(
        platform::JoinPath(context.folders.state, platform::lha::kRestoreJournalName));
    app->events_ = std::make_unique<JsonEventLog>(env, context.folders.logs, options.event_limits,
                                                  front_end.notices, options.events_copy);
    // Each run's event names the baseline it left; a store that cannot say leaves it null.
    app->events_->SetBaselineDigest([owner = app.get()]() -> std::optional<std::string> {
        if (!owner->store_) return std::nullopt;
        auto digest = owner->store_->BaselineDigest();
        if (!digest.ok()) return std::nullopt;
        return std::move(digest).value();
    });
    auto responder = std::make_unique<ChangeResponse>(app->settings_, app->switches_,
                                                      *app->archive_, *app->clock_, *app->regional_,
                                                      front_end.notices, context.charset);
    responder->SetEventSink(app->events_.get());
    app->hold_ = std::make_unique<HoldReader>(env, context.folders.state, *app->clock_);
    responder->SetHoldReader(app->hold_.get());
    app->responder_ = std::move(responder);
    auto mailer = std::make_unique<MailReport>(app->context_, app->settings_, app->counters_,
                                               *app->clock_, *app->regional_, front_end.notices);
    mailer->SetEventSink(app->events_.get());
    app->mailer_ = std::move(mailer);
    ProcessState state{app->context_, app->settings_, app->switches_,
                       app->rules_,   app->mode_,     app->counters_};
    EngineHooks hooks{*app->clock_, *app->regional_,  front_end.observer, front_end.notices,
                      *app,         *app->responder_, *app->mailer_};
    app->commands_ = std::make_unique<CommandRunner>(app->context_);
    app->engine_ = std::make_unique<ScanEngine>(state, *app->store_, hooks, *app->commands_);
    app->engine_->SetEventSink(app->events_.get());
    // It makes every command first finish an accept a killed run left between its two steps.
    app->acceptor_ = std::make_unique<ChangeAcceptor>(app->context_, app->settings_, app->rules_,
                                                      *app->store_, *app->archive_, *app->regional_,
                                                      app->events_.get(), *app->commands_);
    return app;
}

Status Application::LoadSettings() {
    auto loaded = norv::LoadSettings(context_, settings_, switches_);
    if (!loaded.ok()) return loaded.status();
    front_end_.view.SettingsShown(settings_);
    // Stopping the checks is left to a save: a load that finds them off leaves them running.
    if (loaded->auto_check_on) front_end_.timers.StartAutoCheckTimers();
    return Status::Ok();
}

Status Application::SaveSettings(const Settings& edited) {
    Settings to_save = edited;
    to_save.reserved_line = settings_.reserved_line;  // only the live record holds line 1
    auto saved = norv::SaveSettings(context_, to_save, switches_);
    if (!saved.ok()) return saved.status();
    // What was saved acts at once: the record is read back as the next load would read it.
    Status loaded = LoadSettings();
    if (saved->auto_check_on) {
        front_end_.timers.StartAutoCheckTimers();
    } else {
        front_end_.timers.StopAutoCheckTimers();
    }
    return loaded;
}

Status Application::LoadRules() {
    Status status = norv::LoadRules(context_, rules_, front_end_.notices);
    front_end_.view.RulesShown(rules_);
    return status;
}

Status Application::AddRule(const std::string& path) {
    Status status = norv::AddRule(context_, rules_, path, front_end_.notices);
    front_end_.view.RulesShown(rules_);
    return status;
}

Status Application::DeleteRule(int n) {
    Status status = norv::DeleteRule(context_, rules_, n, front_end_.notices);
    front_end_.view.RulesShown(rules_);
    return status;
}

Status Application::SetRuleRecursion(int item, bool on) {
    Status status = norv::SetRuleRecursion(context_, rules_, item, on);
    front_end_.view.RulesShown(rules_);
    return status;
}

Status Application::ReloadSettingsAndRules() {
    // Both files are read into records of their own, and the records in use change only once
    // both have loaded: a broken rule file must not leave new settings with an empty table, whose
    // next check would report every file deleted.
    Settings settings = settings_;
    LiveSwitches switches = switches_;
    auto loaded = norv::LoadSettings(context_, settings, switches);
    if (!loaded.ok()) return loaded.status();
    RuleTable rules;
    NORV_RETURN_IF_ERROR(norv::LoadRules(context_, rules, front_end_.notices));
    settings_ = std::move(settings);
    switches_ = switches;
    rules_ = std::move(rules);
    front_end_.view.SettingsShown(settings_);
    front_end_.view.RulesShown(rules_);
    // As LoadSettings: a load may start the automatic checks, never stop them.
    if (loaded->auto_check_on) front_end_.timers.StartAutoCheckTimers();
    return Status::Ok();
}

}  // namespace norv
