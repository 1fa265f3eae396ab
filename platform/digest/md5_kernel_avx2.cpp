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

// The kernel over one group (V = One, lanes 0 .. 7) or two (V = Pair, lanes 0 .. 15).
template <class V>
void Hash(uint32_t* state, const unsigned char* const* data, uint32_t mask, size_t blocks) {
    constexpr int kGroups = sizeof(V) / sizeof(__m256i);
    constexpr int kLanes = 8 * kGroups;
    const unsigned char* at[kLanes];
    size_t advance[kLanes];
    for (int l = 0; l < kLanes; ++l) {
        at[l] = data[l];
        advance[l] = (mask >> l & 1) ? 64 : 0;
    }
    auto row = [state](int r, int g) {
        return reinterpret_cast<__m256i*>(state + r * kStride + 8 * g);
    };
    V a, b, c, d;
    for (int g = 0; g < kGroups; ++g) {
        Group(a, g) = _mm256_loadu_si256(row(0, g));
        Group(b, g) = _mm256_loadu_si256(row(1, g));
        Group(c, g) = _mm256_loadu_si256(row(2, g));
        Group(d, g) = _mm256_loadu_si256(row(3, g));
    }
    const uint32_t* k = kK;
    asm("" : "+r"(k));
    for (size_t n = 0; n < blocks; ++n) {
        Words<V> w;
        w.k = k;
        for (int g = 0; g < kGroups; ++g) {
            __m256i r[16];
            for (int l = 0; l < 8; ++l) {
                const auto* p = reinterpret_cast<const __m256i*>(at[8 * g + l]);
                r[l] = _mm256_loadu_si256(p);
                r[8 + l] = _mm256_loadu_si256(p + 1);
                at[8 * g + l] += advance[8 * g + l];
            }
            avx2::Transpose(r);
            avx2::Transpose(r + 8);
            for (int j = 0; j < 16; ++j) Group(w.at[j], g) = r[j];
        }
        NORV_MD5_BLOCK(V);
    }
    // Lanes outside the mask hashed a block of nothing: their values are not stored.
    const __m256i bits = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    for (int g = 0; g < kGroups; ++g) {
        const __m256i mine = _mm256_set1_epi32(static_cast<int>(mask >> (8 * g)));
        const __m256i keep = _mm256_cmpeq_epi32(_mm256_and_si256(mine, bits), bits);
        _mm256_maskstore_epi32(reinterpret_cast<int*>(row(0, g)), keep, Group(a, g));
        _mm256_maskstore_epi32(reinterpret_cast<int*>(row(1, g)), keep, Group(b, g));
        _mm256_maskstore_epi32(reinterpret_cast<int*>(row(2, g)), keep, Group(c, g));
        _mm256_maskstore_epi32(reinterpret_cast<int*>(row(3, g)), keep, Group(d, g));
    }
}

}  // namespace

void Avx2(uint32_t* state, const unsigned char* const* data, uint32_t mask, size_t blocks) {
    Hash<One>(state, data, mask, blocks);
}

void Avx2Pair(uint32_t* state, const unsigned char* const* data, uint32_t mask, size_t blocks) {
    Hash<Pair>(state, data, mask, blocks);
}

}  // namespace norv::platform::md5_kernels
