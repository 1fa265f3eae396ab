#include "platform/digest/md5_lanes.h"
#include "platform/digest/sha256_lanes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "platform/digest/md5.h"
#include "tests/support/test_support.h"

namespace norv::platform {
namespace {

template <size_t N>
std::string Hex(const std::array<unsigned char, N>& digest) {
    return HexOf(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
}

// Every length 0..256 and a few of many blocks, each from an unaligned start, fed in pieces of
// random sizes so that lanes end at different times and each lane is reused for message after
// message; every tenth message is dropped half way, which must not disturb the others. Each
// kernel runs the lot twice, long messages first in the lower half of the lanes, then in the
// upper half: each half also hashes on while the other, its messages done, is idle.
template <class Lanes>
void ExpectOpenSslsDigests(std::string (*reference)(std::string_view)) {
    std::mt19937 random(1321);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 256; ++n) lengths.push_back(n);
    for (size_t n : {1000, 4095, 4096, 4097}) lengths.push_back(n);
    std::string bytes(200003 + 64, '\0');
    for (char& c : bytes) c = static_cast<char>(random());

    for (DigestKernel kernel :
         {DigestKernel::kAvx512, DigestKernel::kAvx2, DigestKernel::kPortable}) {
        if (!testing::KernelRunsOrSaySkipped(kernel)) continue;
        SCOPED_TRACE(DigestKernelName(kernel));
        // Forced, as a comparison would: AVX2 then has SHA-256 lanes even beside the SHA
        // instructions.
        Lanes lanes(kernel, true);
        ASSERT_EQ(lanes.kernel(), kernel);
        const size_t half = static_cast<size_t>(lanes.width()) / 2;
        std::vector<size_t> longs = {70000, 200003};
        while (longs.size() < half) longs.push_back(20000 + 4099 * longs.size());
        for (size_t upper : {0, 1}) {
            SCOPED_TRACE(upper);
            struct Message {
                std::string_view text;
                size_t fed = 0;
                bool drop = false;
            };
            // Lanes start in order: the long messages go to the lanes from `upper * half` on.
            std::vector<size_t> order = lengths;
            order.insert(order.begin() + static_cast<std::ptrdiff_t>(upper * half), longs.begin(),
                         longs.end());
            std::deque<Message> waiting;
            for (size_t i = 0; i < order.size(); ++i) {
                const size_t start = random() % 64;
                waiting.push_back(
                    {std::string_view(bytes).substr(start, order[i]), 0, i % 10 == 9});
            }
            std::vector<Message> in(static_cast<size_t>(lanes.width()));
            size_t checked = 0, dropped = 0;
            for (int rounds = 0; rounds < 100000; ++rounds) {
                bool any = false;
                for (int lane = 0; lane < lanes.width(); ++lane) {
                    Message& m = in[static_cast<size_t>(lane)];
                    if (lanes.state(lane) == DigestLaneState::kDone) {
                        EXPECT_EQ(Hex(lanes.TakeDigest(lane)), reference(m.text)) << m.text.size();
                        ++checked;
                    }
                    if (lanes.state(lane) == DigestLaneState::kFree && !waiting.empty()) {
                        m = waiting.front();
                        waiting.pop_front();
                        lanes.Start(lane);
                    }
                    if (lanes.state(lane) != DigestLaneState::kHungry) {
                        any = any || lanes.state(lane) != DigestLaneState::kFree;
                        continue;
                    }
                    any = true;
                    if (m.drop && m.fed > 0) {
                        lanes.Drop(lane);
                        ++dropped;
                        continue;
                    }
                    if (m.fed == m.text.size()) {
                        lanes.End(lane);
                        continue;
                    }
                    const size_t piece = std::min<size_t>(m.text.size() - m.fed, random() % 300);
                    lanes.Feed(lane, m.text.data() + m.fed, piece);
                    m.fed += piece;
                }
                if (!any && waiting.empty()) break;
                lanes.Run();
            }
            EXPECT_EQ(checked + dropped, order.size());
            EXPECT_GT(dropped, 0u);
        }
    }
}

TEST(Md5Lanes, EveryKernelGivesOpenSslsDigests) { ExpectOpenSslsDigests<Md5Lanes>(Md5Hex); }

TEST(Sha256Lanes, EveryKernelGivesOpenSslsDigests) {
    ExpectOpenSslsDigests<Sha256Lanes>(Sha256Hex);
}

TEST(Md5Lanes, AnUnknownForcedKernelGivesTheBestOne) {
    EXPECT_EQ(ChosenDigestKernel("sse9"), ChosenDigestKernel());
    EXPECT_EQ(ChosenDigestKernel("portable"), DigestKernel::kPortable);
}

}  // namespace
}  // namespace norv::platform
