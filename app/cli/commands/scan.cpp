// `norv-cli init`, `check` and `update`: one run of the scan engine, and its counts.
#include <ostream>

#include "app/cli/cli.h"
#include "app/cli/commands/commands.h"
#include "engine/scan_log.h"
#include "platform/base/notice_code.h"

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
        err << "norv: " << Shown(status) << "\n";
        return kExitFailure;
    }
    human << terminal.progress_line() << "\n";
    if (command == "init" && app.rules().rules.empty()) {
        // A baseline of nothing watches nothing: the administrator learns where rules go.
        err << "norv: " << Shown(Message(NoticeCode::kNoRulesYet, {app.context().RulesPath()}))
            << "\n";
    }
    if (command == "update") return kExitUnchanged;
    PrintCounts(human, app.counters());
    const size_t unseen = engine.unseen_places();
    if (unseen > 0) {
        human << "検査できなかった場所 " << unseen << " (記録はそのまま残しました。"
              << DisplayPath(app.context().LogPath()) << " の Warning: 行に理由があります)\n";
    }
    const bool changed = app.counters().changes() > 0;
    if (unseen > 0) return changed ? kExitChangedNotAllSeen : kExitNotAllSeen;
    return changed ? kExitChanged : kExitUnchanged;
}

}  // namespace norv::cli
