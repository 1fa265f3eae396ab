#include "engine/digest_pipeline.h"

#include <cerrno>
#include <chrono>

#include "config/rule_table.h"
#include "engine/scan_engine.h"
#include "platform/md5.h"

namespace norv {

using platform::EntryKind;

DigestPipeline::DigestPipeline(std::string path, int16_t flag, int workers)
    : root_(std::move(path)), flag_(flag) {
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
    if (Walk(root_)) {
        Item end;
        end.end = true;
        Push(std::move(end), State::kDone);
    }
}

bool DigestPipeline::Walk(const std::string& path) {
    std::string dir = path;
    if (dir.empty() || dir.back() != platform::kSeparator) dir += platform::kSeparator;
    auto fail = [this](Status status) {
        Item item;
        item.failure = std::move(status);
        Push(std::move(item), State::kDone);
        return false;
    };
    auto folder = platform::OpenDirectory(dir);
    if (!folder.ok()) {
        int code = folder.status().code();
        if (code == ENOENT || code == ENOTDIR) return true;
        return fail(folder.status());
    }
    auto listing = platform::ListDirectory(**folder, dir);
    if (!listing.ok()) return fail(listing.status());
    std::vector<std::string> files;
    std::vector<std::string> subdirectories;
    for (auto& entry : listing.value()) {
        if (entry.kind == EntryKind::kDirectory) {
            subdirectories.push_back(dir + entry.name);
        } else if (entry.kind == EntryKind::kRegular || entry.kind == EntryKind::kSymlink) {
            files.push_back(std::move(entry.name));
        }
    }
    if (flag_ == RULE_TREE && !subdirectories.empty()) {
        // Folders deeper down are walked with this one closed, so a deep tree does not hold one
        // open handle per level; it is opened again for its own files.
        folder.value().reset();
        for (const auto& sub : subdirectories) {
            if (!Walk(sub)) return false;
        }
        folder = platform::OpenDirectory(dir);
        if (!folder.ok()) {
            int code = folder.status().code();
            if (code == ENOENT || code == ENOTDIR) return true;  // gone meanwhile: not seen
            return fail(folder.status());
        }
    }
    for (auto& name : files) {
        auto facts = platform::LStatAt(**folder, name, dir + name);
        if (!facts.ok()) return fail(facts.status());
        if (facts->kind != EntryKind::kRegular && facts->kind != EntryKind::kSymlink) continue;
        Item item;
        item.dir = dir;
        item.name = std::move(name);
        item.facts = facts.value();
        item.folder = folder.value();
        if (!Push(std::move(item), State::kWaiting)) return false;
    }
    return true;
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
        const int dirfd = item.folder->fd();
        std::string digest = item.facts.kind == EntryKind::kSymlink
                                 ? platform::Md5OfSymlinkAt(dirfd, item.name.c_str())
                                 : platform::Md5OfFileAt(dirfd, item.name.c_str());
        lock.lock();
        item.digest = std::move(digest);
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
    item.folder.reset();  // the folder stays open only while its files are queued
    queue_.pop_front();
    if (next_to_hash_ > 0) --next_to_hash_;
    lock.unlock();
    space_.notify_one();
    return item;
}

}  // namespace norv
