// `norv-cli accept --all | accept PATH...`: takes checked changes into the baseline and the
// archive (a folder: every change under it). A file that changed again after the check is not
// accepted and stays a change.
#include <climits>
#include <ostream>

#include "app/cli/cli.h"
#include "app/cli/commands/commands.h"
#include "engine/scan_log.h"
#include "platform/fs/file_system.h"

namespace norv::cli {

int RunAccept(Application& app, bool all, const std::vector<std::string>& paths, std::ostream& out,
              std::ostream& err) {
    auto list = app.acceptor().LoadChanges();
    if (!list.ok()) {
        err << "norv: " << Shown(list.status()) << "\n";
        return kExitFailure;
    }
    std::vector<std::string> unmatched;
    std::vector<ReviewedChange> items = list->changes;
    if (!all) {
        std::vector<std::string> absolute;
        for (const std::string& path : paths) {
            if (!path.empty() && path[0] == '/') {
                absolute.push_back(path);
                continue;
            }
            // A relative path is taken from the working folder.
            std::string cwd(PATH_MAX, '\0');
            if (app.context().env->GetCwd(cwd.data(), cwd.size()) == nullptr) {
                err << "norv: 作業フォルダがわかりません: " << Shown(path) << "\n";
                return kExitFailure;
            }
            absolute.push_back(platform::JoinPath(cwd.c_str(), path));
        }
        items = SelectChanges(list.value(), absolute, &unmatched);
    }
    auto outcome = app.acceptor().Accept(list->generation, items, app.process().user);
    if (!outcome.ok()) {
        err << "norv: " << Shown(outcome.status()) << "\n";
        return kExitFailure;
    }
    for (const ReviewedChange& change : outcome->accepted) {
        out << "受け入れました: " << ChangeKindName(change.kind) << " " << DisplayPath(change.path)
            << "\n";
    }
    for (const Refusal& refusal : outcome->refused) {
        err << "norv: 受け入れません: " << Shown(refusal.reason) << "\n";
    }
    for (const std::string& path : unmatched) {
        err << "norv: 最後の検査の変更にありません: " << Shown(path) << "\n";
    }
    if (items.empty() && unmatched.empty()) out << "受け入れる変更はありません\n";
    return outcome->all_accepted() && unmatched.empty() ? kExitUnchanged : kExitChanged;
}

}  // namespace norv::cli
