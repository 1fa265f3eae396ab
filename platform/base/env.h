// Env: every call norv makes to the file system, and the process facts it asks (the effective
// user), behind one interface that is passed in, never reached through a global.
//
// Each method is a thin wrapper over the system call of the same name with that call's own
// convention (the clocks return the time itself): -1 (null for the folder-stream calls) with errno
// set on failure; FAdvise returns the error number itself, as posix_fadvise does. Nothing is
// retried or translated here: the callers do that, once, in the loops of file_system.h.
//
// Besides the calls, the Env hands out the batch reader (io_uring): the system's gives one where
// the kernel offers it, and an Env that must see every open and read of a file gives none, so
// the files go the plain way, call by call.
//
// Default() is the system's, made on first use and never destroyed. EnvWrapper passes every
// call to a target Env, so an Env of its own overrides only the calls it changes: a test makes
// one call fail, or runs something between two of norv's calls, which is where a race strikes.
//
// Who holds what: whoever is given an Env (a function for the call, a TreeWalk, a ScanEngine
// through its RunContext for its life) does not own it; its owner keeps it alive meanwhile.
// Threads: one Env is called from several threads at once (the digest workers); every Env must
// allow it.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <ctime>
#include <memory>

struct open_how;  // <linux/openat2.h>

namespace norv::platform {

class BatchReader;
enum class IoPath;  // batch_reader.h

class Env {
  public:
    Env() = default;
    virtual ~Env() = default;
    Env(const Env&) = delete;
    Env& operator=(const Env&) = delete;

    // The system's.
    static Env* Default();

    // Descriptors and their content.
    virtual int OpenAt(int dirfd, const char* name, int flags, mode_t mode) = 0;
    // openat2 (the system call; the C library has no wrapper).
    virtual int OpenAt2(int dirfd, const char* name, struct open_how* how, size_t size) = 0;
    virtual int Close(int fd) = 0;
    virtual int Dup(int fd) = 0;
    virtual ssize_t Read(int fd, void* buffer, size_t size) = 0;
    virtual ssize_t PRead(int fd, void* buffer, size_t size, off_t offset) = 0;
    virtual ssize_t Write(int fd, const void* data, size_t size) = 0;
    virtual off_t LSeek(int fd, off_t offset, int whence) = 0;
    virtual int FTruncate(int fd, off_t length) = 0;
    virtual int Fsync(int fd) = 0;
    virtual int FAdvise(int fd, off_t offset, off_t length, int advice) = 0;
    virtual int Flock(int fd, int operation) = 0;
    // mkostemp: `name_template` ends in XXXXXX, which the call replaces.
    virtual int MkOsTemp(char* name_template, int flags) = 0;

    // Facts.
    virtual int FStat(int fd, struct stat* st) = 0;
    virtual int FStatAt(int dirfd, const char* name, struct stat* st, int flags) = 0;
    virtual int FAccessAt(int dirfd, const char* name, int mode, int flags) = 0;
    virtual int Statx(int dirfd, const char* name, int flags, unsigned mask,
                      struct statx* facts) = 0;

    // Folders: a stream over an open folder's entries (the stream owns `fd` once made).
    virtual DIR* FdOpenDir(int fd) = 0;
    virtual dirent* ReadDir(DIR* dir) = 0;
    virtual int CloseDir(DIR* dir) = 0;
    virtual int MkdirAt(int dirfd, const char* name, mode_t mode) = 0;
    virtual int MknodAt(int dirfd, const char* name, mode_t mode, dev_t device) = 0;

    // Links, names.
    virtual int SymlinkAt(const char* target, int dirfd, const char* name) = 0;
    virtual ssize_t ReadLinkAt(int dirfd, const char* name, char* buffer, size_t size) = 0;
    // `flags` as renameat2 takes them (RENAME_NOREPLACE); 0 is a plain renameat.
    virtual int RenameAt(int from_dirfd, const char* from, int to_dirfd, const char* to,
                         unsigned flags) = 0;
    virtual int UnlinkAt(int dirfd, const char* name, int flags) = 0;
    // linkat: gives an open unnamed file (O_TMPFILE) its name, and refuses a name in use.
    virtual int LinkAt(int from_dirfd, const char* from, int to_dirfd, const char* to,
                       int flags) = 0;

