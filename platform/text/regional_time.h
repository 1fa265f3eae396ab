// The clock and the regional date and time text forms.
//
// Every date the program shows or stores (scan log, the last check's date, mail subject,
// cracked-copy stamp, filedate) is the locale's short date, its year widened to four digits, and
// "long time" (time with seconds; ICU's medium time style), e.g. 2004/04/11 9:05:22 on ja_JP,
// 11.04.2004 on de_DE.
// The clock is an interface so tests pin the time; the running program's reads the Env's.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "platform/base/env.h"
#include "platform/base/status.h"

#include <unicode/uversion.h>

U_NAMESPACE_BEGIN
class DateFormat;
U_NAMESPACE_END

namespace norv::platform {

using TimePoint = std::chrono::system_clock::time_point;

class Clock {
  public:
    virtual ~Clock() = default;
    virtual TimePoint Now() const = 0;
};

// The wall clock of an Env.
class EnvClock : public Clock {
  public:
    explicit EnvClock(Env& env) : env_(env) {}
    TimePoint Now() const override { return env_.WallNow(); }

  private:
    Env& env_;
};

TimePoint FromTimespec(const std::timespec& ts);

// Formats times in one locale and time zone. Not for use from several threads at once.
class RegionalFormat {
  public:
    // An empty locale means the system's (from the environment); an empty zone the system's.
    // A locale name ICU has no data for (xx_YY, or a region it does not know) fails.
    static Result<std::unique_ptr<RegionalFormat>> Create(const std::string& locale = {},
                                                          const std::string& time_zone = {});
    ~RegionalFormat();

    std::string ShortDate(TimePoint t) const;
    std::string LongTime(TimePoint t) const;
    // Short date, one blank, long time. A run formats the modification time of every file, and
    // many share their second, so recent seconds' texts are kept and reused.
    std::string DateTime(TimePoint t) const;
    // The C locale's (en_US_POSIX, as ICU reads it), whose short forms ("12/8/2026",
    // "10:47:48 PM") make poor file names.
    bool posix() const { return posix_; }
    // "2026-12-08-22-47-48" in this format's zone: fixed, and sorted as the times are.
    std::string SortableStamp(TimePoint t) const;

  private:
    struct CachedSecond {
        int64_t second = 0;
        std::string text;  // empty: nothing cached
    };
    static constexpr size_t kCachedSeconds = 64;

    RegionalFormat() = default;
    std::unique_ptr<icu::DateFormat> date_;
    std::unique_ptr<icu::DateFormat> time_;
    std::unique_ptr<icu::DateFormat> sortable_;
    bool posix_ = false;
    bool whole_seconds_ = false;  // neither form shows a fraction of a second
    mutable std::array<CachedSecond, kCachedSeconds> cache_;
};

}  // namespace norv::platform
