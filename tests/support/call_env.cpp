#include "tests/support/call_env.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace norv::testing {

std::string PathOfFd(int fd) {
    char buffer[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::string CallEnv::PathAt(int dirfd, const char* name) {
    if (name[0] == '/' || dirfd == AT_FDCWD) return name;
    if (name[0] == '\0') return PathOfFd(dirfd);
    return PathOfFd(dirfd) + "/" + name;
}

bool PatternMatches(const std::string& pattern, const std::vector<std::string>& paths) {
    if (pattern.empty()) return true;
    const bool whole = pattern.find('/') != std::string::npos;
    return std::any_of(paths.begin(), paths.end(), [&](const std::string& path) {
        const std::string subject = whole ? path : path.substr(path.rfind('/') + 1);
        return ::fnmatch(pattern.c_str(), subject.c_str(), 0) == 0;
    });
}

template <typename Result, typename Paths, typename Real>
Result CallEnv::Run(Call call, Result failed, const Paths& paths_of, size_t* size,
                    const Real& real) {
    if (!Watches(call)) return real();
    const std::vector<std::string> paths = paths_of();
    const Verdict verdict = Intercept(call, paths, size);
    if (verdict.fail) {
        if (verdict.error == 0) return Result{};
        errno = verdict.error;
        return failed;
    }
    Result result = real();
    const int saved = errno;
    Returned(call, paths);
    errno = saved;
    return result;
}

namespace {
using Paths = std::vector<std::string>;
}  // namespace

int CallEnv::OpenAt(int dirfd, const char* name, int flags, mode_t mode) {
    return Run(
        Call::kOpenAt, -1, [&] { return Paths{PathAt(dirfd, name)}; }, nullptr,
        [&] { return target()->OpenAt(dirfd, name, flags, mode); });
}

int CallEnv::OpenAt2(int dirfd, const char* name, struct open_how* how, size_t size) {
    return Run(
        Call::kOpenAt, -1, [&] { return Paths{PathAt(dirfd, name)}; }, nullptr,
        [&] { return target()->OpenAt2(dirfd, name, how, size); });
}

int CallEnv::Close(int fd) {
    return Run(
        Call::kClose, -1, [&] { return Paths{PathOfFd(fd)}; }, nullptr,
        [&] { return target()->Close(fd); });
}

int CallEnv::Dup(int fd) {
    return Run(
        Call::kDup, -1, [&] { return Paths{PathOfFd(fd)}; }, nullptr,
        [&] { return target()->Dup(fd); });
}

ssize_t CallEnv::Read(int fd, void* buffer, size_t size) {
    return Run(
        Call::kRead, ssize_t{-1}, [&] { return Paths{PathOfFd(fd)}; }, &size,
        [&] { return target()->Read(fd, buffer, size); });
}

ssize_t CallEnv::PRead(int fd, void* buffer, size_t size, off_t offset) {
    return Run(
        Call::kPRead, ssize_t{-1}, [&] { return Paths{PathOfFd(fd)}; }, &size,
        [&] { return target()->PRead(fd, buffer, size, offset); });
}

ssize_t CallEnv::Write(int fd, const void* data, size_t size) {
    return Run(
        Call::kWrite, ssize_t{-1}, [&] { return Paths{PathOfFd(fd)}; }, &size,
        [&] { return target()->Write(fd, data, size); });
}

off_t CallEnv::LSeek(int fd, off_t offset, int whence) {
    return Run(
        Call::kLSeek, off_t{-1}, [&] { return Paths{PathOfFd(fd)}; }, nullptr,
        [&] { return target()->LSeek(fd, offset, whence); });
}

int CallEnv::FTruncate(int fd, off_t length) {
    return Run(
        Call::kFTruncate, -1, [&] { return Paths{PathOfFd(fd)}; }, nullptr,
        [&] { return target()->FTruncate(fd, length); });
}

int CallEnv::Fsync(int fd) {
    return Run(
        Call::kFsync, -1, [&] { return Paths{PathOfFd(fd)}; }, nullptr,
        [&] { return target()->Fsync(fd); });
}

int CallEnv::FAdvise(int fd, off_t offset, off_t length, int advice) {
    // posix_fadvise gives its error number instead of setting errno.
    if (!Watches(Call::kFAdvise)) return target()->FAdvise(fd, offset, length, advice);
    const Paths paths{PathOfFd(fd)};
    const Verdict verdict = Intercept(Call::kFAdvise, paths, nullptr);
    if (verdict.fail) return verdict.error;
    const int result = target()->FAdvise(fd, offset, length, advice);
    Returned(Call::kFAdvise, paths);
    return result;
}

int CallEnv::Flock(int fd, int operation) {
    return Run(
        Call::kFlock, -1, [&] { return Paths{PathOfFd(fd)}; }, nullptr,
        [&] { return target()->Flock(fd, operation); });
}

int CallEnv::MkOsTemp(char* name_template, int flags) {
    return Run(
        Call::kMkOsTemp, -1, [&] { return Paths{name_template}; }, nullptr,
        [&] { return target()->MkOsTemp(name_template, flags); });
}

int CallEnv::FStat(int fd, struct stat* st) {
    return Run(
        Call::kFStat, -1, [&] { return Paths{PathOfFd(fd)}; }, nullptr,
        [&] { return target()->FStat(fd, st); });
}

int CallEnv::FStatAt(int dirfd, const char* name, struct stat* st, int flags) {
    return Run(
        Call::kFStatAt, -1, [&] { return Paths{PathAt(dirfd, name)}; }, nullptr,
        [&] { return target()->FStatAt(dirfd, name, st, flags); });
}

int CallEnv::FAccessAt(int dirfd, const char* name, int mode, int flags) {
    return Run(
        Call::kFAccessAt, -1, [&] { return Paths{PathAt(dirfd, name)}; }, nullptr,
        [&] { return target()->FAccessAt(dirfd, name, mode, flags); });
}

int CallEnv::Statx(int dirfd, const char* name, int flags, unsigned mask, struct statx* facts) {
    return Run(
        Call::kStatx, -1, [&] { return Paths{PathAt(dirfd, name)}; }, nullptr,
        [&] { return target()->Statx(dirfd, name, flags, mask, facts); });
}

DIR* CallEnv::FdOpenDir(int fd) {
    return Run(
        Call::kFdOpenDir, static_cast<DIR*>(nullptr), [&] { return Paths{PathOfFd(fd)}; }, nullptr,
        [&] { return target()->FdOpenDir(fd); });
}

dirent* CallEnv::ReadDir(DIR* dir) {
    return Run(
        Call::kReadDir, static_cast<dirent*>(nullptr),
        [&] { return Paths{PathOfFd(::dirfd(dir))}; }, nullptr,
        [&] { return target()->ReadDir(dir); });
}

int CallEnv::CloseDir(DIR* dir) {
    return Run(
        Call::kCloseDir, -1, [&] { return Paths{PathOfFd(::dirfd(dir))}; }, nullptr,
        [&] { return target()->CloseDir(dir); });
}

int CallEnv::MkdirAt(int dirfd, const char* name, mode_t mode) {
    return Run(
        Call::kMkdirAt, -1, [&] { return Paths{PathAt(dirfd, name)}; }, nullptr,
        [&] { return target()->MkdirAt(dirfd, name, mode); });
}

int CallEnv::MknodAt(int dirfd, const char* name, mode_t mode, dev_t device) {
    return Run(
        Call::kMknodAt, -1, [&] { return Paths{PathAt(dirfd, name)}; }, nullptr,
        [&] { return target()->MknodAt(dirfd, name, mode, device); });
}

int CallEnv::SymlinkAt(const char* link_target, int dirfd, const char* name) {
    return Run(
        Call::kSymlinkAt, -1, [&] { return Paths{PathAt(dirfd, name)}; }, nullptr,
        [&] { return target()->SymlinkAt(link_target, dirfd, name); });
}

ssize_t CallEnv::ReadLinkAt(int dirfd, const char* name, char* buffer, size_t size) {
    return Run(
        Call::kReadLinkAt, ssize_t{-1}, [&] { return Paths{PathAt(dirfd, name)}; }, nullptr,
        [&] { return target()->ReadLinkAt(dirfd, name, buffer, size); });
}

int CallEnv::RenameAt(int from_dirfd, const char* from, int to_dirfd, const char* to,
                      unsigned flags) {
    return Run(
        Call::kRenameAt, -1,
        [&] {
            return Paths{PathAt(from_dirfd, from), PathAt(to_dirfd, to)};
        },
        nullptr, [&] { return target()->RenameAt(from_dirfd, from, to_dirfd, to, flags); });
}

int CallEnv::UnlinkAt(int dirfd, const char* name, int flags) {
    return Run(
        Call::kUnlinkAt, -1, [&] { return Paths{PathAt(dirfd, name)}; }, nullptr,
        [&] { return target()->UnlinkAt(dirfd, name, flags); });
}

int CallEnv::LinkAt(int from_dirfd, const char* from, int to_dirfd, const char* to, int flags) {
    return Run(
        Call::kLinkAt, -1,
        [&] {
            return Paths{PathAt(from_dirfd, from), PathAt(to_dirfd, to)};
        },
        nullptr, [&] { return target()->LinkAt(from_dirfd, from, to_dirfd, to, flags); });
}

int CallEnv::FChown(int fd, uid_t owner, gid_t group) {
    return Run(
        Call::kFChown, -1, [&] { return Paths{PathOfFd(fd)}; }, nullptr,
        [&] { return target()->FChown(fd, owner, group); });
}

int CallEnv::FChownAt(int dirfd, const char* name, uid_t owner, gid_t group, int flags) {
    return Run(
        Call::kFChownAt, -1, [&] { return Paths{PathAt(dirfd, name)}; }, nullptr,
        [&] { return target()->FChownAt(dirfd, name, owner, group, flags); });
}

int CallEnv::FChmod(int fd, mode_t mode) {
    return Run(
        Call::kFChmod, -1, [&] { return Paths{PathOfFd(fd)}; }, nullptr,
        [&] { return target()->FChmod(fd, mode); });
}

int CallEnv::FChmodAt(int dirfd, const char* name, mode_t mode, int flags) {
    return Run(
        Call::kFChmodAt, -1, [&] { return Paths{PathAt(dirfd, name)}; }, nullptr,
        [&] { return target()->FChmodAt(dirfd, name, mode, flags); });
}

int CallEnv::FUtimens(int fd, const struct timespec times[2]) {
    return Run(
        Call::kFUtimens, -1, [&] { return Paths{PathOfFd(fd)}; }, nullptr,
        [&] { return target()->FUtimens(fd, times); });
}

char* CallEnv::GetCwd(char* buffer, size_t size) {
    return Run(
        Call::kGetCwd, static_cast<char*>(nullptr), [] { return Paths{}; }, nullptr,
        [&] { return target()->GetCwd(buffer, size); });
}

uid_t CallEnv::GetEuid() {
    return Run(
        Call::kGetEuid, static_cast<uid_t>(-1), [] { return Paths{}; }, nullptr,
        [&] { return target()->GetEuid(); });
}

ssize_t CallEnv::FListXattr(int fd, char* names, size_t size) {
    return Run(
        Call::kFListXattr, ssize_t{-1}, [&] { return Paths{PathOfFd(fd)}; }, nullptr,
        [&] { return target()->FListXattr(fd, names, size); });
}

ssize_t CallEnv::FGetXattr(int fd, const char* name, void* value, size_t size) {
    return Run(
        Call::kFGetXattr, ssize_t{-1},
        [&] {
            return Paths{PathOfFd(fd), name};
        },
        nullptr, [&] { return target()->FGetXattr(fd, name, value, size); });
}

int CallEnv::FSetXattr(int fd, const char* name, const void* value, size_t size, int flags) {
    return Run(
        Call::kFSetXattr, -1,
        [&] {
            return Paths{PathOfFd(fd), name};
        },
        nullptr, [&] { return target()->FSetXattr(fd, name, value, size, flags); });
}

int CallEnv::FRemoveXattr(int fd, const char* name) {
    return Run(
        Call::kFRemoveXattr, -1,
        [&] {
            return Paths{PathOfFd(fd), name};
        },
        nullptr, [&] { return target()->FRemoveXattr(fd, name); });
}

}  // namespace norv::testing
