// OpenSSL's low-level MD5 is the one-stream kernel: the chaining values go in and come out of its
// MD5_CTX, so a lane can move between it and the vector kernels at any block.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "platform/md5_lanes.h"

#include <openssl/md5.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace norv::platform {

namespace md5_kernels {

void Portable(uint32_t* state, const unsigned char* const* data, uint32_t mask, size_t blocks) {
    for (int l = 0; l < kStride; ++l) {
        if (!(mask >> l & 1)) continue;
        MD5_CTX ctx;
        MD5_Init(&ctx);
        ctx.A = state[l];
        ctx.B = state[kStride + l];
        ctx.C = state[2 * kStride + l];
        ctx.D = state[3 * kStride + l];
        // Whole blocks only: MD5_Update hashes them straight from `data`, keeping nothing back.
        MD5_Update(&ctx, data[l], blocks * 64);
        state[l] = ctx.A;
        state[kStride + l] = ctx.B;
        state[2 * kStride + l] = ctx.C;
        state[3 * kStride + l] = ctx.D;
    }
}

}  // namespace md5_kernels

namespace {

constexpr uint32_t kInitial[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

// What an idle lane reads while the others hash.
alignas(64) const unsigned char kNothing[64] = {};

Md5Kernel BestKernel() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return Md5Kernel::kAvx512;
    if (__builtin_cpu_supports("avx2")) return Md5Kernel::kAvx2;
    return Md5Kernel::kPortable;
}

}  // namespace

bool Md5KernelRuns(Md5Kernel kernel) {
    switch (kernel) {
        case Md5Kernel::kAvx512:
            return BestKernel() == Md5Kernel::kAvx512;
        case Md5Kernel::kAvx2:
            return BestKernel() != Md5Kernel::kPortable;
        case Md5Kernel::kPortable:
            break;
    }
    return true;
}

const char* Md5KernelName(Md5Kernel kernel) {
    switch (kernel) {
        case Md5Kernel::kAvx512:
            return "avx512";
        case Md5Kernel::kAvx2:
            return "avx2";
        case Md5Kernel::kPortable:
            break;
    }
    return "portable";
}

Md5Kernel ChosenMd5Kernel() {
    // The processor and this setting do not change while the program runs, but tests set the
    // variable between runs: it is read each time (once per digest worker, not per file).
    const char* forced = std::getenv("NORV_DIGEST_KERNEL");
    if (forced == nullptr || *forced == '\0') return BestKernel();
    for (Md5Kernel kernel : {Md5Kernel::kAvx512, Md5Kernel::kAvx2, Md5Kernel::kPortable}) {
        if (std::string_view(forced) != Md5KernelName(kernel)) continue;
        if (Md5KernelRuns(kernel)) return kernel;
        std::fprintf(stderr, "norv: NORV_DIGEST_KERNEL=%s: this processor lacks it; using %s\n",
                     forced, Md5KernelName(BestKernel()));
        return BestKernel();
    }
    std::fprintf(stderr,
                 "norv: NORV_DIGEST_KERNEL=%s: unknown (avx512, avx2 or portable); using %s\n",
                 forced, Md5KernelName(BestKernel()));
    return BestKernel();
}

Md5Lanes::Md5Lanes(Md5Kernel kernel) : kernel_(Md5KernelRuns(kernel) ? kernel : BestKernel()) {
    width_ = kernel_ == Md5Kernel::kAvx512 ? 32 : kernel_ == Md5Kernel::kAvx2 ? 16 : 1;
    for (int lane = 0; lane < kMostLanes; ++lane) ResetState(lane);
}

void Md5Lanes::ResetState(int lane) {
    for (int row = 0; row < 4; ++row) state_[row][lane] = kInitial[row];
}

void Md5Lanes::Start(int lane) {
    Lane& l = lanes_[lane];
    l = Lane();
    l.state = LaneState::kHungry;
    ResetState(lane);
}

void Md5Lanes::Feed(int lane, const void* bytes, size_t size) {
    Lane& l = lanes_[lane];
    auto* p = static_cast<const unsigned char*>(bytes);
    l.length += size;
    if (l.tail_size > 0) {
        // Complete the partial block kept from the last feed.
        const size_t take = std::min(size, 64 - l.tail_size);
        std::memcpy(l.tail + l.tail_size, p, take);
        l.tail_size += take;
        p += take;
        size -= take;
        if (l.tail_size == 64) {
            l.tail_at = 0;
            l.tail_blocks = 1;
            l.tail_size = 0;
        }
    }
    l.data = p;
    l.blocks = size / 64;
    l.rest = p + l.blocks * 64;
    l.rest_size = size % 64;
    if (l.tail_blocks == 0 && l.blocks == 0) {
        std::memcpy(l.tail + l.tail_size, l.rest, l.rest_size);
        l.tail_size += l.rest_size;
        l.rest_size = 0;
        return;  // still Hungry: less than a block so far
    }
    l.state = LaneState::kBusy;
}

