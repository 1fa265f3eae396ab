// DigestPipeline: walks one folder rule on a producer thread and fingerprints its files on
// worker threads, ahead of the run's thread, which takes them strictly in walk order.
//
// The order, the files and the failures are those of the one-file-at-a-time walk: folders are
// listed once, subfolders walked first, links never followed; a folder that cannot be listed
// (for another reason than not being there) comes out as a failure item at the place where the
// serial walk would have stopped, and nothing after it. At most kLookahead files are held ahead.
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

#include "platform/file_system.h"
#include "platform/status.h"

namespace norv {

class DigestPipeline {
  public:
    static constexpr size_t kLookahead = 512;

    struct Item {
        std::string dir;  // with its trailing separator
        std::string name;
        std::shared_ptr<platform::DirectoryHandle> folder;  // the open folder holding it
        platform::FileFacts facts;
        std::string digest;
        Status failure;    // not ok: the walk stops here with this failure
        bool end = false;  // the walk is complete
    };

    DigestPipeline(std::string path, int16_t flag, int workers);
    ~DigestPipeline();
    DigestPipeline(const DigestPipeline&) = delete;
    DigestPipeline& operator=(const DigestPipeline&) = delete;

    // The next item in walk order, its digest computed. While it waits, `idle` is called about
    // every 20 ms so a window stays responsive.
    Item Next(const std::function<void()>& idle);

  private:
    enum class State { kWaiting, kHashing, kDone };
    struct Slot {
        Item item;
        State state;
    };

    void Produce();
    bool Walk(const std::string& path);
    bool Push(Item item, State state);
    void Work();

    const std::string root_;
    const int16_t flag_;
    std::mutex mutex_;
    std::condition_variable space_, work_, done_;
    std::deque<Slot> queue_;
    size_t next_to_hash_ = 0;  // index in queue_ of the first slot no worker has taken
    bool stop_ = false;
    std::thread producer_;
    std::vector<std::thread> workers_;
};

}  // namespace norv
