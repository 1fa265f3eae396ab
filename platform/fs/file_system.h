// The file-system facts the scan needs, on POSIX, without following symbolic links, every call
// through the Env given (a function on an open folder uses the folder's).
//
// Paths are byte strings exactly as the system holds them; they need not be valid UTF-8. Folder
// and name are joined by plain concatenation with the platform separator, as the rest of the
// program expects (a folder that already ends in one gives a doubled separator, which POSIX
// reads as one).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <charconv>
#include <compare>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/base/env.h"
#include "platform/base/status.h"

namespace norv::platform {

inline constexpr char kSeparator = '/';

enum class EntryKind { kMissing, kRegular, kSymlink, kDirectory, kOther };

struct DirEntry {
    std::string name;
    EntryKind kind;
};

// What makes one file-system object itself, whatever name it is reached by.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
    auto operator<=>(const FileIdentity&) const = default;
};

struct FileFacts {
    EntryKind kind = EntryKind::kMissing;
    int64_t size = 0;
    std::timespec mtime{};
    std::timespec ctime{};  // the inode's change time: moves with any change (at the clock's
                            // granularity), and no one can set it
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
    FileIdentity identity;
};

// An open folder, for looking up and opening its entries without walking the path again. It
// keeps the Env it was opened through: everything done below it goes through that Env, and the
// descriptor is closed through it.
class DirectoryHandle {
  public:
    DirectoryHandle(Env& env, int fd) : env_(&env), fd_(fd) {}
    ~DirectoryHandle();
    DirectoryHandle(const DirectoryHandle&) = delete;
    DirectoryHandle& operator=(const DirectoryHandle&) = delete;
    int fd() const { return fd_; }
    Env& env() const { return *env_; }

  private:
    Env* env_;
    int fd_;
};

// A descriptor closed through its Env when it goes.
class ScopedFd {
  public:
    explicit ScopedFd(Env& env, int fd = -1) : env_(&env), fd_(fd) {}
    ~ScopedFd() { reset(); }
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) env_->Close(fd_);
        fd_ = fd;
    }
    // Hands the descriptor over, no longer closing it.
    int release() { return std::exchange(fd_, -1); }

  private:
    Env* env_;
    int fd_;
};

// The target text of the symbolic link `name` in `dirfd` (a path when `dirfd` is AT_FDCWD); with
// `name` empty, of the link `dirfd` itself, opened with O_PATH | O_NOFOLLOW.
// Nothing, with errno set, when it cannot be read or is no link; ENAMETOOLONG when the text
// fills PATH_MAX, so a cut target is never taken for the whole.
std::optional<std::string> ReadLinkTarget(Env& env, int dirfd, const char* name);

// Opens a folder (not through a symbolic link). Fails with ENOENT or ENOTDIR when there is none.
Result<std::shared_ptr<DirectoryHandle>> OpenDirectory(Env& env, const std::string& path);

// `text`, whole, as a decimal number: false when it is empty, holds anything else, or does not
// fit T.
template <typename T>
bool ParseWholeNumber(std::string_view text, T& value) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

// What one line of /proc/self/mountinfo says of the file system mounted there.
struct MountFacts {
    dev_t device = 0;
    // A view of the kernel (proc, sysfs, devtmpfs, devpts, cgroup, debugfs, tracefs, securityfs,
    // pstore, bpf, configfs and the like): some "files" block for ever when read, and none is
    // content to watch.
    bool pseudo = false;
    // FUSE: a process answers every lookup and read there, with anything or never.
    bool fuse = false;
    std::optional<uid_t> fuse_user;  // the user it was mounted for (user_id=), when said
    std::string mount_point;         // where it is mounted, its escapes undone
};
// One line of the mount table; nothing when it is not one.
std::optional<MountFacts> ParseMountInfoLine(std::string_view line);
// For each of `folders` (paths ending in the separator, as the kernel names them), where each
// file system not of the kernel's views is mounted below it: one read of /proc/self/mountinfo,
// at most kMostMountLines.
std::vector<std::vector<std::string>> MountPointsBelow(Env& env,
                                                       const std::vector<std::string>& folders);

