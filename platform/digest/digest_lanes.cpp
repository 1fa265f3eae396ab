#include "platform/digest/digest_lanes.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <tuple>

#include "platform/digest/md5_lanes.h"
#include "platform/digest/sha256_lanes.h"

namespace norv::platform {

namespace {

// What an idle lane reads while the others hash.
alignas(64) const unsigned char kNothing[64] = {};

DigestKernel BestKernel() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return DigestKernel::kAvx512;
    if (__builtin_cpu_supports("avx2")) return DigestKernel::kAvx2;
    return DigestKernel::kPortable;
}

}  // namespace

bool DigestKernelRuns(DigestKernel kernel) {
    switch (kernel) {
        case DigestKernel::kAvx512:
            return BestKernel() == DigestKernel::kAvx512;
        case DigestKernel::kAvx2:
            return BestKernel() != DigestKernel::kPortable;
        case DigestKernel::kPortable:
            break;
    }
    return true;
}

const char* DigestKernelName(DigestKernel kernel) {
    switch (kernel) {
        case DigestKernel::kAvx512:
            return "avx512";
        case DigestKernel::kAvx2:
            return "avx2";
        case DigestKernel::kPortable:
            break;
    }
    return "portable";
}

std::optional<DigestKernel> DigestKernelNamed(std::string_view name) {
    for (DigestKernel kernel :
         {DigestKernel::kAvx512, DigestKernel::kAvx2, DigestKernel::kPortable}) {
        if (name == DigestKernelName(kernel)) return kernel;
    }
    return std::nullopt;
}

DigestKernel ChosenDigestKernel(std::string_view forced) {
    if (forced.empty()) return BestKernel();
    const std::optional<DigestKernel> kernel = DigestKernelNamed(forced);
    return kernel && DigestKernelRuns(*kernel) ? *kernel : BestKernel();
}

template <class Traits>
DigestLanes<Traits>::DigestLanes(DigestKernel kernel, bool forced)
    : kernel_(DigestKernelRuns(kernel) ? kernel : BestKernel()),
      kernels_(Traits::Kernels(kernel_, forced)) {
    for (int lane = 0; lane < kMostLanes; ++lane) ResetState(lane);
}

template <class Traits>
void DigestLanes<Traits>::ResetState(int lane) {
    for (int row = 0; row < kWords; ++row) state_[row][lane] = Traits::kInitial[row];
}

template <class Traits>
void DigestLanes<Traits>::Start(int lane) {
    Lane& l = lanes_[lane];
    l = Lane();
    l.state = LaneState::kHungry;
    ResetState(lane);
}

template <class Traits>
void DigestLanes<Traits>::Feed(int lane, const void* bytes, size_t size) {
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

template <class Traits>
void DigestLanes<Traits>::End(int lane) {
    Lane& l = lanes_[lane];
    // The padding: a one bit, zeros to 8 bytes short of a block, the length in bits.
    unsigned char* tail = l.tail;
    size_t at = l.tail_size;
    tail[at++] = 0x80;
    const size_t end = at <= 56 ? 64 : 128;
    std::memset(tail + at, 0, end - 8 - at);
    const uint64_t bits = l.length * 8;
    for (size_t i = 0; i < 8; ++i) {
        const size_t shift = 8 * (Traits::kBigEndian ? 7 - i : i);
        tail[end - 8 + i] = static_cast<unsigned char>(bits >> shift);
    }
    l.tail_at = 0;
    l.tail_blocks = end / 64;
    l.tail_size = 0;
    l.blocks = 0;
    l.rest_size = 0;
    l.ending = true;
    l.state = LaneState::kBusy;
}

template <class Traits>
void DigestLanes<Traits>::Run() {
    const int width = kernels_.width;
    for (;;) {
        const unsigned char* data[kMostLanes];
        uint32_t mask = 0;
        int busy = 0;
        size_t blocks = SIZE_MAX;
        for (int lane = 0; lane < width; ++lane) {
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
        for (int lane = width; lane < kMostLanes; ++lane) data[lane] = kNothing;
        if (busy == 0) return;
        // One lane alone runs at one-stream speed on the one-stream code; both groups Busy on
        // the interleaved kernel where there is one. Otherwise each Busy group is hashed alone,
        // the second group's rows and data moved down: on the one-group kernel, or one lane at
        // a time when it has only a few Busy lanes.
        const int group = width / 2;
        const uint32_t low = mask & ((uint32_t{1} << group) - 1);
        const uint32_t high = mask >> group;
        if (busy == 1 || kernels_.one_group == nullptr) {
            kernels_.one_stream(&state_[0][0], data, mask, blocks);
        } else if (kernels_.two_groups != nullptr && low != 0 && high != 0) {
            kernels_.two_groups(&state_[0][0], data, mask, blocks);
        } else {
            for (const auto& [lanes, rows, at] :
                 {std::tuple{low, &state_[0][0], data + 0},
                  std::tuple{high, &state_[0][group], data + group}}) {
                if (lanes == 0) continue;
                const bool few = std::popcount(lanes) <= kernels_.few_lanes;
                (few ? kernels_.one_stream : kernels_.one_group)(rows, at, lanes, blocks);
            }
        }
        bool changed = false;
        for (int lane = 0; lane < width; ++lane) {
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

template <class Traits>
typename DigestLanes<Traits>::Digest DigestLanes<Traits>::TakeDigest(int lane) {
    Digest digest;
    for (int row = 0; row < kWords; ++row) {
        const uint32_t v = state_[row][lane];
        for (int i = 0; i < 4; ++i) {
            const int shift = 8 * (Traits::kBigEndian ? 3 - i : i);
            digest[static_cast<size_t>(4 * row + i)] = static_cast<unsigned char>(v >> shift);
        }
    }
    Drop(lane);
    return digest;
}

template <class Traits>
void DigestLanes<Traits>::Drop(int lane) {
    lanes_[lane] = Lane();
}

template class DigestLanes<Md5Traits>;
template class DigestLanes<Sha256Traits>;

}  // namespace norv::platform
