// Prints the MD5 kernel norv's digest workers use on this processor (NORV_DIGEST_KERNEL forces
// one), and how many files each worker hashes at once.
//
//   norv-digest-kernel
#include <cstdio>

#include "platform/md5_lanes.h"

int main() {
    const norv::platform::Md5Lanes lanes(norv::platform::ChosenMd5Kernel());
    std::printf("%s %d\n", norv::platform::Md5KernelName(lanes.kernel()), lanes.width());
    return 0;
}
