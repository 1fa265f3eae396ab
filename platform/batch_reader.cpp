#include "platform/batch_reader.h"

#include <fcntl.h>
#include <liburing.h>
#include <linux/openat2.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/env.h"

namespace norv::platform {

namespace {

// Three operations for each file at most in one submission (two attributes and a look).
constexpr unsigned kRingEntries = 4 * BatchReader::kMostFiles;

enum class Wanted { kAuto, kPlain, kUring };

Wanted WantedIo() {
    // Read each time a reader is made (once per digest worker): tests set it between runs.
    const char* io = std::getenv("NORV_IO");
    if (io == nullptr || *io == '\0') return Wanted::kAuto;
    if (std::string_view(io) == "plain") return Wanted::kPlain;
    if (std::string_view(io) == "uring") return Wanted::kUring;
    std::fprintf(stderr, "norv: NORV_IO=%s: unknown (plain or uring); choosing by the kernel\n", io);
    return Wanted::kAuto;
}

bool Offers(io_uring_probe* probe) {
    for (int op : {IORING_OP_OPENAT2, IORING_OP_STATX, IORING_OP_READ, IORING_OP_FGETXATTR,
                   IORING_OP_CLOSE}) {
        if (!io_uring_opcode_supported(probe, op)) return false;
    }
    return true;
}

void StatOfStatx(const struct statx& x, struct stat& st) {
    st = {};
    st.st_dev = makedev(x.stx_dev_major, x.stx_dev_minor);
    st.st_ino = x.stx_ino;
    st.st_mode = x.stx_mode;
    st.st_nlink = x.stx_nlink;
    st.st_uid = x.stx_uid;
    st.st_gid = x.stx_gid;
    st.st_rdev = makedev(x.stx_rdev_major, x.stx_rdev_minor);
    st.st_size = static_cast<off_t>(x.stx_size);
    st.st_blksize = static_cast<blksize_t>(x.stx_blksize);
    st.st_blocks = static_cast<blkcnt_t>(x.stx_blocks);
    st.st_atim = {x.stx_atime.tv_sec, x.stx_atime.tv_nsec};
    st.st_mtim = {x.stx_mtime.tv_sec, x.stx_mtime.tv_nsec};
    st.st_ctim = {x.stx_ctime.tv_sec, x.stx_ctime.tv_nsec};
}

// What each completion answers: the file's index and the operation.
enum Op : uint64_t { kOpen, kLook, kRead, kCapabilities, kAcl, kSecondLook, kClose };
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
        if (offers) return std::unique_ptr<BatchReader>(new BatchReader(std::move(ring)));
    }
    if (wanted == Wanted::kUring) {
        std::fprintf(stderr, "norv: NORV_IO=uring: io_uring unavailable (%s); using plain reads\n",
                     made == 0 ? "operations missing" : std::strerror(-made));
    }
    return nullptr;
}

BatchReader::BatchReader(std::unique_ptr<Ring> ring) : ring_(std::move(ring)) {}
BatchReader::~BatchReader() = default;

