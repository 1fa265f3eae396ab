#include "app/gui/main_window.h"

#include "platform/fs/file_system.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QGroupBox>
#include <QMenuBar>
#include <QPainter>
#include <QPainterPath>
#include <QProcess>
#include <QScreen>
#include <cstdlib>

#include "app/gui/about_window.h"
#include "app/gui/accept_window.h"
#include "app/gui/dialogs.h"
#include "app/gui/settings_window.h"
#include "app/gui/twips.h"
#include "app/gui/widgets.h"
#include "app/progress_line.h"
#include "engine/scan_log.h"
#include "platform/fs/file_system.h"

namespace norv::gui {
namespace {

constexpr auto kYieldInterval = std::chrono::milliseconds(15);

// Says for one scope whether a person waits on the boxes, and puts back what stood before.
class ByHand {
  public:
    ByHand(bool& flag, bool value) : flag_(flag), saved_(flag) { flag_ = value; }
    ~ByHand() { flag_ = saved_; }
    ByHand(const ByHand&) = delete;
    ByHand& operator=(const ByHand&) = delete;

  private:
    bool& flag_;
    bool saved_;
};

}  // namespace

QIcon ProgramIcon() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    // A shield in the window's blue with a white check mark: a guarded, verified file.
    QPainterPath shield;
    shield.moveTo(16, 2);
    shield.lineTo(29, 7);
    shield.cubicTo(29, 19, 24, 26, 16, 30);
    shield.cubicTo(8, 26, 3, 19, 3, 7);
    shield.closeSubpath();
    p.fillPath(shield, QColor(115, 149, 191));
    p.setPen(QPen(QColor(40, 60, 90), 1.5));
    p.drawPath(shield);
    p.setPen(QPen(Qt::white, 3.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPolyline(QPolygonF({QPointF(10, 16), QPointF(14.5, 21), QPointF(23, 11)}));
    return QIcon(pixmap);
}

void center_form(QWidget* window) {
    QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    QRect area = screen->geometry();
    QSize size = window->frameGeometry().size();
    window->move(area.x() + (area.width() - size.width()) / 2,
                 area.y() + (area.height() - size.height()) / 2);
}

MainWindow::MainWindow() {
    setObjectName("filecheck");
    setWindowTitle(QStringLiteral("Orlavane V1.10"));
    setWindowIcon(ProgramIcon());
    BuildControls();
    BuildMenus();

    // The settings window exists, hidden, from start-up to exit.
    settings_window_ = new SettingsWindow(this);

    timer1_ = new QTimer(this);
    timer1_->setObjectName("Timer1");
    timer2_ = new QTimer(this);
    timer2_->setObjectName("Timer2");
    timer3_ = new QTimer(this);
    timer3_->setObjectName("Timer3");
    timer1_->setInterval(30000);
    timer2_->setInterval(1000);
    timer3_->setInterval(30000);
    timer3_->start();
    connect(timer1_, &QTimer::timeout, this, &MainWindow::OnAutoCheckTick);
    connect(timer2_, &QTimer::timeout, this, &MainWindow::OnClockTick);
    connect(timer3_, &QTimer::timeout, this, &MainWindow::OnRefreshTick);

    tray_ = new QSystemTrayIcon(ProgramIcon(), this);
    tray_->setObjectName("tray");
    tray_->setToolTip(QStringLiteral("norv"));
    connect(tray_, &QSystemTrayIcon::activated, this, &MainWindow::TrayActivated);
}

MainWindow::~MainWindow() = default;

void MainWindow::BuildControls() {
    auto* client = new QWidget(this);
    client->setObjectName("client");
    client->setAutoFillBackground(true);
    QPalette palette = client->palette();
    palette.setColor(QPalette::Window, QColor(115, 149, 191));
    client->setPalette(palette);
    client->setFixedSize(Px(4950), Px(3225));
    setCentralWidget(client);

    status_ = MakeLabel(client, "status", QString(40, QChar(0x25A0)), Twips(120, 120, 4695, 135),
                        "#c0c0c0");
    status_->setMaximumWidth(Px(4695));
    status_->setFont(QFont(status_->font().family(), 5));
    msg_ = MakeLabel(client, "msg", "", Twips(240, 360, 4455, 375));

    // The shadow frame lies behind the results frame, shifted right and down.
    auto* shadow = Place<QFrame>(client, "Frame1", Twips(360, 960, 4455, 1695));
    shadow->setAutoFillBackground(true);
    shadow->setStyleSheet("background-color: black;");

    QGroupBox* checkinfo = MakeFrame(client, "checkinfo", QStringLiteral("改ざん検査結果"),
                                     Twips(240, 840, 4455, 1695));
    checkinfo->setAutoFillBackground(true);
    checkinfo->setStyleSheet("QGroupBox { background-color: white; }");

    MakeLabel(checkinfo, "Label2", QStringLiteral("最終検査時間"), Twips(240, 360, 1335, 375),
              "#e0e0e0");
    scandate_ = MakeLabel(checkinfo, "scandate", "", Twips(1680, 360, 2175, 255));
    const struct {
        int left, width;
        const char* heading;
    } columns[] = {
        {360, 735, "検査数"}, {1320, 735, "変更"}, {2040, 975, "新規作成"}, {3240, 735, "削除"}};
    const int count_lefts[] = {360, 1320, 2280, 3240};
    for (int k = 0; k < 4; ++k) {
        std::string heading_name = "Label4(" + std::to_string(k) + ")";
        std::string count_name = "Label5(" + std::to_string(k) + ")";
        MakeLabel(checkinfo, heading_name.c_str(), QString::fromUtf8(columns[k].heading),
                  Twips(columns[k].left, 960, columns[k].width, 255), "#e0e0e0");
        counts_[k] =
            MakeLabel(checkinfo, count_name.c_str(), "", Twips(count_lefts[k], 1200, 735, 255));
    }
    picture1_ = Place<QWidget>(checkinfo, "Picture1", Twips(3990, 1140, 450, 450));

    label7_ = MakeLabel(client, "Label7", "", Twips(360, 2760, 1335, 255));
    // Wide enough for the longest clock text, "2026/12/28 20:48:48".
    label6_ = MakeLabel(client, "Label6", "", Twips(2400, 2760, 2295, 255));
    label6_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    status_->resize(0, status_->height());
}

void MainWindow::BuildMenus() {
    auto add_menu = [this](const char* name, const QString& caption) {
        QMenu* menu = menuBar()->addMenu(caption);
        menu->setObjectName(name);
        return menu;
    };
    auto add_item = [this](QMenu* menu, const char* name, const QString& caption,
                           void (MainWindow::*slot)()) {
        QAction* action = menu->addAction(caption);
        action->setObjectName(name);
        connect(action, &QAction::triggered, this, slot);
        return action;
    };
    auto add_separator = [](QMenu* menu, const char* name) {
        menu->addSeparator()->setObjectName(name);
    };

    QMenu* file = add_menu("file", QStringLiteral("ファイル"));
    add_item(file, "fend", QStringLiteral("終了"), &MainWindow::Quit);
    QMenu* edit = add_menu("edit", QStringLiteral("編集"));
    add_item(edit, "editconfig", QStringLiteral("設定"), &MainWindow::editconfig);
    add_item(edit, "acceptChanges", QStringLiteral("変更の承認"), &MainWindow::AcceptChanges);
    QMenu* exe = add_menu("exe", QStringLiteral("実行"));
    add_item(exe, "check_file", QStringLiteral("スキャン開始"), &MainWindow::check_file);
    add_item(exe, "updatedb", QStringLiteral("データベース更新"), &MainWindow::updatedb);
    add_item(exe, "initdb", QStringLiteral("データベース初期化"), &MainWindow::initdb);
    add_separator(exe, "d2");
    add_item(exe, "auto_scan", QStringLiteral("タスクトレイに入れる"), &MainWindow::PutIntoTray);
    add_separator(exe, "d1");
    add_item(exe, "viewlog", QStringLiteral("ログの表示"), &MainWindow::viewlog);
    QMenu* h = add_menu("h", QStringLiteral("ヘルプ"));
    add_item(h, "help", QStringLiteral("ヘルプ"), &MainWindow::help);
    add_item(h, "ver", QStringLiteral("バージョン"), &MainWindow::ShowAbout);
}

Status MainWindow::Start(const StartupOptions& options) {
    auto app = [&] {
        // Nobody has asked for anything yet (the program may start with the session), and the
        // timers may already run: a box here would let them tick into a window not yet built.
        ByHand unattended(by_hand_, false);
        return Application::Start(options, FrontEnd{*this, *this, *this, *this});
    }();
    if (!app.ok()) {
        // The program ends after saying why: its timers must not tick into the failure's box.
        StopAutoCheckTimers();
        for (const std::string& notice : notices_) ShowMessage(this, Q(notice));
        notices_.clear();
        return app.status();
    }
    app_ = std::move(app).value();
    {
        // A period that is no number must not lock the administrator out: the strip stands
        // still, and the settings window can repair it.
        ByHand unattended(by_hand_, false);
        if (Status strip = StripStatus(); !strip.ok()) ShowMessageBox(strip.message());
    }
    status_strip_.width = 0;
    settings_window_->Bind(*app_);
    adjustSize();
    center_form(this);
    status_->resize(Px(status_strip_.width), status_->height());
    ShowNotices();
    return Status::Ok();
}

void MainWindow::SettingsShown(const Settings& settings) {
    ShowSettings(settings, edit_);
    auto step = StatusStepFor(settings);
    status_strip_.step = step.ok() ? step.value() : 0;
}

void MainWindow::RulesShown(const RuleTable& rules) { ShowRules(rules, edit_); }

Status MainWindow::StripStatus() const {
    auto step = StatusStepFor(app_->settings());
    if (step.ok()) return Status::Ok();
    return Status::Error(kErrFormat, "設定ファイル " + app_->context().SettingsPath() +
                                         " の 11 行目: " + step.status().message() +
                                         "。状態表示は動きません");
}

void MainWindow::ShowProgress(const ScanProgress& progress) {
    SetMessageLine(Q(ProgressLine(progress)), QString());
}

void MainWindow::SetMessageLine(const QString& line, const QString& full) {
    // One line of fixed width: a longer text ends in an ellipsis, and the tool tip always holds
    // the whole of it, so no message is cut short for good.
    const QString shown =
        msg_->fontMetrics().elidedText(line, Qt::ElideRight, msg_->contentsRect().width());
    msg_->setText(shown);
    const QString tip = !full.isEmpty() ? full : shown != line ? line : QString();
    if (msg_->toolTip() != tip) msg_->setToolTip(tip);
}
void MainWindow::SetScanDate(const std::string& text) { scandate_->setText(Q(text)); }

void MainWindow::SetCounts(const ScanCounters& c) {
    const int32_t values[] = {c.checked, c.altered, c.created, c.deleted};
    for (int k = 0; k < 4; ++k) counts_[k]->setText(QString::number(values[k]));
}

void MainWindow::YieldToEvents() {
    // Letting the window breathe every few milliseconds keeps it responsive without paying for
    // an event round trip on every small file.
    auto now = app_->context().env->SteadyNow();
    if (now - last_yield_ < kYieldInterval) return;
    last_yield_ = now;
    // What arrives meanwhile is a person's action (a tick only defers its check): its messages
    // get their boxes, even inside an automatic check.
    ByHand by_hand(by_hand_, true);
    QCoreApplication::processEvents();
}

// The messages embed file names: escaped as the log escapes them, so no name reorders the
// text or smuggles in bytes that are not UTF-8. Each line is escaped on its own: a box keeps the
// message's own lines (a title, then the cause), and a name that breaks a line there forges
// nothing a program reads.
namespace {
std::string ShownLines(const std::string& text) {
    std::string shown;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find('\n', start);
        shown += DisplayText(std::string_view(text).substr(start, end - start));
        if (end == std::string::npos) break;
        shown += '\n';
        start = end + 1;
    }
    return shown;
}
}  // namespace

void MainWindow::ShowMessageBox(const std::string& text, QWidget* raiser) {
    std::string shown = ShownLines(text);
    if (!by_hand_) {
        notices_.push_back(std::move(shown));
        return;
    }
    // Over the window that asked: parented to this one, the box would bring this window up
    // above the one the administrator is working in.
    ShowMessage(raiser ? raiser : this, Q(shown));
}

void MainWindow::Notify(const Notice& notice) {
    std::string shown = ShownLines(Render(notice.text));
    if (!by_hand_) {
        notices_.push_back(std::move(shown));
        return;
    }
    OpenMessage(this, Q(shown));
}

// The message line keeps the first notice (the others are counted, and all are in its tool tip)
// for when the window comes back; the tray icon, while shown, says them all at once.
void MainWindow::ShowNotices() {
    if (notices_.empty()) return;
    QStringList all;
    for (const std::string& notice : notices_) all << Q(notice);
    notices_.clear();
    QString line = QString(all.front()).replace('\n', ' ');
    if (all.size() > 1) line += QStringLiteral(" (ほか %1 件)").arg(all.size() - 1);
    SetMessageLine(line, all.join('\n'));
    if (tray_->isVisible() && QSystemTrayIcon::supportsMessages()) {
        tray_->showMessage(QStringLiteral("norv"), all.join('\n'), QSystemTrayIcon::Warning);
    }
}

void MainWindow::StartAutoCheckTimers() {
    timer1_->start();
    timer2_->start();
}

void MainWindow::StopAutoCheckTimers() {
    timer1_->stop();
    timer2_->stop();
}

void MainWindow::SetScanCommandsEnabled(bool enabled) {
    for (const char* name : {"check_file", "updatedb", "initdb"}) {
        if (auto* action = findChild<QAction*>(name)) action->setEnabled(enabled);
    }
}

void MainWindow::RunCommand(Status (ScanEngine::*command)()) {
    SetScanCommandsEnabled(false);
    Status status = (app_->engine().*command)();
    SetScanCommandsEnabled(true);
    if (!status.ok()) ShowMessageBox(status.ToString());
    settings_window_->Refresh();
}

void MainWindow::check_file() {
    RunCommand(&ScanEngine::Check);
    // This check is the one a tick may have deferred meanwhile.
    scheduler_.CheckDone(/*automatic=*/false, /*succeeded=*/true);
    RunDeferredCheck();
}

void MainWindow::initdb() {
    RunCommand(&ScanEngine::Initialise);
    RunDeferredCheck();
}

void MainWindow::updatedb() {
    RunCommand(&ScanEngine::MarkAllSeen);
    RunDeferredCheck();
}

void MainWindow::RunDeferredCheck() {
    // An automatic check fell due while a command ran: it runs now.
    if (scheduler_.TakeDeferredCheck()) RunAutomaticCheck();
}

void MainWindow::RunAutomaticCheck() {
    {
        // Nobody waits on a timed check: a box would hold it, its log and its mail until someone
        // clicked. Its messages become notices once it has ended.
        ByHand unattended(by_hand_, false);
        SetScanCommandsEnabled(false);
        Status status = app_->engine().Check();
        SetScanCommandsEnabled(true);
        // A tick while this check ran found it busy; this check answers that tick too.
        scheduler_.CheckDone(/*automatic=*/true, status.ok());
        if (!status.ok()) ShowMessageBox(status.ToString());
    }
    ShowNotices();
}

void MainWindow::OnAutoCheckTick() {
    auto tick = scheduler_.Tick(app_->settings());
    label7_->setText(Q(tick.label));
    if (!tick.check_due) return;
    if (app_->engine().running()) {
        scheduler_.DeferCheck();  // until the running command ends
        return;
    }
    RunAutomaticCheck();
}

void MainWindow::SettingsSaved() {
    label7_->setText(Q(scheduler_.Label(app_->settings().scan_period)));
    status_->resize(Px(status_strip_.width), status_->height());
}

void MainWindow::OnClockTick() {
    label6_->setText(Q(app_->regional().DateTime(app_->clock().Now())));
    status_strip_.Advance();
    status_->resize(Px(status_strip_.width), status_->height());
}

void MainWindow::OnRefreshTick() {
    // No setting holds a period for a periodic database refresh, and marking every record seen
    // on a timer would only hide what the administrator has not yet looked at: the ticks are
    // counted and nothing more.
    ++timer3_ticks_;
}

void MainWindow::PutIntoTray() {
    picture1_->hide();
    timer1_->start();
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        ShowMessageBox("タスクトレイがないため、ウィンドウは隠しません。自動検査は続きます");
        return;
    }
    tray_->show();
    hide();
}

