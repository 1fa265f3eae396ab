// `norv-cli init`, `check` and `update`: one run of the scan engine, and its counts.
#include <ostream>

#include "app/cli/cli.h"
#include "app/cli/commands/commands.h"
#include "engine/scan_log.h"

namespace norv::cli {
namespace {

void PrintCounts(std::ostream& out, const ScanCounters& c) {
    out << "検査数 " << c.checked << "  変更 " << c.altered << "  新規作成 " << c.created
        << "  削除 " << c.deleted;
    if (c.unchecked > 0) out << "  未検査 " << c.unchecked;
    out << "\n";
}

}  // namespace

int RunScanCommand(Application& app, const std::string& command, Terminal& terminal,
                   std::ostream& human, std::ostream& err) {
    ScanEngine& engine = app.engine();
    Status status = command == "init"    ? engine.Initialise()
                    : command == "check" ? engine.Check()
                                         : engine.MarkAllSeen();
    terminal.ClearProgress();
    if (!status.ok()) {
        err << "norv: " << Shown(status.ToString()) << "\n";
        return kExitFailure;
    }
    human << terminal.progress_line() << "\n";
    if (command == "update") return kExitUnchanged;
    PrintCounts(human, app.counters());
    const size_t unseen = engine.unseen_places();
    if (unseen > 0) {
        human << "検査できなかった場所 " << unseen << " (記録はそのまま残しました。"
              << DisplayPath(app.context().LogPath()) << " の Warning: 行に理由があります)\n";
    }
    return app.counters().changes() > 0 || unseen > 0 ? kExitChanged : kExitUnchanged;
}

}  // namespace norv::cli
