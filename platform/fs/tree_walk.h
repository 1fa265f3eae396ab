// TreeWalk: every file below one open folder, reached only through open folder descriptors.
//
// Each folder is listed once and opened relative to its parent's descriptor without following
// a link, so a folder swapped for a symbolic link at any moment is never entered: it counts as
// gone. Subfolders are walked first, depth first in listing order, then the folder's own files
// (regular files and links; FIFOs, sockets and devices only when asked for). Depth and path length
// are unlimited: full paths are only built as text for the caller, and deep in a tree the walk
// keeps only a bounded number of folders open, finding its way back up through "..", checked
// against the identity it recorded on the way down. What it cannot see (a folder that vanished,
// was swapped or cannot be read) comes out as an unseen place with the reason, never in silence,
// and the walk goes on.
//
// Folders of pseudo file systems (/proc, /sys, /dev and the like) are never entered, so a rule
// on "/" completes; they come out as skipped folders like the ones the caller names. A file
// system another user mounted (FUSE) is not entered either: it comes out as an unseen place
// (see MountGuard).
//
// Every call goes through the Env the root folder was opened with. One walk is used by one
// thread at a time; the folder handles it hands out may be used on other threads.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/status.h"
#include "platform/fs/file_system.h"

namespace norv::platform {

class TreeWalk {
  public:
    struct Options {
        bool recursive = true;        // false: the folder's own files only
        bool report_folders = false;  // hand out each folder entered (kFolder), before its files
        // Hand out FIFOs, sockets and devices too, as kSpecial entries.
        bool special_files = false;
        std::vector<FileIdentity> skipped;  // folders never entered (kSkippedFolder instead)
        // Called with each folder entered and its path (ending in the separator) just before
        // the folder is listed: a watch set here misses nothing the listing does not show.
        std::function<void(const DirectoryHandle&, const std::string&)> before_listing;
        // Called with each folder's identity and path once it is listed: what of it to walk.
        // Anything but kAll hands out a kFilesLeftOut entry for the folder (instead of kFolder).
        enum class Take { kAll, kSubfoldersOnly, kNothing };
        std::function<Take(const FileIdentity&, const std::string&)> take;
    };

    struct Entry {
        // kUnseen: a part of the tree the walk could not see (a folder gone, moved, swapped
        // for a link or unreadable since the listing, or the rest of a folder moved away while
        // the walk was below it); `dir` names it (a folder's path ends in the separator) and
        // `failure` says why. The walk goes on with the rest.
        // kFilesLeftOut: a folder whose own files (and, with Take::kNothing, subfolders) the
        // `take` option left out; `dir` names it.
        // kSpecial: a FIFO, socket or device (Options::special_files), never to be opened.
        enum class Type {
            kFile,
            kSpecial,
            kFolder,
            kSkippedFolder,
            kUnseen,
            kFilesLeftOut,
            kFailure,
            kEnd
        };
        Type type = Type::kEnd;
        // kFile, kSpecial: the folder holding it. kFolder: the folder itself.
        std::shared_ptr<DirectoryHandle> folder;
        std::string dir;  // full path of the holding folder, ending in the separator
        // kFile, kSpecial: the name in `folder`; kFolder, kSkippedFolder: the folder's.
        std::string name;
        EntryKind kind = EntryKind::kMissing;  // as listed
        Status failure;                        // kFailure: the walk ends with this
    };

    // Walks the open folder `root`, whose path (as records and messages show it) is `root_path`.
    TreeWalk(std::shared_ptr<DirectoryHandle> root, std::string root_path, Options options);
    ~TreeWalk();
    TreeWalk(const TreeWalk&) = delete;
    TreeWalk& operator=(const TreeWalk&) = delete;

    // The next entry in walk order. After kEnd or kFailure, kEnd for ever.
    Entry Next();

  private:
    struct Frame;
    Status Enter(std::shared_ptr<DirectoryHandle> folder, const FileIdentity& identity);
    // Enters `folder` (named `name` in its parent; path_ already holds its path) unless it is
    // skipped; the entry to hand out now, if any: the skipped folder, a failure, or the folder
    // itself when folders are reported.
    std::optional<Entry> Descend(std::shared_ptr<DirectoryHandle> folder, const std::string& name);
    // Back to the parent folder; the parent's path as an unseen place when it was moved away
    // meanwhile and the rest of it cannot be walked.
    std::optional<Entry> ReturnToParent();
    bool Skipped(const FileIdentity& identity);
    static Entry Unseen(const std::string& dir, Status why);

    Options options_;
    MountGuard mounts_;
    std::shared_ptr<DirectoryHandle> root_;  // until the first Next()
    // The current folder's path, ending in the separator; each frame keeps only its length, so
    // a deep chain of folders costs memory in proportion to its depth, not its square.
    std::string path_;
    std::vector<Frame> stack_;
    bool started_ = false;
    bool finished_ = false;
};

// The folder path with the separator on its end ("/srv/www" gives "/srv/www/").
std::string FolderPrefix(const std::string& path);

}  // namespace norv::platform
