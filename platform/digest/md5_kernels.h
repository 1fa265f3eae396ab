// The block functions behind Md5Lanes, one per instruction set. Each is compiled with its own
// target flags; this header includes nothing with inline code, so no function built for one
// instruction set can stand in for another's at link time.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace norv::platform::md5_kernels {

inline constexpr int kStride = 32;  // lanes per row of `state`

// Hashes `blocks` 64-byte blocks from data[l] into the chaining values of every lane l in `mask`;
// the other lanes' values stay as they are (their data[l] must still point at 64 readable bytes).
// `state` is four rows (a, b, c, d) of kStride lanes. Avx512 covers lanes 0 .. 15 and Avx2 lanes
// 0 .. 7 (one register each); the Pair kernels cover twice as many, two groups of registers whose
// steps are interleaved, which keeps the vector units busy while a step waits on the one before.
void Avx512(uint32_t* state, const unsigned char* const* data, uint32_t mask, size_t blocks);
void Avx512Pair(uint32_t* state, const unsigned char* const* data, uint32_t mask, size_t blocks);
void Avx2(uint32_t* state, const unsigned char* const* data, uint32_t mask, size_t blocks);
void Avx2Pair(uint32_t* state, const unsigned char* const* data, uint32_t mask, size_t blocks);
// OpenSSL's one-stream MD5, one lane after the other.
void Portable(uint32_t* state, const unsigned char* const* data, uint32_t mask, size_t blocks);

