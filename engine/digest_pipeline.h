// DigestPipeline: runs one folder rule's walk on a producer thread and fingerprints its files on
// worker threads, ahead of the run's thread, which takes them strictly in walk order.
//
// The walk is the same TreeWalk the one-file-at-a-time scan uses, and each file is measured the
// same way (FingerprintAt on its open folder), so the files, their order, the skipped folders
// and the failures are exactly those of the serial scan: a failure comes out as an item at the
// place where the serial walk would have stopped, and nothing after it. At most kLookahead
// files are held ahead.
// Thread safety: Next() is for the one consuming thread; everything else is internal.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/md5.h"
#include "platform/status.h"
#include "platform/tree_walk.h"

namespace norv {

class DigestPipeline {
  public:
    static constexpr size_t kLookahead = 512;

    struct Item {
        platform::TreeWalk::Entry entry;  // kFile, kSkippedFolder, kFailure or kEnd
        platform::Fingerprint fingerprint;  // kFile: measured on a worker
    };

    DigestPipeline(std::unique_ptr<platform::TreeWalk> walk, int workers);
    ~DigestPipeline();
    DigestPipeline(const DigestPipeline&) = delete;
    DigestPipeline& operator=(const DigestPipeline&) = delete;

    // The next item in walk order, its fingerprint taken. While it waits, `idle` is called about
    // every 20 ms so a window stays responsive.
    Item Next(const std::function<void()>& idle);

  private:
    enum class State { kWaiting, kHashing, kDone };
    struct Slot {
        Item item;
        State state;
    };

    void Produce();
    bool Push(Item item, State state);
    void Work();

    std::unique_ptr<platform::TreeWalk> walk_;
    std::mutex mutex_;
    std::condition_variable space_, work_, done_;
    std::deque<Slot> queue_;
    size_t next_to_hash_ = 0;  // index in queue_ of the first slot no worker has taken
    bool stop_ = false;
    std::thread producer_;
    std::vector<std::thread> workers_;
};

}  // namespace norv
