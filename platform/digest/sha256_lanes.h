// Sha256Lanes: the SHA-256s of several messages at once, each message in one lane of a vector
// register (see DigestLanes). AVX-512 gives 32 lanes in two groups of 16, AVX2 16 in two groups
// of 8 where the processor lacks the SHA instructions; each group is hashed on its own. Otherwise
// one lane on OpenSSL's one-stream SHA-256.
#pragma once

#include <array>
#include <cstdint>

#include "platform/digest/digest_lanes.h"
#include "platform/digest/sha256_kernels.h"

namespace norv::platform {

struct Sha256Traits {
    static constexpr int kWords = 8;
    static constexpr uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    static constexpr bool kBigEndian = true;
    static DigestKernels Kernels(DigestKernel kernel, bool forced);
};

extern template class DigestLanes<Sha256Traits>;
using Sha256Lanes = DigestLanes<Sha256Traits>;
using Sha256Bytes = std::array<unsigned char, 32>;

}  // namespace norv::platform
