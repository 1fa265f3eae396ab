#include "platform/text/regional_time.h"

#include <gtest/gtest.h>
#include <unicode/locid.h>

#include "platform/base/notice_code.h"
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

TEST(RegionalTime, EveryLocaleKeepsItsFormButShowsAFourDigitYear) {
    norv::testing::FixedClock clock;  // 2004-04-11 00:05:22 UTC
    const std::pair<const char*, const char*> cases[] = {
        {"en_US", "4/11/2004 12:05:22 AM"},  // ICU's pattern: M/d/yy
        {"de_DE", "11.04.2004 00:05:22"},    // dd.MM.yy
        {"ja_JP", "2004/04/11 0:05:22"},     // y/MM/dd
        // Quoted text beside the year stays as it is: d.MM.yy 'г'.
        {"bg_BG", "11.04.2004 г. 0:05:22 ч."},
        // Names as LANG spells them.
        {"de_DE.UTF-8", "11.04.2004 00:05:22"},
        {"C", "4/11/2004 12:05:22 AM"},
        // A year counted within an era is not padded: H16, never H0016.
        {"ja_JP@calendar=japanese", "H16/4/11 0:05:22"},
    };
    for (auto [locale, expected] : cases) {
        auto format = RegionalFormat::Create(locale, "UTC");
        ASSERT_TRUE(format.ok()) << locale << ": " << format.status().message();
        EXPECT_EQ((*format)->DateTime(clock.Now()), expected) << locale;
    }
}

TEST(RegionalTime, TheSystemLocaleShowsAFourDigitYearToo) {
    // LANG=C: ICU's default is en_US_POSIX, whose short date is M/d/yy.
    icu::Locale saved = icu::Locale::getDefault();
    UErrorCode err = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale("en_US_POSIX"), err);
    auto format = RegionalFormat::Create("", "UTC");
    icu::Locale::setDefault(saved, err);
    ASSERT_TRUE(format.ok()) << format.status().message();
    norv::testing::FixedClock clock;
    EXPECT_EQ((*format)->ShortDate(clock.Now()), "4/11/2004");
}

TEST(RegionalTime, AnUnknownLocaleIsAnErrorNamingIt) {
    // ICU would format all of these silently in its default locale.
    for (const char* locale : {"xx_YY", "en_XX", "zz", "@@"}) {
        auto format = RegionalFormat::Create(locale, "UTC");
        ASSERT_FALSE(format.ok()) << locale;
        EXPECT_EQ(format.status().what(),
                  Message(NoticeCode::kDateUnknownLocale, {std::string(locale)}));
    }
}

TEST(RegionalTime, RememberedSecondsGiveTheTextsFormattingWouldGive) {
    // Seconds that share a remembered slot (64 apart), fractions of a second, a time before
    // 1970, and a clock that goes back: each text must be the one formatted afresh.
    auto format = norv::testing::JapaneseFormat();
    using std::chrono::milliseconds;
    const TimePoint base = norv::testing::FixedClock().Now();
    const int64_t offsets_ms[] = {0, 999, 1000, 64000, 64999, 0, -1, -64000, 128500, 64000, -1500,
                                  3600000, 999,
                                  // 1969, half a second past: floors to the second before
                                  -1100000000500};
    for (int64_t offset : offsets_ms) {
        const TimePoint t = base + milliseconds(offset);
        EXPECT_EQ(format->DateTime(t), format->ShortDate(t) + " " + format->LongTime(t)) << offset;
    }
}

TEST(RegionalTime, TimespecConversion) {
    std::timespec ts{1081641922, 500000000};
    auto format = norv::testing::JapaneseFormat();
    EXPECT_EQ(format->DateTime(FromTimespec(ts)), "2004/04/11 9:05:22");
}

}  // namespace
}  // namespace norv::platform
