// The 8 x 8 transpose of 32-bit words both AVX2 kernels start each block with, and the read
// of a block of 8 lanes through it. Included only by
// files built with -mavx2; internal linkage, so no copy built for one instruction set stands in
// for another's at link time.
#pragma once

#include <immintrin.h>
#include <stddef.h>

namespace norv::platform::avx2 {

// Rows r[l] (8 words of lane l) become columns r[j] (word j of every lane).
[[gnu::always_inline]] static inline void Transpose(__m256i* r) {
    __m256i t[8], u[8];
    for (int i = 0; i < 4; ++i) {
        t[2 * i] = _mm256_unpacklo_epi32(r[2 * i], r[2 * i + 1]);
        t[2 * i + 1] = _mm256_unpackhi_epi32(r[2 * i], r[2 * i + 1]);
    }
    // u[4g + j], half h: word 4h + j of lanes 4g .. 4g + 3.
    for (int g = 0; g < 2; ++g) {
        u[4 * g + 0] = _mm256_unpacklo_epi64(t[4 * g + 0], t[4 * g + 2]);
        u[4 * g + 1] = _mm256_unpackhi_epi64(t[4 * g + 0], t[4 * g + 2]);
        u[4 * g + 2] = _mm256_unpacklo_epi64(t[4 * g + 1], t[4 * g + 3]);
        u[4 * g + 3] = _mm256_unpackhi_epi64(t[4 * g + 1], t[4 * g + 3]);
    }
    for (int j = 0; j < 4; ++j) {
        r[j] = _mm256_permute2x128_si256(u[j], u[4 + j], 0x20);
        r[4 + j] = _mm256_permute2x128_si256(u[j], u[4 + j], 0x31);
    }
}

// The next 64-byte block of each of 8 lanes from at[0 .. 7] as 16 words: word j of every lane in
// r[j], each lane's two halves transposed apart. Each lane then moves on by its advance.
[[gnu::always_inline]] static inline void ReadBlock(const unsigned char** at, const size_t* advance,
                                                    __m256i* r) {
    for (int l = 0; l < 8; ++l) {
        const auto* p = reinterpret_cast<const __m256i*>(at[l]);
        r[l] = _mm256_loadu_si256(p);
        r[8 + l] = _mm256_loadu_si256(p + 1);
        at[l] += advance[l];
    }
    Transpose(r);
    Transpose(r + 8);
}

}  // namespace norv::platform::avx2