void Md5Lanes::End(int lane) {
    Lane& l = lanes_[lane];
    // The padding: a one bit, zeros to 8 bytes short of a block, the length in bits.
    unsigned char* tail = l.tail;
    size_t at = l.tail_size;
    tail[at++] = 0x80;
    const size_t end = at <= 56 ? 64 : 128;
    std::memset(tail + at, 0, end - 8 - at);
    uint64_t bits = l.length * 8;
    for (size_t i = 0; i < 8; ++i) tail[end - 8 + i] = static_cast<unsigned char>(bits >> (8 * i));
    l.tail_at = 0;
    l.tail_blocks = end / 64;
    l.tail_size = 0;
    l.blocks = 0;
    l.rest_size = 0;
    l.ending = true;
    l.state = LaneState::kBusy;
}

void Md5Lanes::Run() {
    for (;;) {
        const unsigned char* data[kMostLanes];
        uint32_t mask = 0;
        int busy = 0;
        size_t blocks = SIZE_MAX;
        for (int lane = 0; lane < width_; ++lane) {
            const Lane& l = lanes_[lane];
            data[lane] = kNothing;
            if (l.state != LaneState::kBusy) continue;
            // A lane's own blocks go first, then the caller's.
            const bool own = l.tail_blocks > 0;
            data[lane] = own ? l.tail + l.tail_at : l.data;
            blocks = std::min(blocks, own ? l.tail_blocks : l.blocks);
            mask |= uint32_t{1} << lane;
            ++busy;
        }
        for (int lane = width_; lane < kMostLanes; ++lane) data[lane] = kNothing;
        if (busy == 0) return;
        // One lane alone runs at one-stream speed on the one-stream code; the lanes of one
        // group alone on the one-group kernel, the second group's rows and data moved down.
        using Kernel = void (*)(uint32_t*, const unsigned char* const*, uint32_t, size_t);
        const bool avx512 = kernel_ == Md5Kernel::kAvx512;
        const Kernel one = avx512 ? md5_kernels::Avx512 : md5_kernels::Avx2;
        const Kernel pair = avx512 ? md5_kernels::Avx512Pair : md5_kernels::Avx2Pair;
        const int group = width_ / 2;
        const uint32_t high = mask >> group;
        if (busy == 1 || kernel_ == Md5Kernel::kPortable) {
            md5_kernels::Portable(&state_[0][0], data, mask, blocks);
        } else if (high == 0) {
            one(&state_[0][0], data, mask, blocks);
        } else if (high << group == mask) {
            one(&state_[0][group], data + group, high, blocks);
        } else {
            pair(&state_[0][0], data, mask, blocks);
        }
        bool changed = false;
        for (int lane = 0; lane < width_; ++lane) {
            if (!(mask >> lane & 1)) continue;
            Lane& l = lanes_[lane];
            if (l.tail_blocks > 0) {
                l.tail_at += blocks * 64;
                l.tail_blocks -= blocks;
            } else {
                l.data += blocks * 64;
                l.blocks -= blocks;
            }
            if (l.tail_blocks > 0 || l.blocks > 0) continue;
            changed = true;
            if (l.ending) {
                l.state = LaneState::kDone;
                continue;
            }
            // Keep the bytes short of a block for the next feed, which may free these.
            std::memcpy(l.tail, l.rest, l.rest_size);
            l.tail_size = l.rest_size;
            l.rest_size = 0;
            l.state = LaneState::kHungry;
        }
        if (changed) return;
    }
}

Md5Bytes Md5Lanes::TakeDigest(int lane) {
    Md5Bytes digest;
    for (int row = 0; row < 4; ++row) {
        const uint32_t v = state_[row][lane];
        for (int i = 0; i < 4; ++i) digest[4 * row + i] = static_cast<unsigned char>(v >> (8 * i));
    }
    Drop(lane);
    return digest;
}

void Md5Lanes::Drop(int lane) { lanes_[lane] = Lane(); }

}  // namespace norv::platform
