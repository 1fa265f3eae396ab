#include "engine/digest_pipeline.h"

#include <cerrno>
#include <chrono>

namespace norv {

DigestPipeline::DigestPipeline(std::unique_ptr<platform::TreeWalk> walk, int workers)
    : walk_(std::move(walk)) {
    producer_ = std::thread([this] { Produce(); });
    for (int i = 0; i < workers; ++i) workers_.emplace_back([this] { Work(); });
}

DigestPipeline::~DigestPipeline() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    space_.notify_all();
    work_.notify_all();
    producer_.join();
    for (auto& w : workers_) w.join();
}

bool DigestPipeline::Push(Item item, State state) {
    std::unique_lock<std::mutex> lock(mutex_);
    space_.wait(lock, [this] { return stop_ || queue_.size() < kLookahead; });
    if (stop_) return false;
    queue_.push_back({std::move(item), state});
    lock.unlock();
    if (state == State::kWaiting) {
        work_.notify_one();
    } else {
        done_.notify_all();
    }
    return true;
}

void DigestPipeline::Produce() {
    using Type = platform::TreeWalk::Entry::Type;
    for (;;) {
        Item item;
        item.entry = walk_->Next();
        const Type type = item.entry.type;
        if (type == Type::kFolder) continue;
        if (!Push(std::move(item), type == Type::kFile ? State::kWaiting : State::kDone)) return;
        if (type == Type::kEnd || type == Type::kFailure) return;
    }
}

void DigestPipeline::Work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        work_.wait(lock, [this] { return stop_ || next_to_hash_ < queue_.size(); });
        if (stop_) return;
        Slot& slot = queue_[next_to_hash_++];
        if (slot.state != State::kWaiting) continue;
        slot.state = State::kHashing;
        // deque keeps references to its elements while others are added or the front removed,
        // and the consumer never removes a slot that is still being hashed.
        Item& item = slot.item;
        lock.unlock();
        platform::Fingerprint fingerprint =
            platform::FingerprintAt(item.entry.folder->fd(), item.entry.name);
        lock.lock();
        item.fingerprint = std::move(fingerprint);
        slot.state = State::kDone;
        done_.notify_all();
    }
}

DigestPipeline::Item DigestPipeline::Next(const std::function<void()>& idle) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (queue_.empty() || queue_.front().state != State::kDone) {
        if (done_.wait_for(lock, std::chrono::milliseconds(20)) == std::cv_status::timeout &&
            idle) {
            lock.unlock();
            idle();
            lock.lock();
        }
    }
    Item item = std::move(queue_.front().item);
    queue_.pop_front();
    if (next_to_hash_ > 0) --next_to_hash_;
    lock.unlock();
    space_.notify_one();
    return item;
}

}  // namespace norv
