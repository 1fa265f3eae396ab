// The watch's watches: which folders it watches for the rules in the baseline, the folders it
// adds as they are made, and the paths and folders its events name. With inotify every folder of
// a tree is watched before its events can come; with fanotify a tree's own folder is its anchor,
// and a folder below is watched when its first event comes (WatchEventFolder).
#include <algorithm>

#include "config/watched_place.h"
#include "engine/change_watcher.h"
#include "engine/scan_log.h"
#include "platform/base/notice_code.h"
#include "platform/fs/tree_walk.h"

namespace norv {

namespace {
// What AddWalkedWatch gives for a folder it did not watch: one it could not (said, and left to a
// full check), or one too deep to watch (left to the periodic full checks).
constexpr int kNotWatched = -1;
constexpr int kTooDeep = -2;
}  // namespace

void ChangeWatcher::SetWatches() {
    excluded_ = ProgramFolders(engine_.env(), settings_);
    std::unordered_map<int, Folder> previous = std::move(folders_);
    folders_.clear();
    anchors_.clear();
    // Rules may have changed what lies outside the trees.
    events_->ForgetIgnored();
    const bool on_first_event = events_->SeesUnwatchedFolders();
    watch_failure_said_ = false;
    too_deep_said_ = false;
    unwatched_folders_ = 0;
    over_watch_limit_ = 0;
    // A rule not in the baseline yet: the full checks say so, and nothing there is answered.
    // When the store cannot say, every rule is watched.
    auto in_baseline = engine_.RulesInBaseline(rules_.rules);
    std::vector<std::shared_ptr<platform::DirectoryHandle>> rule_folders;  // not a tree's own
    for (size_t i = 0; i < rules_.rules.size(); ++i) {
        const Rule& rule = rules_.rules[i];
        if (in_baseline.ok() && !(*in_baseline)[i]) continue;
        auto resolved = platform::ResolveAdministratorPath(engine_.env(), rule.path);
        // A path that is not there, or a link not to be followed: the full checks say so.
        if (!resolved.ok()) continue;
        if (rule.kind == RuleKind::kFile) {
            if (resolved->name.empty()) continue;
            Folder uses;
            uses.name = platform::FolderPrefix(platform::ParentOfPath(rule.path));
            uses.single_files.emplace_back(resolved->name, rule.path);
            AddWatch(*resolved->parent, uses.name, uses);
            if (on_first_event) rule_folders.push_back(resolved->parent);
            continue;
        }
        if (rule.kind != RuleKind::kFolder && rule.kind != RuleKind::kTree) continue;
        auto root = platform::OpenResolvedDirectory(resolved.value(), rule.path);
        if (!root.ok()) continue;
        Folder uses;
        uses.all_files = true;
        uses.tree = rule.kind == RuleKind::kTree;
        if (on_first_event) {
            std::vector<std::pair<size_t, int>> none;
            const std::string path = platform::FolderPrefix(rule.path);
            const int watch = AddWalkedWatch(**root, path, uses, none);
            if (watch >= 0 && uses.tree) AddAnchor(watch, **root, path);
            if (watch >= 0 && !uses.tree) rule_folders.push_back(std::move(root).value());
            continue;
        }
        platform::TreeWalk::Options walk_options;
        walk_options.recursive = uses.tree;
        walk_options.skipped = excluded_;
        std::vector<std::pair<size_t, int>> above;
        walk_options.before_listing = [&](const platform::DirectoryHandle& folder,
                                          const std::string& path) {
            AddWalkedWatch(folder, path, uses, above);
        };
        platform::TreeWalk walk(std::move(root).value(), rule.path, std::move(walk_options));
        for (;;) {
            platform::TreeWalk::Entry entry = walk.Next();
            if (entry.type == platform::TreeWalk::Entry::Type::kEnd) break;
            if (entry.type == platform::TreeWalk::Entry::Type::kFailure ||
                entry.type == platform::TreeWalk::Entry::Type::kUnseen) {
                // That part goes unwatched; the full checks still walk it.
                ++unwatched_folders_;
                notices_.Notify(
                    {NoticeKind::kWatchError, entry.dir, entry.failure,
                     Message(NoticeCode::kFoldersBelowNotWatched, {entry.failure.what()})});
                if (entry.type == platform::TreeWalk::Entry::Type::kFailure) break;
            }
        }
    }
    // A file system mounted in a tree has its own anchor, so that its file system is marked.
    std::vector<std::string> anchor_paths;
    for (const auto& anchor : anchors_) anchor_paths.push_back(anchor.path);
    const auto mounted_below = platform::MountPointsBelow(engine_.env(), anchor_paths);
    for (size_t i = 0; i < mounted_below.size(); ++i) {
        for (const std::string& mounted : mounted_below[i]) {
            std::shared_ptr<platform::DirectoryHandle> reached;
            const int watch =
                WatchEventFolderAt(platform::FolderPrefix(mounted), nullptr, nullptr, &reached);
            if (watch >= 0 && reached) AddAnchor(watch, *reached, FolderPath(watch));
        }
    }
    // A file or folder rule's folder in a tree: watched as the tree's folder too.
    for (const auto& folder : rule_folders) {
        auto named = platform::PathOfOpenFolder(*folder, "");
        auto identity = platform::IdentityOf(*folder, "");
        if (named.ok() && identity.ok()) {
            WatchEventFolderAt(platform::FolderPrefix(named.value()), &identity.value());
        }
    }
    for (const auto& [watch, folder] : previous) {
        if (folders_.count(watch) == 0) events_->Unwatch(watch);
    }
    statistics_.folders = folders_.size();
    // The limit's advice only when the limit is what kept folders out; a folder that could not
    // be read or watched for another reason was said with its own cause.
    if (over_watch_limit_ > 0) {
        const int64_t limit = platform::ReadWatchLimits().max_user_watches;
        // What is watched now, what could not be, and a margin for folders still to come.
        const std::string needed = std::to_string(
            std::max((static_cast<int64_t>(folders_.size()) + unwatched_folders_) * 5 / 4 + 1024,
                     limit + 1));
        const Message text(NoticeCode::kOverWatchLimit,
                           {std::to_string(over_watch_limit_), std::to_string(limit), needed});
        notices_.Notify(
            {NoticeKind::kWatchError, "", Status::Error(ErrorKind::kLimit, kErrLimit, text), text});
    }
}

int ChangeWatcher::AddWalkedWatch(const platform::DirectoryHandle& folder, const std::string& path,
                                  const Folder& uses, std::vector<std::pair<size_t, int>>& above) {
    // The walk goes depth first: the folder above is the innermost one still open, found by the
    // length of its path.
    while (!above.empty() && above.back().first >= path.size()) above.pop_back();
    Folder here = uses;
    int watch = kNotWatched;
    if (above.empty()) {
        here.name = path;
        watch = AddWatch(folder, path, here);
    } else if (above.back().second == kTooDeep) {
        watch = kTooDeep;  // said once already
    } else if (const int parent = above.back().second; parent >= 0) {
        here.parent = parent;
        here.name = path.substr(above.back().first, path.size() - above.back().first - 1);
        here.depth = folders_[parent].depth + 1;
        if (here.depth <= kMostWatchedDepth) {
            watch = AddWatch(folder, path, here);
        } else {
            watch = kTooDeep;
            ++unwatched_folders_;
            if (!too_deep_said_) {
                too_deep_said_ = true;
                const Message text(NoticeCode::kFolderTooDeep,
                                   {DisplayPath(path), std::to_string(kMostWatchedDepth)});
                notices_.Notify({NoticeKind::kWatchError, path,
                                 Status::Error(ErrorKind::kLimit, kErrLimit, text), text});
            }
        }
    } else {
        ++unwatched_folders_;  // below a folder that could not be watched
    }
    above.emplace_back(path.size(), watch);
    return watch;
}

void ChangeWatcher::AddAnchor(int watch, const platform::DirectoryHandle& folder,
                              const std::string& path) {
    auto named = platform::PathOfOpenFolder(folder, path);
    auto key = platform::FolderHandleKey(folder, path);
    if (!named.ok() || !key.ok()) {
        // Its folders cannot be found from it: the full checks cover them.
        const Status failed = named.ok() ? key.status() : named.status();
        notices_.Notify({NoticeKind::kWatchError, path, failed,
                         Message(NoticeCode::kFoldersBelowNotWatched, {failed.what()})});
        return;
    }
    anchors_.push_back(Anchor{watch, platform::FolderPrefix(named.value()),
                              std::string(platform::FileSystemOfKey(key.value()))});
}

const ChangeWatcher::Anchor* ChangeWatcher::InnermostAnchor(const std::string& kernel_path) const {
    const Anchor* innermost = nullptr;
    for (const Anchor& anchor : anchors_) {
        if (kernel_path.size() > anchor.path.size() && kernel_path.starts_with(anchor.path) &&
            (innermost == nullptr || anchor.path.size() > innermost->path.size())) {
            innermost = &anchor;
        }
    }
    return innermost;
}

int ChangeWatcher::WatchEventFolder(const std::string& key) {
    if (const int known = events_->WatchOf(key); known >= 0) return known;
    // Each anchor on the folder's file system finds it by its handle, but names it from its own
    // mount: a folder bound elsewhere sees only its part.
    for (size_t i = 0; i < anchors_.size(); ++i) {
        if (anchors_[i].file_system != platform::FileSystemOfKey(key)) continue;
        auto anchor_folder = OpenWatched(anchors_[i].watch);
        if (!anchor_folder.ok()) continue;
        auto located = platform::LocateFolder(**anchor_folder, key);
        if (!located.ok()) {
            // Gone already: its removal is said in the folder that held it. Not named (a path
            // longer than the kernel names): a full check sees it.
            if (located.status().code() != ENOENT && located.status().code() != ESTALE) {
                RequestFullCheck(Message(NoticeCode::kFullCheckFor, {located.status().what()}));
            }
            return kNotWatched;
        }
        const std::string path = platform::FolderPrefix(located->path);
        if (InnermostAnchor(path) != nullptr) {
            return WatchEventFolderAt(path, &located->identity, &key);
        }
    }
    events_->Ignore(key);
    return kNotWatched;
}

int ChangeWatcher::WatchEventFolderAt(const std::string& kernel_path,
                                      const platform::FileIdentity* expected,
                                      const std::string* key,
                                      std::shared_ptr<platform::DirectoryHandle>* reached) {
    const Anchor* anchor = InnermostAnchor(kernel_path);
    auto outside = [&] {
        if (key != nullptr) events_->Ignore(*key);
        return kNotWatched;
    };
    if (anchor == nullptr) return outside();
    const auto anchor_folder = folders_.find(anchor->watch);
    if (anchor_folder == folders_.end()) return kNotWatched;  // removed, and said as it went
    const std::vector<std::string> names =
        platform::PathNames(kernel_path.substr(anchor->path.size()));
    if (anchor_folder->second.depth + static_cast<int>(names.size()) > kMostWatchedDepth) {
        return outside();  // left to the periodic full checks, as a walk leaves it
    }
    auto opened = OpenWatched(anchor->watch);
    if (!opened.ok()) return kNotWatched;
    std::shared_ptr<platform::DirectoryHandle> folder = std::move(opened).value();
    // The path is the kernel's word at one moment: each name is opened from the anchor down,
    // never through a link, and the folder reached must be the one the event named.
    std::string path = FolderPath(anchor->watch);
    std::vector<std::pair<size_t, int>> above{{path.size(), anchor->watch}};
    Folder uses;
    uses.tree = true;
    uses.all_files = true;
    int watch = anchor->watch;
    for (const std::string& name : names) {
        if (IsNamedLikeProgramFolder(name)) excluded_ = ProgramFolders(engine_.env(), settings_);
        auto child = platform::OpenDirectoryAt(*folder, name, path + name);
        if (!child.ok()) {
            // Moved or swapped while it was found: a full check sees where it went. A file system
            // norv may not enter stays out.
            if (child.status().Is(ErrorKind::kRefused)) return outside();
            RequestFullCheck(Message(NoticeCode::kFullCheckFor, {child.status().what()}));
            return kNotWatched;
        }
        auto identity = platform::IdentityOf(**child, path + name);
        if (!identity.ok()) return kNotWatched;
        if (std::find(excluded_.begin(), excluded_.end(), identity.value()) != excluded_.end()) {
            return outside();
        }
        path += name + "/";
        watch = AddWalkedWatch(**child, path, uses, above);
        if (watch < 0) return kNotWatched;
        folder = std::move(child).value();
    }
    if (expected != nullptr) {
        auto identity = platform::IdentityOf(*folder, path);
        if (!identity.ok() || !(identity.value() == *expected)) {
            RequestFullCheck(Message(NoticeCode::kWatchedFolderReplaced, {DisplayPath(path)}));
            return kNotWatched;
        }
    }
    statistics_.folders = folders_.size();
    if (reached != nullptr) *reached = std::move(folder);
    return watch;
}

std::string ChangeWatcher::FolderPath(int watch) const {
    std::vector<const Folder*> chain;
    for (int at = watch; at >= 0;) {
        auto found = folders_.find(at);
        // A folder on the way given up, or a chain longer than any watched one (links of
        // folders reached again by another way): no path.
        if (found == folders_.end() || chain.size() > kMostWatchedDepth) return {};
        chain.push_back(&found->second);
        at = found->second.parent;
    }
    std::string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        path += (*it)->name;
        if ((*it)->parent >= 0) path += '/';
    }
    return path;
}

