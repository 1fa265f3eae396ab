#include "app/application.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "platform/file_system.h"
#include "response/change_response.h"
#include "response/mail_report.h"

namespace norv {
Result<float> StatusStepFor(const std::string& scan_period) {
    std::string text = scan_period;
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
    char* end = nullptr;
    errno = 0;
    double period = std::strtod(text.c_str(), &end);
    bool whole_text = end != text.c_str() && *end == '\0' && errno == 0;
    if (!whole_text || period == 0.0 || !std::isfinite(period)) {
        return Status::Error(kErrFormat,
                             "検査周期 \"" + scan_period + "\" は 0 でない数値ではありません");
    }
    return static_cast<float>(StatusStrip::kFullWidthTwips / period);
}

Application::~Application() = default;

Result<std::unique_ptr<Application>> Application::Start(const StartupOptions& options,
                                                        FrontEnd front_end) {
    platform::RaiseOpenFileLimit();
    std::unique_ptr<Application> app(new Application(front_end));
    if (options.clock) app->clock_ = options.clock;
    auto regional = platform::RegionalFormat::Create(options.locale, options.time_zone);
    if (!regional.ok()) return regional.status();
    app->regional_ = std::move(regional).value();

    // Run-time context and the default folders.
    RunContext& context = app->context;
    context.program_dir =
        options.program_dir.empty() ? platform::ExecutableDirectory() : options.program_dir;
    context.windows_dir = kWindowsDirectory;
    context.root_dir = RootOf(context.windows_dir);
    context.charset = options.charset;
    app->edit.save_dir_label = context.root_dir + kDefaultSaveFolder;
    app->edit.cracked_dir_label = context.root_dir + kDefaultCrackedFolder;
    app->counters.Reset();
    app->timer3_ticks = 0;

    // The database: an existing file is opened now; a missing one is created only once the
    // settings and rules have loaded, so a failed start-up writes nothing.
    const std::string db_path = context.DatabasePath();
    // A file that cannot even be looked at counts as present, so opening it reports why.
    auto db_facts = platform::LStat(db_path);
    // An empty file is an empty database to SQLite: it gets the table, like a new one.
    const bool db_exists = !db_facts.ok() || (db_facts->kind != platform::EntryKind::kMissing &&
                                               !(db_facts->kind == platform::EntryKind::kRegular &&
                                                 db_facts->size == 0));
    auto open_store = [&](bool create) -> Status {
        auto db = platform::Database::Open(db_path, create);
        if (!db.ok()) return db.status();
        context.db_conn = std::move(db).value();
        auto store = FileInfoStore::Open(*context.db_conn, create);
        if (!store.ok()) return store.status();
        app->store_ = std::move(store).value();
        return Status::Ok();
    };
    if (db_exists) NORV_RETURN_IF_ERROR(open_store(false));

    NORV_RETURN_IF_ERROR(LoadSettings(context, app->settings, app->edit, front_end.timers));
    NORV_RETURN_IF_ERROR(LoadRules(context, app->rules, app->edit.rule_list, front_end.messages));
    if (!db_exists) NORV_RETURN_IF_ERROR(open_store(true));

    // A period that is no number must not lock the administrator out of the program: the strip
    // stands still and the settings window can repair it.
    auto step = StatusStepFor(app->settings.scan_period);
    if (step.ok()) {
        app->status_strip.step = step.value();
    } else {
        front_end.messages.ShowMessageBox("設定ファイル " + context.SettingsPath() +
                                          " の 11 行目: " + step.status().message() +
                                          "。状態表示は動きません");
    }
    app->status_strip.width = 0;

    app->archive_ =
        std::make_unique<ProtectedArchive>(app->settings, app->rules, front_end.messages);
    app->responder_ =
        std::make_unique<ChangeResponse>(app->settings, app->edit, *app->archive_, *app->clock_,
                                         *app->regional_, front_end.messages, context.charset);
    app->mailer_ = std::make_unique<MailReport>(app->context, app->settings, app->counters,
                                                *app->clock_, *app->regional_, front_end.messages);
    ProcessState state{app->context, app->settings, app->edit,
                       app->rules,   app->mode,     app->counters};
    EngineHooks hooks{*app->clock_,     *app->regional_,  front_end.observer, front_end.messages,
                      front_end.timers, *app->responder_, *app->mailer_};
    app->engine_ = std::make_unique<ScanEngine>(state, *app->store_, hooks);
    return app;
}

}  // namespace norv