    // Owners, modes, times.
    virtual int FChown(int fd, uid_t owner, gid_t group) = 0;
    virtual int FChownAt(int dirfd, const char* name, uid_t owner, gid_t group, int flags) = 0;
    virtual int FChmod(int fd, mode_t mode) = 0;
    virtual int FChmodAt(int dirfd, const char* name, mode_t mode, int flags) = 0;
    virtual int FUtimens(int fd, const struct timespec times[2]) = 0;

    // Extended attributes (capabilities, ACLs), through a descriptor.
    virtual ssize_t FListXattr(int fd, char* names, size_t size) = 0;
    virtual ssize_t FGetXattr(int fd, const char* name, void* value, size_t size) = 0;
    virtual int FSetXattr(int fd, const char* name, const void* value, size_t size, int flags) = 0;
    virtual int FRemoveXattr(int fd, const char* name) = 0;
    // The inode flags chattr sets (FS_IOC_GETFLAGS, FS_IOC_SETFLAGS), through a descriptor.
    virtual int GetInodeFlags(int fd, unsigned* flags) = 0;
    virtual int SetInodeFlags(int fd, unsigned flags) = 0;

    // The process.
    virtual char* GetCwd(char* buffer, size_t size) = 0;
    virtual uid_t GetEuid() = 0;

    // Clocks: the monotonic one measures waits and spans, the wall one gives dates.
    virtual std::chrono::steady_clock::time_point SteadyNow() = 0;
    virtual std::chrono::system_clock::time_point WallNow() = 0;
    // Waits `span` on the monotonic clock (a test's clock may pass it at once).
    virtual void SleepFor(std::chrono::nanoseconds span) = 0;

    // A batch reader whose own calls (fstat, close) go through `calls` (the outermost Env, which
    // a wrapper passes on unchanged), as `wanted` asks for it, of batches of up to `batch_files`
    // files; null for the plain path.
    virtual std::unique_ptr<BatchReader> NewBatchReader(Env& calls, IoPath wanted,
                                                        size_t batch_files) = 0;
};

// An Env that passes every call to `target`; override the calls to change.
class EnvWrapper : public Env {
  public:
    explicit EnvWrapper(Env* target) : target_(target) {}
    Env* target() const { return target_; }

