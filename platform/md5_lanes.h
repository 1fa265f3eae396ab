// Md5Lanes: the MD5s of several messages at once, each message in one lane of a vector register.
//
// MD5 is one serial chain within a message, but the chains of different messages are
// independent: a 512-bit register holds 16 of them (AVX-512), a 256-bit one 8 (AVX2). Each step
// waits on the one before, so the vector kernels run two groups of registers with their steps
// interleaved: 32 lanes with AVX-512, 16 with AVX2. The portable kernel has one lane and is
// OpenSSL's one-stream MD5. The kernel is chosen once at run time from the processor's features,
// so one binary runs everywhere.
//
// A lane goes Free -> (Start) Hungry -> (Feed) Busy -> Hungry ... -> (End) Busy -> Done ->
// (TakeDigest) Free. Run() hashes the blocks of every Busy lane together and returns once some
// lane is Hungry or Done again, so the caller can give it its next bytes or its next message
// while the others go on. A message's last bytes and padding are hashed in the lanes like any
// other block. Drop() frees a lane at any time without touching the others. When only one lane
// is Busy it is hashed alone by the one-stream code, at one-stream speed; when the Busy lanes
// are all in one group, that group is hashed alone.
//
// Fed bytes are not copied (save a partial block): they must stay valid and unchanged until the
// lane is Hungry or Done again. Not thread safe: one owner thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/md5_kernels.h"

namespace norv::platform {

enum class Md5Kernel { kPortable, kAvx2, kAvx512 };

// The best kernel this processor runs, unless NORV_DIGEST_KERNEL (avx512, avx2 or portable)
// forces one; a forced kernel the processor lacks gives the best it has, with a message on
// standard error.
Md5Kernel ChosenMd5Kernel();
bool Md5KernelRuns(Md5Kernel kernel);
const char* Md5KernelName(Md5Kernel kernel);

using Md5Bytes = std::array<unsigned char, 16>;

class Md5Lanes {
  public:
    static constexpr int kMostLanes = md5_kernels::kStride;
    enum class LaneState { kFree, kHungry, kBusy, kDone };

    // A kernel the processor lacks is replaced by the best it has.
    explicit Md5Lanes(Md5Kernel kernel);
    Md5Kernel kernel() const { return kernel_; }
    int width() const { return width_; }
    LaneState state(int lane) const { return lanes_[lane].state; }

    void Start(int lane);                                 // Free -> Hungry
    void Feed(int lane, const void* bytes, size_t size);  // Hungry -> Busy or Hungry
    void End(int lane);                                   // Hungry -> Busy, then Done
    void Run();                                           // see above
    Md5Bytes TakeDigest(int lane);                        // Done -> Free
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

    Md5Kernel kernel_;
    int width_;
    // The chaining values a, b, c, d of every lane, one row each, as the kernels load them.
    alignas(64) uint32_t state_[4][kMostLanes];
    Lane lanes_[kMostLanes];
};

}  // namespace norv::platform
