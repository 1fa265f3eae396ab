// OpenSSL's low-level SHA-256 is the one-stream kernel: the chaining values go in and come out
// of its SHA256_CTX, so a lane can move between it and the vector kernel at any block.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "platform/digest/sha256_lanes.h"

#include <openssl/sha.h>

#include <cstdlib>
#include <string_view>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace norv::platform {

namespace sha256_kernels {

static_assert(kStride == kMostDigestLanes);

void Portable(uint32_t* state, const unsigned char* const* data, uint32_t mask, size_t blocks) {
    for (int l = 0; l < kStride; ++l) {
        if (!(mask >> l & 1)) continue;
        SHA256_CTX ctx;
        SHA256_Init(&ctx);
        for (int row = 0; row < 8; ++row) ctx.h[row] = state[row * kStride + l];
        // Whole blocks only: SHA256_Update hashes them straight from `data`, keeping nothing.
        SHA256_Update(&ctx, data[l], blocks * 64);
        for (int row = 0; row < 8; ++row) state[row * kStride + l] = ctx.h[row];
    }
}

}  // namespace sha256_kernels

namespace {

bool HasShaInstructions() {
#if defined(__x86_64__) || defined(__i386__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) != 0 && (b >> 29 & 1) != 0;
#else
    return false;
#endif
}

}  // namespace

DigestKernels Sha256Traits::Kernels(DigestKernel kernel, bool forced) {
    if (kernel == DigestKernel::kAvx512) {
        // With the SHA instructions one stream hashes 1.7 GB/s and a group of 16 lanes 3.4 on
        // a Sapphire Rapids core, about 5 on Zen 5: up to 5 messages go faster one at a time.
        // Without them the one stream hashes 0.48 GB/s: up to 2 go faster one at a time.
        const int few_lanes = HasShaInstructions() ? 5 : 2;
        return {32, sha256_kernels::Portable, sha256_kernels::Avx512, nullptr, few_lanes};
    }
    // With the SHA instructions OpenSSL's one stream outruns 8 AVX2 lanes (1.8 GB/s against
    // 1.5 in all); without them (Intel before Ice Lake) the lanes are 3 times as fast, and up to
    // 2 messages of a group still go faster one at a time. A forced avx2 runs the lanes anyway,
    // so that tests and comparisons reach them on any processor.
    if (kernel == DigestKernel::kAvx2 && (!HasShaInstructions() || forced)) {
        return {16, sha256_kernels::Portable, sha256_kernels::Avx2, nullptr, 2};
    }
    return {1, sha256_kernels::Portable, nullptr, nullptr};
}

}  // namespace norv::platform
