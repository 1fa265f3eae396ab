// The I/O priority a process sets where it starts reaches the threads it makes afterwards.
#include "platform/base/io_priority.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <thread>

namespace norv::platform {
namespace {

int ThisThreadsIoPriority() { return static_cast<int>(::syscall(SYS_ioprio_get, 1, 0)); }

// Set on one thread (standing for the CLI's main thread, here not to change the test's own), the
// idle class is what a worker made after it reads with; another thread keeps its own.
TEST(IoPriority, ThreadsMadeAfterItInheritIt) {
    const int before = ThisThreadsIoPriority();
    int set = -1, worker = -1;
    std::thread starter([&] {
        set = SetIoPriority(IoPriority::kIdle);
        std::thread([&] { worker = ThisThreadsIoPriority(); }).join();
    });
    starter.join();
    ASSERT_EQ(set, 0);
    EXPECT_EQ(worker, IoPriorityValue(IoPriority::kIdle));
    EXPECT_EQ(worker >> 13, 3);  // the idle class
    EXPECT_EQ(ThisThreadsIoPriority(), before);
}

}  // namespace
}  // namespace norv::platform
