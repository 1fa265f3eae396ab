#include "platform/fs/tree_walk.h"

#include "platform/base/notice_code.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

namespace norv::platform {
namespace {

// Folders held open at once; deeper down, a folder is closed while its subfolders are walked.
constexpr size_t kHeldFolders = 64;

}  // namespace

struct TreeWalk::Frame {
    std::shared_ptr<DirectoryHandle> handle;  // null while closed deep in a tree, or when lost
    FileIdentity identity;
    size_t path_length = 0;  // this folder's path is path_'s first path_length bytes
    std::vector<std::string> subfolders;
    std::vector<DirEntry> files;
    size_t next_subfolder = 0;
    size_t next_file = 0;
    bool files_left_out = false;

    void Abandon() {
        next_subfolder = subfolders.size();
        next_file = files.size();
    }
};

std::string FolderPrefix(const std::string& path) {
    if (!path.empty() && path.back() == kSeparator) return path;
    return path + kSeparator;
}

TreeWalk::TreeWalk(std::shared_ptr<DirectoryHandle> root, std::string root_path, Options options)
    : options_(std::move(options)),
      mounts_(root->env()),
      root_(std::move(root)),
      path_(FolderPrefix(root_path)) {}

TreeWalk::~TreeWalk() = default;

bool TreeWalk::Skipped(const FileIdentity& identity) {
    return std::find(options_.skipped.begin(), options_.skipped.end(), identity) !=
               options_.skipped.end() ||
           mounts_.Pseudo(identity.device);
}

Status TreeWalk::Enter(std::shared_ptr<DirectoryHandle> folder, const FileIdentity& identity) {
    Frame frame;
    if (options_.before_listing) options_.before_listing(*folder, path_);
    auto listing = ListDirectory(*folder, path_);
    if (!listing.ok()) return listing.status();
    frame.identity = identity;
    const Options::Take take = options_.take ? options_.take(identity, path_) : Options::Take::kAll;
    frame.files_left_out = take != Options::Take::kAll;
    for (auto& entry : listing.value()) {
        if (entry.kind == EntryKind::kDirectory) {
            if (options_.recursive && take != Options::Take::kNothing) {
                frame.subfolders.push_back(std::move(entry.name));
            }
        } else if (frame.files_left_out) {
            continue;
        } else if (entry.kind == EntryKind::kRegular || entry.kind == EntryKind::kSymlink ||
                   (entry.kind == EntryKind::kOther && options_.special_files)) {
            frame.files.push_back(std::move(entry));
        }
    }
    frame.handle = std::move(folder);
    frame.path_length = path_.size();
    stack_.push_back(std::move(frame));
    // Deep in a tree the parent is closed while this folder is walked; ReturnToParent opens it
    // again.
    if (stack_.size() > kHeldFolders) stack_[stack_.size() - 2].handle.reset();
    return Status::Ok();
}

std::optional<TreeWalk::Entry> TreeWalk::ReturnToParent() {
    Frame child = std::move(stack_.back());
    stack_.pop_back();
    if (stack_.empty()) return std::nullopt;
    Frame& parent = stack_.back();
    path_.resize(parent.path_length);
    if (parent.handle) return std::nullopt;
    // ".." is never a link; the folder found must be the one recorded on the way down, or the
    // parent was moved meanwhile and the rest of it is not walked.
    int err = ENOENT;
    if (child.handle) {
        Env& env = child.handle->env();
        int fd = env.OpenAt(child.handle->fd(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
        if (fd >= 0) {
            auto reopened = std::make_shared<DirectoryHandle>(env, fd);
            auto identity = IdentityOf(*reopened, path_);
            if (identity.ok() && identity.value() == parent.identity) {
                parent.handle = std::move(reopened);
                return std::nullopt;
            }
        } else {
            err = errno;
        }
    }
    const bool unfinished =
        parent.next_subfolder < parent.subfolders.size() || parent.next_file < parent.files.size();
    parent.Abandon();
    if (!unfinished) return std::nullopt;
    return Unseen(path_, Status::FromErrno(err, Message(NoticeCode::kMovedDuringCheck, {path_})));
}

TreeWalk::Entry TreeWalk::Unseen(const std::string& dir, Status why) {
    Entry entry;
    entry.type = Entry::Type::kUnseen;
    entry.dir = dir;
    entry.failure = std::move(why);
    return entry;
}

std::optional<TreeWalk::Entry> TreeWalk::Descend(std::shared_ptr<DirectoryHandle> folder,
                                                 const std::string& name) {
    // path_ holds the folder's path, ending in the separator.
    Entry entry;
    auto identity = IdentityOf(*folder, path_);
    if (!identity.ok() || Skipped(identity.value())) {
        entry.type = Entry::Type::kSkippedFolder;
        entry.name = name;
        entry.dir = path_;
        if (!identity.ok()) entry = Unseen(path_, identity.status());
        if (!stack_.empty()) path_.resize(stack_.back().path_length);
        return entry;
    }
    Status entered = Enter(folder, identity.value());
    if (!entered.ok()) {
        // An unreadable folder hides only itself; the root not listed is the whole walk.
        entry = Unseen(path_, entered);
        if (stack_.empty()) finished_ = true;
        if (!stack_.empty()) path_.resize(stack_.back().path_length);
        return entry;
    }
    if (stack_.back().files_left_out) {
        entry.type = Entry::Type::kFilesLeftOut;
        entry.dir = path_;
        entry.name = name;
        return entry;
    }
    if (!options_.report_folders) return std::nullopt;
    entry.type = Entry::Type::kFolder;
    entry.folder = std::move(folder);
    entry.dir = path_;
    entry.name = name;
    return entry;
}

TreeWalk::Entry TreeWalk::Next() {
    if (finished_) return Entry();
    if (!started_) {
        started_ = true;
        if (auto entry = Descend(std::move(root_), "")) return *entry;
    }
    while (!stack_.empty()) {
        Frame& frame = stack_.back();
        if (frame.next_subfolder < frame.subfolders.size()) {
            // A copy: entering the child may move the frames.
            const std::string name = frame.subfolders[frame.next_subfolder++];
            path_ += name;
            auto child = OpenDirectoryAt(*frame.handle, name, path_, mounts_);
            if (!child.ok()) {
                // Gone, swapped for a link, not to be entered since the listing, or a file
                // system another user mounted: not walked, not followed, and said. Only running
                // out of descriptors ends the walk.
                if (child.status().Is(ErrorKind::kTooManyFiles)) {
                    finished_ = true;
                    Entry failure;
                    failure.type = Entry::Type::kFailure;
                    failure.failure = child.status();
                    return failure;
                }
                Entry unseen = Unseen(FolderPrefix(path_), child.status());
                path_.resize(frame.path_length);
                return unseen;
            }
            path_ += kSeparator;
            if (auto entry = Descend(std::move(child).value(), name)) return *entry;
            continue;
        }
        if (frame.next_file < frame.files.size()) {
            const DirEntry& file = frame.files[frame.next_file++];
            Entry entry;
            entry.type =
                file.kind == EntryKind::kOther ? Entry::Type::kSpecial : Entry::Type::kFile;
            entry.folder = frame.handle;
            entry.dir = path_;
            entry.name = file.name;
            entry.kind = file.kind;
            return entry;
        }
        if (auto unseen = ReturnToParent()) return *unseen;
    }
    finished_ = true;
    return Entry();
}

}  // namespace norv::platform
