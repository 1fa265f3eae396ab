// The 16 x 16 transpose of 32-bit words both AVX-512 kernels start each block with, and the
// read of a block of 16 lanes through it. Included only by files built with -mavx512f; internal
// linkage, so no copy built for one instruction set stands in for another's at link time.
#pragma once

#include <immintrin.h>
#include <stddef.h>

namespace norv::platform::avx512 {

// Rows r[l] (lane l's 16 words) become columns r[j] (word j of every lane): 32-bit and 64-bit
// interleaves within each 128-bit quarter, then a 4 x 4 transpose of the quarters.
[[gnu::always_inline]] static inline void Transpose(__m512i* r) {
    __m512i t[16], u[16];
    for (int i = 0; i < 8; ++i) {
        t[2 * i] = _mm512_unpacklo_epi32(r[2 * i], r[2 * i + 1]);
        t[2 * i + 1] = _mm512_unpackhi_epi32(r[2 * i], r[2 * i + 1]);
    }
    // u[4g + j], quarter q: word 4q + j of lanes 4g .. 4g + 3.
    for (int g = 0; g < 4; ++g) {
        u[4 * g + 0] = _mm512_unpacklo_epi64(t[4 * g + 0], t[4 * g + 2]);
        u[4 * g + 1] = _mm512_unpackhi_epi64(t[4 * g + 0], t[4 * g + 2]);
        u[4 * g + 2] = _mm512_unpacklo_epi64(t[4 * g + 1], t[4 * g + 3]);
        u[4 * g + 3] = _mm512_unpackhi_epi64(t[4 * g + 1], t[4 * g + 3]);
    }
    for (int j = 0; j < 4; ++j) {
        const __m512i v0 = _mm512_shuffle_i32x4(u[j], u[4 + j], 0x44);
        const __m512i v1 = _mm512_shuffle_i32x4(u[j], u[4 + j], 0xee);
        const __m512i v2 = _mm512_shuffle_i32x4(u[8 + j], u[12 + j], 0x44);
        const __m512i v3 = _mm512_shuffle_i32x4(u[8 + j], u[12 + j], 0xee);
        r[0 + j] = _mm512_shuffle_i32x4(v0, v2, 0x88);
        r[4 + j] = _mm512_shuffle_i32x4(v0, v2, 0xdd);
        r[8 + j] = _mm512_shuffle_i32x4(v1, v3, 0x88);
        r[12 + j] = _mm512_shuffle_i32x4(v1, v3, 0xdd);
    }
}

// The next 64-byte block of each of 16 lanes from at[0 .. 15] as 16 words: word j of every lane
// in r[j]. Each lane then moves on by its advance.
[[gnu::always_inline]] static inline void ReadBlock(const unsigned char** at, const size_t* advance,
                                                    __m512i* r) {
    for (int l = 0; l < 16; ++l) {
        r[l] = _mm512_loadu_si512(at[l]);
        at[l] += advance[l];
    }
    Transpose(r);
}

}  // namespace norv::platform::avx512
