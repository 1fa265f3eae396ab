#include "platform/file_ops.h"

#include <sys/syscall.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>

namespace norv::platform {
namespace {

// Null means the system's instance, so no static object has to exist before the first call.
std::atomic<FileOps*> g_current{nullptr};

}  // namespace

int FileOps::OpenAt(int dirfd, const char* name, int flags, mode_t mode) {
    return ::openat(dirfd, name, flags, mode);
}

ssize_t FileOps::Read(int fd, void* buffer, size_t size) { return ::read(fd, buffer, size); }

ssize_t FileOps::PRead(int fd, void* buffer, size_t size, off_t offset) {
    return ::pread(fd, buffer, size, offset);
}

ssize_t FileOps::Write(int fd, const void* data, size_t size) { return ::write(fd, data, size); }

int FileOps::Fsync(int fd) { return ::fsync(fd); }

int FileOps::RenameAt(int from_dirfd, const char* from, int to_dirfd, const char* to,
                      unsigned flags) {
    if (flags == 0) return ::renameat(from_dirfd, from, to_dirfd, to);
    return static_cast<int>(::syscall(SYS_renameat2, from_dirfd, from, to_dirfd, to, flags));
}

int FileOps::UnlinkAt(int dirfd, const char* name, int flags) {
    return ::unlinkat(dirfd, name, flags);
}

ssize_t FileOps::FListXattr(int fd, char* names, size_t size) {
    return ::flistxattr(fd, names, size);
}

ssize_t FileOps::FGetXattr(int fd, const char* name, void* value, size_t size) {
    return ::fgetxattr(fd, name, value, size);
}

int FileOps::FSetXattr(int fd, const char* name, const void* value, size_t size, int flags) {
    return ::fsetxattr(fd, name, value, size, flags);
}

int FileOps::FRemoveXattr(int fd, const char* name) { return ::fremovexattr(fd, name); }

int FileOps::FChown(int fd, uid_t owner, gid_t group) { return ::fchown(fd, owner, group); }

int FileOps::FChmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }

FileOps& SystemFileOps() {
    static FileOps system;
    return system;
}

FileOps& Files() {
    FileOps* ops = g_current.load(std::memory_order_acquire);
    return ops ? *ops : SystemFileOps();
}

ScopedFileOps::ScopedFileOps(FileOps& ops)
    : previous_(g_current.exchange(&ops, std::memory_order_acq_rel)) {}

ScopedFileOps::~ScopedFileOps() { g_current.store(previous_, std::memory_order_release); }

}  // namespace norv::platform
