#include "platform/batch_reader.h"

#include <fcntl.h>
#include <liburing.h>
#include <linux/openat2.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/env.h"

namespace norv::platform {

namespace {

// The opens of a batch and the closes of up to two batches before it.
constexpr unsigned kRingEntries = 4 * BatchReader::kMostFiles;

enum class Wanted { kAuto, kPlain, kUring };

Wanted WantedIo() {
    // Read each time a reader is made (once per digest worker): tests set it between runs.
    const char* io = std::getenv("NORV_IO");
    if (io == nullptr || *io == '\0') return Wanted::kAuto;
    if (std::string_view(io) == "plain") return Wanted::kPlain;
    if (std::string_view(io) == "uring") return Wanted::kUring;
    std::fprintf(stderr, "norv: NORV_IO=%s: unknown (plain or uring); choosing by the kernel\n",
                 io);
    return Wanted::kAuto;
}

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

const char* ChosenIoName() {
    if (WantedIo() == Wanted::kPlain) return "plain";
    io_uring ring{};
    if (io_uring_queue_init(4, &ring, 0) != 0) return "plain";
    io_uring_probe* probe = io_uring_get_probe_ring(&ring);
    const bool offers = probe != nullptr && Offers(probe);
    if (probe) io_uring_free_probe(probe);
    io_uring_queue_exit(&ring);
    return offers ? "uring" : "plain";
}

std::unique_ptr<BatchReader> BatchReader::Make(Env& env) {
    const Wanted wanted = WantedIo();
    // A test's Env must see every call, which the ring would go around.
    if (wanted == Wanted::kPlain || &env != Env::Default()) return nullptr;
    auto ring = std::make_unique<Ring>();
    // ENOSYS (no io_uring), EPERM (disabled by kernel.io_uring_disabled or a seccomp filter),
    // ENOMEM (locked memory limit): the plain path.
    const int made = io_uring_queue_init(kRingEntries, &ring->ring, 0);
    if (made == 0) {
        ring->live = true;
        io_uring_probe* probe = io_uring_get_probe_ring(&ring->ring);
        const bool offers = probe != nullptr && Offers(probe);
        if (probe) io_uring_free_probe(probe);
        if (offers) return std::unique_ptr<BatchReader>(new BatchReader(env, std::move(ring)));
    }
    if (wanted == Wanted::kUring) {
        std::fprintf(stderr, "norv: NORV_IO=uring: io_uring unavailable (%s); using plain reads\n",
                     made == 0 ? "operations missing" : std::strerror(-made));
    }
    return nullptr;
}

BatchReader::BatchReader(Env& env, std::unique_ptr<Ring> ring)
    : env_(env), ring_(std::move(ring)) {}

void BatchReader::Close(int fd) {
    closes_.push_back(fd);
    if (closes_.size() >= kMostFiles) Run({}, scratch_results_, nullptr);
}

BatchReader::~BatchReader() {
    if (!closes_.empty()) Run({}, scratch_results_, nullptr);
}

void BatchReader::Run(std::span<const Request> requests, std::vector<Result>& results,
                      const std::atomic<bool>* stop) {
    const size_t n = std::min(requests.size(), kMostFiles);
    results.assign(n, Result());
    io_uring* ring = &ring_->ring;
    auto stopped = [stop] { return stop && stop->load(std::memory_order_relaxed); };
    thread_local std::vector<open_how> how(kMostFiles);
    thread_local std::vector<int> read_got(kMostFiles);

    // Submits what is queued and takes `pending` completions, each given to `on`. The ring is
    // sized for every stage, so a submission never finds it full.
    auto complete = [ring](unsigned pending, auto&& on) {
        if (pending == 0) return;
        // A ring that can take no more work (EAGAIN, EBUSY: memory short) is asked again; the
        // queued operations stay in it meanwhile.
        int submitted = -EAGAIN;
        for (int tries = 0; tries < 10000; ++tries) {
            submitted = io_uring_submit_and_wait(ring, pending);
            if (submitted >= 0 ||
                (submitted != -EINTR && submitted != -EAGAIN && submitted != -EBUSY)) {
                break;
            }
            if (submitted != -EINTR) ::usleep(100);
        }
        // Opened descriptors would be left behind with nobody to close them.
        if (submitted < 0) std::abort();
        while (pending > 0) {
            io_uring_cqe* cqe = nullptr;
            const int waited = io_uring_wait_cqe(ring, &cqe);
            if (waited == -EINTR) continue;
            if (waited < 0) std::abort();
            on(cqe->user_data >> 3, static_cast<Op>(cqe->user_data & 7), cqe->res);
            io_uring_cqe_seen(ring, cqe);
            --pending;
        }
    };
    auto queue = [ring](size_t file, Op op) {
        io_uring_sqe* sqe = io_uring_get_sqe(ring);
        io_uring_sqe_set_data64(sqe, Tag(file, op));
        return sqe;
    };

    // The closes left from earlier files, then the opens, all at once; nothing is linked to an
    // open.
    unsigned pending = 0;
    for (int fd : closes_) {
        io_uring_prep_close(queue(0, kClose), fd);
        ++pending;
    }
    closes_.clear();
    const size_t opens = stopped() ? 0 : n;
    for (size_t i = opens; i < n; ++i) results[i].open_error = ECANCELED;
    for (size_t i = 0; i < opens; ++i) {
        how[i] = {};
        how[i].flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOATIME;
        how[i].resolve = RESOLVE_NO_XDEV;
        io_uring_prep_openat2(queue(i, kOpen), requests[i].dirfd, requests[i].name, &how[i]);
        ++pending;
    }
    complete(pending, [&](size_t i, Op op, int res) {
        if (op != kOpen) return;
        if (res >= 0) {
            results[i].fd = res;
        } else {
            results[i].open_error = -res;
        }
    });

    // The first look, through each opened file (a plain fstat: the ring would hand it to a
    // worker thread, which costs more than the call). Then reads of the small regular files
    // only: a FIFO or device is never read. One byte more than the size shows a file that grew
    // since the look.
    pending = 0;
    for (size_t i = 0; i < n && !stopped(); ++i) {
        Result& r = results[i];
        if (r.fd < 0 || env_.FStat(r.fd, &r.st) != 0) continue;
        r.looked = true;
        if (!S_ISREG(r.st.st_mode) || r.st.st_size >= kBlockBytes ||
            r.st.st_size > requests[i].most_bytes) {
            continue;
        }
        r.bytes.resize(static_cast<size_t>(r.st.st_size) + 1);
        read_got[i] = -1;
        io_uring_prep_read(queue(i, kRead), r.fd, r.bytes.data(),
                           static_cast<unsigned>(r.bytes.size()), 0);
        ++pending;
    }
    complete(pending, [&](size_t i, Op, int res) { read_got[i] = res; });
    for (size_t i = 0; i < n; ++i) {
        Result& r = results[i];
        if (r.bytes.empty()) continue;
        if (read_got[i] < r.st.st_size || stopped()) {
            r.bytes.clear();  // a failed or short read: the plain path reads it again
            continue;
        }
        r.bytes.resize(static_cast<size_t>(r.st.st_size));  // nothing past the size is hashed
        r.whole = true;
    }
}

}  // namespace norv::platform
