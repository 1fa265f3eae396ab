// `norv-cli archive`: builds the protected files' archive anew.
#include <ostream>

#include "app/cli/cli.h"
#include "app/cli/commands/commands.h"
#include "platform/fs/file_system.h"

namespace norv::cli {

int RunArchive(Application& app, Terminal& terminal, std::ostream& out, std::ostream& err) {
    const std::string path = app.archive().ArchivePath();
    // The archive as it stood: a new one takes its place under another inode.
    auto before = platform::LStat(*app.context().env, path);
    const bool had_archive = before.ok() && before->kind != platform::EntryKind::kMissing;
    int failures = 0;
    Status status = app.engine().RunExclusive([&] {
        failures = app.archive().CreateArchive();
        return Status::Ok();
    });
    terminal.ClearProgress();
    if (!status.ok()) {
        err << "norv: " << Shown(status) << "\n";
        return kExitFailure;
    }
    auto after = platform::LStat(*app.context().env, path);
    const bool made = after.ok() && after->kind != platform::EntryKind::kMissing;
    const bool replaced = made && (!had_archive || !(after->identity == before->identity));
    if (failures > 0 && replaced) {
        // Partial work, as a check that could not see every place: each file was named as it
        // failed.
        out << path << "\n";
        err << "norv: アーカイブに入れられなかったファイルがあります (" << failures << ")\n";
        return kExitNotAllSeen;
    }
    if (failures > 0) return kExitFailure;
    // Nothing to archive leaves no archive (an older one is removed): not a success.
    if (!made) {
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
