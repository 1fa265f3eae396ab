// A batch holds as many files as the device's request queue gives each worker.
#include "platform/base/batch_reader.h"

#include <gtest/gtest.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "tests/support/test_support.h"

namespace norv::platform {
namespace {

// A disk's queue is read; a partition's is its disk's; a file system of no block device, an
// unreadable figure and an absurd one keep within bounds.
TEST(BatchFilesFor, TheDevicesQueueSharedAmongTheWorkers) {
    testing::TempDir sys;
    sys.Write("dev/block/254:0/queue/nr_requests", "256\n");
    // A partition: sysfs gives it a folder inside its disk's, which /dev/block links to.
    sys.Write("devices/vdb/queue/nr_requests", "64\n");
    sys.MakeDir("devices/vdb/vdb1");
    ASSERT_EQ(::symlink((sys / "devices/vdb/vdb1").c_str(), (sys / "dev/block/254:17").c_str()), 0);
    sys.Write("dev/block/8:0/queue/nr_requests", "2\n");
    sys.Write("dev/block/8:16/queue/nr_requests", "100000\n");
    sys.Write("dev/block/8:32/queue/nr_requests", "many\n");

    EXPECT_EQ(BatchFilesFor(makedev(254, 0), 2, sys.path()), 128u);
    EXPECT_EQ(BatchFilesFor(makedev(254, 0), 4, sys.path()), 64u);
    EXPECT_EQ(BatchFilesFor(makedev(254, 17), 2, sys.path()), 32u);
    EXPECT_EQ(BatchFilesFor(makedev(8, 0), 2, sys.path()), 16u);
    EXPECT_EQ(BatchFilesFor(makedev(8, 16), 2, sys.path()), BatchReader::kMostFiles);
    EXPECT_EQ(BatchFilesFor(makedev(8, 32), 2, sys.path()), BatchReader::kDefaultFiles);
    EXPECT_EQ(BatchFilesFor(makedev(0, 45), 2, sys.path()), BatchReader::kDefaultFiles);
}

}  // namespace
}  // namespace norv::platform
