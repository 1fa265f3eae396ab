// `norv-cli archive`: builds the protected files' archive anew.
#include <ostream>

#include "app/cli/cli.h"
#include "app/cli/commands/commands.h"
#include "platform/fs/file_system.h"

namespace norv::cli {

int RunArchive(Application& app, Terminal& terminal, std::ostream& out, std::ostream& err) {
    const std::string path = app.archive().ArchivePath();
    const bool had_archive = platform::FileExists(*app.context().env, path);
    int failures = 0;
    Status status = app.engine().RunExclusive([&] {
        failures = app.archive().CreateArchive();
        return Status::Ok();
    });
    terminal.ClearProgress();
    if (!status.ok()) {
        err << "norv: " << Shown(status.ToString()) << "\n";
        return kExitFailure;
    }
    if (failures > 0) return kExitFailure;
    // Nothing to archive leaves no archive (an older one is removed): not a success.
    if (!platform::FileExists(*app.context().env, path)) {
        err << "norv: アーカイブを作りませんでした (" << Shown(path) << "): "
            << (app.rules().rules.empty()
                    ? "ルールがありません"
                    : "ルールの対象に保存するファイルがありません (フォルダだけです)")
            << (had_archive ? "。以前のアーカイブは削除しました" : "") << "\n";
        return kExitFailure;
    }
    out << path << "\n";
    return kExitUnchanged;
}

}  // namespace norv::cli
