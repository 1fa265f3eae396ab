// The watch's timing rules, on time points given by the test: no sleeping.
#include "engine/watch_schedule.h"

#include <gtest/gtest.h>

namespace norv {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Key = WatchSchedule::FileKey;

class WatchScheduleTest : public ::testing::Test {
  protected:
    WatchSchedule::TimePoint t0 = WatchSchedule::Clock::now();
    WatchSchedule schedule{WatchTimings{}};
    const Key log{1, "access.log"};
    const Key page{2, "index.html"};

    // Notes `file` written every 50 ms from `from` until it is due; when it was due.
    WatchSchedule::Clock::duration WrittenWithoutPause(const Key& file,
                                                       WatchSchedule::TimePoint from) {
        for (auto at = from;; at += milliseconds(50)) {
            EXPECT_TRUE(schedule.Note(file, at, false));
            if (!schedule.TakeDue(at).others.empty()) {
                schedule.Done(file);
                return at - from;
            }
        }
    }
};

TEST_F(WatchScheduleTest, AFileIsCheckedOnceQuietOrAfterAWaitThatDoublesWhileWrittenWithoutPause) {
    ASSERT_TRUE(schedule.Note(log, t0, false));
    EXPECT_TRUE(schedule.TakeDue(t0 + milliseconds(99)).others.empty());
    EXPECT_EQ(schedule.NextDeadline(t0), t0 + milliseconds(100));
    EXPECT_EQ(schedule.TakeDue(t0 + milliseconds(100)).others, std::vector<Key>{log});
    schedule.Done(log);

    auto at = t0 + seconds(1);
    for (auto expected : {seconds(1), seconds(2), seconds(4), seconds(8), seconds(16), seconds(32),
                          seconds(60), seconds(60)}) {
        const auto waited = WrittenWithoutPause(log, at);
        EXPECT_EQ(std::chrono::duration_cast<seconds>(waited), expected);
        at += waited + milliseconds(50);
    }
    // Once quiet, the next writes are checked after the settle time again.
    ASSERT_TRUE(schedule.Note(log, at, false));
    EXPECT_EQ(schedule.TakeDue(at + milliseconds(100)).others, std::vector<Key>{log});
    schedule.Done(log);
    EXPECT_EQ(std::chrono::duration_cast<seconds>(WrittenWithoutPause(log, at + seconds(1))),
              seconds(1));
}

TEST_F(WatchScheduleTest, ARecordedPageIsDueOnceItsChangeIsCompleteAheadOfEveryOtherFile) {
    ASSERT_TRUE(schedule.Note(log, t0, false));
    // Truncated, not yet written and closed: a check now would see a half-written page.
    ASSERT_TRUE(schedule.Note(page, t0 + seconds(1), true, /*finished=*/false));
    EXPECT_TRUE(schedule.TakeDue(t0 + seconds(1)).at_once.empty());
    ASSERT_TRUE(schedule.Note(page, t0 + seconds(1), false, /*finished=*/true));  // still at once
    EXPECT_EQ(schedule.NextDeadline(t0 + seconds(1)), t0 + seconds(1));
    const auto due = schedule.TakeDue(t0 + seconds(1));
    EXPECT_EQ(due.at_once, std::vector<Key>{page});
    EXPECT_EQ(due.others, std::vector<Key>{log});
    // Not done (another norv held the lock): both are due again.
    EXPECT_EQ(schedule.TakeDue(t0 + seconds(1)).at_once, std::vector<Key>{page});
}

TEST_F(WatchScheduleTest, TooManyWaitingFilesEmptyTheSchedule) {
    WatchTimings timings;
    timings.most_pending = 2;
    WatchSchedule small(timings);
    EXPECT_TRUE(small.Note({1, "a"}, t0, false));
    EXPECT_TRUE(small.Note({1, "b"}, t0, false));
    EXPECT_TRUE(small.Note({1, "a"}, t0, false));
    EXPECT_FALSE(small.Note({1, "c"}, t0, false));
    EXPECT_EQ(small.waiting(), 0u);
}

TEST_F(WatchScheduleTest, ABurstEndsWhenQuietOrAfterItsLongestSpan) {
    EXPECT_TRUE(schedule.OpenBurst(t0));
    EXPECT_FALSE(schedule.OpenBurst(t0));
    schedule.ChangeFound(t0 + seconds(4));
    EXPECT_FALSE(schedule.BurstDue(t0 + seconds(8)));
    EXPECT_TRUE(schedule.BurstDue(t0 + seconds(9)));
    EXPECT_EQ(schedule.NextDeadline(t0 + seconds(4)), t0 + seconds(9));
    // Changes every 4 s keep it open, but not past a minute.
    for (int s = 8; s < 60; s += 4) schedule.ChangeFound(t0 + seconds(s));
    EXPECT_FALSE(schedule.BurstDue(t0 + seconds(59)));
    EXPECT_TRUE(schedule.BurstDue(t0 + seconds(60)));
    schedule.EndBurst();
    EXPECT_FALSE(schedule.BurstDue(t0 + seconds(60)));
    EXPECT_TRUE(schedule.OpenBurst(t0 + seconds(61)));
}

}  // namespace
}  // namespace norv
