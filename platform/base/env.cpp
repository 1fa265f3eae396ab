#include "platform/base/env.h"

#include "platform/base/batch_reader.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <thread>

namespace norv::platform {
namespace {

class PosixEnv final : public Env {
  public:
    int OpenAt(int dirfd, const char* name, int flags, mode_t mode) override {
        return ::openat(dirfd, name, flags, mode);
    }
    int OpenAt2(int dirfd, const char* name, struct open_how* how, size_t size) override {
        return static_cast<int>(::syscall(SYS_openat2, dirfd, name, how, size));
    }
    int Close(int fd) override { return ::close(fd); }
    int Dup(int fd) override { return ::dup(fd); }
    ssize_t Read(int fd, void* buffer, size_t size) override { return ::read(fd, buffer, size); }
    ssize_t PRead(int fd, void* buffer, size_t size, off_t offset) override {
        return ::pread(fd, buffer, size, offset);
    }
    ssize_t Write(int fd, const void* data, size_t size) override {
        return ::write(fd, data, size);
    }
    off_t LSeek(int fd, off_t offset, int whence) override { return ::lseek(fd, offset, whence); }
    int FTruncate(int fd, off_t length) override { return ::ftruncate(fd, length); }
    int Fsync(int fd) override { return ::fsync(fd); }
    int FAdvise(int fd, off_t offset, off_t length, int advice) override {
        return ::posix_fadvise(fd, offset, length, advice);
    }
    int Flock(int fd, int operation) override { return ::flock(fd, operation); }
    int MkOsTemp(char* name_template, int flags) override {
        return ::mkostemp(name_template, flags);
    }
    int FStat(int fd, struct stat* st) override { return ::fstat(fd, st); }
    int FStatAt(int dirfd, const char* name, struct stat* st, int flags) override {
        return ::fstatat(dirfd, name, st, flags);
    }
    int FAccessAt(int dirfd, const char* name, int mode, int flags) override {
        return ::faccessat(dirfd, name, mode, flags);
    }
    int Statx(int dirfd, const char* name, int flags, unsigned mask, struct statx* facts) override {
        return ::statx(dirfd, name, flags, mask, facts);
    }
    DIR* FdOpenDir(int fd) override { return ::fdopendir(fd); }
    dirent* ReadDir(DIR* dir) override { return ::readdir(dir); }
    int CloseDir(DIR* dir) override { return ::closedir(dir); }
    int MkdirAt(int dirfd, const char* name, mode_t mode) override {
        return ::mkdirat(dirfd, name, mode);
    }
    int MknodAt(int dirfd, const char* name, mode_t mode, dev_t device) override {
        return ::mknodat(dirfd, name, mode, device);
    }
    int SymlinkAt(const char* target, int dirfd, const char* name) override {
        return ::symlinkat(target, dirfd, name);
    }
    ssize_t ReadLinkAt(int dirfd, const char* name, char* buffer, size_t size) override {
        return ::readlinkat(dirfd, name, buffer, size);
    }
    int RenameAt(int from_dirfd, const char* from, int to_dirfd, const char* to,
                 unsigned flags) override {
        if (flags == 0) return ::renameat(from_dirfd, from, to_dirfd, to);
        return static_cast<int>(::syscall(SYS_renameat2, from_dirfd, from, to_dirfd, to, flags));
    }
    int UnlinkAt(int dirfd, const char* name, int flags) override {
        return ::unlinkat(dirfd, name, flags);
    }
    int LinkAt(int from_dirfd, const char* from, int to_dirfd, const char* to, int flags) override {
        return ::linkat(from_dirfd, from, to_dirfd, to, flags);
    }
    int FChown(int fd, uid_t owner, gid_t group) override { return ::fchown(fd, owner, group); }
    int FChownAt(int dirfd, const char* name, uid_t owner, gid_t group, int flags) override {
        return ::fchownat(dirfd, name, owner, group, flags);
    }
    int FChmod(int fd, mode_t mode) override { return ::fchmod(fd, mode); }
    int FChmodAt(int dirfd, const char* name, mode_t mode, int flags) override {
        return ::fchmodat(dirfd, name, mode, flags);
    }
    int FUtimens(int fd, const struct timespec times[2]) override { return ::futimens(fd, times); }
    ssize_t FListXattr(int fd, char* names, size_t size) override {
        return ::flistxattr(fd, names, size);
    }
    ssize_t FGetXattr(int fd, const char* name, void* value, size_t size) override {
        return ::fgetxattr(fd, name, value, size);
    }
    int FSetXattr(int fd, const char* name, const void* value, size_t size, int flags) override {
        return ::fsetxattr(fd, name, value, size, flags);
    }
    int FRemoveXattr(int fd, const char* name) override { return ::fremovexattr(fd, name); }
    // The kernel reads and writes an int, whatever the ioctl's name says.
    int GetInodeFlags(int fd, unsigned* flags) override {
        int value = 0;
        const int got = ::ioctl(fd, FS_IOC_GETFLAGS, &value);
        if (got == 0) *flags = static_cast<unsigned>(value);
        return got;
    }
    int SetInodeFlags(int fd, unsigned flags) override {
        int value = static_cast<int>(flags);
        return ::ioctl(fd, FS_IOC_SETFLAGS, &value);
    }
    char* GetCwd(char* buffer, size_t size) override { return ::getcwd(buffer, size); }
    uid_t GetEuid() override { return ::geteuid(); }
    std::chrono::steady_clock::time_point SteadyNow() override {
        return std::chrono::steady_clock::now();
    }
    std::chrono::system_clock::time_point WallNow() override {
        return std::chrono::system_clock::now();
    }
    void SleepFor(std::chrono::nanoseconds span) override { std::this_thread::sleep_for(span); }
    std::unique_ptr<BatchReader> NewBatchReader(Env& calls, IoPath wanted,
                                                size_t batch_files) override {
        return BatchReader::Make(calls, wanted, batch_files);
    }
};

}  // namespace

std::unique_ptr<BatchReader> EnvWrapper::NewBatchReader(Env& calls, IoPath wanted,
                                                        size_t batch_files) {
    return target_->NewBatchReader(calls, wanted, batch_files);
}

Env* Env::Default() {
    // Never destroyed: threads may still call it while the process exits.
    static Env* system = new PosixEnv;
    return system;
}

}  // namespace norv::platform
