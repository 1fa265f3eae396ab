// Md5Lanes: the MD5s of several messages at once, each message in one lane of a vector register
// (see DigestLanes). AVX-512 gives 32 lanes in two groups of 16 whose steps are interleaved, AVX2
// 16 in two groups of 8, since each MD5 step waits on the one before; the portable kernel has
// one lane and is OpenSSL's one-stream MD5.
#pragma once

#include <array>
#include <cstdint>

#include "platform/digest/digest_lanes.h"
#include "platform/digest/md5_kernels.h"

namespace norv::platform {

struct Md5Traits {
    static constexpr int kWords = 4;
    static constexpr uint32_t kInitial[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    static constexpr bool kBigEndian = false;
    static DigestKernels Kernels(DigestKernel kernel, bool forced);
};

extern template class DigestLanes<Md5Traits>;
using Md5Lanes = DigestLanes<Md5Traits>;
using Md5Bytes = std::array<unsigned char, 16>;

}  // namespace norv::platform
