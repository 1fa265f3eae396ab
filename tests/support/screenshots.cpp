// Takes the screenshots the README and the help show, on a real X server with a window manager
// and a tray host (scripts/screenshots.sh starts them): the main window after a check, the
// settings window, the accept window, the About window and the tray icon. Each window is also
// checked for clipped texts with the fonts the X server really renders; any clipped text fails the
// run, so a layout change that hides a text is seen.
//
//   norv-screenshots PROGRAM_FOLDER OUT_FOLDER
#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTreeWidget>
#include <QWindow>
#include <cstdio>
#include <functional>

#include "app/gui/about_window.h"
#include "app/gui/accept_window.h"
#include "app/gui/interface_look.h"
#include "app/gui/main_window.h"
#include "app/gui/settings_window.h"
#include "tests/support/gui_fit.h"

namespace {

// Runs the event loop until `done` holds or ten seconds pass.
bool WaitFor(const std::function<bool()>& done) {
    QDeadlineTimer deadline(10000);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

bool Fail(const char* what) {
    std::fprintf(stderr, "norv-screenshots: %s\n", what);
    return false;
}

// Saves the screen under the rectangle as OUT/name.
bool Save(const QRect& area, const QString& out, const char* name) {
    // Let the window paint once more after the manager framed it.
    QDeadlineTimer settle(300);
    while (!settle.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(),
                                                                area.height());
    if (shot.isNull() || !shot.save(out + "/" + QLatin1String(name))) return Fail(name);
    std::printf("%s/%s: %dx%d\n", qPrintable(out), name, shot.width(), shot.height());
    return true;
}

// Shows `window` framed by the window manager, checks its texts, and saves it with its frame.
bool Capture(QWidget* window, const QString& out, const char* name) {
    window->show();
    window->raise();
    if (!WaitFor([&] {
            return window->windowHandle() && window->windowHandle()->isExposed() &&
                   window->frameGeometry() != window->geometry();
        })) {
        return Fail("a window was not shown with a frame (no window manager?)");
    }
    bool fits = true;
    for (const std::string& clipped : norv::testing::ClippedControls(window)) {
        std::fprintf(stderr, "norv-screenshots: %s: %s\n", name, clipped.c_str());
        fits = false;
    }
    return Save(window->frameGeometry(), out, name) && fits;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication qt(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: norv-screenshots PROGRAM_FOLDER OUT_FOLDER\n");
        return 2;
    }
    QApplication::setQuitOnLastWindowClosed(false);
    norv::gui::UseInterfaceLook();
    const QString out = QString::fromLocal8Bit(argv[2]);

    norv::gui::MainWindow window;
    norv::StartupOptions options;
    options.program_dir = argv[1];
    options.locale = "ja_JP";
    norv::Status started = window.Start(options);
    if (!started.ok()) {
        std::fprintf(stderr, "norv-screenshots: %s\n", started.ToString().c_str());
        return 1;
    }
    window.move(40, 40);
    window.show();
    window.findChild<QAction*>("check_file")->trigger();
    window.OnAutoCheckTick();
    window.OnClockTick();
    bool ok = Capture(&window, out, "main_window.png");

    norv::gui::SettingsWindow& settings = window.settings_window();
    settings.Open();
    settings.move(80, 20);
    ok = Capture(&settings, out, "settings_window.png") && ok;
    settings.hide();

    // The check's changes, the altered page ticked (the planted shell is no change to accept).
    window.AcceptChanges();
    norv::gui::AcceptWindow* accept = window.accept_window();
    auto* changes = accept->findChild<QTreeWidget*>("changeList");
    for (int i = 0; i < changes->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = changes->topLevelItem(i);
        if (row->text(0) == QStringLiteral("変更")) row->setCheckState(0, Qt::Checked);
    }
    accept->move(60, 60);
    ok = Capture(accept, out, "accept_window.png") && ok;
    accept->hide();

    norv::gui::AboutWindow about(&window);
    about.move(120, 120);
    ok = Capture(&about, out, "about_window.png") && ok;
    about.hide();

    window.PutIntoTray();
    auto* tray = window.findChild<QSystemTrayIcon*>();
    if (!tray || !WaitFor([&] { return tray->isVisible() && !window.isVisible(); })) {
        return Fail("the window did not go into the tray") ? 0 : 1;
    }
    // The script puts the tray host's panel in the screen's bottom right corner.
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    ok = Save(QRect(screen.right() - 159, screen.bottom() - 39, 160, 40), out, "tray_icon.png") &&
         ok;
    return ok ? 0 : 1;
}
