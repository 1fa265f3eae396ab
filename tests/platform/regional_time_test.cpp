#include "platform/regional_time.h"

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace norv::platform {
namespace {

TEST(RegionalTime, JapaneseShortDateAndLongTime) {
    auto format = norv::testing::JapaneseFormat();
    norv::testing::FixedClock clock;
    EXPECT_EQ(format->ShortDate(clock.Now()), "2004/04/11");
    EXPECT_EQ(format->LongTime(clock.Now()), "9:05:22");
    EXPECT_EQ(format->DateTime(clock.Now()), "2004/04/11 9:05:22");
    clock.Advance(std::chrono::hours(3) + std::chrono::minutes(29) + std::chrono::seconds(34));
    EXPECT_EQ(format->DateTime(clock.Now()), "2004/04/11 12:34:56");
}

TEST(RegionalTime, OtherLocalesFollowTheirOwnForms) {
    auto us = RegionalFormat::Create("en_US", "UTC").value();
    norv::testing::FixedClock clock;
    EXPECT_EQ(us->ShortDate(clock.Now()), "4/11/04");
    EXPECT_EQ(us->LongTime(clock.Now()), "12:05:22 AM");
}

TEST(RegionalTime, TimespecConversion) {
    std::timespec ts{1081641922, 500000000};
    auto format = norv::testing::JapaneseFormat();
    EXPECT_EQ(format->DateTime(FromTimespec(ts)), "2004/04/11 9:05:22");
}

}  // namespace
}  // namespace norv::platform
