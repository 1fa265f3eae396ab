#include "platform/tree_walk.h"

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

bool GoneOrSwapped(const Status& status) {
    return status.Is(ErrorKind::kNotFound) || status.Is(ErrorKind::kLink);
}

}  // namespace

struct TreeWalk::Frame {
    std::shared_ptr<DirectoryHandle> handle;  // null while closed deep in a tree, or when lost
    FileIdentity identity;
    std::string dir;
    std::vector<std::string> subfolders;
    std::vector<DirEntry> files;
    size_t next_subfolder = 0;
    size_t next_file = 0;

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
    : options_(std::move(options)), pseudo_devices_(PseudoFileSystemDevices()) {
    Frame frame;
    frame.handle = std::move(root);
    frame.dir = FolderPrefix(root_path);
    stack_.push_back(std::move(frame));
}

TreeWalk::~TreeWalk() = default;

bool TreeWalk::Skipped(const FileIdentity& identity) const {
    return std::find(options_.skipped.begin(), options_.skipped.end(), identity) !=
               options_.skipped.end() ||
           std::find(pseudo_devices_.begin(), pseudo_devices_.end(), identity.device) !=
               pseudo_devices_.end();
}

Status TreeWalk::Enter(std::shared_ptr<DirectoryHandle> folder, std::string dir) {
    Frame frame;
    auto identity = IdentityOf(*folder, dir);
    if (!identity.ok()) return identity.status();
    auto listing = ListDirectory(*folder, dir);
    if (!listing.ok()) return listing.status();
    frame.identity = identity.value();
    for (auto& entry : listing.value()) {
        if (entry.kind == EntryKind::kDirectory) {
            if (options_.recursive) frame.subfolders.push_back(std::move(entry.name));
        } else if (entry.kind == EntryKind::kRegular || entry.kind == EntryKind::kSymlink) {
            frame.files.push_back(std::move(entry));
        }
    }
    frame.handle = std::move(folder);
    frame.dir = std::move(dir);
    stack_.push_back(std::move(frame));
    // Deep in a tree the parent is closed while this folder is walked; ReturnToParent opens it
    // again.
    if (stack_.size() > kHeldFolders) stack_[stack_.size() - 2].handle.reset();
    return Status::Ok();
}

bool TreeWalk::ReturnToParent() {
    Frame child = std::move(stack_.back());
    stack_.pop_back();
    if (stack_.empty()) return false;
    Frame& parent = stack_.back();
    if (parent.handle) return true;
    // ".." is never a link; the folder found must be the one recorded on the way down, or the
    // parent was moved meanwhile and the rest of it is not walked.
    if (child.handle) {
        int fd = ::openat(child.handle->fd(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            auto reopened = std::make_shared<DirectoryHandle>(fd);
            auto identity = IdentityOf(*reopened, parent.dir);
            if (identity.ok() && identity.value() == parent.identity) {
                parent.handle = std::move(reopened);
                return true;
            }
        }
    }
    parent.Abandon();
    return true;
}

std::optional<TreeWalk::Entry> TreeWalk::Descend(std::shared_ptr<DirectoryHandle> folder,
                                                 std::string dir, const std::string& name) {
    Entry entry;
    auto identity = IdentityOf(*folder, dir);
    if (identity.ok() && Skipped(identity.value())) {
        entry.type = Entry::Type::kSkippedFolder;
        entry.dir = std::move(dir);
        entry.name = name;
        return entry;
    }
    Status entered = Enter(folder, dir);
    if (!entered.ok()) {
        finished_ = true;
        entry.type = Entry::Type::kFailure;
        entry.failure = entered;
        return entry;
    }
    if (!options_.report_folders) return std::nullopt;
    entry.type = Entry::Type::kFolder;
    entry.folder = std::move(folder);
    entry.dir = std::move(dir);
    entry.name = name;
    return entry;
}

TreeWalk::Entry TreeWalk::Next() {
    if (finished_) return Entry();
    if (!started_) {
        started_ = true;
        Frame root = std::move(stack_.back());
        stack_.pop_back();
        if (auto entry = Descend(root.handle, root.dir, "")) return *entry;
    }
    while (!stack_.empty()) {
        Frame& frame = stack_.back();
        if (frame.next_subfolder < frame.subfolders.size()) {
            // A copy: entering the child may move the frames.
            const std::string name = frame.subfolders[frame.next_subfolder++];
            std::string path = frame.dir + name;
            auto child = OpenDirectoryAt(*frame.handle, name, path);
            if (!child.ok()) {
                // Gone, or swapped for a link, since the listing: not walked, not followed.
                if (GoneOrSwapped(child.status())) continue;
                finished_ = true;
                Entry failure;
                failure.type = Entry::Type::kFailure;
                failure.failure = child.status();
                return failure;
            }
            if (auto entry = Descend(std::move(child).value(), FolderPrefix(path), name)) {
                return *entry;
            }
            continue;
        }
        if (frame.next_file < frame.files.size()) {
            const DirEntry& file = frame.files[frame.next_file++];
            Entry entry;
            entry.type = Entry::Type::kFile;
            entry.folder = frame.handle;
            entry.dir = frame.dir;
            entry.name = file.name;
            entry.kind = file.kind;
            return entry;
        }
        ReturnToParent();
    }
    finished_ = true;
    return Entry();
}

}  // namespace norv::platform
