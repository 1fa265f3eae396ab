#include "app/gui/status_strip.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/test_support.h"

namespace norv {
namespace {

TEST(StatusStrip, StepsAndWrapsAsTheWindowShowsThem) {
    EXPECT_FLOAT_EQ(StatusStepFor(testing::WithScanPeriod("10")).value(), 469.5f);
    EXPECT_FLOAT_EQ(StatusStepFor(testing::WithScanPeriod(" 2.5 ")).value(), 1878.0f);
    EXPECT_FALSE(StatusStepFor(testing::WithScanPeriod("10min")).ok());
    StatusStrip strip;
    strip.step = StatusStepFor(testing::WithScanPeriod("10")).value();
    std::vector<float> widths;
    for (int i = 0; i < 12; ++i) {
        strip.Advance();
        widths.push_back(strip.width);
    }
    EXPECT_FLOAT_EQ(widths[0], 469.5f);
    EXPECT_FLOAT_EQ(widths[9], 4695.0f);
    EXPECT_EQ(widths[10], 0);
    EXPECT_FLOAT_EQ(widths[11], 469.5f);
    StatusStrip one;
    one.step = StatusStepFor(testing::WithScanPeriod("1")).value();
    one.Advance();
    EXPECT_FLOAT_EQ(one.width, 4695.0f);
    one.Advance();
    EXPECT_EQ(one.width, 0);
}

}  // namespace
}  // namespace norv
