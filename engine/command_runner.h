// CommandRunner: how every command of this process starts, in one place.
//
// A command that reads or writes the records (a check, an init, an update, a batch of the watch's
// looks, an accept, building the archive) runs through Run or RunWaiting: it is refused with
// kErrBusy (kRunInProgress) while another command of this process is running (one may arrive
// through the per-file yield), the program folder's lock is held for its whole length, and the
// prologue (finishing what a killed command left half done) runs first, under the lock, before
// anything reads the records. A failure of the lock or of the prologue fails the command, which
// then does not run.
#pragma once

#include <chrono>
#include <functional>

#include "config/run_context.h"
#include "platform/base/status.h"
#include "platform/fs/folder_lock.h"

namespace norv {

class CommandRunner {
  public:
    // The lock file is the context's LockPath, reached through the context's Env, both read
    // at each command.
    explicit CommandRunner(const RunContext& context) : context_(context) {}
    CommandRunner(const CommandRunner&) = delete;
    CommandRunner& operator=(const CommandRunner&) = delete;

    // Runs `command` when no other command runs and the lock is free now.
    Status Run(const std::function<Status()>& command);
    // The same, waiting up to `wait` for the lock while another process holds it.
    Status RunWaiting(std::chrono::milliseconds wait, const std::function<Status()>& command);

    // Whether a command of this process is running.
    bool busy() const { return busy_; }
    // Runs at the start of every command, once the lock is held; its failure fails the command.
    void SetPrologue(std::function<Status()> prologue) { prologue_ = std::move(prologue); }

  private:
    Status RunLocked(Result<platform::FolderLock> lock, const std::function<Status()>& command);

    const RunContext& context_;
    bool busy_ = false;
    std::function<Status()> prologue_;
};

}  // namespace norv
