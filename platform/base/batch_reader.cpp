#include "platform/base/batch_reader.h"

#include <fcntl.h>
#ifdef NORV_HAVE_LIBURING
#include <liburing.h>
#endif
#include <unistd.h>

#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string_view>

#include "platform/base/env.h"
#include "platform/base/notice_code.h"

namespace norv::platform {

std::optional<IoPath> ParseIoPath(std::string_view name) {
    if (name.empty()) return IoPath::kAuto;
    if (name == "plain") return IoPath::kPlain;
    if (name == "uring") return IoPath::kUring;
    return std::nullopt;
}

size_t BatchFilesFor(dev_t device, int workers, const std::string& sys) {
    // A partition has no queue of its own: its disk's is one folder up.
    const std::string folder =
        sys + "/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
    int64_t requests = -1;
    for (const char* queue : {"/queue/nr_requests", "/../queue/nr_requests"}) {
        std::ifstream in(folder + queue);
        if (in >> requests && requests > 0) break;
        requests = -1;
    }
    if (requests <= 0) return BatchReader::kDefaultFiles;
    const auto share = static_cast<size_t>(requests) / static_cast<size_t>(std::max(workers, 1));
    return std::clamp<size_t>(share, 16, BatchReader::kMostFiles);
}

#ifndef NORV_HAVE_LIBURING

// Built without liburing: there is no batch reader, and every file takes the one-file path.
struct BatchReader::Ring {};
const char* ChosenIoName(IoPath) { return "plain"; }
std::unique_ptr<BatchReader> BatchReader::Make(Env&, IoPath, size_t) { return nullptr; }
BatchReader::~BatchReader() = default;
void BatchReader::Run(std::span<const Request>, std::vector<Result>&, const std::atomic<bool>*) {}
void BatchReader::Close(int) {}

#else

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr bool kUnderThreadSanitizer = true;
#else
constexpr bool kUnderThreadSanitizer = false;
#endif

bool Offers(io_uring_probe* probe) {
    for (int op : {IORING_OP_OPENAT2, IORING_OP_READ, IORING_OP_CLOSE}) {
        if (!io_uring_opcode_supported(probe, op)) return false;
    }
    return true;
}

// What each completion answers: the file's index and the operation.
enum Op : uint64_t { kOpen, kRead, kClose };
uint64_t Tag(size_t file, Op op) { return (static_cast<uint64_t>(file) << 3) | op; }

}  // namespace

struct BatchReader::Ring {
    io_uring ring{};
    bool live = false;
    ~Ring() {
        if (live) io_uring_queue_exit(&ring);
    }
};

const char* ChosenIoName(IoPath wanted) {
    if (wanted == IoPath::kPlain || kUnderThreadSanitizer) return "plain";
    io_uring ring{};
    if (io_uring_queue_init(4, &ring, IORING_SETUP_SUBMIT_ALL) != 0) return "plain";
    io_uring_probe* probe = io_uring_get_probe_ring(&ring);
    const bool offers = probe != nullptr && Offers(probe);
    if (probe) io_uring_free_probe(probe);
    io_uring_queue_exit(&ring);
    return offers ? "uring" : "plain";
}

std::unique_ptr<BatchReader> BatchReader::Make(Env& env, IoPath wanted, size_t batch_files) {
    // ThreadSanitizer must see every call, as it follows descriptors through the calls it sees:
    // one the ring opened or closed would look to it like another thread's, and its number's
    // next owner a race.
    if (wanted == IoPath::kPlain || kUnderThreadSanitizer) {
        return nullptr;
    }
    batch_files = std::clamp<size_t>(batch_files, 1, kMostFiles);
    auto ring = std::make_unique<Ring>();
    // ENOSYS (no io_uring), EPERM (disabled by kernel.io_uring_disabled or a seccomp filter),
    // ENOMEM (locked memory limit): the plain path.
    // IORING_SETUP_SUBMIT_ALL (Linux 5.18): a submission takes all that is queued or none, so a
    // failed one leaves nothing running.
    // The opens of a batch and the closes of up to two batches before it.
    const auto entries = static_cast<unsigned>(4 * batch_files);
    const int made = io_uring_queue_init(entries, &ring->ring, IORING_SETUP_SUBMIT_ALL);
    if (made == 0) {
        ring->live = true;
        io_uring_probe* probe = io_uring_get_probe_ring(&ring->ring);
        const bool offers = probe != nullptr && Offers(probe);
        if (probe) io_uring_free_probe(probe);
        if (offers) {
            return std::unique_ptr<BatchReader>(new BatchReader(env, std::move(ring), batch_files));
        }
    }
    return nullptr;
}