// The MD5 constants: the additive constant and the rotation of each of the 64 steps, and the
// message word each step takes.
inline constexpr uint32_t kK[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
inline constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                   5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                   4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                   6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
constexpr int WordOfStep(int i) {
    return i < 16 ? i : i < 32 ? (1 + 5 * i) % 16 : i < 48 ? (5 + 3 * i) % 16 : (7 * i) % 16;
}

// What both vector kernels build on, for their own vector type V, where Add(V, V) adds 32-bit
// lanes: One group's register or two groups' (Pair), each step of a Pair issuing group A's and
// group B's instructions alternately, which gives the processor independent work while a step
// waits on the one before; and a block's 16 message words with the steps' constants, read
// through a pointer the compiler cannot see through: each is then a broadcast load from memory,
// not built in a register by a shuffle that would take a vector port from the steps. A macro, not
// a template: no inline vector code is built for one instruction set and linked into another.
#define NORV_MD5_GROUPS(V)                                                     \
    struct One {                                                               \
        V x;                                                                   \
    };                                                                         \
    struct Pair {                                                              \
        V x, y;                                                                \
    };                                                                         \
    inline Pair Add(Pair p, Pair q) { return {Add(p.x, q.x), Add(p.y, q.y)}; } \
    inline One Add(One p, One q) { return {Add(p.x, q.x)}; }                   \
    inline V& Group(One& v, int) { return v.x; }                               \
    inline V& Group(Pair& p, int g) { return g == 0 ? p.x : p.y; }             \
    template <class Groups>                                                    \
    struct Words {                                                             \
        Groups at[16];                                                         \
        const uint32_t* k;                                                     \
    }

// The 64 steps of one block, the registers a, b, c, d turning one place a step, written out so
// each step's constants are known when it is compiled. A kernel defines `Step<i>(a, b, c, d, w)`
// for its own vector type and expands this where a, b, c, d and w are its variables.
#define NORV_MD5_FOUR_STEPS(i)    \
    Step<i>(a, b, c, d, w);       \
    Step<(i) + 1>(d, a, b, c, w); \
    Step<(i) + 2>(c, d, a, b, w); \
    Step<(i) + 3>(b, c, d, a, w)
#define NORV_MD5_SIXTY_FOUR_STEPS() \
    NORV_MD5_FOUR_STEPS(0);         \
    NORV_MD5_FOUR_STEPS(4);         \
    NORV_MD5_FOUR_STEPS(8);         \
    NORV_MD5_FOUR_STEPS(12);        \
    NORV_MD5_FOUR_STEPS(16);        \
    NORV_MD5_FOUR_STEPS(20);        \
    NORV_MD5_FOUR_STEPS(24);        \
    NORV_MD5_FOUR_STEPS(28);        \
    NORV_MD5_FOUR_STEPS(32);        \
    NORV_MD5_FOUR_STEPS(36);        \
    NORV_MD5_FOUR_STEPS(40);        \
    NORV_MD5_FOUR_STEPS(44);        \
    NORV_MD5_FOUR_STEPS(48);        \
    NORV_MD5_FOUR_STEPS(52);        \
    NORV_MD5_FOUR_STEPS(56);        \
    NORV_MD5_FOUR_STEPS(60)

// One block of the chaining values a, b, c, d (of a kernel's type V) with its words w: Begin
// readies step 0, then the 64 steps, then the block's values added in.
#define NORV_MD5_BLOCK(V)                       \
    do {                                        \
        const V a0 = a, b0 = b, c0 = c, d0 = d; \
        Begin(a, w);                            \
        NORV_MD5_SIXTY_FOUR_STEPS();            \
        a = Add(a, a0);                         \
        b = Add(b, b0);                         \
        c = Add(c, c0);                         \
        d = Add(d, d0);                         \
    } while (false)

// The kernel over one group (V = One) or two (V = Pair) of `lanes` lanes each, in registers of
// type R. Besides Step, Begin and what NORV_MD5_GROUPS defines, a kernel defines for one group:
// Load(row) and Store(row, keep, value), the group's lanes of a row of `state` (Store writes only
// the lanes `keep` names); and Keep(group_mask), from the mask's bits for the group's lanes.
// read_block(at, advance, r) reads the next block of each of a group's lanes from
// at[0 .. lanes - 1] as the 16 message words r[0 .. 15] (word j of every lane in r[j]) and moves
// each lane on by its advance. A macro for the same reason as NORV_MD5_GROUPS.
#define NORV_MD5_HASH(R, lanes, read_block)                                                      \
    template <class V>                                                                           \
    void Hash(uint32_t* state, const unsigned char* const* data, uint32_t mask, size_t blocks) { \
        constexpr int kGroups = sizeof(V) / sizeof(R);                                           \
        constexpr int kGroupLanes = (lanes);                                                     \
        constexpr int kLanes = kGroupLanes * kGroups;                                            \
        const unsigned char* at[kLanes];                                                         \
        size_t advance[kLanes];                                                                  \
        for (int l = 0; l < kLanes; ++l) {                                                       \
            at[l] = data[l];                                                                     \
            advance[l] = (mask >> l & 1) ? 64 : 0;                                               \
        }                                                                                        \
        auto row = [state](int r, int g) { return state + r * kStride + kGroupLanes * g; };      \
        V a, b, c, d;                                                                            \
        for (int g = 0; g < kGroups; ++g) {                                                      \
            Group(a, g) = Load(row(0, g));                                                       \
            Group(b, g) = Load(row(1, g));                                                       \
            Group(c, g) = Load(row(2, g));                                                       \
            Group(d, g) = Load(row(3, g));                                                       \
        }                                                                                        \
        const uint32_t* k = kK;                                                                  \
        asm("" : "+r"(k));                                                                       \
        for (size_t n = 0; n < blocks; ++n) {                                                    \
            Words<V> w;                                                                          \
            w.k = k;                                                                             \
            for (int g = 0; g < kGroups; ++g) {                                                  \
                R r[16];                                                                         \
                read_block(at + kGroupLanes * g, advance + kGroupLanes * g, r);                  \
                for (int j = 0; j < 16; ++j) Group(w.at[j], g) = r[j];                           \
            }                                                                                    \
            NORV_MD5_BLOCK(V);                                                                   \
        }                                                                                        \
        /* Lanes outside the mask hashed a block of nothing: their values are not stored. */     \
        for (int g = 0; g < kGroups; ++g) {                                                      \
            const auto keep = Keep(mask >> (kGroupLanes * g));                                   \
            Store(row(0, g), keep, Group(a, g));                                                 \
            Store(row(1, g), keep, Group(b, g));                                                 \
            Store(row(2, g), keep, Group(c, g));                                                 \
            Store(row(3, g), keep, Group(d, g));                                                 \
        }                                                                                        \
    }

}  // namespace norv::platform::md5_kernels
