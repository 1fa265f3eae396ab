// FolderEvents: the kernel's notices of changes in watched folders (inotify on Linux).
//
// A folder is watched through a descriptor the caller opened and verified, never through its
// path, so a folder swapped for a link after the check is not the one watched. Each watch has a
// number; an event names the watch and, for an entry in the folder, the entry's name. The
// kernel's queue is bounded: when it overflows, one overflow event stands for everything lost.
// A reader thread of its own drains the kernel's queue into one in memory, many times larger
// (kMostQueuedEventBytes) and bounded the same way, so a flood of changes that the user of the
// events cannot keep up with overflows much later. Apart from that thread, one thread uses an
// instance at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/status.h"
#include "platform/fs/event_queue.h"
#include "platform/fs/file_system.h"
#include "platform/fs/folder_event_source.h"

namespace norv::platform {

// The limits that bound how much can be watched, as the system is set now.
struct WatchLimits {
    // fs.inotify.max_user_watches, or the user namespace's lower limit; -1 unknown
    int64_t max_user_watches = -1;
    int64_t max_queued_events = -1;   // fs.inotify.max_queued_events
    int64_t max_user_instances = -1;  // fs.inotify.max_user_instances
};
WatchLimits ReadWatchLimits();

class FolderEvents final : public FolderEventSource {
  public:
    // `most_queued_bytes` bounds the events waiting in memory (the tests give a small one).
    // The reader thread reads the kernel's queue through `env`, which must outlive the instance.
    static Result<std::unique_ptr<FolderEvents>> Create(
        Env& env, size_t most_queued_bytes = kMostQueuedEventBytes);
    ~FolderEvents() override;
    FolderEvents(const FolderEvents&) = delete;
    FolderEvents& operator=(const FolderEvents&) = delete;

    std::string_view name() const override { return "inotify"; }
    // A full watch table fails with kind kLimit, naming the setting to raise.
    Result<int> Watch(const DirectoryHandle& folder, const std::string& shown_path) override;
    void Unwatch(int watch) override;
    Status Wait(std::chrono::milliseconds timeout, std::vector<FolderEvent>& events) override;
    size_t waiting() const override;
    bool Drained() const override;

  private:
    FolderEvents(Env& env, int fd, size_t most_queued_bytes)
        : env_(env), fd_(fd), queue_(most_queued_bytes) {}
    // The reader thread: reads the kernel's queue into queue_ until it is stopped.
    void Read();
    Env& env_;
    int fd_;
    std::vector<char> buffer_;  // the reader's
    BoundedEventQueue queue_;
    std::atomic<bool> reading_{false};  // between a read of the kernel's queue and its push
    EventReaderThread reader_;
};

}  // namespace norv::platform