std::string ChangeWatcher::FilePath(int watch, const Folder& folder,
                                    const std::string& name) const {
    for (const auto& [single_name, rule_path] : folder.single_files) {
        if (single_name == name) return rule_path;
    }
    if (!folder.all_files) return {};
    const std::string path = FolderPath(watch);
    return path.empty() ? path : path + name;
}

int ChangeWatcher::AddWatch(const platform::DirectoryHandle& folder, const std::string& path,
                            const Folder& uses) {
    auto identity = platform::IdentityOf(folder, path);
    auto watch =
        identity.ok() ? events_->Watch(folder, DisplayPath(path)) : Result<int>(identity.status());
    if (!watch.ok() && watch.status().Is(ErrorKind::kUnsupported)) {
        // fanotify cannot watch this file system: the watches are set again with inotify.
        fanotify_unsupported_seen_ = true;
        fanotify_refusal_ = watch.status().what();
        return -1;
    }
    if (!watch.ok()) {
        ++unwatched_folders_;
        if (watch.status().Is(ErrorKind::kLimit)) {
            // Past the limit every further folder fails alike: said once, with advice at the end.
            ++over_watch_limit_;
            if (!watch_failure_said_) {
                watch_failure_said_ = true;
                notices_.Notify(
                    {NoticeKind::kWatchError, path, watch.status(), watch.status().what()});
            }
        } else {
            notices_.Notify({NoticeKind::kWatchError, path, watch.status(),
                             Message(NoticeCode::kFolderNotWatchedFor, {watch.status().what()})});
        }
        return -1;
    }
    auto [slot, fresh] = folders_.try_emplace(watch.value(), uses);
    Folder& folder_uses = slot->second;
    if (!fresh) {
        // One folder, one watch: the uses of every rule that reaches it, and its latest place.
        folder_uses.parent = uses.parent;
        folder_uses.name = uses.name;
        folder_uses.depth = uses.depth;
        folder_uses.tree = folder_uses.tree || uses.tree;
        folder_uses.all_files = folder_uses.all_files || uses.all_files;
        for (const auto& single : uses.single_files) {
            if (std::find(folder_uses.single_files.begin(), folder_uses.single_files.end(),
                          single) == folder_uses.single_files.end()) {
                folder_uses.single_files.push_back(single);
            }
        }
    }
    folder_uses.identity = identity.value();
    return watch.value();
}

