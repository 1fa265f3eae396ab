// FolderEventSource: the kernel's notices of changes in watched folders, whichever way the
// kernel gives them. Two implement it: FolderEvents (inotify: one watch per folder, each set
// before its events can come) and FanotifyEvents (fanotify: one mark per file system; the events
// of every folder there come, named by file handle, so a caller watches a folder when its first
// event comes). OpenFolderEventSource picks fanotify where the kernel, the privilege and the file
// system allow it, and inotify otherwise.
//
// A folder is watched through a descriptor the caller opened and verified, never through its
// path. Each watch has a number; an event names the watch and, for an entry in the folder, the
// entry's name. Every queue is bounded: when one overflows, one overflow event stands for
// everything lost. Apart from a source's own reader thread, one thread uses it at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"
#include "platform/fs/file_system.h"
#include "platform/fs/writer.h"

namespace norv::platform {

struct FolderEvent {
    enum Kind : uint32_t {
        kWritten = 1u << 0,        // content or attributes changed, or written and closed
        kAppeared = 1u << 1,       // created, or moved into the folder
        kVanished = 1u << 2,       // removed, or moved out of the folder
        kFolderRemoved = 1u << 3,  // the watched folder itself was removed
        kFolderMoved = 1u << 7,    // the watched folder itself was moved, or unmounted
        kWatchEnded = 1u << 4,     // the watch is over: its number may be given out again
        kOverflow = 1u << 5,       // events were lost: the queue was full
        kMovedAway = 1u << 6,      // with kVanished: moved, not removed
        kFinished = 1u << 8,       // a change is complete: written and closed, moved, removed
    };
    int watch = -1;  // -1 with kOverflow
    uint32_t kinds = 0;
    bool is_folder = false;  // the named entry is a folder
    std::string name;        // empty for an event on the watched folder itself
    // The process that made the change, where the source can tell (fanotify); null otherwise.
    std::shared_ptr<const Writer> writer;
    // fanotify: the folder's file system id and file handle (FolderHandleKey), "" otherwise.
    // An event of a folder not watched has watch -1 and this key.
    std::string folder_key;
};

// What the events waiting in memory may take (each counted as its name and 64 bytes) before
// further ones are dropped for one overflow event: about 16 times the kernel's usual queue of
// 16,384 events with short names.
inline constexpr size_t kMostQueuedEventBytes = size_t{32} << 20;

class FolderEventSource {
  public:
    virtual ~FolderEventSource() = default;
    // "fanotify" or "inotify", for the log and the watch's statistics.
    virtual std::string_view name() const = 0;
    // Starts watching the open folder (or returns its existing number: one folder, one watch).
    // A full table fails with kind kLimit; a file system the source cannot watch, kUnsupported.
    virtual Result<int> Watch(const DirectoryHandle& folder, const std::string& shown_path) = 0;
    virtual void Unwatch(int watch) = 0;
    // Waits up to `timeout` for events and appends what has come, at most kMostEventsPerWait.
    // Once the reader has failed, every call returns its failure: the source is done.
    virtual Status Wait(std::chrono::milliseconds timeout, std::vector<FolderEvent>& events) = 0;
    static constexpr size_t kMostEventsPerWait = 8192;
    // Events read from the kernel and not yet taken by Wait.
    virtual size_t waiting() const = 0;
    // Every event the kernel has queued so far has been read and taken by Wait: what happened
    // before this call is known.
    virtual bool Drained() const { return waiting() == 0; }

    // fanotify: the events of folders not watched come as well (watch -1, with their
    // folder_key); inotify: only those of watched folders.
    virtual bool SeesUnwatchedFolders() const { return false; }
    // The watch of the folder named by `key`, or -1.
    virtual int WatchOf(const std::string& /*key*/) const { return -1; }
    // The events of the folder named by `key` are not wanted: they are dropped as they are read
    // until the folder is watched or ForgetIgnored is called. The set is bounded: when full, it
    // is emptied and its folders are asked about again.
    virtual void Ignore(const std::string& /*key*/) {}
    virtual void ForgetIgnored() {}
    static constexpr size_t kMostIgnored = 65536;
};

// The fanotify calls, replaceable so that a test can make the kernel refuse them.
struct FanotifyCalls {
    int (*init)(unsigned flags, unsigned event_flags);
    int (*mark)(int fd, unsigned flags, uint64_t mask, int dirfd, const char* path);
};
const FanotifyCalls& SystemFanotifyCalls();

struct EventSourceOptions {
    size_t most_queued_bytes = kMostQueuedEventBytes;
    bool try_fanotify = true;                 // false: inotify only
    const FanotifyCalls* fanotify = nullptr;  // null: the system's
    // fanotify or nothing: for a caller that asks who wrote a given entry, which inotify cannot
    // tell.
    bool fanotify_only = false;
};

// fanotify where it can be had, inotify otherwise; `why_not_fanotify` (when given) gets why
// fanotify was not used (empty when it is, or when it was not tried). With fanotify_only,
// fanotify or the failure that refused it (kUnsupported where it cannot be had).
Result<std::unique_ptr<FolderEventSource>> OpenFolderEventSource(Env& env,
                                                                 const EventSourceOptions& options,
                                                                 Message* why_not_fanotify);

// What fanotify names the open folder by in its events (FolderEvent::folder_key): its file
// system's id and its file handle, read through the descriptor. `shown_path` names it in the
// failure.
Result<std::string> FolderHandleKey(const DirectoryHandle& folder, const std::string& shown_path);

// The file system part of a folder key: two keys with the same are on one file system.
std::string_view FileSystemOfKey(std::string_view key);

// Where the folder named by `key` is now, found through its file handle: its path as the kernel
// names it, seen from the mount of `on_its_file_system` (a hint only: a caller opens the path
// again the safe way and compares the identity), and its identity. Fails when the folder is gone.
struct LocatedFolder {
    std::string path;
    FileIdentity identity;
};
Result<LocatedFolder> LocateFolder(const DirectoryHandle& on_its_file_system,
                                   const std::string& key);

// The path the kernel names an open folder by (its current place, as /proc shows it).
Result<std::string> PathOfOpenFolder(const DirectoryHandle& folder, const std::string& shown_path);

}  // namespace norv::platform
