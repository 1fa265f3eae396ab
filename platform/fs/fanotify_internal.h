// FanotifyEvents: the folder events of whole file systems (fanotify). Each file system is marked
// once (FAN_MARK_FILESYSTEM: a mount mark cannot carry the events of entries made, removed or
// moved); an event names its folder by file handle and the entry by name (FAN_REPORT_DFID_NAME).
// The reader gives an event of a registered folder its watch, and passes the others on with
// watch -1 and their folder's key, except those of folders the caller said to ignore: so a caller
// registers a folder when its first event comes, and a tree is watched without a step per folder.
// The writing process comes with each event as a pidfd where the kernel gives one
// (FAN_REPORT_PIDFD) and is read at once (writer.h). A file system unmounted ends the watches on
// it, each with a moved event, as inotify's unmount does.
//
// Bounds: the kernel's queue is its default (16,384 events; an overflow says the rest was lost),
// the queue in memory is bounded as FolderEvents' is, the ignored folders are at most
// kMostIgnored, and the writers read are kept in a bounded cache: nothing a writer does makes the
// reader loop or grow without bound.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/fs/event_queue.h"
#include "platform/fs/folder_event_source.h"
#include "platform/fs/writer.h"

namespace norv::platform {

class FanotifyEvents final : public FolderEventSource {
  public:
    // Fails with kUnsupported where fanotify cannot be had: not privileged, an old kernel.
    static Result<std::unique_ptr<FanotifyEvents>> Create(Env& env, const FanotifyCalls& calls,
                                                          size_t most_queued_bytes);
    ~FanotifyEvents() override;

    std::string_view name() const override { return "fanotify"; }
    Result<int> Watch(const DirectoryHandle& folder, const std::string& shown_path) override;
    void Unwatch(int watch) override;
    Status Wait(std::chrono::milliseconds timeout, std::vector<FolderEvent>& events) override;
    size_t waiting() const override;
    bool Drained() const override;
    bool SeesUnwatchedFolders() const override { return true; }
    int WatchOf(const std::string& key) const override;
    void Ignore(const std::string& key) override;
    void ForgetIgnored() override;

    // File systems marked, folders registered.
    size_t marks() const;
    size_t watches() const;
    bool reports_pidfd() const { return pidfds_; }

  private:
    FanotifyEvents(Env& env, const FanotifyCalls& calls, int fd, int mounts, bool pidfds,
                   size_t most_queued_bytes)
        : env_(env),
          calls_(calls),
          fd_(fd),
          mounts_(mounts),
          pidfds_(pidfds),
          queue_(most_queued_bytes) {}
    // The reader thread (fanotify_reader.cpp).
    void Read();
    // Turns one read of the kernel's queue into the watched folders' events.
    void Parse(const char* data, size_t size, std::vector<FolderEvent>& events);
    // The file systems gone from the mount table: their watches end.
    void MountsChanged(std::vector<FolderEvent>& events);
    Env& env_;
    const FanotifyCalls& calls_;
    const int fd_;
    const int mounts_;  // /proc/self/mountinfo, which polls as changed when the table does
    const bool pidfds_;
    std::vector<char> buffer_;  // the reader's
    WriterCache writers_;       // the reader's

    // The registered folders: key (fsid, handle type, handle), the file system's device.
    mutable std::mutex handles_mutex_;
    std::unordered_map<std::string, int> by_handle_;
    std::unordered_map<int, std::string> by_watch_;
    std::unordered_map<std::string, dev_t> marked_;  // fsid bytes -> device
    int next_watch_ = 1;
    std::unordered_set<std::string> ignored_;  // keys, at most kMostIgnored

    BoundedEventQueue queue_;
    // The reader is between taking events from the kernel and queueing them.
    std::atomic<bool> reading_{false};
    EventReaderThread reader_;
};

// What a folder is known by in an event: its file system's id and its file handle.
std::string HandleKey(const void* fsid, int handle_type, const void* handle, size_t handle_bytes);

}  // namespace norv::platform
