// SHA-256 of 16 messages at once in the 16 32-bit lanes of AVX-512 registers. Built with
// -mavx512f and called only on a processor that has it. No SHA instruction runs here: one
// run while 512-bit registers are live costs tens of cycles.
#include <immintrin.h>

#include "platform/digest/avx512_transpose.h"
#include "platform/digest/sha256_kernels.h"

namespace norv::platform::sha256_kernels {
namespace {

inline __m512i Add(__m512i p, __m512i q) { return _mm512_add_epi32(p, q); }

// An empty asm the value passes through: the compiler can no longer re-associate the additions
// around it, so the sums that do not wait on the previous round are made first, as written.
inline __m512i Pin(__m512i x) {
    asm("" : "+v"(x));
    return x;
}

inline __m512i Xor3(__m512i p, __m512i q, __m512i r) {
    return _mm512_ternarylogic_epi32(p, q, r, 0x96);
}

// The bytes of each 32-bit word reversed (the message words are big-endian), with AVX-512F
// alone: bytes 3 and 1 from a right rotation by 8, bytes 2 and 0 from a left one.
inline __m512i ByteSwap(__m512i x) {
    return _mm512_ternarylogic_epi32(_mm512_ror_epi32(x, 8), _mm512_rol_epi32(x, 8),
                                     _mm512_set1_epi32(0x00ff00ff), 0xd8);
}

// One round: T1 = h + S1(e) + Ch(e, f, g) + K + W; d += T1; h = T1 + S0(a) + Maj(a, b, c), with
// K + W from memory. The registers turn by renaming at the call site.
inline void Round(__m512i a, __m512i b, __m512i c, __m512i& d, __m512i e, __m512i f, __m512i g,
                  __m512i& h, const __m512i* wk, int t) {
    const __m512i hk = Pin(Add(h, wk[t]));
    const __m512i ch = _mm512_ternarylogic_epi32(e, f, g, 0xca);
    const __m512i s1 =
        Xor3(_mm512_ror_epi32(e, 6), _mm512_ror_epi32(e, 11), _mm512_ror_epi32(e, 25));
    const __m512i t1 = Add(Pin(Add(hk, ch)), s1);
    d = Add(d, t1);
    const __m512i maj = _mm512_ternarylogic_epi32(a, b, c, 0xe8);
    const __m512i s0 =
        Xor3(_mm512_ror_epi32(a, 2), _mm512_ror_epi32(a, 13), _mm512_ror_epi32(a, 22));
    h = Add(t1, Pin(Add(s0, maj)));
}

// Message word u of the schedule, and K[u] + W[u] for the rounds.
inline void Schedule(__m512i* x, __m512i* wk, const uint32_t* k, int u) {
    const __m512i w2 = x[u - 2], w15 = x[u - 15];
    const __m512i s1 =
        Xor3(_mm512_ror_epi32(w2, 17), _mm512_ror_epi32(w2, 19), _mm512_srli_epi32(w2, 10));
    const __m512i s0 =
        Xor3(_mm512_ror_epi32(w15, 7), _mm512_ror_epi32(w15, 18), _mm512_srli_epi32(w15, 3));
    x[u] = Add(Add(s1, x[u - 7]), Add(s0, x[u - 16]));
    wk[u] = Add(x[u], _mm512_set1_epi32(static_cast<int>(k[u])));
}

}  // namespace

void Avx512(uint32_t* state, const unsigned char* const* data, uint32_t mask, size_t blocks) {
    const unsigned char* at[16];
    size_t advance[16];
    for (int l = 0; l < 16; ++l) {
        at[l] = data[l];
        advance[l] = (mask >> l & 1) ? 64 : 0;
    }
    __m512i a = _mm512_loadu_si512(state), b = _mm512_loadu_si512(state + kStride),
            c = _mm512_loadu_si512(state + 2 * kStride),
            d = _mm512_loadu_si512(state + 3 * kStride),
            e = _mm512_loadu_si512(state + 4 * kStride),
            f = _mm512_loadu_si512(state + 5 * kStride),
            g = _mm512_loadu_si512(state + 6 * kStride),
            h = _mm512_loadu_si512(state + 7 * kStride);
    // The constants read through a pointer the compiler cannot see through: each is then a
    // broadcast load from memory, not built in a register by a shuffle that would take a vector
    // port from the rounds.
    const uint32_t* k = kK;
    asm("" : "+r"(k));
    alignas(64) __m512i x[64], wk[64];
    for (size_t n = 0; n < blocks; ++n) {
        __m512i r[16];
        avx512::ReadBlock(at, advance, r);
        for (int j = 0; j < 16; ++j) {
            x[j] = ByteSwap(r[j]);
            wk[j] = Add(x[j], _mm512_set1_epi32(static_cast<int>(k[j])));
        }
        NORV_SHA256_BLOCK_ROUNDS(__m512i);
    }
    // Lanes outside the mask hashed blocks of nothing: their values are not stored.
    const auto keep = static_cast<__mmask16>(mask);
    const __m512i rows[8] = {a, b, c, d, e, f, g, h};
    for (int row = 0; row < 8; ++row)
        _mm512_mask_storeu_epi32(state + row * kStride, keep, rows[row]);
}

}  // namespace norv::platform::sha256_kernels