BatchReader::BatchReader(Env& env, std::unique_ptr<Ring> ring, size_t batch_files)
    : env_(env),
      ring_(std::move(ring)),
      batch_files_(batch_files),
      how_(batch_files),
      read_got_(batch_files) {}

void BatchReader::Close(int fd) {
    if (broken_) {
        env_.Close(fd);
        return;
    }
    closes_.push_back(fd);
    if (closes_.size() >= batch_files_) Run({}, scratch_results_, nullptr);
}

BatchReader::~BatchReader() {
    if (!closes_.empty()) Run({}, scratch_results_, nullptr);
    // Operations whose end was never seen may still write into the ring and the buffers kept
    // for them: both are left to the process's end rather than freed under them.
    if (in_flight_) {
        (void)ring_.release();
        new std::vector<std::vector<char> >(std::move(stranded_));
    }
}

bool BatchReader::Submit(unsigned& queued, unsigned& awaited) {
    if (queued == 0) return true;
    // One call submits and waits for the first completion, which Reap then finds without one.
    // A ring that can take no more work (EAGAIN, EBUSY: memory short) is asked again a while;
    // the queued operations stay in it meanwhile. With IORING_SETUP_SUBMIT_ALL a submission
    // takes every queued operation or, failing, none.
    int submitted = -EAGAIN;
    for (int tries = 0; tries < 1000; ++tries) {
        submitted = io_uring_submit_and_wait(&ring_->ring, 1);
        if (submitted >= 0 ||
            (submitted != -EINTR && submitted != -EAGAIN && submitted != -EBUSY)) {
            break;
        }
        if (submitted != -EINTR) ::usleep(100);
    }
    if (submitted < 0) {
        // What was taken before goes on by itself.
        if (awaited > 0) in_flight_ = true;
        Break(-submitted);
        return false;
    }
    awaited += queued;
    queued = 0;
    return true;
}

bool BatchReader::Reap(unsigned& awaited, const std::function<void(size_t, int, int)>& on) {
    io_uring* ring = &ring_->ring;
    io_uring_cqe* cqe = nullptr;
    int waited = -EINTR;
    for (int tries = 0; tries < 1000 && waited == -EINTR; ++tries) {
        waited = io_uring_wait_cqe(ring, &cqe);
    }
    if (waited < 0) {
        in_flight_ = true;
        Break(-waited);
        return false;
    }
    // Every completion already there, not only the first.
    while (cqe != nullptr && awaited > 0) {
        const uint64_t tag = cqe->user_data;
        const int res = cqe->res;
        io_uring_cqe_seen(ring, cqe);
        --awaited;
        on(tag >> 3, static_cast<int>(tag & 7), res);
        cqe = nullptr;
        if (awaited > 0 && io_uring_peek_cqe(ring, &cqe) != 0) cqe = nullptr;
    }
    return true;
}

void BatchReader::Break(int error) {
    broken_ = true;
    failure_ = Status::FromErrno(error, Message(NoticeCode::kBatchReadingGivenUp));
}