bool ChangeWatcher::IsNamedLikeProgramFolder(const std::string& name) const {
    for (const std::string* folder : {&settings_.cracked_dir, &settings_.save_dir}) {
        const std::vector<std::string> names = platform::PathNames(*folder);
        if (std::find(names.begin(), names.end(), name) != names.end()) return true;
    }
    return false;
}

bool ChangeWatcher::IsOwnFile(const Folder& folder, const std::string& name) const {
    if (std::none_of(own_folders_.begin(), own_folders_.end(),
                     [&](const platform::FileIdentity& own) { return own == folder.identity; })) {
        return false;
    }
    return std::any_of(
        options_.own_file_prefixes.begin(), options_.own_file_prefixes.end(),
        [&](const std::string& own) { return name.compare(0, own.size(), own) == 0; });
}

Result<std::shared_ptr<platform::DirectoryHandle>> ChangeWatcher::OpenWatched(int watch) {
    auto found = folders_.find(watch);
    if (found == folders_.end()) {
        return Status::Error(ErrorKind::kNotFound, ENOENT, Message(NoticeCode::kFolderNotWatched));
    }
    const Folder& folder = found->second;
    const std::string path = FolderPath(watch);
    if (path.empty()) {
        RequestFullCheck();
        return Status::Error(ErrorKind::kRefused, EAGAIN, Message(NoticeCode::kWatchedFolderLost));
    }
    // Reached the way the rules reach it; a file rule's folder through the file rule itself.
    const std::string probe =
        folder.single_files.empty() ? path + "x" : folder.single_files.front().second;
    auto place = OpenWatchedPlace(engine_.env(), rules_, probe);
    if (!place.ok()) return place.status();
    auto opened = OpenHoldingFolder(place.value());
    if (!opened.ok()) return opened.status();
    auto identity = platform::IdentityOf(**opened, path);
    if (!identity.ok()) return identity.status();
    if (!(identity.value() == folder.identity)) {
        RequestFullCheck(Message(NoticeCode::kWatchedFolderReplaced, {DisplayPath(path)}));
        return Status::Error(ErrorKind::kRefused, EAGAIN,
                             Message(NoticeCode::kNotTheWatchedFolder, {DisplayPath(path)}));
    }
    return opened;
}

