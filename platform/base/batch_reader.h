// BatchReader: opens and reads many small files together through io_uring, a few system calls
// for a whole batch of opens, reads and closes instead of three for each file.
//
// Each file is opened as OpenForDigest opens it on its fast path (openat2 relative to its open
// folder, O_NOFOLLOW, O_NONBLOCK, O_NOATIME, never crossing a mount point), then looked at
// through the opened file (fstat, never by name). Only a regular file is read, and only once
// its type is known: the read is a later submission, not linked to the open, so a FIFO or
// device swapped in is opened without blocking and never read. A regular file shorter than one
// block is read whole; the caller asks the rest (attributes, the second look) through the
// descriptor, and gives it back to Close, which closes it with the next batch.
//
// Whatever the batch cannot settle goes back to the caller's own one-file path: an open that
// failed (a link, a mount point whose file system MountGuard must judge, a lease, O_NOATIME
// refused, a missing entry) is opened there afresh, and an open file not read (larger than a
// block, a short or failed read) goes on with the descriptor opened here, so no name is ever
// trusted twice.
//
// A ring that fails during a run (a submission refused, as a seccomp filter refuses
// io_uring_enter) is given up: the files of that batch and every later one go to the one-file
// path, so a failure costs speed, never a file. The failure is kept (failure()) for the caller
// to report where the run reports.
//
// Which path runs (IoPath, chosen at start-up from NORV_IO): plain never uses io_uring, uring
// asks for it, and auto uses it when the kernel offers it. A kernel without it, or with it
// disabled (kernel.io_uring_disabled, a seccomp filter), gives the plain path. Made by the Env
// (Env::NewBatchReader): an Env that must see every open and read gives none. Never under
// ThreadSanitizer, which must see every call. Not thread safe: one reader (one ring) per digest
// worker.
#pragma once

#include <sys/stat.h>

#include <linux/openat2.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/status.h"

namespace norv::platform {

class Env;

enum class IoPath { kAuto, kPlain, kUring };

// "plain", "uring", or empty for kAuto, as NORV_IO names them; nothing for another name.
std::optional<IoPath> ParseIoPath(std::string_view name);

// "uring" when a batch reader would be made now for `wanted`, "plain" otherwise.
const char* ChosenIoName(IoPath wanted);

class BatchReader {
  public:
    // Files a batch opens and reads together when nothing better is known of the device
    // (BatchFilesFor).
    static constexpr size_t kDefaultFiles = 64;
    // The most a batch takes, whatever the device: each file read whole holds up to a block.
    static constexpr size_t kMostFiles = 128;
    static constexpr int64_t kBlockBytes = 64 * 1024;

    struct Request {
        int dirfd = -1;
        const char* name = nullptr;
        int64_t most_bytes = 0;  // a file larger than this is not read here (the hash budget)
    };

    struct Result {
        int open_error = 0;   // the open failed: the caller opens the file its own way
        int fd = -1;          // open, handed to the caller, who closes it
        bool looked = false;  // `st` is the first look, through the opened file
        struct stat st {};
        bool whole = false;  // a regular file read whole: its bytes
        std::vector<char> bytes;
    };

    // nullptr when io_uring is not to be used (see above) or the kernel lacks what it needs.
    // Batches of up to `batch_files` files (at most kMostFiles).
    // For Env::NewBatchReader; everyone else asks the Env.
    static std::unique_ptr<BatchReader> Make(Env& env, IoPath wanted, size_t batch_files);
    ~BatchReader();  // closes what Close was given
    BatchReader(const BatchReader&) = delete;
    BatchReader& operator=(const BatchReader&) = delete;

    // Up to batch_files() files. `stop`, when set, ends the batch early: what is left is handed
    // back open or not opened.
    void Run(std::span<const Request> requests, std::vector<Result>& results,
             const std::atomic<bool>* stop);
    // Closes `fd` with the next batch.
    void Close(int fd);
    // The ring failed (a submission refused, a completion not delivered): it is used no more,
    // and every later Run hands each file back not opened, for the one-file path.
    bool broken() const { return broken_; }
    // Why it broke (Ok while it works).
    const Status& failure() const { return failure_; }
    // The Env its own calls go through.
    Env& env() const { return env_; }
    size_t batch_files() const { return batch_files_; }

  private:
    struct Ring;
    BatchReader(Env& env, std::unique_ptr<Ring> ring, size_t batch_files);
    // Submits the `queued` operations prepared (they become `awaited`) and waits for a
    // completion; false when the ring refused them.
    bool Submit(unsigned& queued, unsigned& awaited);
    // Waits for one completion and takes every one already there, each given to `on` (file, op,
    // result); false when the ring failed.
    bool Reap(unsigned& awaited, const std::function<void(size_t, int, int)>& on);
    void Break(int error);

    Env& env_;
    std::unique_ptr<Ring> ring_;
    const size_t batch_files_;
    std::vector<int> closes_;
    std::vector<Result> scratch_results_;
    bool broken_ = false;
    Status failure_;
    bool in_flight_ = false;                   // broken with operations perhaps still running
    std::vector<std::vector<char>> stranded_;  // their buffers, never freed under them
    // Per batch: how each file is opened (the ring reads it when the opens are submitted) and
    // what each read returned.
    std::vector<struct open_how> how_;
    std::vector<int> read_got_;
};

// How many files each of `workers` digest workers' batches should hold to keep the device that
// holds `device` busy: its request queue (queue/nr_requests under `sys`, a partition's from its
// disk) shared among the workers, within [16, BatchReader::kMostFiles]. kDefaultFiles where
// the device has no queue to read (a file system of no block device, as tmpfs).
size_t BatchFilesFor(dev_t device, int workers, const std::string& sys = "/sys");

}  // namespace norv::platform
