// FolderLock: an exclusive lock on a lock file, held by one process at a time.
//
// Two norv processes on the same program folder must never run into one database at once; the
// lock is taken for each command and released when the FolderLock goes. The lock file itself
// holds nothing. It is an flock lock: the kernel lets go of it when the last descriptor of the
// file closes, at the latest when the process ends.
#pragma once

#include <chrono>
#include <string>

#include "platform/base/env.h"
#include "platform/base/status.h"

namespace norv::platform {

class FolderLock {
  public:
    // Takes the lock without waiting; fails with EWOULDBLOCK while another process holds it.
    static Result<FolderLock> Acquire(Env& env, const std::string& lock_path);
    // Takes the lock in turn: while another process holds it, tries again until `wait` has
    // passed, then fails as Acquire does.
    static Result<FolderLock> AcquireWaiting(Env& env, const std::string& lock_path,
                                             std::chrono::milliseconds wait);
    FolderLock(FolderLock&& other) noexcept
        : env_(other.env_), fd_(other.fd_), registered_(other.registered_) {
        other.fd_ = -1;
    }
    FolderLock& operator=(FolderLock&&) = delete;
    FolderLock(const FolderLock&) = delete;
    ~FolderLock();

    // Lets go of the lock this process holds, if any, at once, from any thread: its descriptor
    // is pointed at /dev/null. For a process about to end while one of its threads may stay
    // blocked in the kernel (a FUSE read its server never answers ends for no signal, not even
    // SIGKILL), which keeps every open file of the process, and so the lock, until it returns.
    // Only system calls: safe in a signal handler and whatever the other threads hold.
    static void ReleaseHeldNow();

  private:
    FolderLock(Env& env, int fd, bool registered) : env_(&env), fd_(fd), registered_(registered) {}
    Env* env_;
    int fd_;
    bool registered_;  // the lock ReleaseHeldNow lets go of
};

}  // namespace norv::platform
