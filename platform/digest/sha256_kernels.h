// The block functions behind Sha256Lanes. The vector kernel is compiled with its own target
// flags; this header includes nothing with inline code, so no function built for one
// instruction set can stand in for another's at link time.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace norv::platform::sha256_kernels {

inline constexpr int kStride = 32;  // lanes per row of `state`

// Hashes `blocks` 64-byte blocks from data[l] into the chaining values of every lane l in `mask`;
// the other lanes' values stay as they are (their data[l] must still point at 64 readable bytes).
// `state` is eight rows (a .. h) of kStride lanes. Avx512 covers lanes 0 .. 15, one register
// each: two groups interleaved would be no faster, the vector ports being the limit, not the
// wait of a round on the one before.
void Avx512(uint32_t* state, const unsigned char* const* data, uint32_t mask, size_t blocks);
// Lanes 0 .. 7, one AVX2 register each.
void Avx2(uint32_t* state, const unsigned char* const* data, uint32_t mask, size_t blocks);
// OpenSSL's one-stream SHA-256, one lane after the other.
void Portable(uint32_t* state, const unsigned char* const* data, uint32_t mask, size_t blocks);

// The 64 rounds of one block from the chaining values a .. h, the message words x[0 .. 15] and
// K + W in wk[0 .. 15], then the block's values added in. The schedule is made eight words
// ahead of each eight rounds, so that schedule and rounds share the vector ports evenly through
// the block. A macro, not a template: each kernel defines Round, Schedule and Add for its own
// vector type V, and no inline vector code is built for one instruction set and linked into
// another.
#define NORV_SHA256_BLOCK_ROUNDS(V)                                             \
    do {                                                                        \
        const V a0 = a, b0 = b, c0 = c, d0 = d, e0 = e, f0 = f, g0 = g, h0 = h; \
        _Pragma("GCC unroll 8") for (int t = 0; t < 64; t += 8) {               \
            if (t < 48) {                                                       \
                _Pragma("GCC unroll 8") for (int u = t + 16; u < t + 24; ++u)   \
                    Schedule(x, wk, k, u);                                      \
            }                                                                   \
            Round(a, b, c, d, e, f, g, h, wk, t);                               \
            Round(h, a, b, c, d, e, f, g, wk, t + 1);                           \
            Round(g, h, a, b, c, d, e, f, wk, t + 2);                           \
            Round(f, g, h, a, b, c, d, e, wk, t + 3);                           \
            Round(e, f, g, h, a, b, c, d, wk, t + 4);                           \
            Round(d, e, f, g, h, a, b, c, wk, t + 5);                           \
            Round(c, d, e, f, g, h, a, b, wk, t + 6);                           \
            Round(b, c, d, e, f, g, h, a, wk, t + 7);                           \
        }                                                                       \
        a = Add(a, a0);                                                         \
        b = Add(b, b0);                                                         \
        c = Add(c, c0);                                                         \
        d = Add(d, d0);                                                         \
        e = Add(e, e0);                                                         \
        f = Add(f, f0);                                                         \
        g = Add(g, g0);                                                         \
        h = Add(h, h0);                                                         \
    } while (false)

inline constexpr uint32_t kK[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

}  // namespace norv::platform::sha256_kernels
