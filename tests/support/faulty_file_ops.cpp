#include "tests/support/faulty_file_ops.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace norv::testing {
namespace {

// The path the system gives for an open descriptor.
std::string PathOfFd(int fd) {
    char buffer[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// The path of the entry `name` of the folder `dirfd`.
std::string PathAt(int dirfd, const char* name) {
    if (name[0] == '/' || dirfd == AT_FDCWD) return name;
    return PathOfFd(dirfd) + "/" + name;
}

platform::FileOps& System() { return platform::SystemFileOps(); }

}  // namespace

void FaultyFileOps::Fail(Op op, int error, int nth, std::string pattern) {
    std::lock_guard lock(mutex_);
    rules_.push_back({op, std::move(pattern), error, nth, 0, -1, 0});
}

void FaultyFileOps::Limit(Op op, size_t bytes, std::string pattern) {
    std::lock_guard lock(mutex_);
    rules_.push_back({op, std::move(pattern), 0, 0, std::max<size_t>(bytes, 1), -1, 0});
}

void FaultyFileOps::FlipWrittenByte(std::string pattern, off_t offset) {
    std::lock_guard lock(mutex_);
    rules_.push_back({Op::kWrite, std::move(pattern), 0, 0, 0, offset, 0});
}

int FaultyFileOps::MatchedCalls(Op op) const {
    std::lock_guard lock(mutex_);
    return matched_[static_cast<int>(op)];
}

bool FaultyFileOps::HasRules(Op op) const {
    std::lock_guard lock(mutex_);
    return std::any_of(rules_.begin(), rules_.end(), [op](const Rule& r) { return r.op == op; });
}

bool FaultyFileOps::Decide(Op op, const std::vector<std::string>& paths, int* error, size_t* size,
                           off_t* flip_at) {
    std::lock_guard lock(mutex_);
    bool matched_any = false;
    bool fail = false;
    for (Rule& rule : rules_) {
        if (rule.op != op) continue;
        const bool matches = rule.pattern.empty() ||
                             std::any_of(paths.begin(), paths.end(), [&](const std::string& path) {
                                 return ::fnmatch(rule.pattern.c_str(), path.c_str(), 0) == 0;
                             });
        if (!matches) continue;
        matched_any = true;
        if (rule.flip_at >= 0) {
            if (flip_at) *flip_at = rule.flip_at;
        } else if (rule.limit > 0) {
            if (size) *size = std::min(*size, rule.limit);
        } else {
            ++rule.seen;
            if (!fail && (rule.nth == 0 || rule.seen == rule.nth)) {
                fail = true;
                *error = rule.error;
            }
        }
    }
    if (matched_any) ++matched_[static_cast<int>(op)];
    return fail;
}

int FaultyFileOps::OpenAt(int dirfd, const char* name, int flags, mode_t mode) {
    int error = 0;
    if (HasRules(Op::kOpenAt) &&
        Decide(Op::kOpenAt, {PathAt(dirfd, name)}, &error, nullptr, nullptr)) {
        errno = error;
        return -1;
    }
    return System().OpenAt(dirfd, name, flags, mode);
}

ssize_t FaultyFileOps::Read(int fd, void* buffer, size_t size) {
    int error = 0;
    if (HasRules(Op::kRead) && Decide(Op::kRead, {PathOfFd(fd)}, &error, &size, nullptr)) {
        if (error == 0) return 0;
        errno = error;
        return -1;
    }
    return System().Read(fd, buffer, size);
}

ssize_t FaultyFileOps::PRead(int fd, void* buffer, size_t size, off_t offset) {
    int error = 0;
    if (HasRules(Op::kPRead) && Decide(Op::kPRead, {PathOfFd(fd)}, &error, &size, nullptr)) {
        if (error == 0) return 0;
        errno = error;
        return -1;
    }
    return System().PRead(fd, buffer, size, offset);
}

ssize_t FaultyFileOps::Write(int fd, const void* data, size_t size) {
    if (!HasRules(Op::kWrite)) return System().Write(fd, data, size);
    int error = 0;
    off_t flip_at = -1;
    if (Decide(Op::kWrite, {PathOfFd(fd)}, &error, &size, &flip_at)) {
        if (error == 0) return 0;
        errno = error;
        return -1;
    }
    const off_t at = flip_at >= 0 ? ::lseek(fd, 0, SEEK_CUR) : -1;
    if (at >= 0 && flip_at >= at && flip_at < at + static_cast<off_t>(size)) {
        std::string changed(static_cast<const char*>(data), size);
        changed[static_cast<size_t>(flip_at - at)] ^= 0x01;
        return System().Write(fd, changed.data(), changed.size());
    }
    return System().Write(fd, data, size);
}

int FaultyFileOps::Fsync(int fd) {
    int error = 0;
    if (HasRules(Op::kFsync) && Decide(Op::kFsync, {PathOfFd(fd)}, &error, nullptr, nullptr)) {
        errno = error;
        return -1;
    }
    return System().Fsync(fd);
}

int FaultyFileOps::RenameAt(int from_dirfd, const char* from, int to_dirfd, const char* to,
                            unsigned flags) {
    int error = 0;
    if (HasRules(Op::kRenameAt) &&
        Decide(Op::kRenameAt, {PathAt(from_dirfd, from), PathAt(to_dirfd, to)}, &error, nullptr,
               nullptr)) {
        errno = error;
        return -1;
    }
    return System().RenameAt(from_dirfd, from, to_dirfd, to, flags);
}

int FaultyFileOps::UnlinkAt(int dirfd, const char* name, int flags) {
    int error = 0;
    if (HasRules(Op::kUnlinkAt) &&
        Decide(Op::kUnlinkAt, {PathAt(dirfd, name)}, &error, nullptr, nullptr)) {
        errno = error;
        return -1;
    }
    return System().UnlinkAt(dirfd, name, flags);
}

}  // namespace norv::testing

namespace norv::testing {

int FaultyFileOps::Failed(Op op, const std::vector<std::string>& paths) {
    int error = 0;
    if (HasRules(op) && Decide(op, paths, &error, nullptr, nullptr)) {
        errno = error;
        return -1;
    }
    return 0;
}

ssize_t FaultyFileOps::FListXattr(int fd, char* names, size_t size) {
    if (Failed(Op::kFListXattr, {PathOfFd(fd)}) != 0) return -1;
    return System().FListXattr(fd, names, size);
}

ssize_t FaultyFileOps::FGetXattr(int fd, const char* name, void* value, size_t size) {
    if (Failed(Op::kFGetXattr, {PathOfFd(fd), name}) != 0) return -1;
    return System().FGetXattr(fd, name, value, size);
}

int FaultyFileOps::FSetXattr(int fd, const char* name, const void* value, size_t size, int flags) {
    if (Failed(Op::kFSetXattr, {PathOfFd(fd), name}) != 0) return -1;
    return System().FSetXattr(fd, name, value, size, flags);
}

int FaultyFileOps::FRemoveXattr(int fd, const char* name) {
    if (Failed(Op::kFRemoveXattr, {PathOfFd(fd), name}) != 0) return -1;
    return System().FRemoveXattr(fd, name);
}

int FaultyFileOps::FChown(int fd, uid_t owner, gid_t group) {
    if (Failed(Op::kFChown, {PathOfFd(fd)}) != 0) return -1;
    return System().FChown(fd, owner, group);
}

int FaultyFileOps::FChmod(int fd, mode_t mode) {
    if (Failed(Op::kFChmod, {PathOfFd(fd)}) != 0) return -1;
    return System().FChmod(fd, mode);
}

}  // namespace norv::testing
