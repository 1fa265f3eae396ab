// DigestLanes: the digests of several messages at once, each message in one lane of a vector
// register, for the Merkle-Damgard digests of 64-byte blocks (MD5 and SHA-256; see Md5Lanes and
// Sha256Lanes).
//
// Such a digest is one serial chain within a message, but the chains of different messages are
// independent: a 512-bit register holds 16 of them (AVX-512), a 256-bit one 8 (AVX2). The lanes
// are two groups of registers; a digest's kernels hash one group, or both with their steps
// interleaved, or each group in turn. The one-stream kernel is OpenSSL's, one lane at a time. The
// kernel is chosen once at run time from the processor's features, so one binary runs everywhere.
//
// A lane goes Free -> (Start) Hungry -> (Feed) Busy -> Hungry ... -> (End) Busy -> Done ->
// (TakeDigest) Free. Run() hashes the blocks of every Busy lane together and returns once some
// lane is Hungry or Done again, so the caller can give it its next bytes or its next message
// while the others go on. A message's last bytes and padding are hashed in the lanes like any
// other block. Drop() frees a lane at any time without touching the others. When only one lane
// is Busy it is hashed alone by the one-stream code, at one-stream speed; when the Busy lanes
// are all in one group, that group is hashed alone; a group with only a few Busy lanes may go
// to the one-stream code, when that is faster (see DigestKernels::few_lanes).
//
// Fed bytes are not copied (save a partial block): they must stay valid and unchanged until the
// lane is Hungry or Done again. Not thread safe: one owner thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace norv::platform {

// The instruction set the digest workers hash in, for MD5 and SHA-256 alike.
enum class DigestKernel { kPortable, kAvx2, kAvx512 };

// The best kernel this processor runs, unless `forced` (avx512, avx2 or portable, as
// NORV_DIGEST_KERNEL names them) forces one; a forced kernel the processor lacks, or an unknown
// name, gives the best it has (the program's start says so, see DigestKernelNamed).
DigestKernel ChosenDigestKernel(std::string_view forced = {});
// The kernel `name` names, or nothing for an unknown name.
std::optional<DigestKernel> DigestKernelNamed(std::string_view name);
bool DigestKernelRuns(DigestKernel kernel);
const char* DigestKernelName(DigestKernel kernel);

enum class DigestLaneState { kFree, kHungry, kBusy, kDone };

inline constexpr int kMostDigestLanes = 32;

// Hashes `blocks` 64-byte blocks from data[l] into the chaining values of every lane l in `mask`.
// `state` holds one row of kMostDigestLanes lanes per word of the digest's state.
using DigestBlockKernel = void (*)(uint32_t* state, const unsigned char* const* data, uint32_t mask,
                                   size_t blocks);

// What a digest hashes with on one instruction set.
struct DigestKernels {
    int width;                     // lanes: 1, or two groups of width / 2
    DigestBlockKernel one_stream;  // the lanes one after the other
    DigestBlockKernel one_group;   // lanes 0 .. width / 2 - 1; none: one stream only
    DigestBlockKernel two_groups;  // lanes 0 .. width - 1; none: each group in turn
    // Where the groups are hashed in turn: a group with no more Busy lanes than this goes one
    // lane at a time, the one-stream code being that much faster per message (SHA-256: 5 of 16
    // with the processor's SHA instructions, 2 without).
    int few_lanes = 1;
};

// `Traits` gives the digest: kWords chaining values, kInitial, kBigEndian (the length in the
// padding and the digest's words, most significant byte first) and Kernels(DigestKernel, bool).
template <class Traits>
class DigestLanes {
  public:
    static constexpr int kMostLanes = kMostDigestLanes;
    static constexpr int kWords = Traits::kWords;
    using LaneState = DigestLaneState;
    using Digest = std::array<unsigned char, 4 * kWords>;

    // A kernel the processor lacks is replaced by the best it has. `forced`: the kernel was
    // forced (NORV_DIGEST_KERNEL), and runs its lanes even where one stream would be faster.
    explicit DigestLanes(DigestKernel kernel, bool forced = false);
    DigestKernel kernel() const { return kernel_; }
    int width() const { return kernels_.width; }
    LaneState state(int lane) const { return lanes_[lane].state; }

    void Start(int lane);                                 // Free -> Hungry
    void Feed(int lane, const void* bytes, size_t size);  // Hungry -> Busy or Hungry
    void End(int lane);                                   // Hungry -> Busy, then Done
    void Run();                                           // see above
    Digest TakeDigest(int lane);                          // Done -> Free
    void Drop(int lane);                                  // any -> Free

  private:
    struct Lane {
        LaneState state = LaneState::kFree;
        bool ending = false;
        uint64_t length = 0;  // bytes fed
        // Up to two blocks of the lane's own: a partial block between feeds, or the last
        // bytes with the padding. `tail_blocks` of them, from `tail_at`, wait to be hashed.
        alignas(64) unsigned char tail[128];
        size_t tail_size = 0;
        size_t tail_at = 0;
        size_t tail_blocks = 0;
        // Then whole blocks in the caller's bytes, then `rest_size` bytes kept for the tail.
        const unsigned char* data = nullptr;
        size_t blocks = 0;
        const unsigned char* rest = nullptr;
        size_t rest_size = 0;
    };
    void ResetState(int lane);

    DigestKernel kernel_;
    DigestKernels kernels_;
    // The chaining values of every lane, one row each, as the kernels load them.
    alignas(64) uint32_t state_[kWords][kMostLanes];
    Lane lanes_[kMostLanes];
};

}  // namespace norv::platform