// A mount an ordinary user made (an fstab "user", "owner" or "group" mount; for a "users" mount
// mount(8) notes no user), as mount(8) notes it in kUserMountTable: where, and by whom.
struct UserMount {
    std::string target;
    std::string user;
};
inline constexpr const char* kUserMountTable = "/run/mount/utab";
// One line of that table ("SRC=... TARGET=... ROOT=... OPTS=...,user=NAME"); nothing when it
// is not one, or notes no user.
std::optional<UserMount> ParseUserMountLine(std::string_view line);

// Which mounted file systems norv enters, decided once per device from /proc/self/mountinfo
// (at most kMostMountLines lines, read again only for a device it has not met). A FUSE file
// system mounted by another user than root (or the running user) is refused: that user's
// process answers for it, and a read it never answers can be interrupted by no signal at all.
// So is a file system an ordinary user mounted from a device of theirs (kUserMountTable): they
// wrote its owners and modes, so a folder there that says root's is not. A mount point whose
// device is missing from a table that could not be read whole (too long, or not understood) is
// refused too. It looks through `env`. One guard is used by one thread at a
// time.
class MountGuard {
  public:
    static constexpr size_t kMostMountLines = 100000;  // the kernel's default fs.mount-max

    explicit MountGuard(Env& env) : env_(&env) {}

    // Ok when the entry `name` of the open folder `dirfd` ("" for `dirfd` itself) is no mount
    // point, or one of a file system norv may enter; kRefused naming `path` and the cause
    // otherwise. Learnt without asking the file system there anything (a statx that wants no
    // facts and never syncs), so a FUSE server hears nothing.
    Status Admit(int dirfd, const char* name, const std::string& path);
    // Whether `device` holds a pseudo file system.
    bool Pseudo(dev_t device);

  private:
    struct Verdict {
        bool pseudo = false;
        Message refused;  // why the file system may not be entered; empty when it may
    };
    const Verdict& Of(dev_t device);
    Env* env_;
    std::unordered_map<dev_t, Verdict> verdicts_;
};

// Opens the entry `name` of the open folder `dirfd` as openat(2) with `flags` would, except
// that a mount point there is never crossed: it fails with EXDEV instead. Returns -1 with errno
// set on failure.
int OpenWithinMount(Env& env, int dirfd, const char* name, int flags);

// Opens the folder `name` of the open folder `parent`, never through a symbolic link: a link
// (even one swapped in a moment ago) fails with ELOOP. A mount point is entered only when
// `mounts` admits its file system (kRefused otherwise), through the very folder it judged.
// `path` names it in errors.
Result<std::shared_ptr<DirectoryHandle>> OpenDirectoryAt(const DirectoryHandle& parent,
                                                         const std::string& name,
                                                         const std::string& path,
                                                         MountGuard& mounts);
// The same with a guard of its own.
Result<std::shared_ptr<DirectoryHandle>> OpenDirectoryAt(const DirectoryHandle& parent,
                                                         const std::string& name,
                                                         const std::string& path);

// The identity of an open folder.
Result<FileIdentity> IdentityOf(const DirectoryHandle& dir, const std::string& path);

// A path the administrator wrote, resolved one name at a time from "/" (or the working folder)
// through open folders. Only names no one but root (or the running user) can change are
// trusted, the test sudo and sshd apply: every name, the last included, must sit in a folder
// owned by root or the running user that nobody else may write, or in a sticky folder (as /tmp)
// and be owned by root or the running user itself; symbolic links on the way are followed only
// when root or the running user owns them. Anything else fails with kRefused, naming the first
// untrusted folder or link. At most 40 links are followed. The result is the open folder that
// holds the final object and its name there; for "/" itself, the root folder and "".
struct ResolvedPath {
    std::shared_ptr<DirectoryHandle> parent;
    std::string name;
};
Result<ResolvedPath> ResolveAdministratorPath(Env& env, const std::string& path);

