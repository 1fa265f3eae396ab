#include "engine/digest_pipeline.h"

#include <algorithm>

#include <pthread.h>

#include <chrono>
#include <utility>

namespace norv {

namespace {

// Named threads show in top -H and in a debugger as what they do.
void NameThisThread(const char* name) { ::pthread_setname_np(::pthread_self(), name); }

}  // namespace

DigestPipeline::DigestPipeline(std::unique_ptr<platform::TreeWalk> walk, int workers,
                               const std::atomic<bool>* stop, const platform::ReadOptions& reading)
    : walk_(std::move(walk)),
      stop_requested_(stop),
      kernel_(platform::ChosenDigestKernel(reading.digest_kernel)),
      kernel_forced_(reading.digest_kernel == "avx2"),
      io_(reading.io),
      batch_files_(reading.batch_files),
      io_priority_(reading.io_priority),
      worker_count_(static_cast<size_t>(std::max(workers, 1))) {
    producer_ = std::thread([this] {
        NameThisThread("norv-walk");
        // Lowering a thread's own priority cannot be refused: the result is not looked at.
        platform::SetIoPriority(io_priority_);
        Produce();
    });
    for (int i = 0; i < workers; ++i) {
        workers_.emplace_back([this] {
            NameThisThread("norv-digest");
            platform::SetIoPriority(io_priority_);  // before its ring's own threads are made
            Work();
        });
    }
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

bool DigestPipeline::Push(std::vector<Item> items) {
    std::unique_lock<std::mutex> lock(mutex_);
    space_.wait(lock, [this] { return stop_ || queue_.size() < kBatchesAhead; });
    if (stop_) return false;
    queue_.push_back(std::make_shared<Batch>(std::move(items)));
    queued_ = queue_.size();
    lock.unlock();
    work_.notify_all();
    return true;
}

void DigestPipeline::Produce() {
    using Type = platform::TreeWalk::Entry::Type;
    std::vector<Item> batch;
    batch.reserve(kBatchFiles);
    for (;;) {
        Item item;
        item.entry = walk_->Next();
        const Type type = item.entry.type;
        batch.push_back(std::move(item));
        const bool last = type == Type::kEnd || type == Type::kFailure;
        // A batch goes when it is full, when the walk ends, or early when a worker waits for
        // work and few batches are queued: a slow walk (cold caches, large folders) then never
        // leaves the workers idle. When the run's thread is the slower one the queue stays
        // full and batches stay whole.
        const bool starving = (idle_workers_.load(std::memory_order_relaxed) > 0 ||
                               wanting_.exchange(false, std::memory_order_relaxed)) &&
                              queued_.load(std::memory_order_relaxed) < kBatchesAhead / 2;
        if (last || batch.size() == kBatchFiles || starving) {
            if (!Push(std::move(batch)) || last) return;
            batch.clear();
            batch.reserve(kBatchFiles);
        }
    }
}

void DigestPipeline::Finished(Batch& batch) {
    // The worker that measures the last item tells the run's thread; the count's acquire-release
    // chain makes every other worker's items visible to it.
    if (batch.finished.fetch_add(1, std::memory_order_acq_rel) + 1 == batch.count) {
        std::lock_guard<std::mutex> lock(mutex_);
        batch.done = true;
        done_.notify_one();
    }
}

std::shared_ptr<DigestPipeline::Batch> DigestPipeline::Claimable(bool wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!stop_ && first_claimable_ >= queue_.size()) {
        if (!wait) {
            // Lanes free and nothing to fill them with: the walk may send a batch early.
            wanting_.store(true, std::memory_order_relaxed);
            return nullptr;
        }
        ++idle_workers_;
        work_.wait(lock, [this] { return stop_ || first_claimable_ < queue_.size(); });
        --idle_workers_;
    }
    if (stop_) return nullptr;
    return queue_[first_claimable_];
}

void DigestPipeline::Claimed(const std::shared_ptr<Batch>& batch) {
    // Every item of this batch is claimed: later workers start on the next one. Another worker,
    // or the run's thread taking the finished batch, may have moved on already.
    std::lock_guard<std::mutex> lock(mutex_);
    if (first_claimable_ < queue_.size() && queue_[first_claimable_] == batch) ++first_claimable_;
}

void DigestPipeline::Work() {
    using Type = platform::TreeWalk::Entry::Type;
    // Files are claimed one at a time until every lane holds one; the worker waits for work only
    // with no file in hand, so the files it holds (the oldest batch's among them) always move on.
    platform::FingerprintLanes lanes(kernel_, stop_requested_, platform::kDefaultHashBudget, io_,
                                     kernel_forced_, batch_files_);
    lanes.OnReaderFailure([this](const Status& failure) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (reader_failed_.exchange(true)) return;
        reader_failure_ = failure;
    });
    std::shared_ptr<Batch> batch;
    size_t claimed_of_batch = 0;
    // Claims the next file and gives it to the lanes; false when there is none (after waiting
    // for one when `wait`). A worker with files in hand takes no more than its share of a
    // batch the walk sent short (its last, or early to idle workers): a few big files, each
    // worth seconds, would otherwise all go to the first worker awake, whose lanes and batched
    // opening have room for them all. Full batches keep coming while the walk goes on, so the
    // other workers take the next ones.
    auto claim = [&](bool wait) {
        for (;;) {
            if (!batch) {
                if (!(batch = Claimable(wait))) return false;
                claimed_of_batch = 0;
            }
            const size_t share = (batch->count + worker_count_ - 1) / worker_count_;
            if (batch->count < kBatchFiles && claimed_of_batch >= share &&
                !(lanes.empty() && lanes.queued() == 0)) {
                return false;
            }
            const size_t i = batch->next_claim.fetch_add(1);
            if (i >= batch->count) {
                Claimed(batch);
                batch.reset();
                continue;
            }
            ++claimed_of_batch;
            // Items claimed after the stop are counted but not measured: nobody takes them.
            Item& item = batch->items[i];
            if (stop_.load(std::memory_order_relaxed) || item.entry.type != Type::kFile) {
                Finished(*batch);
                continue;
            }
            lanes.Add(*item.entry.folder, item.entry.name,
                      [this, batch, &item](platform::Fingerprint&& fingerprint) {
                          item.fingerprint = std::move(fingerprint);
                          Finished(*batch);
                      });
            return true;
        }
    };
    for (;;) {
        while (!lanes.full()) {
            if (lanes.queued() > 0) {
                // Batched opening: files already at hand are claimed, without waiting, until
                // the batch is whole; then they go into the lanes one by one.
                if (!lanes.queue_opened() && lanes.queued() < lanes.most_queued() && claim(false)) {
                    continue;
                }
                lanes.AddQueued();
                continue;
            }
            if (!claim(lanes.empty())) break;
        }
        if (stop_.load(std::memory_order_relaxed)) return;
        if (!lanes.empty()) lanes.Step();
    }
}

Status DigestPipeline::TakeReaderFailure() {
    if (!reader_failed_.load(std::memory_order_acquire)) return Status::Ok();
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(reader_failure_, Status::Ok());
}

DigestPipeline::Item DigestPipeline::Next(const std::function<void()>& idle) {
    if (taken_ == taking_.size()) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto ready = [this] { return !queue_.empty() && queue_.front()->done; };
        while (!ready()) {
            if (stop_requested_ && stop_requested_->load()) {
                Item end;
                end.entry.type = platform::TreeWalk::Entry::Type::kEnd;
                return end;
            }
            if (done_.wait_for(lock, std::chrono::milliseconds(20)) == std::cv_status::timeout &&
                idle) {
                lock.unlock();
                idle();
                lock.lock();
            }
        }
        taking_ = std::move(queue_.front()->items);
        taken_ = 0;
        queue_.pop_front();
        queued_ = queue_.size();
        if (first_claimable_ > 0) --first_claimable_;
        lock.unlock();
        space_.notify_one();
    }
    return std::move(taking_[taken_++]);
}

}  // namespace norv
