// How long window events wait while the desktop program runs a check: a 5 ms timer ticks
// through the whole scan, and the longest gap between ticks is printed.
//
//   norv-gui-latency PROGRAM_FOLDER
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>

#include "app/gui/dialogs.h"
#include "app/gui/main_window.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication qt(argc, argv);
    norv::gui::SetMessageRecorder([](const QString&) {});
    norv::gui::MainWindow window;
    norv::StartupOptions options;
    options.program_dir = argv[1];
    if (!window.Start(options).ok()) return 2;
    QElapsedTimer since_tick;
    qint64 worst = 0;
    int ticks = 0;
    QTimer probe;
    probe.setInterval(5);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        if (ticks++ > 0) worst = std::max(worst, since_tick.elapsed());
        since_tick.restart();
    });
    probe.start();
    since_tick.start();
    QElapsedTimer scan;
    scan.start();
    window.check_file();
    std::printf("gui: check took %.2f s; %d timer events; longest wait between them %lld ms\n",
                static_cast<double>(scan.elapsed()) / 1000.0, ticks, static_cast<long long>(worst));
    return 0;
}
