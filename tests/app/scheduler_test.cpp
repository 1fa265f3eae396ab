#include "app/scheduler.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace norv {
namespace {

TEST(Scheduler, CountsHalfMinutesAndFallsDueAtThePeriod) {
    ScanScheduler s;
    std::vector<std::string> labels;
    for (int i = 0; i < 4; ++i) labels.push_back(s.Tick(testing::WithScanPeriod("10")).label);
    EXPECT_EQ(labels, (std::vector<std::string>{"0.5/10", "1/10", "1.5/10", "2/10"}));
    int ticks = 4;
    bool due = false;
    while (!due) {
        due = s.Tick(testing::WithScanPeriod("10")).check_due;
        ++ticks;
    }
    EXPECT_EQ(ticks, 20);  // ten minutes
    s.CheckDone(/*automatic=*/true, /*succeeded=*/true);
    EXPECT_EQ(s.Tick(testing::WithScanPeriod("10")).label, "0.5/10");
}

TEST(Scheduler, PeriodTextIsReadForItsLeadingNumber) {
    ScanScheduler s;
    EXPECT_TRUE(s.Tick(testing::WithScanPeriod("")).check_due);  // no number: every tick
    EXPECT_TRUE(s.Tick(testing::WithScanPeriod("abc")).check_due);
    ScanScheduler t;
    EXPECT_FALSE(t.Tick(testing::WithScanPeriod("2.5 min")).check_due);
    for (int i = 0; i < 3; ++i) t.Tick(testing::WithScanPeriod("2.5 min"));
    EXPECT_TRUE(
        t.Tick(testing::WithScanPeriod("2.5 min")).check_due);  // the fifth tick reaches 2.5
    EXPECT_EQ(t.Tick(testing::WithScanPeriod("2.5 min")).label, "3/2.5 min");
}

TEST(Scheduler, ADueCheckNotYetRunKeepsTheCountAtOrAbovethePeriod) {
    ScanScheduler s;
    s.Tick(testing::WithScanPeriod("1"));
    EXPECT_TRUE(s.Tick(testing::WithScanPeriod("1")).check_due);
    // The check failed or was deferred: the next tick is due again at once.
    EXPECT_TRUE(s.Tick(testing::WithScanPeriod("1")).check_due);
    EXPECT_EQ(s.elapsed_minutes(), 1.5);
}

}  // namespace
}  // namespace norv
