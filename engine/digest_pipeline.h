// DigestPipeline: runs one folder rule's walk on a producer thread and fingerprints its files on
// worker threads, ahead of the run's thread, which takes them strictly in walk order.
//
// The walk is the same TreeWalk the one-file-at-a-time scan uses, and each file is measured the
// same way (FingerprintAt on its open folder), so the files, their order, the skipped folders
// and the failures are exactly those of the serial scan: a failure comes out as an item at the
// place where the serial walk would have stopped, and nothing after it.
//
// Work is handed over in batches of up to kBatchFiles entries, so the threads meet once per
// batch rather than once per file. Inside a batch the workers claim files one at a time with an
// atomic counter, so a batch of large files is still hashed on every worker. At most
// kBatchesAhead batches are held ahead of the run's thread.
//
// Each worker keeps as many files in hand as its MD5 lanes hold (platform::FingerprintLanes),
// from one batch or the next, and hashes them together; it waits for work only with no file in
// hand, so every file it holds, the oldest batch's among them, keeps moving.
// Thread safety: Next() is for the one consuming thread; everything else is internal.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/status.h"
#include "platform/digest/fingerprint.h"
#include "platform/fs/tree_walk.h"

namespace norv {

class DigestPipeline {
  public:
    static constexpr size_t kBatchFiles = 64;
    // Enough that the run's thread, when its database writes stall for a moment, leaves the
    // workers files to go on with (2,048 items, about a megabyte).
    static constexpr size_t kBatchesAhead = 32;

    struct Item {
        platform::TreeWalk::Entry entry;    // kFile, kSkippedFolder, kFailure or kEnd
        platform::Fingerprint fingerprint;  // kFile: measured on a worker
    };

    // `stop`, when given and set, cuts the fingerprint being taken short and ends the wait in
    // Next(), which then gives an item of type kEnd.
    // `reading`: how the workers read and hash (the run context's).
    DigestPipeline(std::unique_ptr<platform::TreeWalk> walk, int workers,
                   const std::atomic<bool>* stop = nullptr,
                   const platform::ReadOptions& reading = {});
    ~DigestPipeline();
    DigestPipeline(const DigestPipeline&) = delete;
    DigestPipeline& operator=(const DigestPipeline&) = delete;

    // The next item in walk order, its fingerprint taken. While it waits, `idle` is called about
    // every 20 ms so a window stays responsive.
    Item Next(const std::function<void()>& idle);
    // The batch reader's failure, once (Ok otherwise): a worker's io_uring failed mid-run and its
    // files are read one by one. Seen by the run's thread no later than the first item measured
    // after it, so at the latest with the end.
    Status TakeReaderFailure();

  private:
    struct Batch {
        explicit Batch(std::vector<Item> batch_items)
            : items(std::move(batch_items)), count(items.size()) {}
        std::vector<Item> items;  // each item written by the one worker that claimed it
        const size_t count;
        std::atomic<size_t> next_claim{0};
        std::atomic<size_t> finished{0};
        bool done = false;  // under mutex_: every item measured
    };

    void Produce();
    bool Push(std::vector<Item> items);
    void Work();
    // The first batch with files left; with none, nullptr, or with `wait` the next one.
    std::shared_ptr<Batch> Claimable(bool wait);
    void Claimed(const std::shared_ptr<Batch>& batch);  // all its items are claimed
    void Finished(Batch& batch);                        // one more of its items is measured

    std::unique_ptr<platform::TreeWalk> walk_;
    const std::atomic<bool>* stop_requested_;
    const platform::DigestKernel kernel_;  // chosen once for all the workers
    const bool kernel_forced_;
    const platform::IoPath io_;
    const size_t batch_files_;                // files each worker opens and reads in one batch
    const platform::IoPriority io_priority_;  // taken by the walk and each worker
    const size_t worker_count_;
    std::mutex mutex_;
    std::condition_variable space_, work_, done_;
    std::deque<std::shared_ptr<Batch>> queue_;  // under mutex_
    size_t first_claimable_ =
        0;  // under mutex_: index in queue_ of the first batch with files left
    std::atomic<size_t> queued_{0};  // queue_.size(), for the producer to read without the lock
    std::atomic<int> idle_workers_{0};
    std::atomic<bool> wanting_{false};  // a worker found nothing to fill a free lane with
    std::atomic<bool> stop_{false};     // set under mutex_, read anywhere
    Status reader_failure_;             // under mutex_: the first worker's
    std::atomic<bool> reader_failed_{false};
    std::thread producer_;
    std::vector<std::thread> workers_;
    // The run's thread: the batch it is taking items from.
    std::vector<Item> taking_;
    size_t taken_ = 0;
};

}  // namespace norv