void ChangeWatcher::WatchNewFolder(int parent_watch, const std::string& name) {
    auto parent = OpenWatched(parent_watch);
    if (!parent.ok()) {
        if (!parent.status().Is(ErrorKind::kNotFound)) {
            RequestFullCheck(Message(NoticeCode::kFullCheckFor, {parent.status().what()}));
        }
        return;
    }
    const std::string parent_path = FolderPath(parent_watch);
    const std::string path = parent_path + name;
    // A cracked or save folder made since the watches were set (the first quarantine makes the
    // cracked folder) is known by its identity only once read again; the walk below then leaves
    // it out like those SetWatches found, so that a copy put there is no new file.
    if (IsNamedLikeProgramFolder(name)) excluded_ = ProgramFolders(engine_.env(), settings_);
    auto child = platform::OpenDirectoryAt(**parent, name, path);
    if (!child.ok()) {
        // Gone again, or swapped for a link: its own events say the rest. Anything else (a
        // folder norv may not read) is left to a full check, which says why.
        if (!child.status().Is(ErrorKind::kNotFound) && !child.status().Is(ErrorKind::kLink)) {
            RequestFullCheck();
        }
        return;
    }
    Folder uses;
    uses.tree = true;
    uses.all_files = true;
    std::vector<std::pair<size_t, int>> above{{parent_path.size(), parent_watch}};
    bool all_watched = true;
    platform::TreeWalk::Options walk_options;
    walk_options.skipped = excluded_;
    walk_options.before_listing = [&](const platform::DirectoryHandle& folder,
                                      const std::string& folder_path) {
        if (AddWalkedWatch(folder, folder_path, uses, above) == kNotWatched) all_watched = false;
    };
    platform::TreeWalk walk(std::move(child).value(), path, std::move(walk_options));
    // Files written before their folder's watch was set are only in the listing: each is
    // checked now.
    const Clock::time_point due = Now() - options_.timings.longest_wait;
    for (;;) {
        platform::TreeWalk::Entry entry = walk.Next();
        if (entry.type == platform::TreeWalk::Entry::Type::kEnd) break;
        if (entry.type == platform::TreeWalk::Entry::Type::kFailure ||
            entry.type == platform::TreeWalk::Entry::Type::kUnseen) {
            all_watched = false;
            if (entry.type == platform::TreeWalk::Entry::Type::kFailure) break;
            continue;
        }
        if (entry.type != platform::TreeWalk::Entry::Type::kFile) continue;
        // A folder's files come after its subfolders: its watch is the innermost one left.
        while (above.size() > 1 && above.back().first > entry.dir.size()) above.pop_back();
        const int watch = above.back().second;
        if (above.back().first != entry.dir.size() || watch < 0) continue;
        Queue(watch, folders_[watch], entry.name, due);
    }
    statistics_.folders = folders_.size();
    if (!all_watched)
        RequestFullCheck(Message(NoticeCode::kCannotWatchInside, {DisplayPath(path)}));
}

}  // namespace norv
