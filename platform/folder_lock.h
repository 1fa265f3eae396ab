// FolderLock: an exclusive lock on a lock file, held by one process at a time.
//
// Two norv processes on the same program folder must never run into one database at once; the
// lock is taken for each command and released when the FolderLock goes. The lock file itself
// holds nothing.
#pragma once

#include <string>

#include "platform/env.h"
#include "platform/status.h"

namespace norv::platform {

class FolderLock {
  public:
    // Takes the lock without waiting; fails with EWOULDBLOCK while another process holds it.
    static Result<FolderLock> Acquire(Env& env, const std::string& lock_path);
    FolderLock(FolderLock&& other) noexcept : env_(other.env_), fd_(other.fd_) { other.fd_ = -1; }
    FolderLock& operator=(FolderLock&&) = delete;
    FolderLock(const FolderLock&) = delete;
    ~FolderLock();

  private:
    FolderLock(Env& env, int fd) : env_(&env), fd_(fd) {}
    Env* env_;
    int fd_;
};

}  // namespace norv::platform
