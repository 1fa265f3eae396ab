#include "platform/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace norv::platform {

Result<FolderLock> FolderLock::Acquire(Env& env, const std::string& lock_path) {
    int fd =
        env.OpenAt(AT_FDCWD, lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return Status::FromErrno(errno, lock_path + " を作れません");
    if (env.Flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        env.Close(fd);
        if (err == EWOULDBLOCK) {
            return Status::Error(EWOULDBLOCK, "別の norv がこのプログラムフォルダで実行中です (" +
                                                  lock_path + ")。終わるのを待ってください");
        }
        return Status::FromErrno(err, lock_path + " をロックできません");
    }
    return FolderLock(env, fd);
}

FolderLock::~FolderLock() {
    if (fd_ >= 0) env_->Close(fd_);  // closing releases the lock
}

}  // namespace norv::platform
