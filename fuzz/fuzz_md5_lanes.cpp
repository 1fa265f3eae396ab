// Md5Lanes and Sha256Lanes against OpenSSL's MD5 and SHA-256 under any schedule: the input picks
// the kernel, the messages (slices of the input itself, from any offset), the pieces they are
// fed in, when each ends and which are dropped half way. Every digest must equal OpenSSL's.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/digest/md5.h"
#include "platform/digest/md5_lanes.h"
#include "platform/digest/sha256_lanes.h"

namespace {

using norv::platform::DigestKernel;
using State = norv::platform::DigestLaneState;

template <class Lanes>
void Drive(const uint8_t* data, size_t size, std::string (*reference)(std::string_view)) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t cursor = 1;
    auto take = [&]() -> size_t { return cursor < size ? data[cursor++] : 0; };
    const DigestKernel kernels[] = {DigestKernel::kAvx512, DigestKernel::kAvx2,
                                    DigestKernel::kPortable};
    const DigestKernel kernel = kernels[data[0] % 3];
    // Forced, so that AVX2 has its SHA-256 lanes even beside the SHA instructions.
    Lanes lanes(kernel, true);
    struct Message {
        std::string_view text;
        size_t fed = 0;
    };
    std::vector<Message> in(static_cast<size_t>(lanes.width()));
    for (;;) {
        const bool scripting = cursor < size;
        bool busy = false;
        for (int lane = 0; lane < lanes.width(); ++lane) {
            Message& m = in[static_cast<size_t>(lane)];
            if (lanes.state(lane) == State::kDone) {
                const auto digest = lanes.TakeDigest(lane);
                const std::string got = norv::platform::HexOf(
                    std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
                if (got != reference(m.text)) std::abort();
            }
            if (lanes.state(lane) == State::kFree) {
                if (!scripting) continue;
                const size_t start = take() * 31 % size;
                const size_t length = std::min(size - start, take() * 8 + take() % 8);
                m = {input.substr(start, length), 0};
                lanes.Start(lane);
            }
            busy = true;
            if (lanes.state(lane) != State::kHungry) continue;
            const size_t action = scripting ? take() : 1;
            if (action == 0 && m.fed > 0) {
                lanes.Drop(lane);
            } else if (m.fed == m.text.size()) {
                lanes.End(lane);
            } else {
                const size_t piece = scripting ? std::min(m.text.size() - m.fed, action % 160)
                                               : m.text.size() - m.fed;
                lanes.Feed(lane, m.text.data() + m.fed, piece);
                m.fed += piece;
            }
        }
        if (!busy) return;
        lanes.Run();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    Drive<norv::platform::Md5Lanes>(data, size, norv::platform::Md5Hex);
    Drive<norv::platform::Sha256Lanes>(data, size, norv::platform::Sha256Hex);
    return 0;
}
