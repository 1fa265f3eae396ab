// MD5 of 16 messages at once in the 16 32-bit lanes of AVX-512 registers. Built with -mavx512f
// and called only on a processor that has it.
#include <immintrin.h>

#include "platform/md5_kernels.h"

namespace norv::platform::md5_kernels {
namespace {

// An empty asm the value passes through: the compiler can no longer re-associate the additions
// around it, so the sum that does not wait on the previous step is made first, as written.
inline __m512i Pin(__m512i x) {
    asm("" : "+v"(x));
    return x;
}

// One step: a = b + rotl(a + f(b, c, d) + K + W, s). f is one ternary-logic instruction; the
// truth tables of F (b ? c : d), G (d ? b : c), H (b ^ c ^ d) and I (c ^ (b | ~d)).
template <int i>
inline void Step(__m512i& a, __m512i b, __m512i c, __m512i d, const __m512i* w) {
    constexpr int kTruthTable[4] = {0xca, 0xe4, 0x96, 0x39};
    constexpr int kWord = WordOfStep(i);
    constexpr int kRotate = kShift[i];
    constexpr int kTable = kTruthTable[i / 16];
    const __m512i k = _mm512_set1_epi32(static_cast<int>(kK[i]));
    const __m512i t = Pin(_mm512_add_epi32(a, _mm512_add_epi32(w[kWord], k)));
    const __m512i f = _mm512_ternarylogic_epi32(b, c, d, kTable);
    a = _mm512_add_epi32(_mm512_rol_epi32(_mm512_add_epi32(t, f), kRotate), b);
}

// Rows r[l] (lane l's 16 words) become columns r[j] (word j of every lane): 32-bit and 64-bit
// interleaves within each 128-bit quarter, then a 4 x 4 transpose of the quarters.
inline void Transpose(__m512i* r) {
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

}  // namespace

void Avx512(uint32_t* state, const unsigned char* const* data, uint32_t mask, size_t blocks) {
    const unsigned char* at[16];
    size_t advance[16];
    for (int l = 0; l < 16; ++l) {
        at[l] = data[l];
        advance[l] = (mask >> l & 1) ? 64 : 0;
    }
    __m512i a = _mm512_loadu_si512(state);
    __m512i b = _mm512_loadu_si512(state + kStride);
    __m512i c = _mm512_loadu_si512(state + 2 * kStride);
    __m512i d = _mm512_loadu_si512(state + 3 * kStride);
    for (size_t n = 0; n < blocks; ++n) {
        __m512i w[16];
        for (int l = 0; l < 16; ++l) {
            w[l] = _mm512_loadu_si512(at[l]);
            at[l] += advance[l];
        }
        Transpose(w);
        const __m512i a0 = a, b0 = b, c0 = c, d0 = d;
        NORV_MD5_SIXTY_FOUR_STEPS();
        a = _mm512_add_epi32(a, a0);
        b = _mm512_add_epi32(b, b0);
        c = _mm512_add_epi32(c, c0);
        d = _mm512_add_epi32(d, d0);
    }
    // Lanes outside the mask hashed a block of nothing: their values are not stored.
    const auto keep = static_cast<__mmask16>(mask);
    _mm512_mask_storeu_epi32(state, keep, a);
    _mm512_mask_storeu_epi32(state + kStride, keep, b);
    _mm512_mask_storeu_epi32(state + 2 * kStride, keep, c);
    _mm512_mask_storeu_epi32(state + 3 * kStride, keep, d);
}

}  // namespace norv::platform::md5_kernels