void MainWindow::TrayActivated(QSystemTrayIcon::ActivationReason reason) {
    if (reason != QSystemTrayIcon::Trigger) return;
    show();
    raise();
    activateWindow();
}

void MainWindow::editconfig() { settings_window_->Open(); }

void MainWindow::AcceptChanges() {
    if (!accept_window_) accept_window_ = new AcceptWindow(this);
    accept_window_->Open();
}

void MainWindow::OpenOnDesktop(const std::string& path, const std::string& what) {
    // The desktop's own viewer shows the file; when there is none, or no file, the
    // administrator learns which file and why instead of seeing nothing happen.
    auto facts = platform::LStat(*app_->context().env, path);
    if (facts.ok() && facts->kind == platform::EntryKind::kMissing) {
        ShowMessageBox(what + " " + path + " がありません");
        return;
    }
    // xdg-open is run here rather than through QDesktopServices, which says yes even when
    // xdg-open finds no program: only its exit code tells. It runs beside the window, which
    // stays responsive while a viewer starts.
    const std::string cannot =
        what + " " + path + " を開けません。ファイルを開くデスクトップのプログラムが見つかりません";
    auto* opener = new QProcess(this);
    opener->setProcessChannelMode(QProcess::ForwardedChannels);
    connect(opener, &QProcess::errorOccurred, this,
            [this, opener, cannot](QProcess::ProcessError e) {
                if (e != QProcess::FailedToStart) return;
                opener->deleteLater();
                ShowMessageBox(cannot + " (xdg-open を起動できません。xdg-utils パッケージ)");
            });
    connect(opener, &QProcess::finished, this,
            [this, opener, cannot](int code, QProcess::ExitStatus how) {
                opener->deleteLater();
                if (how == QProcess::NormalExit && code == 0) return;
                ShowMessageBox(cannot + (how == QProcess::NormalExit
                                             ? " (xdg-open が終了コード " + std::to_string(code) +
                                                   " で終わりました)"
                                             : std::string(" (xdg-open が異常終了しました)")));
            });
    opener->start(QStringLiteral("xdg-open"), {Q(path)});
}

void MainWindow::help() {
    const std::string& dir = app_->context().folders.data;
    std::string separator = !dir.empty() && dir.back() == '/' ? "" : "/";
    OpenOnDesktop(dir + separator + "help/index.html", "ヘルプ");
}

void MainWindow::viewlog() { OpenOnDesktop(app_->context().LogPath(), "ログファイル"); }

void MainWindow::ShowAbout() {
    AboutWindow about(this);
    about.exec();
}

void MainWindow::Quit() {
    tray_->hide();
    if (app_ && app_->engine().running()) {
        // Exit ends the program at once, even inside a scan: the database rolls back to its
        // last commit and the log keeps the lines written so far.
        std::exit(0);
    }
    QApplication::exit(0);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    Quit();
}

}  // namespace norv::gui
