// MD5 of 16 messages at once in the 16 32-bit lanes of AVX-512 registers, or of 32 in two
// groups of 16 whose steps are interleaved. Built with -mavx512f and called only on a processor
// that has it.
#include <immintrin.h>

#include "platform/digest/avx512_transpose.h"
#include "platform/digest/md5_kernels.h"

namespace norv::platform::md5_kernels {
namespace {

inline __m512i Add(__m512i p, __m512i q) { return _mm512_add_epi32(p, q); }
NORV_MD5_GROUPS(__m512i);

// An empty asm the value passes through: the compiler can no longer re-associate the additions
// around it, so the sum that does not wait on the previous step is made first, as written.
inline __m512i Pin(__m512i x) {
    asm("" : "+v"(x));
    return x;
}

// f is one ternary-logic instruction: the truth tables of F (b ? c : d), G (d ? b : c),
// H (b ^ c ^ d) and I (c ^ (b | ~d)) with d first, as the instruction writes over its first
// operand and d is not needed after it.
constexpr int kTruthTable[4] = {0xb8, 0xca, 0x96, 0x65};

// One step: a = b + rotl(a + f(b, c, d) + K + W, s), with K + W already in `a`. d is the next
// step's a: it takes its K + W here, before f, so no register is copied to keep it.
template <int i>
inline void Step(One& a, One b, One c, One& d, const Words<One>& w) {
    const __m512i d0 = d.x;
    if constexpr (i < 63) {
        const __m512i k = _mm512_set1_epi32(static_cast<int>(w.k[i + 1]));
        d.x = Pin(Add(d0, Add(w.at[WordOfStep(i + 1)].x, k)));
    }
    const __m512i f = _mm512_ternarylogic_epi32(d0, b.x, c.x, kTruthTable[i / 16]);
    a.x = Add(_mm512_rol_epi32(Add(a.x, f), kShift[i]), b.x);
}

// The same step for both groups, their instructions alternating.
template <int i>
inline void Step(Pair& a, Pair b, Pair c, Pair& d, const Words<Pair>& w) {
    const __m512i dx = d.x, dy = d.y;
    if constexpr (i < 63) {
        const __m512i k = _mm512_set1_epi32(static_cast<int>(w.k[i + 1]));
        d.x = Pin(Add(dx, Add(w.at[WordOfStep(i + 1)].x, k)));
        d.y = Pin(Add(dy, Add(w.at[WordOfStep(i + 1)].y, k)));
    }
    const __m512i fx = _mm512_ternarylogic_epi32(dx, b.x, c.x, kTruthTable[i / 16]);
    const __m512i fy = _mm512_ternarylogic_epi32(dy, b.y, c.y, kTruthTable[i / 16]);
    const __m512i rx = _mm512_rol_epi32(Add(a.x, fx), kShift[i]);
    const __m512i ry = _mm512_rol_epi32(Add(a.y, fy), kShift[i]);
    a.x = Add(rx, b.x);
    a.y = Add(ry, b.y);
}

// Step 0's K + W into a, as every later step's comes into it from the step before.
inline void Begin(One& a, const Words<One>& w) {
    const __m512i k = _mm512_set1_epi32(static_cast<int>(w.k[0]));
    a.x = Pin(Add(a.x, Add(w.at[0].x, k)));
}
inline void Begin(Pair& a, const Words<Pair>& w) {
    const __m512i k = _mm512_set1_epi32(static_cast<int>(w.k[0]));
    a.x = Pin(Add(a.x, Add(w.at[0].x, k)));
    a.y = Pin(Add(a.y, Add(w.at[0].y, k)));
}

// One group's lanes of a row of `state`, and the lanes of a mask stored back.
inline __m512i Load(const uint32_t* row) { return _mm512_loadu_si512(row); }
inline __mmask16 Keep(uint32_t group_mask) { return static_cast<__mmask16>(group_mask); }
inline void Store(uint32_t* row, __mmask16 keep, __m512i value) {
    _mm512_mask_storeu_epi32(row, keep, value);
}

// The kernel over one group (V = One, lanes 0 .. 15) or two (V = Pair, lanes 0 .. 31).
NORV_MD5_HASH(__m512i, 16, avx512::ReadBlock)

}  // namespace

void Avx512(uint32_t* state, const unsigned char* const* data, uint32_t mask, size_t blocks) {
    Hash<One>(state, data, mask, blocks);
}

void Avx512Pair(uint32_t* state, const unsigned char* const* data, uint32_t mask, size_t blocks) {
    Hash<Pair>(state, data, mask, blocks);
}

}  // namespace norv::platform::md5_kernels