void BatchReader::Run(std::span<const Request> requests, std::vector<Result>& results,
                      const std::atomic<bool>* stop) {
    const size_t n = std::min(requests.size(), kMostFiles);
    results.assign(n, Result());
    io_uring* ring = &ring_->ring;
    auto stopped = [stop] { return stop && stop->load(std::memory_order_relaxed); };

    struct Scratch {
        open_how how{};
        struct statx look {}, second {};
        char capabilities[kXattrBytes], acl[kXattrBytes];
        int capabilities_got = 0, acl_got = 0, read_got = 0;
    };
    thread_local std::vector<Scratch> scratch(kMostFiles);

    // Submits what is queued and takes `pending` completions, each given to `on`. The ring is
    // sized for every stage, so a submission never finds it full.
    auto complete = [ring](unsigned pending, auto&& on) {
        if (pending == 0) return;
        // A ring that can take no more work (EAGAIN, EBUSY: memory short) is asked again; the
        // queued operations stay in it meanwhile.
        int submitted = -EAGAIN;
        for (int tries = 0; tries < 10000 && submitted < 0; ++tries) {
            submitted = io_uring_submit_and_wait(ring, pending);
            if (submitted == -EAGAIN || submitted == -EBUSY) ::usleep(100);
            if (submitted >= 0 || (submitted != -EINTR && submitted != -EAGAIN &&
                                   submitted != -EBUSY)) {
                break;
            }
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

    // The opens, all at once; nothing else is linked to them.
    if (stopped()) {
        for (Result& r : results) r.open_error = ECANCELED;
        return;
    }
    for (size_t i = 0; i < n; ++i) {
        Scratch& s = scratch[i];
        s.how = {};
        s.how.flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOATIME;
        s.how.resolve = RESOLVE_NO_XDEV;
        io_uring_prep_openat2(queue(i, kOpen), requests[i].dirfd, requests[i].name, &s.how);
    }
    complete(static_cast<unsigned>(n), [&](size_t i, Op, int res) {
        if (res >= 0) {
            results[i].fd = res;
        } else {
            results[i].open_error = -res;
        }
    });

    // The first look, through each opened file. A file whose look fails is handed back open:
    // the caller's own look fails the same way.
    unsigned pending = 0;
    for (size_t i = 0; i < n; ++i) {
        if (results[i].fd < 0) continue;
        io_uring_prep_statx(queue(i, kLook), results[i].fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS,
                            &scratch[i].look);
        ++pending;
    }
    std::vector<int> look_error(n, 0);
    complete(pending, [&](size_t i, Op, int res) {
        if (res < 0) look_error[i] = -res;
    });

    // Reads of the small regular files only: a FIFO or device is never read. One byte more than
    // the size shows a file that grew since the look.
    std::vector<bool> small(n, false);
    pending = 0;
    for (size_t i = 0; i < n && !stopped(); ++i) {
        Result& r = results[i];
        if (r.fd < 0) continue;
        if (look_error[i] != 0) continue;
        StatOfStatx(scratch[i].look, r.st);
        if (!S_ISREG(r.st.st_mode) || r.st.st_size >= kBlockBytes ||
            r.st.st_size > requests[i].most_bytes) {
            continue;
        }
        small[i] = true;
        r.bytes.resize(static_cast<size_t>(r.st.st_size) + 1);
        io_uring_prep_read(queue(i, kRead), r.fd, r.bytes.data(),
                           static_cast<unsigned>(r.bytes.size()), 0);
        ++pending;
    }
    complete(pending, [&](size_t i, Op, int res) { scratch[i].read_got = res; });

    // A file read whole (all its size and nothing short): its attributes and its second look.
    pending = 0;
    for (size_t i = 0; i < n; ++i) {
        Result& r = results[i];
        if (!small[i]) continue;
        const int got = scratch[i].read_got;
        if (got < r.st.st_size || stopped()) {
            small[i] = false;  // a failed or short read: the plain path reads it again
            r.bytes.clear();
            continue;
        }
        r.bytes.resize(static_cast<size_t>(r.st.st_size));  // nothing past the size looked at
        Scratch& s = scratch[i];
        io_uring_prep_fgetxattr(queue(i, kCapabilities), r.fd, "security.capability",
                                s.capabilities, kXattrBytes);
        io_uring_prep_fgetxattr(queue(i, kAcl), r.fd, "system.posix_acl_access", s.acl,
                                kXattrBytes);
        io_uring_prep_statx(queue(i, kSecondLook), r.fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS,
                            &s.second);
        pending += 3;
    }
    complete(pending, [&](size_t i, Op op, int res) {
        if (op == kCapabilities) scratch[i].capabilities_got = res;
        if (op == kAcl) scratch[i].acl_got = res;
        if (op == kSecondLook) results[i].after_error = res < 0 ? -res : 0;
    });

    // Settled files are closed; an attribute not plainly present or absent (too large, a file
    // system without attributes) sends the file back to the plain path, which asks otherwise.
    pending = 0;
    for (size_t i = 0; i < n; ++i) {
        Result& r = results[i];
        if (!small[i]) continue;
        Scratch& s = scratch[i];
        auto take = [](int got, const char* value, std::optional<std::string>& kept) {
            if (got == -ENODATA) return true;
            if (got < 0) return false;
            kept = std::string(value, static_cast<size_t>(got));
            return true;
        };
        if (!take(s.capabilities_got, s.capabilities, r.capabilities) ||
            !take(s.acl_got, s.acl, r.acl)) {
            r.capabilities.reset();
            r.acl.reset();
            r.bytes.clear();
            continue;
        }
        StatOfStatx(s.second, r.after);
        r.whole = true;
        io_uring_prep_close(queue(i, kClose), r.fd);
        r.fd = -1;
        ++pending;
    }
    complete(pending, [](size_t, Op, int) {});
}

}  // namespace norv::platform
