// Prints the MD5 kernel norv's digest workers use on this processor (NORV_DIGEST_KERNEL forces
// one), how many files each worker hashes at once, and the I/O path they open and read small
// files through, "uring" or "plain" (NORV_IO forces one).
//
//   norv-digest-kernel
#include <cstdio>

#include "platform/batch_reader.h"
#include "platform/md5_lanes.h"

int main() {
    const norv::platform::Md5Lanes lanes(norv::platform::ChosenMd5Kernel());
    std::printf("%s %d %s\n", norv::platform::Md5KernelName(lanes.kernel()), lanes.width(),
                norv::platform::ChosenIoName());
    return 0;
}
