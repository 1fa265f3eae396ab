#include "platform/fs/file_system.h"

#include "platform/base/notice_code.h"
#include "platform/fs/fs_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>

namespace norv::platform {

using internal::KindOfMode;
using internal::TrustedOwner;

std::optional<std::string> ReadLinkTarget(Env& env, int dirfd, const char* name) {
    std::string target(PATH_MAX, '\0');
    const ssize_t n = env.ReadLinkAt(dirfd, name, target.data(), target.size());
    if (n < 0) return std::nullopt;
    if (static_cast<size_t>(n) >= target.size()) {
        errno = ENAMETOOLONG;
        return std::nullopt;
    }
    target.resize(static_cast<size_t>(n));
    return target;
}

std::string ExecutableDirectory(Env& env) {
    auto exe = ReadLinkTarget(env, AT_FDCWD, "/proc/self/exe");
    if (!exe || exe->empty()) return ".";
    std::string dir = ParentOfPath(*exe);
    return dir.empty() ? std::string(1, kSeparator) : dir;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    return dir + kSeparator + name;
}

std::string FileNameOfPath(const std::string& path) {
    size_t pos = path.rfind(kSeparator);
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string ParentOfPath(const std::string& path) {
    size_t pos = path.rfind(kSeparator);
    if (pos == std::string::npos) return {};
    return path.substr(0, pos);
}

DirectoryHandle::~DirectoryHandle() {
    if (fd_ >= 0) env_->Close(fd_);
}

Result<std::shared_ptr<DirectoryHandle>> OpenDirectory(Env& env, const std::string& path) {
    int fd = env.OpenAt(AT_FDCWD, path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0) {
        // O_NOFOLLOW on a link to a folder gives ELOOP: a rule path that is itself a link is
        // not walked, as any other link is not followed.
        int err = errno == ELOOP ? ENOTDIR : errno;
        return Status::FromErrno(err, Message(NoticeCode::kCannotListFolder, {path}));
    }
    return std::make_shared<DirectoryHandle>(env, fd);
}

Result<std::vector<DirEntry>> ListDirectory(const DirectoryHandle& handle,
                                            const std::string& path) {
    Env& env = handle.env();
    int fd = env.Dup(handle.fd());
    if (fd < 0) return Status::FromErrno(errno, Message(NoticeCode::kCannotListFolder, {path}));
    // The copy shares the folder's position: the listing starts from its first entry whatever
    // an earlier listing left.
    if (env.LSeek(fd, 0, SEEK_SET) != 0) {
        int err = errno;
        env.Close(fd);
        return Status::FromErrno(err, Message(NoticeCode::kCannotListFolder, {path}));
    }
    DIR* dir = env.FdOpenDir(fd);
    if (!dir) {
        int err = errno;
        env.Close(fd);
        return Status::FromErrno(err, Message(NoticeCode::kCannotListFolder, {path}));
    }
    std::vector<DirEntry> entries;
    for (;;) {
        errno = 0;
        dirent* e = env.ReadDir(dir);
        if (!e) {
            if (errno != 0) {
                int err = errno;
                env.CloseDir(dir);
                return Status::FromErrno(err, Message(NoticeCode::kCannotListFolder, {path}));
            }
            break;
        }
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        EntryKind kind;
        switch (e->d_type) {
            case DT_REG:
                kind = EntryKind::kRegular;
                break;
            case DT_LNK:
                kind = EntryKind::kSymlink;
                break;
            case DT_DIR:
                kind = EntryKind::kDirectory;
                break;
            case DT_UNKNOWN: {
                struct stat st {};
                if (env.FStatAt(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
                kind = KindOfMode(st.st_mode);
                break;
            }
            default:
                kind = EntryKind::kOther;
                break;
        }
        entries.push_back({std::move(name), kind});
    }
    env.CloseDir(dir);
    return entries;
}

Result<std::vector<DirEntry>> ListDirectory(Env& env, const std::string& path) {
    auto handle = OpenDirectory(env, path);
    if (!handle.ok()) return handle.status();
    return ListDirectory(**handle, path);
}

bool SameTimes(const struct stat& a, const struct stat& b) {
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
           a.st_ctim.tv_nsec == b.st_ctim.tv_nsec && a.st_ino == b.st_ino && a.st_dev == b.st_dev;
}

FileFacts FactsFromStat(const struct stat& st) {
    FileFacts facts;
    facts.kind = KindOfMode(st.st_mode);
    facts.size = static_cast<int64_t>(st.st_size);
    facts.mtime = st.st_mtim;
    facts.ctime = st.st_ctim;
    facts.mode = st.st_mode;
    facts.owner = st.st_uid;
    facts.group = st.st_gid;
    facts.identity = {st.st_dev, st.st_ino};
    return facts;
}

namespace {

Result<FileFacts> FactsOf(Env& env, int dirfd, const char* name, const std::string& path) {
    struct stat st {};
    if (env.FStatAt(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return FileFacts{};
        return Status::FromErrno(errno, Message(NoticeCode::kCannotReadFacts, {path}));
    }
    return FactsFromStat(st);
}

constexpr int kMostLinksFollowed = 40;

// Whether the entry `entry` of the open folder `folder` can be changed only by root or the
// running user: the folder is theirs and nobody else may write it, or it is sticky (as /tmp)
// and the entry itself is theirs, so nobody else may rename or replace it. A missing entry in a
// folder others may write could be created by them at any moment. Empty when trusted, else why.
Message WhyEntryUntrusted(Env& env, const struct stat& folder, const FileFacts& entry) {
    if (!TrustedOwner(env, folder.st_uid)) {
        return Message(NoticeCode::kOwnerNotRoot, {std::to_string(folder.st_uid)});
    }
    if ((folder.st_mode & (S_IWGRP | S_IWOTH)) == 0) return {};
    if ((folder.st_mode & S_ISVTX) != 0 && entry.kind != EntryKind::kMissing &&
        TrustedOwner(env, entry.owner)) {
        return {};
    }
    return (folder.st_mode & S_IWOTH) != 0
               ? Message(NoticeCode::kWritableByAnyone)
               : Message(NoticeCode::kWritableByGroup, {std::to_string(folder.st_gid)});
}

// `why`, after what the file is to a person (`shown`, as "the log file") when there is that.
Message NamedFile(const Message& shown, Message why) {
    if (shown.empty()) return why;
    return Message(NoticeCode::kNamedFile, {shown, std::move(why)});
}

}  // namespace

Result<FileFacts> LStatAt(const DirectoryHandle& dir, const std::string& name,
                          const std::string& path) {
    return FactsOf(dir.env(), dir.fd(), name.c_str(), path);
}

Result<std::shared_ptr<DirectoryHandle>> OpenDirectoryAt(const DirectoryHandle& parent,
                                                         const std::string& name,
                                                         const std::string& path,
                                                         MountGuard& mounts) {
    Env& env = parent.env();
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = OpenWithinMount(env, parent.fd(), name.c_str(), kFlags);
    if (fd < 0 && errno == EXDEV) {
        // A mount point: judged and opened through one O_PATH descriptor, which asks the file
        // system there nothing, so the folder entered is the one judged.
        const int place =
            env.OpenAt(parent.fd(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
        if (place < 0) return Status::FromErrno(errno, Message(NoticeCode::kCannotOpen, {path}));
        Status admitted = mounts.Admit(place, "", path);
        fd = admitted.ok() ? env.OpenAt(place, ".", kFlags, 0) : -1;
        const int open_errno = errno;
        env.Close(place);
        if (!admitted.ok()) return admitted;
        errno = open_errno;
    }
    if (fd < 0) return Status::FromErrno(errno, Message(NoticeCode::kCannotOpen, {path}));
    return std::make_shared<DirectoryHandle>(env, fd);
}

Result<std::shared_ptr<DirectoryHandle>> OpenDirectoryAt(const DirectoryHandle& parent,
                                                         const std::string& name,
                                                         const std::string& path) {
    MountGuard mounts(parent.env());
    return OpenDirectoryAt(parent, name, path, mounts);
}

Result<FileIdentity> IdentityOf(const DirectoryHandle& dir, const std::string& path) {
    struct stat st {};
    if (dir.env().FStat(dir.fd(), &st) != 0)
        return Status::FromErrno(errno, Message(NoticeCode::kCannotReadFacts, {path}));
    return FileIdentity{st.st_dev, st.st_ino};
}

std::vector<std::string> PathNames(std::string_view path) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(kSeparator, start);
        if (end == std::string_view::npos) end = path.size();
        std::string_view part = path.substr(start, end - start);
        if (!part.empty() && part != ".") names.emplace_back(part);
        start = end + 1;
    }
    return names;
}

Result<ResolvedPath> ResolveAdministratorPath(Env& env, const std::string& path) {
    const bool absolute = !path.empty() && path[0] == kSeparator;
    const std::string start_path = absolute ? std::string(1, kSeparator) : std::string(".");
    auto start = OpenDirectory(env, start_path);
    if (!start.ok()) return start.status();
    // The folders passed so far and their paths, so ".." can go back without looking the name
    // up again, and a refusal can name the folder.
    struct Passed {
        std::shared_ptr<DirectoryHandle> folder;
        std::string shown;
    };
    std::vector<Passed> trail{{start.value(), start_path}};
    MountGuard mounts(env);
    std::deque<std::string> pending;
    for (auto& name : PathNames(path)) pending.push_back(std::move(name));
    int links = 0;
    while (!pending.empty()) {
        std::string name = std::move(pending.front());
        pending.pop_front();
        if (name == "..") {
            if (trail.size() > 1) trail.pop_back();
            continue;
        }
        const DirectoryHandle& here = *trail.back().folder;
        const std::string& here_shown = trail.back().shown;
        struct stat here_st {};
        if (env.FStat(here.fd(), &here_st) != 0) return Status::FromErrno(errno, here_shown);
        // A file system another user mounted is not even looked into: its server answers the
        // look-up as it likes, or never.
        const std::string shown = JoinPath(here_shown == "/" ? "" : here_shown, name);
        NORV_RETURN_IF_ERROR(mounts.Admit(here.fd(), name.c_str(), shown));
        auto facts = FactsOf(env, here.fd(), name.c_str(), path);
        if (!facts.ok()) return facts.status();
        // Every name on the way is looked up in a folder nobody else may change: otherwise that
        // user could swap the name for another folder or another trusted link.
        Message why = WhyEntryUntrusted(env, here_st, facts.value());
        if (!why.empty()) {
            return Status::Error(
                ErrorKind::kRefused, EPERM,
                Message(NoticeCode::kFolderOnWayNotTrusted, {path, here_shown, std::move(why)}));
        }
        if (facts->kind == EntryKind::kSymlink) {
            if (!TrustedOwner(env, facts->owner)) {
                return Status::Error(ErrorKind::kRefused, EPERM,
                                     Message(NoticeCode::kLinkOnWayNotTrusted,
                                             {path, name, std::to_string(facts->owner)}));
            }
            if (++links > kMostLinksFollowed) return Status::FromErrno(ELOOP, path);
            auto read = ReadLinkTarget(env, here.fd(), name.c_str());
            if (!read) return Status::FromErrno(errno, Message(NoticeCode::kCannotRead, {path}));
            const std::string& target = *read;
            if (!target.empty() && target[0] == kSeparator) {
                auto root = OpenDirectory(env, std::string(1, kSeparator));
                if (!root.ok()) return root.status();
                trail.assign(1, Passed{root.value(), std::string(1, kSeparator)});
            }
            auto names = PathNames(target);
            pending.insert(pending.begin(), names.begin(), names.end());
            continue;
        }
        if (pending.empty()) return ResolvedPath{trail.back().folder, name};
        if (facts->kind == EntryKind::kMissing) return Status::FromErrno(ENOENT, path);
        if (facts->kind != EntryKind::kDirectory) return Status::FromErrno(ENOTDIR, path);
        auto next = OpenDirectoryAt(here, name, path, mounts);
        if (!next.ok()) return next.status();
        trail.push_back({next.value(), shown});
    }
    // The path names a folder reached last through "..", "/" or a link to one.
    return ResolvedPath{trail.back().folder, ""};
}

int OpenRegularForReading(Env& env, int dirfd, const char* name, int extra_flags,
                          MountGuard* mounts, Status* refusal) {
    const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | extra_flags;
    int fd = OpenWithinMount(env, dirfd, name, flags | O_NONBLOCK);
    if (fd >= 0) return fd;
    const int found_errno = errno;
    const bool mount_point = found_errno == EXDEV;
    if (mount_point ? mounts == nullptr : found_errno != EWOULDBLOCK && found_errno != EAGAIN) {
        return -1;
    }
    // Another process holds a lease (the non-blocking open started its break), or a file
    // system is mounted on the entry. Either way it is opened again only through the inode
    // judged here, in blocking mode, and only once known to be a regular file, so a FIFO or
    // device put in its place can never hold this thread.
    int path_fd = mount_point ? env.OpenAt(dirfd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC, 0)
                              : OpenWithinMount(env, dirfd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (path_fd < 0) return -1;
    if (mount_point) {
        Status admitted = mounts->Admit(path_fd, "", name);
        if (!admitted.ok()) {
            env.Close(path_fd);
            if (refusal) *refusal = std::move(admitted);
            errno = EXDEV;
            return -1;
        }
    }
    struct stat st {};
    if (env.FStat(path_fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        env.Close(path_fd);
        errno = found_errno;
        return -1;
    }
    const std::string through = "/proc/self/fd/" + std::to_string(path_fd);
    fd = env.OpenAt(AT_FDCWD, through.c_str(), flags & ~O_NOFOLLOW, 0);
    const int open_errno = errno;
    env.Close(path_fd);
    errno = open_errno;
    return fd;
}

Result<std::shared_ptr<DirectoryHandle>> OpenTrustedFolder(Env& env, const std::string& path) {
    auto resolved = ResolveAdministratorPath(env, path);
    if (!resolved.ok()) return resolved.status();
    auto folder = OpenResolvedDirectory(resolved.value(), path);
    if (!folder.ok()) return folder.status();
    struct stat st {};
    if (env.FStat((*folder)->fd(), &st) != 0) return Status::FromErrno(errno, path);
    Message why = WhyEntryUntrusted(env, st, FileFacts{});
    if (!why.empty()) {
        const std::string fix = TrustedOwner(env, st.st_uid) ? "chmod go-w" : "chown root";
        return Status::Error(
            ErrorKind::kRefused, EPERM,
            Message(NoticeCode::kOwnFolderNotTrusted, {path, std::move(why), fix}));
    }
    return folder;
}

Result<std::shared_ptr<DirectoryHandle>> OpenTrustedFolderOf(Env& env, const std::string& path) {
    std::string folder = ParentOfPath(path);
    if (folder.empty()) folder = path.empty() || path[0] != kSeparator ? "." : "/";
    return OpenTrustedFolder(env, folder);
}

Message WhyFileUntrusted(Env& env, const struct stat& st, const std::string& path, bool written) {
    if (!S_ISREG(st.st_mode)) return Message(NoticeCode::kFileNotRegular, {path});
    if (!TrustedOwner(env, st.st_uid)) {
        return Message(NoticeCode::kFileOwnerNotRoot, {path, std::to_string(st.st_uid)});
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return Message(NoticeCode::kFileWritableByOthers, {path});
    }
    if (written && st.st_nlink > 1) return Message(NoticeCode::kFileHasOtherNames, {path});
    return {};
}

Status CheckOwnFileToWrite(Env& env, const struct stat& st, const std::string& path,
                           const Message& shown) {
    Message why = WhyFileUntrusted(env, st, path, true);
    if (!why.empty()) {
        return Status::Error(ErrorKind::kRefused, EPERM, NamedFile(shown, std::move(why)));
    }
    return Status::Ok();
}

Status CheckOwnFileToWrite(Env& env, int fd, const std::string& path, const Message& shown) {
    struct stat st {};
    if (env.FStat(fd, &st) != 0) {
        return Status::FromErrno(errno,
                                 NamedFile(shown, Message(NoticeCode::kCannotExamine, {path})));
    }
    return CheckOwnFileToWrite(env, st, path, shown);
}

Status CheckTrustedFileAt(const DirectoryHandle& folder, const std::string& name,
                          const std::string& path, bool written) {
    Env& env = folder.env();
    struct stat st {};
    if (env.FStatAt(folder.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return Status::Ok();
        return Status::FromErrno(errno, Message(NoticeCode::kCannotReadFacts, {path}));
    }
    Message why = WhyFileUntrusted(env, st, path, written);
    if (!why.empty()) return Status::Error(ErrorKind::kRefused, EPERM, std::move(why));
    return Status::Ok();
}

Result<int> OpenTrustedFileAt(const DirectoryHandle& folder, const std::string& name,
                              const std::string& path) {
    Env& env = folder.env();
    int fd = env.OpenAt(folder.fd(), name.c_str(),
                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0);
    if (fd < 0) return Status::FromErrno(errno, Message(NoticeCode::kCannotRead, {path}));
    struct stat st {};
    Message why = env.FStat(fd, &st) != 0 ? Message(NoticeCode::kFileFactsUnreadable, {path})
                                          : WhyFileUntrusted(env, st, path, false);
    if (!why.empty()) {
        env.Close(fd);
        return Status::Error(ErrorKind::kRefused, EPERM, std::move(why));
    }
    return fd;
}

Result<int> OpenTrustedFile(Env& env, const std::string& path) {
    auto opened = OpenTrustedFolderOf(env, path);
    if (!opened.ok()) return opened.status();
    return OpenTrustedFileAt(**opened, FileNameOfPath(path), path);
}

Result<std::shared_ptr<DirectoryHandle>> OpenResolvedDirectory(const ResolvedPath& resolved,
                                                               const std::string& path) {
    if (resolved.name.empty()) return resolved.parent;
    auto opened = OpenDirectoryAt(*resolved.parent, resolved.name, path);
    if (!opened.ok() && opened.status().Is(ErrorKind::kLink)) {
        return Status::FromErrno(ENOTDIR, Message(NoticeCode::kCannotOpen, {path}));
    }
    return opened;
}

void RaiseOpenFileLimit() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

Result<FileFacts> LStat(Env& env, const std::string& path) {
    return FactsOf(env, AT_FDCWD, path.c_str(), path);
}

bool FileExists(Env& env, const std::string& path) {
    struct stat st {};
    return env.FStatAt(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(st.st_mode);
}

Status MakeDirectories(Env& env, const std::string& path, mode_t mode) {
    if (path.empty()) return Status::Ok();
    struct stat st {};
    if (env.FStatAt(AT_FDCWD, path.c_str(), &st, 0) == 0) {
        if (S_ISDIR(st.st_mode)) return Status::Ok();
        return Status::FromErrno(ENOTDIR, Message(NoticeCode::kCannotCreate, {path}));
    }
    std::string parent = ParentOfPath(path);
    if (!parent.empty() && parent != path) {
        NORV_RETURN_IF_ERROR(MakeDirectories(env, parent, mode));
    }
    if (env.MkdirAt(AT_FDCWD, path.c_str(), mode) != 0 && errno != EEXIST) {
        return Status::FromErrno(errno, Message(NoticeCode::kCannotCreate, {path}));
    }
    return Status::Ok();
}

std::optional<double> ParseDecimal(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || errno != 0) return std::nullopt;
    return value;
}

}  // namespace norv::platform
