#include "platform/fs/event_queue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

namespace norv::platform {

void BoundedEventQueue::Push(std::vector<FolderEvent>& events) {
    if (events.empty()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    for (FolderEvent& event : events) {
        if (dropping_) continue;
        if (bytes_ + CostOf(event) > most_bytes_) {
            FolderEvent lost;
            lost.kinds = FolderEvent::kOverflow;
            bytes_ += CostOf(lost);
            queue_.push_back(std::move(lost));
            dropping_ = true;
            continue;
        }
        bytes_ += CostOf(event);
        queue_.push_back(std::move(event));
    }
    events.clear();
    came_.notify_one();
}

void BoundedEventQueue::Fail(Status failure) {
    std::lock_guard<std::mutex> lock(mutex_);
    failure_ = std::move(failure);
    came_.notify_one();
}

Status BoundedEventQueue::Take(std::chrono::milliseconds timeout, size_t most,
                               std::vector<FolderEvent>& events) {
    std::unique_lock<std::mutex> lock(mutex_);
    came_.wait_for(lock, timeout, [this] { return !queue_.empty() || !failure_.ok(); });
    for (size_t taken = 0; !queue_.empty() && taken < most; ++taken) {
        bytes_ -= CostOf(queue_.front());
        events.push_back(std::move(queue_.front()));
        queue_.pop_front();
    }
    // Room again: events are kept from now on.
    if (queue_.empty()) dropping_ = false;
    return failure_;
}

size_t BoundedEventQueue::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

Status EventReaderThread::Open(const Message& what) {
    stop_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_fd_ < 0) return Status::FromErrno(errno, what);
    return Status::Ok();
}

void EventReaderThread::Stop() {
    if (thread_.joinable()) {
        const uint64_t one = 1;
        (void)!::write(stop_fd_, &one, sizeof one);
        thread_.join();
    }
    if (stop_fd_ >= 0) ::close(stop_fd_);
    stop_fd_ = -1;
}

}  // namespace norv::platform