// Opens the entry `name` of `dirfd` for reading without following a link and without ever
// blocking on a FIFO or device. A regular file whose open would wait for another process's
// lease to break (EWOULDBLOCK) is opened again, through the very inode found (an O_PATH
// descriptor checked to be a regular file, reopened through /proc/self/fd), in blocking mode:
// the wait lasts at most the kernel's lease-break time. `extra_flags` are added to O_RDONLY,
// O_NOFOLLOW and O_CLOEXEC. Returns -1 with errno set on failure (ELOOP for a link).
//
// A file system mounted on the entry itself is entered only when `mounts` is given and admits
// it, the same way through the very inode judged; otherwise the open fails with EXDEV, and a
// refusal's reason goes to `refusal`.
int OpenRegularForReading(Env& env, int dirfd, const char* name, int extra_flags = 0,
                          MountGuard* mounts = nullptr, Status* refusal = nullptr);

// A folder norv keeps its own files in (the program, save and cracked folders): its path passes
// the test above, and the folder itself is root's (or the running user's) and nobody else may
// write it. Anything else fails with kRefused and a message naming the folder and the cause.
Result<std::shared_ptr<DirectoryHandle>> OpenTrustedFolder(Env& env, const std::string& path);

// Opens the entry `name` of a trusted folder for reading, without following a link or
// blocking, only when it is a regular file of root (or the running user) that nobody else may
// write (kRefused otherwise). `path` names it in messages. The caller closes the descriptor.
Result<int> OpenTrustedFileAt(const DirectoryHandle& folder, const std::string& name,
                              const std::string& path);

// OpenTrustedFileAt of the file `path` in its trusted folder.
Result<int> OpenTrustedFile(Env& env, const std::string& path);

// The trusted folder (OpenTrustedFolder) that holds the file `path`: its folder part, "." for a
// bare name, "/" for a name right under the root.
Result<std::shared_ptr<DirectoryHandle>> OpenTrustedFolderOf(Env& env, const std::string& path);

// Why the file `st`, at `path`, is not root's (or the running user's) alone: it is no regular
// file, another user owns it, or group or others may write it; with `written` (a file norv writes
// in place), also when it has another name (a hard link), through which the writing would reach
// another file. The reason names the file and the fix ("chown root", "chmod go-w"); an empty
// message when it is theirs alone.
Message WhyFileUntrusted(Env& env, const struct stat& st, const std::string& path, bool written);

// For a file norv opens by its name in a trusted folder of its own (the database, which SQLite
// opens by its path): kRefused when the entry `name` of `folder` is there and is not root's alone
// (WhyFileUntrusted), looked at without following a link. A missing file passes. `path` names it.
Status CheckTrustedFileAt(const DirectoryHandle& folder, const std::string& name,
                          const std::string& path, bool written);

// For a file norv has just opened to write in place (O_APPEND, or truncated after this): kRefused
// unless `fd` is a regular file of root's alone with no other name (WhyFileUntrusted, written).
// `path` names it in the message; `shown` (what the file is to a person, as "the log file", or
// nothing) goes before it.
Status CheckOwnFileToWrite(Env& env, int fd, const std::string& path, const Message& shown = {});
// The same of the facts `st` the caller already has of the open file.
Status CheckOwnFileToWrite(Env& env, const struct stat& st, const std::string& path,
                           const Message& shown = {});

// The folder a resolved path names, opened (ENOTDIR when it is something else).
Result<std::shared_ptr<DirectoryHandle>> OpenResolvedDirectory(const ResolvedPath& resolved,
                                                               const std::string& path);

// The names of a path, empty ones and "." left out ("/a//b/" gives a, b).
std::vector<std::string> PathNames(std::string_view path);

// Raises this process's limit of open files to the most it may have: the walk holds one open
// folder per level of depth it is in.
void RaiseOpenFileLimit();
// Every entry of an open folder, as ListDirectory gives them; `path` only names it in errors.
Result<std::vector<DirEntry>> ListDirectory(const DirectoryHandle& dir, const std::string& path);
// LStat of an entry of an open folder.
Result<FileFacts> LStatAt(const DirectoryHandle& dir, const std::string& name,
                          const std::string& path);