    int OpenAt(int dirfd, const char* name, int flags, mode_t mode) override {
        return target_->OpenAt(dirfd, name, flags, mode);
    }
    int OpenAt2(int dirfd, const char* name, struct open_how* how, size_t size) override {
        return target_->OpenAt2(dirfd, name, how, size);
    }
    int Close(int fd) override { return target_->Close(fd); }
    int Dup(int fd) override { return target_->Dup(fd); }
    ssize_t Read(int fd, void* buffer, size_t size) override {
        return target_->Read(fd, buffer, size);
    }
    ssize_t PRead(int fd, void* buffer, size_t size, off_t offset) override {
        return target_->PRead(fd, buffer, size, offset);
    }
    ssize_t Write(int fd, const void* data, size_t size) override {
        return target_->Write(fd, data, size);
    }
    off_t LSeek(int fd, off_t offset, int whence) override {
        return target_->LSeek(fd, offset, whence);
    }
    int FTruncate(int fd, off_t length) override { return target_->FTruncate(fd, length); }
    int Fsync(int fd) override { return target_->Fsync(fd); }
    int FAdvise(int fd, off_t offset, off_t length, int advice) override {
        return target_->FAdvise(fd, offset, length, advice);
    }
    int Flock(int fd, int operation) override { return target_->Flock(fd, operation); }
    int MkOsTemp(char* name_template, int flags) override {
        return target_->MkOsTemp(name_template, flags);
    }
    int FStat(int fd, struct stat* st) override { return target_->FStat(fd, st); }
    int FStatAt(int dirfd, const char* name, struct stat* st, int flags) override {
        return target_->FStatAt(dirfd, name, st, flags);
    }
    int FAccessAt(int dirfd, const char* name, int mode, int flags) override {
        return target_->FAccessAt(dirfd, name, mode, flags);
    }
    int Statx(int dirfd, const char* name, int flags, unsigned mask, struct statx* facts) override {
        return target_->Statx(dirfd, name, flags, mask, facts);
    }
    DIR* FdOpenDir(int fd) override { return target_->FdOpenDir(fd); }
    dirent* ReadDir(DIR* dir) override { return target_->ReadDir(dir); }
    int CloseDir(DIR* dir) override { return target_->CloseDir(dir); }
    int MkdirAt(int dirfd, const char* name, mode_t mode) override {
        return target_->MkdirAt(dirfd, name, mode);
    }
    int MknodAt(int dirfd, const char* name, mode_t mode, dev_t device) override {
        return target_->MknodAt(dirfd, name, mode, device);
    }
    int SymlinkAt(const char* target, int dirfd, const char* name) override {
        return target_->SymlinkAt(target, dirfd, name);
    }
    ssize_t ReadLinkAt(int dirfd, const char* name, char* buffer, size_t size) override {
        return target_->ReadLinkAt(dirfd, name, buffer, size);
    }
    int RenameAt(int from_dirfd, const char* from, int to_dirfd, const char* to,
                 unsigned flags) override {
        return target_->RenameAt(from_dirfd, from, to_dirfd, to, flags);
    }
    int UnlinkAt(int dirfd, const char* name, int flags) override {
        return target_->UnlinkAt(dirfd, name, flags);
    }
    int LinkAt(int from_dirfd, const char* from, int to_dirfd, const char* to, int flags) override {
        return target_->LinkAt(from_dirfd, from, to_dirfd, to, flags);
    }
    int FChown(int fd, uid_t owner, gid_t group) override {
        return target_->FChown(fd, owner, group);
    }
    int FChownAt(int dirfd, const char* name, uid_t owner, gid_t group, int flags) override {
        return target_->FChownAt(dirfd, name, owner, group, flags);
    }
    int FChmod(int fd, mode_t mode) override { return target_->FChmod(fd, mode); }
    int FChmodAt(int dirfd, const char* name, mode_t mode, int flags) override {
        return target_->FChmodAt(dirfd, name, mode, flags);
    }
    int FUtimens(int fd, const struct timespec times[2]) override {
        return target_->FUtimens(fd, times);
    }
    ssize_t FListXattr(int fd, char* names, size_t size) override {
        return target_->FListXattr(fd, names, size);
    }
    ssize_t FGetXattr(int fd, const char* name, void* value, size_t size) override {
        return target_->FGetXattr(fd, name, value, size);
    }
    int FSetXattr(int fd, const char* name, const void* value, size_t size, int flags) override {
        return target_->FSetXattr(fd, name, value, size, flags);
    }
    int FRemoveXattr(int fd, const char* name) override { return target_->FRemoveXattr(fd, name); }
    int GetInodeFlags(int fd, unsigned* flags) override {
        return target_->GetInodeFlags(fd, flags);
    }
    int SetInodeFlags(int fd, unsigned flags) override { return target_->SetInodeFlags(fd, flags); }
    char* GetCwd(char* buffer, size_t size) override { return target_->GetCwd(buffer, size); }
    uid_t GetEuid() override { return target_->GetEuid(); }
    std::chrono::steady_clock::time_point SteadyNow() override { return target_->SteadyNow(); }
    std::chrono::system_clock::time_point WallNow() override { return target_->WallNow(); }
    void SleepFor(std::chrono::nanoseconds span) override { target_->SleepFor(span); }
    std::unique_ptr<BatchReader> NewBatchReader(Env& calls, IoPath wanted,
                                                size_t batch_files) override;

  private:
    Env* target_;
};

}  // namespace norv::platform