void BatchReader::Run(std::span<const Request> requests, std::vector<Result>& results,
                      const std::atomic<bool>* stop) {
    const size_t n = std::min(requests.size(), batch_files_);
    results.assign(n, Result());
    // A broken ring opens nothing: every file goes to the caller's one-file path.
    for (Result& r : results) r.open_error = ECANCELED;
    if (broken_) {
        for (int fd : closes_) env_.Close(fd);
        closes_.clear();
        return;
    }
    io_uring* ring = &ring_->ring;
    auto stopped = [stop] { return stop && stop->load(std::memory_order_relaxed); };
    auto queue = [ring](size_t file, Op op) {
        io_uring_sqe* sqe = io_uring_get_sqe(ring);
        io_uring_sqe_set_data64(sqe, Tag(file, op));
        return sqe;
    };

    // The closes left from earlier files, then the opens, all at once; nothing is linked to an
    // open. The ring is sized for every stage, so a submission never finds it full.
    unsigned queued = 0;   // prepared, not yet submitted
    unsigned awaited = 0;  // submitted, completion not yet seen
    for (int fd : closes_) {
        io_uring_prep_close(queue(0, kClose), fd);
        ++queued;
    }
    const size_t opens = stopped() ? 0 : n;
    for (size_t i = 0; i < opens; ++i) {
        how_[i] = {};
        how_[i].flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOATIME;
        how_[i].resolve = RESOLVE_NO_XDEV;
        io_uring_prep_openat2(queue(i, kOpen), requests[i].dirfd, requests[i].name, &how_[i]);
        ++queued;
    }
    if (!Submit(queued, awaited)) {
        // Nothing was taken: the closes are done here.
        for (int fd : closes_) env_.Close(fd);
        closes_.clear();
        return;
    }
    // Taken, the closes end by themselves.
    closes_.clear();

    // Each file is looked at as soon as its open ends, through the opened file (a plain fstat:
    // the ring would hand it to a worker thread, which costs more than the call), and a small
    // regular file's read is submitted at once, while the other opens go on: a batch takes as
    // long as its slowest file, not its slowest open plus its slowest read. A FIFO or device is
    // never read. One byte more than the size shows a file that grew since the look.
    auto opened = [&](size_t i, int res) {
        Result& r = results[i];
        if (res < 0) {
            r.open_error = -res;
            return;
        }
        r.fd = res;
        r.open_error = 0;
        if (stopped() || env_.FStat(r.fd, &r.st) != 0) return;
        r.looked = true;
        if (!S_ISREG(r.st.st_mode) || r.st.st_size >= kBlockBytes ||
            r.st.st_size > requests[i].most_bytes) {
            return;
        }
        r.bytes.resize(static_cast<size_t>(r.st.st_size) + 1);
        read_got_[i] = -1;
        io_uring_prep_read(queue(i, kRead), r.fd, r.bytes.data(),
                           static_cast<unsigned>(r.bytes.size()), 0);
        ++queued;
    };
    bool failed = false;
    while (!failed && awaited > 0) {
        failed = !Reap(awaited, [&](size_t i, int op, int res) {
            if (op == kOpen) {
                opened(i, res);
            } else if (op == kRead) {
                read_got_[i] = res;
            }
        });
        if (!failed) failed = !Submit(queued, awaited);
    }
    if (failed) {
        // The files stay open (those whose open was seen) and are read on the one-file path; a
        // read that may still be running keeps its buffer.
        for (Result& r : results) {
            if (!r.bytes.empty() && in_flight_) stranded_.push_back(std::move(r.bytes));
            r.bytes.clear();
        }
        return;
    }
    for (size_t i = 0; i < n; ++i) {
        Result& r = results[i];
        if (r.bytes.empty()) continue;
        if (read_got_[i] < r.st.st_size || stopped()) {
            r.bytes.clear();  // a failed or short read: the plain path reads it again
            continue;
        }
        r.bytes.resize(static_cast<size_t>(r.st.st_size));  // nothing past the size is hashed
        r.whole = true;
    }
}

#endif  // NORV_HAVE_LIBURING

}  // namespace norv::platform
