#include <QApplication>
#include <QMessageBox>
#include <clocale>

#include "app/gui/interface_look.h"
#include "app/gui/main_window.h"
#include "app/wording/japanese.h"
#include "engine/scan_log.h"

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    QApplication qt(argc, argv);
    QApplication::setApplicationName(QStringLiteral("norv"));
    QApplication::setQuitOnLastWindowClosed(false);
    // The interface is Japanese, Qt's own dialogs included.
    norv::gui::UseInterfaceLook();
    norv::UseJapaneseWording();

    norv::StartupOptions options;
    // The environment and the process's identity, once, here at the edge.
    options.process = norv::ReadProcessOptions(*norv::platform::Env::Default());
    const QStringList args = QApplication::arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == QLatin1String("--dir"))
            options.program_dir = args[++i].toStdString();
        else if (args[i] == QLatin1String("--locale"))
            options.locale = args[++i].toStdString();
        else if (args[i] == QLatin1String("--charset"))
            options.charset = args[++i].toStdString();
    }

    norv::gui::MainWindow window;
    norv::Status status = window.Start(options);
    if (!status.ok()) {
        QMessageBox box(QMessageBox::Critical, QStringLiteral("norv"),
                        QStringLiteral("起動できません。\n") +
                            QString::fromStdString(norv::DisplayText(status.ToString())),
                        QMessageBox::Ok);
        box.setTextFormat(Qt::PlainText);
        box.exec();
        return 2;
    }
    window.show();
    return QApplication::exec();
}
