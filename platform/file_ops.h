// FileOps: the system calls that read, write, flush, rename and remove files, and read and set a
// file's extended attributes, owner and mode through its descriptor, behind one replaceable
// object, so tests can make any of them fail (a full disk, a failing flush, a short
// read, a copy damaged on its way) without root or a special file system.
//
// Each method is a thin wrapper over the system call of the same name with the same return
// convention (-1 with errno set on failure). Files() is the instance every caller uses: the
// system's unless a ScopedFileOps has put another in place. The caller of ScopedFileOps owns the
// instance it installs and keeps it alive for the scope.
//
// Threads: Files() is read by every thread that touches files, the digest workers included. The
// current instance is swapped only while no run (scan, archive, restore) is in progress, that is
// by tests between calls; the swap itself is atomic, and an instance must be safe to call from
// several threads at once.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace norv::platform {

class FileOps {
  public:
    FileOps() = default;
    virtual ~FileOps() = default;
    FileOps(const FileOps&) = delete;
    FileOps& operator=(const FileOps&) = delete;

    virtual int OpenAt(int dirfd, const char* name, int flags, mode_t mode);
    virtual ssize_t Read(int fd, void* buffer, size_t size);
    virtual ssize_t PRead(int fd, void* buffer, size_t size, off_t offset);
    virtual ssize_t Write(int fd, const void* data, size_t size);
    virtual int Fsync(int fd);
    // `flags` as renameat2 takes them (RENAME_NOREPLACE); 0 is a plain renameat.
    virtual int RenameAt(int from_dirfd, const char* from, int to_dirfd, const char* to,
                         unsigned flags);
    virtual int UnlinkAt(int dirfd, const char* name, int flags);
    virtual ssize_t FListXattr(int fd, char* names, size_t size);
    virtual ssize_t FGetXattr(int fd, const char* name, void* value, size_t size);
    virtual int FSetXattr(int fd, const char* name, const void* value, size_t size, int flags);
    virtual int FRemoveXattr(int fd, const char* name);
    virtual int FChown(int fd, uid_t owner, gid_t group);
    virtual int FChmod(int fd, mode_t mode);
};

// The instance in use: the system's unless a ScopedFileOps replaced it.
FileOps& Files();

// The plain system calls, for an instance that passes most calls on.
FileOps& SystemFileOps();

// Puts `ops` in place of the current instance for its lifetime, then restores the previous one.
// Scopes nest; they must end in the reverse order they began.
class ScopedFileOps {
  public:
    explicit ScopedFileOps(FileOps& ops);
    ~ScopedFileOps();
    ScopedFileOps(const ScopedFileOps&) = delete;
    ScopedFileOps& operator=(const ScopedFileOps&) = delete;

  private:
    FileOps* previous_;
};

}  // namespace norv::platform
