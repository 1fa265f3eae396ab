#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

namespace norv::platform {
namespace {

EntryKind KindOfMode(mode_t mode) {
    if (S_ISREG(mode)) return EntryKind::kRegular;
    if (S_ISLNK(mode)) return EntryKind::kSymlink;
    if (S_ISDIR(mode)) return EntryKind::kDirectory;
    return EntryKind::kOther;
}

}  // namespace

std::string ExecutableDirectory(Env& env) {
    char buf[PATH_MAX];
    ssize_t n = env.ReadLinkAt(AT_FDCWD, "/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string exe(buf, static_cast<size_t>(n));
    std::string dir = ParentOfPath(exe);
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
        return Status::FromErrno(err, path + " を一覧できません");
    }
    return std::make_shared<DirectoryHandle>(env, fd);
}

Result<std::vector<DirEntry>> ListDirectory(const DirectoryHandle& handle,
                                            const std::string& path) {
    Env& env = handle.env();
    int fd = env.Dup(handle.fd());
    if (fd < 0) return Status::FromErrno(errno, path + " を一覧できません");
    // The copy shares the folder's position: the listing starts from its first entry whatever
    // an earlier listing left.
    if (env.LSeek(fd, 0, SEEK_SET) != 0) {
        int err = errno;
        env.Close(fd);
        return Status::FromErrno(err, path + " を一覧できません");
    }
    DIR* dir = env.FdOpenDir(fd);
    if (!dir) {
        int err = errno;
        env.Close(fd);
        return Status::FromErrno(err, path + " を一覧できません");
    }
    std::vector<DirEntry> entries;
    for (;;) {
        errno = 0;
        dirent* e = env.ReadDir(dir);
        if (!e) {
            if (errno != 0) {
                int err = errno;
                env.CloseDir(dir);
                return Status::FromErrno(err, path + " を一覧できません");
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

FileFacts FactsFromStat(const struct stat& st) {
    FileFacts facts;
    facts.kind = KindOfMode(st.st_mode);
    facts.size = static_cast<int64_t>(st.st_size);
    facts.mtime = st.st_mtim;
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
        return Status::FromErrno(errno, path + " の情報を読めません");
    }
    return FactsFromStat(st);
}

constexpr int kMostLinksFollowed = 40;

// Root and the running user are the only owners whose links and folders may steer a path.
bool TrustedOwner(Env& env, uid_t owner) { return owner == 0 || owner == env.GetEuid(); }

// Whether the entry `entry` of the open folder `folder` can be changed only by root or the
// running user: the folder is theirs and nobody else may write it, or it is sticky (as /tmp)
// and the entry itself is theirs, so nobody else may rename or replace it. A missing entry in a
// folder others may write could be created by them at any moment. Empty when trusted, else why.
std::string WhyEntryUntrusted(Env& env, const struct stat& folder, const FileFacts& entry) {
    if (!TrustedOwner(env, folder.st_uid)) {
        return "所有者 (uid " + std::to_string(folder.st_uid) + ") が root ではない";
    }
    if ((folder.st_mode & (S_IWGRP | S_IWOTH)) == 0) return "";
    if ((folder.st_mode & S_ISVTX) != 0 && entry.kind != EntryKind::kMissing &&
        TrustedOwner(env, entry.owner)) {
        return "";
    }
    return (folder.st_mode & S_IWOTH) != 0
               ? "誰でも書き込める"
               : "グループ (gid " + std::to_string(folder.st_gid) + ") が書き込める";
}

}  // namespace

Result<FileFacts> LStatAt(const DirectoryHandle& dir, const std::string& name,
                          const std::string& path) {
    return FactsOf(dir.env(), dir.fd(), name.c_str(), path);
}

Result<FileFacts> LStatAt(Env& env, int dirfd, const std::string& name, const std::string& path) {
    return FactsOf(env, dirfd, name.c_str(), path);
}

Result<std::shared_ptr<DirectoryHandle>> OpenDirectoryAt(const DirectoryHandle& parent,
                                                         const std::string& name,
                                                         const std::string& path) {
    int fd = parent.env().OpenAt(parent.fd(), name.c_str(),
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0) return Status::FromErrno(errno, path + " を開けません");
    return std::make_shared<DirectoryHandle>(parent.env(), fd);
}

Result<FileIdentity> IdentityOf(const DirectoryHandle& dir, const std::string& path) {
    struct stat st {};
    if (dir.env().FStat(dir.fd(), &st) != 0)
        return Status::FromErrno(errno, path + " の情報を読めません");
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
        auto facts = FactsOf(env, here.fd(), name.c_str(), path);
        if (!facts.ok()) return facts.status();
        // Every name on the way is looked up in a folder nobody else may change: otherwise that
        // user could swap the name for another folder or another trusted link.
        const std::string why = WhyEntryUntrusted(env, here_st, facts.value());
        if (!why.empty()) {
            return Status::Error(
                ErrorKind::kRefused, EPERM,
                path + " の途中のフォルダ " + here_shown + " は" + why + "ため辿りません");
        }
        if (facts->kind == EntryKind::kSymlink) {
            if (!TrustedOwner(env, facts->owner)) {
                return Status::Error(ErrorKind::kRefused, EPERM,
                                     path + " の途中のシンボリックリンク " + name +
                                         " は所有者 (uid " + std::to_string(facts->owner) +
                                         ") が root ではないため辿りません");
            }
            if (++links > kMostLinksFollowed) return Status::FromErrno(ELOOP, path);
            std::string target(PATH_MAX, '\0');
            ssize_t n = env.ReadLinkAt(here.fd(), name.c_str(), target.data(), target.size());
            if (n < 0) return Status::FromErrno(errno, path + " を読めません");
            target.resize(static_cast<size_t>(n));
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
        auto next = OpenDirectoryAt(here, name, path);
        if (!next.ok()) return next.status();
        trail.push_back({next.value(), JoinPath(here_shown == "/" ? "" : here_shown, name)});
    }
    // The path names a folder reached last through "..", "/" or a link to one.
    return ResolvedPath{trail.back().folder, ""};
}

int OpenRegularForReading(Env& env, int dirfd, const char* name, int extra_flags) {
    const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | extra_flags;
    int fd = env.OpenAt(dirfd, name, flags | O_NONBLOCK, 0);
    if (fd >= 0 || (errno != EWOULDBLOCK && errno != EAGAIN)) return fd;
    // Another process holds a lease: the non-blocking open started its break. The entry is
    // opened again in blocking mode only through the inode just checked to be a regular file,
    // so a FIFO or device put in its place can never hold this thread.
    const int found_errno = errno;
    int path_fd = env.OpenAt(dirfd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC, 0);
    if (path_fd < 0) return -1;
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
    const std::string why = WhyEntryUntrusted(env, st, FileFacts{});
    if (!why.empty()) {
        return Status::Error(ErrorKind::kRefused, EPERM,
                             "フォルダ " + path + " は" + why + "ため使いません");
    }
    return folder;
}

Result<int> OpenTrustedFileAt(const DirectoryHandle& folder, const std::string& name,
                              const std::string& path) {
    Env& env = folder.env();
    int fd = env.OpenAt(folder.fd(), name.c_str(),
                        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0);
    if (fd < 0) return Status::FromErrno(errno, path + " を読めません");
    struct stat st {};
    std::string why;
    if (env.FStat(fd, &st) != 0) {
        why = std::string("の情報を読めない");
    } else if (!S_ISREG(st.st_mode)) {
        why = "は通常のファイルではない";
    } else if (!TrustedOwner(env, st.st_uid)) {
        why = "の所有者 (uid " + std::to_string(st.st_uid) + ") が root ではない";
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = "は他のユーザーも書き込める";
    }
    if (!why.empty()) {
        env.Close(fd);
        return Status::Error(ErrorKind::kRefused, EPERM, path + " " + why + "ため使いません");
    }
    return fd;
}

Result<int> OpenTrustedFile(Env& env, const std::string& path) {
    std::string folder = ParentOfPath(path);
    if (folder.empty()) folder = path.empty() || path[0] != kSeparator ? "." : "/";
    auto opened = OpenTrustedFolder(env, folder);
    if (!opened.ok()) return opened.status();
    return OpenTrustedFileAt(**opened, FileNameOfPath(path), path);
}

Result<std::shared_ptr<DirectoryHandle>> OpenResolvedDirectory(const ResolvedPath& resolved,
                                                               const std::string& path) {
    if (resolved.name.empty()) return resolved.parent;
    auto opened = OpenDirectoryAt(*resolved.parent, resolved.name, path);
    if (!opened.ok() && opened.status().Is(ErrorKind::kLink)) {
        return Status::FromErrno(ENOTDIR, path + " を開けません");
    }
    return opened;
}

std::vector<dev_t> PseudoFileSystemDevices(Env& env) {
    static const char* const kPseudo[] = {
        "proc",    "sysfs",       "devtmpfs", "devpts", "cgroup",     "cgroup2", "debugfs",
        "tracefs", "securityfs",  "pstore",   "bpf",    "configfs",   "mqueue",  "hugetlbfs",
        "fusectl", "binfmt_misc", "efivarfs", "autofs", "rpc_pipefs", "nsfs",    "selinuxfs"};
    std::vector<dev_t> devices;
    const int fd = env.OpenAt(AT_FDCWD, "/proc/self/mountinfo", O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return devices;
    std::string text;
    std::vector<char> buffer(1 << 16);
    (void)ReadToEnd(env, fd, buffer,
                    [&text](std::string_view block) {
                        text.append(block);
                        return Status::Ok();
                    },
                    {});
    env.Close(fd);
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        // "36 35 98:0 /root /mnt opts [optional fields] - fstype source superopts"
        unsigned major = 0, minor = 0;
        if (std::sscanf(line.c_str(), "%*s %*s %u:%u", &major, &minor) != 2) continue;
        const char* dash = std::strstr(line.c_str(), " - ");
        if (!dash) continue;
        char type[64] = {};
        if (std::sscanf(dash + 3, "%63s", type) != 1) continue;
        for (const char* pseudo : kPseudo) {
            if (std::strcmp(type, pseudo) == 0) devices.push_back(makedev(major, minor));
        }
    }
    return devices;
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

void SyncParentDirectory(Env& env, const std::string& path) {
    std::string dir = ParentOfPath(path);
    if (dir.empty()) dir = ".";
    int fd = env.OpenAt(AT_FDCWD, dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) return;
    env.Fsync(fd);
    env.Close(fd);
}

Status WriteFully(Env& env, int fd, std::string_view data, const std::string& name) {
    while (!data.empty()) {
        ssize_t n = env.Write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Status::FromErrno(n < 0 ? errno : ENOSPC, name + " に書き込めません");
        data.remove_prefix(static_cast<size_t>(n));
    }
    return Status::Ok();
}

Status ReadToEnd(Env& env, int fd, std::span<char> buffer,
                 const std::function<Status(std::string_view)>& sink, const std::string& what,
                 off_t offset, int64_t known_size) {
    int64_t total = 0;
    for (;;) {
        ssize_t n = offset >= 0 ? env.PRead(fd, buffer.data(), buffer.size(), offset + total)
                                : env.Read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Status::FromErrno(errno, what);
        if (n == 0) return Status::Ok();
        NORV_RETURN_IF_ERROR(sink(std::string_view(buffer.data(), static_cast<size_t>(n))));
        total += n;
        if (static_cast<size_t>(n) < buffer.size() && total == known_size) return Status::Ok();
    }
}

Status MakeDirectories(Env& env, const std::string& path, mode_t mode) {
    if (path.empty()) return Status::Ok();
    struct stat st {};
    if (env.FStatAt(AT_FDCWD, path.c_str(), &st, 0) == 0) {
        if (S_ISDIR(st.st_mode)) return Status::Ok();
        return Status::FromErrno(ENOTDIR, path + " を作れません");
    }
    std::string parent = ParentOfPath(path);
    if (!parent.empty() && parent != path) {
        NORV_RETURN_IF_ERROR(MakeDirectories(env, parent, mode));
    }
    if (env.MkdirAt(AT_FDCWD, path.c_str(), mode) != 0 && errno != EEXIST) {
        return Status::FromErrno(errno, path + " を作れません");
    }
    return Status::Ok();
}

}  // namespace norv::platform
