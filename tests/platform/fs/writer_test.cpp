#include "platform/fs/writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace norv::platform {
namespace {

struct Pipe {
    int read = -1, write = -1;
    explicit Pipe(const std::string& text = "") {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        read = fds[0];
        write = fds[1];
        EXPECT_EQ(::write(write, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void Close() {
        if (write >= 0) ::close(write);
        write = -1;
    }
};

bool WaitFor(const std::function<bool()>& done) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
        if (std::chrono::steady_clock::now() > give_up) return false;
        std::this_thread::yield();
    }
    return true;
}

// A read that never returns (a command line mapped from a FUSE server that never answers)
// holds one thread; the others still answer, and past the bound nothing more is started.
TEST(DeadlineReader, ReadsThatNeverReturnHoldAtMostTheBoundOfThreads) {
    std::atomic<int> entered{0};
    DeadlineReader reader(
        [&](int fd) {
            ++entered;
            std::string text;
            char c;
            while (::read(fd, &c, 1) == 1) text += c;
            return text;
        },
        std::chrono::seconds(60), 2);
    Pipe a("a");
    a.Close();
    EXPECT_EQ(reader.Read(a.read), "a");

    Pipe held_first("b");
    auto first = std::async(std::launch::async, [&] { return reader.Read(held_first.read); });
    ASSERT_TRUE(WaitFor([&] { return entered == 2; }));
    Pipe c("c");
    c.Close();
    EXPECT_EQ(reader.Read(c.read), "c");
    EXPECT_EQ(reader.threads(), 2u);

    Pipe held_second("d");
    auto second = std::async(std::launch::async, [&] { return reader.Read(held_second.read); });
    ASSERT_TRUE(WaitFor([&] { return entered == 4; }));
    Pipe refused("e");
    refused.Close();
    EXPECT_EQ(reader.Read(refused.read), "");
    EXPECT_EQ(entered, 4);
    EXPECT_EQ(reader.threads(), 2u);

    held_first.Close();
    EXPECT_EQ(first.get(), "b");
    Pipe f("f");
    f.Close();
    EXPECT_EQ(reader.Read(f.read), "f");
    held_second.Close();
    EXPECT_EQ(second.get(), "d");
}

}  // namespace
}  // namespace norv::platform
