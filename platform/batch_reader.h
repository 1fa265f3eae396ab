// BatchReader: opens, looks at and reads many small files together through io_uring, a few
// system calls for a whole batch instead of four or more for each file.
//
// Each file is opened as OpenForDigest opens it on its fast path (openat2 relative to its open
// folder, O_NOFOLLOW, O_NONBLOCK, O_NOATIME, never crossing a mount point), then looked at
// through the opened file (statx with AT_EMPTY_PATH on the descriptor, never by name). Only a
// regular file is read, and only once its type is known: the read is a later submission, not
// linked to the open, so a FIFO or device swapped in is opened without blocking and closed
// unread. A regular file shorter than one block is read whole, its two extended attributes
// asked, looked at a second time and closed; any other file is handed back open.
//
// Whatever the batch cannot settle goes back to the caller's own one-file path: an open that
// failed (a link, a mount point whose file system MountGuard must judge, a lease, O_NOATIME
// refused, a missing entry) is opened there afresh, and an open file left over (larger than a
// block, short read, an attribute that needs a second look) goes on with the descriptor opened
// here, so no name is ever trusted twice.
//
// Which path runs: NORV_IO=plain never uses io_uring, NORV_IO=uring asks for it, and unset it is
// used when the kernel offers it. A kernel without it, or with it disabled (kernel.io_uring_
// disabled, a seccomp filter), gives the plain path. The system's Env only: a test's Env sees
// every call on the plain path.
// Not thread safe: one reader (one ring) per digest worker.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace norv::platform {

class Env;

// "uring" when a batch reader would be made now, "plain" otherwise.
const char* ChosenIoName();

class BatchReader {
  public:
    static constexpr size_t kMostFiles = 64;
    static constexpr int64_t kBlockBytes = 64 * 1024;
    // The largest attribute value asked in the batch; a larger one is read on the plain path.
    static constexpr size_t kXattrBytes = 1024;

    struct Request {
        int dirfd = -1;
        const char* name = nullptr;
        int64_t most_bytes = 0;  // a file larger than this is not read here (the hash budget)
    };

    struct Result {
        int open_error = 0;  // the open failed: the caller opens the file its own way
        int fd = -1;         // open, handed to the caller, who looks at it and closes it
        // Read whole in the batch (descriptor closed): the first look through the opened file,
        // the bytes, the attributes and the second look. A value nullopt is absent (ENODATA).
        bool whole = false;
        struct stat st {};
        std::vector<char> bytes;
        std::optional<std::string> capabilities, acl;
        int after_error = 0;
        struct stat after {};
    };

    // nullptr when io_uring is not to be used (see above) or the kernel lacks what it needs.
    static std::unique_ptr<BatchReader> Make(Env& env);
    ~BatchReader();
    BatchReader(const BatchReader&) = delete;
    BatchReader& operator=(const BatchReader&) = delete;

    // Up to kMostFiles files. `stop`, when set, ends the batch early: what is left is handed back
    // open or not opened.
    void Run(std::span<const Request> requests, std::vector<Result>& results,
             const std::atomic<bool>* stop);

  private:
    struct Ring;
    explicit BatchReader(std::unique_ptr<Ring> ring);
    std::unique_ptr<Ring> ring_;
};

}  // namespace norv::platform
