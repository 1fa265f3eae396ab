// MD5 of 8 messages at once in the 8 32-bit lanes of AVX2 registers. Built with -mavx2 and
// called only on a processor that has it.
#include <immintrin.h>

#include "platform/md5_kernels.h"

namespace norv::platform::md5_kernels {
namespace {

// See the AVX-512 kernel: keeps the additions in the order written.
inline __m256i Pin(__m256i x) {
    asm("" : "+x"(x));
    return x;
}

template <int round>
inline __m256i Mix(__m256i b, __m256i c, __m256i d) {
    if constexpr (round == 0)
        return _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d)));
    if constexpr (round == 1)
        return _mm256_xor_si256(c, _mm256_and_si256(d, _mm256_xor_si256(b, c)));
    if constexpr (round == 2) return _mm256_xor_si256(_mm256_xor_si256(b, c), d);
    // c ^ (b | ~d)
    return _mm256_xor_si256(c, _mm256_or_si256(b, _mm256_xor_si256(d, _mm256_set1_epi32(-1))));
}

// One step: a = b + rotl(a + f(b, c, d) + K + W, s).
template <int i>
inline void Step(__m256i& a, __m256i b, __m256i c, __m256i d, const __m256i* w) {
    constexpr int kWord = WordOfStep(i);
    constexpr int kRotate = kShift[i];
    const __m256i k = _mm256_set1_epi32(static_cast<int>(kK[i]));
    const __m256i t = Pin(_mm256_add_epi32(a, _mm256_add_epi32(w[kWord], k)));
    const __m256i s = _mm256_add_epi32(t, Mix<i / 16>(b, c, d));
    const __m256i rotated =
        _mm256_or_si256(_mm256_slli_epi32(s, kRotate), _mm256_srli_epi32(s, 32 - kRotate));
    a = _mm256_add_epi32(rotated, b);
}

// Rows r[l] (8 words of lane l) become columns r[j] (word j of every lane).
inline void Transpose(__m256i* r) {
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

}  // namespace

void Avx2(uint32_t* state, const unsigned char* const* data, uint32_t mask, size_t blocks) {
    const unsigned char* at[8];
    size_t advance[8];
    for (int l = 0; l < 8; ++l) {
        at[l] = data[l];
        advance[l] = (mask >> l & 1) ? 64 : 0;
    }
    auto* row = reinterpret_cast<__m256i*>(state);
    __m256i a = _mm256_loadu_si256(row);
    __m256i b = _mm256_loadu_si256(row + 2);
    __m256i c = _mm256_loadu_si256(row + 4);
    __m256i d = _mm256_loadu_si256(row + 6);
    for (size_t n = 0; n < blocks; ++n) {
        __m256i w[16];
        for (int l = 0; l < 8; ++l) {
            w[l] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at[l]));
            w[8 + l] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at[l] + 32));
            at[l] += advance[l];
        }
        Transpose(w);
        Transpose(w + 8);
        const __m256i a0 = a, b0 = b, c0 = c, d0 = d;
        NORV_MD5_SIXTY_FOUR_STEPS();
        a = _mm256_add_epi32(a, a0);
        b = _mm256_add_epi32(b, b0);
        c = _mm256_add_epi32(c, c0);
        d = _mm256_add_epi32(d, d0);
    }
    // Lanes outside the mask hashed a block of nothing: their values are not stored.
    const __m256i bits = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    const __m256i keep =
        _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(static_cast<int>(mask)), bits), bits);
    _mm256_maskstore_epi32(reinterpret_cast<int*>(state), keep, a);
    _mm256_maskstore_epi32(reinterpret_cast<int*>(state + kStride), keep, b);
    _mm256_maskstore_epi32(reinterpret_cast<int*>(state + 2 * kStride), keep, c);
    _mm256_maskstore_epi32(reinterpret_cast<int*>(state + 3 * kStride), keep, d);
}

}  // namespace norv::platform::md5_kernels
