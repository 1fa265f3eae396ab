#include "engine/command_runner.h"

#include "platform/base/notice_code.h"

namespace norv {

Status CommandRunner::Run(const std::function<Status()>& command) {
    if (busy_) return Status::Error(kErrBusy, Message(NoticeCode::kRunInProgress));
    return RunLocked(platform::FolderLock::Acquire(*context_.env, context_.LockPath()), command);
}

Status CommandRunner::RunWaiting(std::chrono::milliseconds wait,
                                 const std::function<Status()>& command) {
    if (busy_) return Status::Error(kErrBusy, Message(NoticeCode::kRunInProgress));
    return RunLocked(platform::FolderLock::AcquireWaiting(*context_.env, context_.LockPath(), wait),
                     command);
}

Status CommandRunner::RunLocked(Result<platform::FolderLock> lock,
                                const std::function<Status()>& command) {
    if (!lock.ok()) return lock.status();
    // Busy, and the lock held, until the command returns, however it returns.
    struct Busy {
        bool& busy;
        explicit Busy(bool& flag) : busy(flag) { busy = true; }
        ~Busy() { busy = false; }
    } busy(busy_);
    const platform::FolderLock held = std::move(lock).value();
    // What a killed command left half done is finished before anything else reads the records.
    if (prologue_) NORV_RETURN_IF_ERROR(prologue_());
    return command();
}

}  // namespace norv
