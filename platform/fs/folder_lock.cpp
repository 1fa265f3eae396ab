#include "platform/fs/folder_lock.h"

#include "platform/base/notice_code.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>

namespace norv::platform {
namespace {

// The descriptor of the lock this process holds, -1 when none (or once ReleaseHeldNow took it).
std::atomic<int> held_lock{-1};

}  // namespace

Result<FolderLock> FolderLock::Acquire(Env& env, const std::string& lock_path) {
    int fd =
        env.OpenAt(AT_FDCWD, lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return Status::FromErrno(errno, Message(NoticeCode::kCannotCreate, {lock_path}));
    if (env.Flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        env.Close(fd);
        if (err == EWOULDBLOCK) {
            return Status::Error(ErrorKind::kBusy, EWOULDBLOCK,
                                 Message(NoticeCode::kProgramFolderBusy, {lock_path}));
        }
        return Status::FromErrno(err, Message(NoticeCode::kCannotLock, {lock_path}));
    }
    int none = -1;
    const bool registered = held_lock.compare_exchange_strong(none, fd);
    return FolderLock(env, fd, registered);
}

Result<FolderLock> FolderLock::AcquireWaiting(Env& env, const std::string& lock_path,
                                              std::chrono::milliseconds wait) {
    const auto until = env.SteadyNow() + wait;
    auto pause = std::chrono::milliseconds(5);
    for (;;) {
        auto lock = Acquire(env, lock_path);
        if (lock.ok() || !lock.status().Is(ErrorKind::kBusy) || env.SteadyNow() >= until) {
            return lock;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(200));
    }
}

FolderLock::~FolderLock() {
    if (fd_ < 0) return;
    // Once ReleaseHeldNow has taken the descriptor it is that call's: the process is ending.
    int expected = fd_;
    if (registered_ && !held_lock.compare_exchange_strong(expected, -1)) return;
    env_->Close(fd_);  // closing releases the lock
}

void FolderLock::ReleaseHeldNow() {
    // Raw system calls, not an Env: this runs in a signal handler, where no Env is safe to call.
    const int fd = held_lock.exchange(-1);
    if (fd < 0) return;
    // The number stays taken (by /dev/null), so no file opened meanwhile by another thread can
    // get it and be closed or written in its place.
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null < 0 || ::dup3(null, fd, O_CLOEXEC) < 0) ::close(fd);
    if (null >= 0) ::close(null);
}

}  // namespace norv::platform
