// SHA-256 of 8 messages at once in the 8 32-bit lanes of AVX2 registers. Built with -mavx2 and
// called only on a processor that has it. AVX2 has no rotation and no three-input logic, so a
// round costs about twice the AVX-512 kernel's instructions on half the lanes; it pays where
// OpenSSL's one stream has no SHA instructions to run on.
#include <immintrin.h>

#include "platform/digest/avx2_transpose.h"
#include "platform/digest/sha256_kernels.h"

namespace norv::platform::sha256_kernels {
namespace {

inline __m256i Add(__m256i p, __m256i q) { return _mm256_add_epi32(p, q); }
inline __m256i Xor(__m256i p, __m256i q) { return _mm256_xor_si256(p, q); }

// See the AVX-512 kernel: keeps the additions in the order written.
inline __m256i Pin(__m256i x) {
    asm("" : "+x"(x));
    return x;
}

template <int n>
inline __m256i Ror(__m256i x) {
    return _mm256_or_si256(_mm256_srli_epi32(x, n), _mm256_slli_epi32(x, 32 - n));
}

// The bytes of each 32-bit word reversed: the message words are big-endian.
inline __m256i ByteSwap(__m256i x) {
    const __m256i order = _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12, 3,
                                           2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    return _mm256_shuffle_epi8(x, order);
}

// One round, as in the AVX-512 kernel: Ch(e, f, g) = g ^ (e & (f ^ g)) and
// Maj(a, b, c) = b ^ ((a ^ b) & (b ^ c)).
inline void Round(__m256i a, __m256i b, __m256i c, __m256i& d, __m256i e, __m256i f, __m256i g,
                  __m256i& h, const __m256i* wk, int t) {
    const __m256i hk = Pin(Add(h, wk[t]));
    const __m256i ch = Xor(g, _mm256_and_si256(e, Xor(f, g)));
    const __m256i s1 = Xor(Xor(Ror<6>(e), Ror<11>(e)), Ror<25>(e));
    const __m256i t1 = Add(Pin(Add(hk, ch)), s1);
    d = Add(d, t1);
    const __m256i maj = Xor(b, _mm256_and_si256(Xor(a, b), Xor(b, c)));
    const __m256i s0 = Xor(Xor(Ror<2>(a), Ror<13>(a)), Ror<22>(a));
    h = Add(t1, Pin(Add(s0, maj)));
}

// Message word u of the schedule, and K[u] + W[u] for the rounds.
inline void Schedule(__m256i* x, __m256i* wk, const uint32_t* k, int u) {
    const __m256i w2 = x[u - 2], w15 = x[u - 15];
    const __m256i s1 = Xor(Xor(Ror<17>(w2), Ror<19>(w2)), _mm256_srli_epi32(w2, 10));
    const __m256i s0 = Xor(Xor(Ror<7>(w15), Ror<18>(w15)), _mm256_srli_epi32(w15, 3));
    x[u] = Add(Add(s1, x[u - 7]), Add(s0, x[u - 16]));
    wk[u] = Add(x[u], _mm256_set1_epi32(static_cast<int>(k[u])));
}

}  // namespace

void Avx2(uint32_t* state, const unsigned char* const* data, uint32_t mask, size_t blocks) {
    const unsigned char* at[8];
    size_t advance[8];
    for (int l = 0; l < 8; ++l) {
        at[l] = data[l];
        advance[l] = (mask >> l & 1) ? 64 : 0;
    }
    auto row = [state](int r) { return reinterpret_cast<__m256i*>(state + r * kStride); };
    __m256i a = _mm256_loadu_si256(row(0)), b = _mm256_loadu_si256(row(1)),
            c = _mm256_loadu_si256(row(2)), d = _mm256_loadu_si256(row(3)),
            e = _mm256_loadu_si256(row(4)), f = _mm256_loadu_si256(row(5)),
            g = _mm256_loadu_si256(row(6)), h = _mm256_loadu_si256(row(7));
    // See the AVX-512 kernel: each constant a broadcast load from memory.
    const uint32_t* k = kK;
    asm("" : "+r"(k));
    alignas(32) __m256i x[64], wk[64];
    for (size_t n = 0; n < blocks; ++n) {
        __m256i r[16];
        avx2::ReadBlock(at, advance, r);
        for (int j = 0; j < 16; ++j) {
            x[j] = ByteSwap(r[j]);
            wk[j] = Add(x[j], _mm256_set1_epi32(static_cast<int>(k[j])));
        }
        NORV_SHA256_BLOCK_ROUNDS(__m256i);
    }
    // Lanes outside the mask hashed blocks of nothing: their values are not stored.
    const __m256i bits = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    const __m256i keep =
        _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(static_cast<int>(mask)), bits), bits);
    const __m256i rows[8] = {a, b, c, d, e, f, g, h};
    for (int r = 0; r < 8; ++r)
        _mm256_maskstore_epi32(reinterpret_cast<int*>(row(r)), keep, rows[r]);
}

}  // namespace norv::platform::sha256_kernels
