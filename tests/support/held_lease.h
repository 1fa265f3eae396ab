// HeldLease: a write lease on a file, held as another process would hold it, and given up as
// soon as the kernel asks for it (a conflicting open began). The kernel's SIGIO is blocked for
// the lease's life and taken by a thread of its own. Header-only.
#pragma once

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <string>
#include <thread>

namespace norv::testing {

class HeldLease {
  public:
    explicit HeldLease(const std::string& path) {
        sigset_t io;
        sigemptyset(&io);
        sigaddset(&io, SIGIO);
        ::pthread_sigmask(SIG_BLOCK, &io, &old_mask_);
        fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        held_ = fd_ >= 0 && ::fcntl(fd_, F_SETLEASE, F_WRLCK) == 0;
        if (!held_) return;
        waiter_ = std::thread([this, io] {
            const timespec limit{60, 0};
            if (::sigtimedwait(&io, nullptr, &limit) == SIGIO) {
                broken_ = true;
                ::fcntl(fd_, F_SETLEASE, F_UNLCK);
            }
        });
    }
    ~HeldLease() {
        if (held_) {
            ::fcntl(fd_, F_SETLEASE, F_UNLCK);
            if (!broken_) ::kill(::getpid(), SIGIO);  // wakes the waiter
            waiter_.join();
        }
        if (fd_ >= 0) ::close(fd_);
        sigset_t io;
        sigemptyset(&io);
        sigaddset(&io, SIGIO);
        timespec none{0, 0};
        while (::sigtimedwait(&io, nullptr, &none) == SIGIO) {
        }
        ::pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
    }
    bool held() const { return held_; }
    bool broken() const { return broken_; }

  private:
    sigset_t old_mask_{};
    int fd_ = -1;
    bool held_ = false;
    std::atomic<bool> broken_{false};
    std::thread waiter_;
};

}  // namespace norv::testing
