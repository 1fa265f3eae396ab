// MD5 of 8 messages at once in the 8 32-bit lanes of AVX2 registers, or of 16 in two groups of
// 8 whose steps are interleaved. Built with -mavx2 and called only on a processor that has it.
#include <immintrin.h>

#include "platform/digest/avx2_transpose.h"
#include "platform/digest/md5_kernels.h"

namespace norv::platform::md5_kernels {
namespace {

inline __m256i Add(__m256i p, __m256i q) { return _mm256_add_epi32(p, q); }
NORV_MD5_GROUPS(__m256i);

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

template <int i>
inline __m256i Rotate(__m256i s) {
    return _mm256_or_si256(_mm256_slli_epi32(s, kShift[i]), _mm256_srli_epi32(s, 32 - kShift[i]));
}

// One step: a = b + rotl(a + f(b, c, d) + K + W, s).
template <int i>
inline void Step(One& a, One b, One c, One d, const Words<One>& w) {
    const __m256i k = _mm256_set1_epi32(static_cast<int>(w.k[i]));
    const __m256i t = Pin(Add(a.x, Add(w.at[WordOfStep(i)].x, k)));
    a.x = Add(Rotate<i>(Add(t, Mix<i / 16>(b.x, c.x, d.x))), b.x);
}

// The same step for both groups, their instructions alternating.
template <int i>
inline void Step(Pair& a, Pair b, Pair c, Pair d, const Words<Pair>& w) {
    const __m256i k = _mm256_set1_epi32(static_cast<int>(w.k[i]));
    const __m256i tx = Pin(Add(a.x, Add(w.at[WordOfStep(i)].x, k)));
    const __m256i ty = Pin(Add(a.y, Add(w.at[WordOfStep(i)].y, k)));
    const __m256i sx = Add(tx, Mix<i / 16>(b.x, c.x, d.x));
    const __m256i sy = Add(ty, Mix<i / 16>(b.y, c.y, d.y));
    a.x = Add(Rotate<i>(sx), b.x);
    a.y = Add(Rotate<i>(sy), b.y);
}

// Each step adds its own K + W: nothing to ready before step 0.
template <class V>
inline void Begin(V&, const Words<V>&) {}

// One group's lanes of a row of `state`, and the lanes of a mask stored back.
inline __m256i Load(const uint32_t* row) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row));
}
inline __m256i Keep(uint32_t group_mask) {
    const __m256i bits = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    const __m256i mine = _mm256_set1_epi32(static_cast<int>(group_mask));
    return _mm256_cmpeq_epi32(_mm256_and_si256(mine, bits), bits);
}
inline void Store(uint32_t* row, __m256i keep, __m256i value) {
    _mm256_maskstore_epi32(reinterpret_cast<int*>(row), keep, value);
}

// The kernel over one group (V = One, lanes 0 .. 7) or two (V = Pair, lanes 0 .. 15).
NORV_MD5_HASH(__m256i, 8, avx2::ReadBlock)

}  // namespace

void Avx2(uint32_t* state, const unsigned char* const* data, uint32_t mask, size_t blocks) {
    Hash<One>(state, data, mask, blocks);
}

void Avx2Pair(uint32_t* state, const unsigned char* const* data, uint32_t mask, size_t blocks) {
    Hash<Pair>(state, data, mask, blocks);
}

}  // namespace norv::platform::md5_kernels
