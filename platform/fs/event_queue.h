// The two halves every folder event source shares: a queue in memory between the thread that
// reads the kernel's queue and the one that takes the events, bounded so that a flood overflows
// into one overflow event instead of growing; and that reader thread, stopped through an eventfd
// it polls beside the kernel's queue.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/base/status.h"
#include "platform/fs/folder_event_source.h"

namespace norv::platform {

class BoundedEventQueue {
  public:
    explicit BoundedEventQueue(size_t most_bytes) : most_bytes_(most_bytes) {}

    // Moves `events` in (and clears it). Once the queue is full, what comes is dropped, one
    // overflow event standing for it all, until Take empties the queue.
    void Push(std::vector<FolderEvent>& events);
    // The reader has failed: every Take from now on returns `failure`.
    void Fail(Status failure);
    // Waits up to `timeout` for events or a failure and appends at most `most` events.
    Status Take(std::chrono::milliseconds timeout, size_t most, std::vector<FolderEvent>& events);
    size_t size() const;

    // What an event counts for against the bound: its name and 64 bytes.
    static size_t CostOf(const FolderEvent& event) { return 64 + event.name.size(); }

  private:
    const size_t most_bytes_;
    mutable std::mutex mutex_;  // guards what follows
    std::condition_variable came_;
    std::deque<FolderEvent> queue_;
    size_t bytes_ = 0;
    bool dropping_ = false;  // full: an overflow event stands for what is dropped
    Status failure_;
};

// A thread reading a kernel queue, with the eventfd that tells it to end. The owner calls Stop
// before it closes what the thread reads.
class EventReaderThread {
  public:
    EventReaderThread() = default;
    ~EventReaderThread() { Stop(); }
    EventReaderThread(const EventReaderThread&) = delete;
    EventReaderThread& operator=(const EventReaderThread&) = delete;

    // Makes the eventfd; `what` names the failure.
    Status Open(const Message& what);
    // The descriptor the thread polls: readable once Stop was called.
    int stop_fd() const { return stop_fd_; }
    void Start(std::function<void()> body) { thread_ = std::thread(std::move(body)); }
    void Stop();

    // Room for many events per read of a kernel queue: a name is at most NAME_MAX bytes.
    static constexpr size_t kReadBufferBytes = 256 * 1024;

  private:
    int stop_fd_ = -1;
    std::thread thread_;
};

}  // namespace norv::platform
