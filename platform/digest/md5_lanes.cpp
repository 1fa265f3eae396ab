// OpenSSL's low-level MD5 is the one-stream kernel: the chaining values go in and come out of its
// MD5_CTX, so a lane can move between it and the vector kernels at any block.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "platform/digest/md5_lanes.h"

#include <openssl/md5.h>

namespace norv::platform {

namespace md5_kernels {

static_assert(kStride == kMostDigestLanes);

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

DigestKernels Md5Traits::Kernels(DigestKernel kernel, bool /*forced*/) {
    switch (kernel) {
        case DigestKernel::kAvx512:
            return {32, md5_kernels::Portable, md5_kernels::Avx512, md5_kernels::Avx512Pair};
        case DigestKernel::kAvx2:
            return {16, md5_kernels::Portable, md5_kernels::Avx2, md5_kernels::Avx2Pair};
        case DigestKernel::kPortable:
            break;
    }
    return {1, md5_kernels::Portable, nullptr, nullptr};
}

}  // namespace norv::platform
