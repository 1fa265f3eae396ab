// Prints the digest kernel norv's digest workers use on this processor (NORV_DIGEST_KERNEL forces
// one), how many files each worker hashes at once, and the I/O path they open and read small
// files through, "uring" or "plain" (NORV_IO forces one). With --speed, then the speed on one
// core of each MD5 and SHA-256 kernel the processor runs, its data in cache: OpenSSL's one
// stream, one group of vector lanes and (MD5) two interleaved groups, measured in turn round
// after round; the median round's figure of each and their ratios to the same digest's one
// stream. OPENSSL_ia32cap=:~0x20000000 shows OpenSSL's one stream without the SHA instructions.
//
//   norv-digest-kernel [--speed]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/base/batch_reader.h"
#include "platform/digest/md5_kernels.h"
#include "platform/digest/md5_lanes.h"
#include "platform/digest/sha256_kernels.h"

namespace {

namespace kernels = norv::platform::md5_kernels;
namespace sha256 = norv::platform::sha256_kernels;
using norv::platform::DigestKernel;

struct Way {
    const char* name;
    DigestKernel needs;
    void (*kernel)(uint32_t*, const unsigned char* const*, uint32_t, size_t);
    int lanes;
    std::vector<double> rounds;  // GB/s
};

void PrintSpeeds() {
    constexpr size_t kBlocks = 64;  // 4 KiB a lane: 128 KiB for 32 lanes, in cache
    constexpr size_t kBytesEach = size_t{64} << 20;
    constexpr int kRounds = 9;
    std::vector<unsigned char> bytes(kernels::kStride * kBlocks * 64);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 131 + 7);
    const unsigned char* data[kernels::kStride];
    for (int l = 0; l < kernels::kStride; ++l) data[l] = bytes.data() + l * kBlocks * 64;
    alignas(64) uint32_t state[8 * kernels::kStride] = {};  // room for SHA-256's rows

    std::vector<Way> ways = {
        {"openssl-one-stream", DigestKernel::kPortable, kernels::Portable, 1, {}},
        {"avx512-one-group", DigestKernel::kAvx512, kernels::Avx512, 16, {}},
        {"avx512-two-groups", DigestKernel::kAvx512, kernels::Avx512Pair, 32, {}},
        {"avx2-one-group", DigestKernel::kAvx2, kernels::Avx2, 8, {}},
        {"avx2-two-groups", DigestKernel::kAvx2, kernels::Avx2Pair, 16, {}},
        {"sha256-openssl-one-stream", DigestKernel::kPortable, sha256::Portable, 1, {}},
        {"sha256-avx512-one-group", DigestKernel::kAvx512, sha256::Avx512, 16, {}},
        {"sha256-avx2-one-group", DigestKernel::kAvx2, sha256::Avx2, 8, {}}};
    std::erase_if(ways, [](const Way& w) { return !norv::platform::DigestKernelRuns(w.needs); });
    for (int round = 0; round < kRounds; ++round) {
        for (Way& w : ways) {
            const uint32_t mask = static_cast<uint32_t>((uint64_t{1} << w.lanes) - 1);
            const size_t calls = kBytesEach / (kBlocks * 64 * static_cast<size_t>(w.lanes));
            const auto start = std::chrono::steady_clock::now();
            for (size_t n = 0; n < calls; ++n) w.kernel(state, data, mask, kBlocks);
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            w.rounds.push_back(static_cast<double>(calls * kBlocks * 64) * w.lanes / took.count() /
                               1e9);
        }
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    double one_stream = 0;
    for (size_t i = 0; i < ways.size(); ++i) {
        const double speed = median(ways[i].rounds);
        if (ways[i].lanes == 1) one_stream = speed;  // each digest's rows follow its one stream
        std::printf("%-25s %2d lanes %6.2f GB/s %6.2fx one stream", ways[i].name, ways[i].lanes,
                    speed, speed / one_stream);
        // Each two-group kernel follows its one-group kernel.
        if (i > 0 && ways[i].lanes > 1 && ways[i - 1].needs == ways[i].needs)
            std::printf(" %5.2fx one group", speed / median(ways[i - 1].rounds));
        std::printf("\n");
    }
    std::printf("(median of %d rounds, %zu MiB each)\n", kRounds, kBytesEach >> 20);
}

}  // namespace

int main(int argc, char** argv) {
    // The variables as the programs read them where they start.
    const char* forced = std::getenv("NORV_DIGEST_KERNEL");
    const char* io = std::getenv("NORV_IO");
    const norv::platform::Md5Lanes lanes(
        norv::platform::ChosenDigestKernel(forced != nullptr ? forced : ""));
    std::printf("%s %d %s\n", norv::platform::DigestKernelName(lanes.kernel()), lanes.width(),
                norv::platform::ChosenIoName(norv::platform::ParseIoPath(io != nullptr ? io : "")
                                                 .value_or(norv::platform::IoPath::kAuto)));
    if (argc > 1 && std::strcmp(argv[1], "--speed") == 0) PrintSpeeds();
    return 0;
}
