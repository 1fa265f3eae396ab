#include "config/watched_place.h"

#include <cerrno>

#include "platform/base/notice_code.h"
#include "platform/fs/tree_walk.h"

namespace norv {

const Rule* CoveringRule(const RuleTable& rules, const std::string& path, std::string* below) {
    const Rule* covering = nullptr;
    std::string covering_rest;
    for (const Rule& rule : rules.rules) {
        if (rule.kind == RuleKind::kFile) {
            if (path != rule.path) continue;
            if (!covering || rule.path.size() >= covering->path.size()) {
                covering = &rule;
                covering_rest.clear();
            }
            continue;
        }
        if (RuleKindNumber(rule.kind) <= 0) continue;
        const std::string prefix = platform::FolderPrefix(rule.path);
        if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) continue;
        std::string rest = path.substr(prefix.size());
        if (rule.kind != RuleKind::kTree && rest.find(platform::kSeparator) != std::string::npos)
            continue;
        if (!covering || prefix.size() > covering->path.size()) {
            covering = &rule;
            covering_rest = std::move(rest);
        }
    }
    if (below) *below = std::move(covering_rest);
    return covering;
}

Result<WatchedPlace> OpenWatchedPlace(platform::Env& env, const RuleTable& rules,
                                      const std::string& path) {
    std::string below;
    const Rule* covering = CoveringRule(rules, path, &below);
    if (!covering)
        return Status::Error(ErrorKind::kNotFound, ENOENT,
                             Message(NoticeCode::kNotInAnyWatchedPlace, {path}));
    auto resolved = platform::ResolveAdministratorPath(env, covering->path);
    if (!resolved.ok()) return resolved.status();
    WatchedPlace place;
    if (covering->kind == RuleKind::kFile) {
        if (resolved->name.empty()) return Status::FromErrno(EISDIR, covering->path);
        place.root = resolved->parent;
        place.root_path = platform::ParentOfPath(covering->path);
        place.relative = {resolved->name};
        return place;
    }
    auto root = platform::OpenResolvedDirectory(resolved.value(), covering->path);
    if (!root.ok()) return root.status();
    place.root = std::move(root).value();
    place.root_path = covering->path;
    place.relative = platform::PathNames(below);
    if (place.relative.empty()) return Status::FromErrno(EISDIR, path);
    return place;
}

Result<std::shared_ptr<platform::DirectoryHandle>> OpenHoldingFolder(const WatchedPlace& place) {
    std::shared_ptr<platform::DirectoryHandle> folder = place.root;
    std::string shown = place.root_path;
    for (size_t i = 0; i + 1 < place.relative.size(); ++i) {
        shown = platform::FolderPrefix(shown) + place.relative[i];
        auto next = platform::OpenDirectoryAt(*folder, place.relative[i], shown);
        if (!next.ok()) return next.status();
        folder = std::move(next).value();
    }
    return folder;
}

}  // namespace norv
