#include "app/scheduler.h"

#include <gtest/gtest.h>

namespace norv {
namespace {

Settings Period(const char* line) {
    Settings settings;
    settings.scan_period = line;
    SetLineValues(settings);
    return settings;
}

TEST(Scheduler, CountsHalfMinutesAndFallsDueAtThePeriod) {
    ScanScheduler s;
    std::vector<std::string> labels;
    for (int i = 0; i < 4; ++i) labels.push_back(s.Tick(Period("10")).label);
    EXPECT_EQ(labels, (std::vector<std::string>{"0.5/10", "1/10", "1.5/10", "2/10"}));
    int ticks = 4;
    bool due = false;
    while (!due) {
        due = s.Tick(Period("10")).check_due;
        ++ticks;
    }
    EXPECT_EQ(ticks, 20);  // ten minutes
    s.CheckDone(/*automatic=*/true, /*succeeded=*/true);
    EXPECT_EQ(s.Tick(Period("10")).label, "0.5/10");
}

TEST(Scheduler, PeriodTextIsReadForItsLeadingNumber) {
    ScanScheduler s;
    EXPECT_TRUE(s.Tick(Period("")).check_due);  // no number: every tick
    EXPECT_TRUE(s.Tick(Period("abc")).check_due);
    ScanScheduler t;
    EXPECT_FALSE(t.Tick(Period("2.5 min")).check_due);
    for (int i = 0; i < 3; ++i) t.Tick(Period("2.5 min"));
    EXPECT_TRUE(t.Tick(Period("2.5 min")).check_due);  // the fifth tick reaches 2.5
    EXPECT_EQ(t.Tick(Period("2.5 min")).label, "3/2.5 min");
}

TEST(Scheduler, ADueCheckNotYetRunKeepsTheCountAtOrAbovethePeriod) {
    ScanScheduler s;
    s.Tick(Period("1"));
    EXPECT_TRUE(s.Tick(Period("1")).check_due);
    // The check failed or was deferred: the next tick is due again at once.
    EXPECT_TRUE(s.Tick(Period("1")).check_due);
    EXPECT_EQ(s.elapsed_minutes(), 1.5);
}

}  // namespace
}  // namespace norv
