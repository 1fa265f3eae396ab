// MainWindow (`filecheck`): the program's window, its menus, its three timers and the tray icon.
//
// It is also the desktop's face for the core: it words the engine's progress on the message
// line, shows the scan date and counts, lets pending events run between files, shows the core's
// notices and switches the automatic check timers. A notice of what a person started is a box
// that does not hold the core; one of what nobody started by hand (start-up, an automatic check)
// becomes a notice on the message line and, while the tray icon is shown, a balloon. It
// owns the Application (every record of the process), the hidden settings window and the
// accept window. Controls carry
// the names the rest of the program and the tests know them by:
//   status     the animated strip of 40 squares          msg        the message line
//   scandate   when the last check started               Label5(k)  counts: checked, altered,
//   Label6     the clock                                            created, deleted
//   Label7     elapsed/period minutes of the scan cycle  Picture1   the tray's former anchor
#pragma once

#include <QLabel>
#include <QMainWindow>
#include <QSystemTrayIcon>
#include <QTimer>
#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/gui/settings_edit_state.h"
#include "app/gui/status_strip.h"
#include "app/scheduler.h"

namespace norv::gui {

class SettingsWindow;
class AcceptWindow;

class MainWindow : public QMainWindow,
                   public ScanObserver,
                   public NoticeSink,
                   public AutoCheckTimers,
                   public RecordsView {
    Q_OBJECT
  public:
    MainWindow();
    ~MainWindow() override;

    // The rest of the start-up: the Application in its order, then the status strip.
    Status Start(const StartupOptions& options);
    Application& app() { return *app_; }
    // What the settings window's controls hold, and the status strip.
    SettingsEditState& edit() { return edit_; }
    StatusStrip& status_strip() { return status_strip_; }
    // Why the status strip stands still (the period is no number), or Ok.
    Status StripStatus() const;
    void SettingsShown(const Settings& settings) override;
    void RulesShown(const RuleTable& rules) override;
    SettingsWindow& settings_window() { return *settings_window_; }
    // Null until 変更の承認 first opens it.
    AcceptWindow* accept_window() { return accept_window_; }
    ScanScheduler& scheduler() { return scheduler_; }
    int timer3_ticks() const { return timer3_ticks_; }

    // ScanObserver, NoticeSink, AutoCheckTimers
    void ShowProgress(const ScanProgress& progress) override;
    void SetScanDate(const std::string& text) override;
    void SetCounts(const ScanCounters& counters) override;
    void YieldToEvents() override;
    void Notify(const Notice& notice) override;
    // A box (a person waits on it) over `raiser`, the window whose action it answers (this
    // window when null), or a queued notice when nobody waits.
    void ShowMessageBox(const std::string& text, QWidget* raiser = nullptr);
    void StartAutoCheckTimers() override;
    void StopAutoCheckTimers() override;

    // Timer handlers, public so tests can tick them: the automatic check's minute count, the
    // clock and status strip each second, and the periodic refresh.
    void OnAutoCheckTick();
    // After a save: the period label and the strip show the saved values at once.
    void SettingsSaved();
    void OnClockTick();
    void OnRefreshTick();
    // The tray icon's callback: only a left-button press brings the window back.
    void TrayActivated(QSystemTrayIcon::ActivationReason reason);
    QSystemTrayIcon* tray() { return tray_; }

  public slots:
    void check_file();
    void initdb();
    void updatedb();
    void PutIntoTray();
    void editconfig();
    // 編集 → 変更の承認: the last check's changes, to accept the ticked ones.
    void AcceptChanges();
    void help();
    void viewlog();
    void ShowAbout();
    void Quit();

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void BuildControls();
    void BuildMenus();
    void RunCommand(Status (ScanEngine::*command)());
    void RunAutomaticCheck();
    void RunDeferredCheck();
    // Opens `path` with the desktop's viewer, or says why it cannot, naming the file.
    void OpenOnDesktop(const std::string& path, const std::string& what);
    void SetScanCommandsEnabled(bool enabled);
    // Puts `line` on the message line, cut with an ellipsis where it is too long; the tool tip
    // holds `full`, or the whole line when it was cut.
    void SetMessageLine(const QString& line, const QString& full);
    // Shows the messages queued while nobody was waiting, then forgets them.
    void ShowNotices();

    std::unique_ptr<Application> app_;
    SettingsEditState edit_;
    StatusStrip status_strip_;
    SettingsWindow* settings_window_ = nullptr;
    AcceptWindow* accept_window_ = nullptr;
    ScanScheduler scheduler_;
    int timer3_ticks_ = 0;
    std::chrono::steady_clock::time_point last_yield_{};
    // Whether a person started what runs now and waits on its boxes; if not, its messages are
    // queued in notices_ until it ends.
    bool by_hand_ = true;
    std::vector<std::string> notices_;

    QLabel* status_ = nullptr;
    QLabel* msg_ = nullptr;
    QLabel* scandate_ = nullptr;
    std::array<QLabel*, 4> counts_{};
    QLabel* label6_ = nullptr;
    QLabel* label7_ = nullptr;
    QWidget* picture1_ = nullptr;
    QTimer* timer1_ = nullptr;
    QTimer* timer2_ = nullptr;
    QTimer* timer3_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
};

// The program's own 32x32 icon, drawn rather than shipped as a bitmap.
QIcon ProgramIcon();

// Centres a window on its screen, keeping its size.
void center_form(QWidget* window);

}  // namespace norv::gui
