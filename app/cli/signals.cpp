#include "app/cli/signals.h"

#include <pthread.h>

#include <atomic>
#include <thread>

#include "platform/fs/folder_lock.h"

namespace norv::cli {

sigset_t ServiceSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, s);
    return signals;
}

void BlockServiceSignals() {
    const sigset_t signals = ServiceSignals();
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

namespace {
const int kWake = SIGRTMIN;
}  // namespace

struct LockLetGoOnStop::State {
    sigset_t signals{};
    sigset_t before{};
    std::atomic<bool> ending{false};
    std::thread thread;
};

LockLetGoOnStop::LockLetGoOnStop() : state_(std::make_unique<State>()) {
    sigemptyset(&state_->signals);
    for (int s : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction now {};
        if (::sigaction(s, nullptr, &now) == 0 && now.sa_handler == SIG_DFL) {
            sigaddset(&state_->signals, s);
        }
    }
    // A signal of its own wakes the thread at once when the lock's holder ends, rather than at
    // its next tick: every command would otherwise end up to a tick late.
    sigset_t taken = state_->signals;
    sigaddset(&taken, kWake);
    ::pthread_sigmask(SIG_BLOCK, &taken, &state_->before);
    state_->thread = std::thread([state = state_.get(), taken] {
        const timespec tick{0, 100 * 1000 * 1000};
        while (!state->ending) {
            const int s = ::sigtimedwait(&taken, nullptr, &tick);
            if (s < 0 || s == kWake) continue;
            platform::FolderLock::ReleaseHeldNow();
            // The signal's own end: unblocked here, it ends the process as it would have.
            sigset_t one;
            sigemptyset(&one);
            sigaddset(&one, s);
            ::pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
            ::raise(s);
        }
    });
}

LockLetGoOnStop::~LockLetGoOnStop() {
    state_->ending = true;
    ::pthread_kill(state_->thread.native_handle(), kWake);
    state_->thread.join();
    ::pthread_sigmask(SIG_SETMASK, &state_->before, nullptr);
}

}  // namespace norv::cli
