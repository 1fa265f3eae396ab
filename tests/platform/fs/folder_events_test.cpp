#include "platform/fs/folder_events.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace norv::platform {
namespace {

using norv::testing::TempDir;

TEST(FolderEvents, TheQueueInMemoryIsBoundedAndSaysOnceWhatItDropped) {
    TempDir tree;
    // Room for about ten events.
    auto events = FolderEvents::Create(testing::SystemEnv(), 10 * 70);
    ASSERT_TRUE(events.ok()) << events.status().ToString();
    auto folder = OpenDirectory(norv::testing::SystemEnv(), tree.path());
    ASSERT_TRUE(folder.ok());
    ASSERT_TRUE((*events)->Watch(**folder, tree.path()).ok());
    // Two events a file (created, written and closed), none taken meanwhile.
    for (int i = 0; i < 100; ++i) tree.Write("f" + std::to_string(i), "x");
    std::vector<FolderEvent> got;
    auto overflows = [&] {
        size_t n = 0;
        for (const FolderEvent& event : got) n += (event.kinds & FolderEvent::kOverflow) != 0;
        return n;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (overflows() == 0 && std::chrono::steady_clock::now() < deadline) {
        ASSERT_TRUE((*events)->Wait(std::chrono::milliseconds(100), got).ok());
    }
    ASSERT_EQ(overflows(), 1u) << got.size() << " events";
    EXPECT_LE(got.size(), 12u);
    // Taken until quiet (the reader may still be passing on the flood's last events, and drop
    // them), the queue keeps events again.
    do {
        got.clear();
        ASSERT_TRUE((*events)->Wait(std::chrono::milliseconds(100), got).ok());
    } while (!got.empty() && std::chrono::steady_clock::now() < deadline);
    const std::string last = "after";
    tree.Write(last, "x");
    bool seen = false;
    while (!seen && std::chrono::steady_clock::now() < deadline) {
        got.clear();
        ASSERT_TRUE((*events)->Wait(std::chrono::milliseconds(100), got).ok());
        for (const FolderEvent& event : got) seen = seen || event.name == last;
    }
    EXPECT_TRUE(seen);
}

}  // namespace
}  // namespace norv::platform