// The folder that holds the running executable, without a trailing separator.
std::string ExecutableDirectory(Env& env);

// `dir` + separator + `name`, the separator added even when `dir` ends in one.
std::string JoinPath(const std::string& dir, const std::string& name);

// The last piece of `path` when split at every separator; a path without one is its own name.
std::string FileNameOfPath(const std::string& path);

// The folder part of `path` (everything before the last separator), "" when there is none.
std::string ParentOfPath(const std::string& path);

// Every entry of a folder in the order the system returns them, "." and ".." left out.
// A folder that does not exist (or is not a folder) fails with ENOENT or ENOTDIR.
Result<std::vector<DirEntry>> ListDirectory(Env& env, const std::string& path);

// Facts of the entry itself (a symbolic link is not followed). A missing entry is kMissing with
// an ok result; other failures (permission, bad path) fail.
Result<FileFacts> LStat(Env& env, const std::string& path);

// True when a regular file (not a folder, not a link) is present at the path. Any failure of
// the look-up counts as absent.
bool FileExists(Env& env, const std::string& path);

// Flushes the folder entry of `path` so a rename survives a crash. Best effort.
void SyncParentDirectory(Env& env, const std::string& path);

// Writes all of `data` to `fd`; `name` names the file in the error. A full disk shows as ENOSPC
// even when a first write was only short.
Status WriteFully(Env& env, int fd, std::string_view data, const std::string& name);

// Reads `fd` to its end, one block of up to `buffer.size()` bytes at a time,
// handing each to `sink`; an interrupted call is retried. With `offset` at 0 or more it reads
// from there with PRead and leaves the file position alone, else from the current position. A
// short block that brings the total to `known_size` is the end, without a call to learn it. A
// failing read gives Status::FromErrno(errno, what); a failing sink ends the loop with its
// status.
Status ReadToEnd(Env& env, int fd, std::span<char> buffer,
                 const std::function<Status(std::string_view)>& sink, const Message& what,
                 off_t offset = -1, int64_t known_size = -1);

// The whole of `text` as one decimal number, as strtod reads it (leading blanks allowed), or
// nothing when it is not one or is out of range.
std::optional<double> ParseDecimal(const std::string& text);

// One read of up to `buffer.size()` bytes (from `offset` with PRead when it is 0 or more, else
// from the current position), retried when interrupted: the bytes read (0 at the end), or
// Status::FromErrno(errno, what).
Result<size_t> ReadOnce(Env& env, int fd, std::span<char> buffer, const Message& what,
                        off_t offset = -1);

// Removes the extended attribute `name` of `fd`; a file without it, or a file system without
// extended attributes, has nothing to remove.
Status RemoveAttribute(Env& env, int fd, const char* name, const Message& what);

// The facts a stat call gave.
FileFacts FactsFromStat(const struct stat& st);
// Whether two looks at a file saw it unwritten between them: the same file, size and times
// (a write moves the change time, which nobody can set back).
bool SameTimes(const struct stat& a, const struct stat& b);

// The flags of a statx that asks the file system nothing: nothing synced, no automount
// triggered; what it gives is what the kernel holds. Even a FUSE file system that shuts root out
// gives its device this way.
inline constexpr int kLookOnly = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC;

// The kind and identity (no other facts) of the entry `name` of the open folder `dirfd`, looked
// at without asking a file system mounted on it anything; kMissing when there is none. A mount
// point is refused (kind kRefused, EXDEV), and so, on a kernel that cannot tell one, is an entry
// on another device than the folder. For a response that looks again at a file it found.
Result<FileFacts> LookAtEntry(Env& env, int dirfd, const std::string& name,
                              const std::string& path);
// Whether the entry `name` of `dirfd` still holds the file `identity`, looked at as LookAtEntry
// looks: the last look before an unlink by name, since nothing unlinks through a descriptor.
Result<bool> StillHolds(Env& env, int dirfd, const std::string& name, const FileIdentity& identity,
                        const std::string& path);

// Creates a folder and its missing parents with `mode`.
Status MakeDirectories(Env& env, const std::string& path, mode_t mode = 0700);

}  // namespace norv::platform
