#include "platform/regional_time.h"

#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

namespace norv::platform {
namespace {

double ToUDate(TimePoint t) {
    using namespace std::chrono;
    return static_cast<double>(duration_cast<milliseconds>(t.time_since_epoch()).count());
}

std::string Format(const icu::DateFormat& format, TimePoint t) {
    icu::UnicodeString text;
    format.format(ToUDate(t), text);
    std::string out;
    text.toUTF8String(out);
    // Some locales put a narrow no-break space before AM/PM; a plain blank reads the same and
    // survives every character set.
    for (size_t pos; (pos = out.find("\xE2\x80\xAF")) != std::string::npos;)
        out.replace(pos, 3, " ");
    return out;
}

}  // namespace

TimePoint FromTimespec(const std::timespec& ts) {
    using namespace std::chrono;
    return TimePoint(
        duration_cast<system_clock::duration>(seconds(ts.tv_sec) + nanoseconds(ts.tv_nsec)));
}

Result<std::unique_ptr<RegionalFormat>> RegionalFormat::Create(const std::string& locale,
                                                               const std::string& time_zone) {
    icu::Locale loc = locale.empty() ? icu::Locale::getDefault() : icu::Locale(locale.c_str());
    std::unique_ptr<RegionalFormat> f(new RegionalFormat());
    f->date_.reset(icu::DateFormat::createDateInstance(icu::DateFormat::kShort, loc));
    f->time_.reset(icu::DateFormat::createTimeInstance(icu::DateFormat::kMedium, loc));
    if (!f->date_ || !f->time_) {
        return Status::Error(kErrFormat, "地域の日付形式を作れません: " + locale);
    }
    if (!time_zone.empty()) {
        icu::TimeZone* zone = icu::TimeZone::createTimeZone(time_zone.c_str());
        f->date_->setTimeZone(*zone);
        f->time_->adoptTimeZone(zone);
    }
    return f;
}

RegionalFormat::~RegionalFormat() = default;

std::string RegionalFormat::ShortDate(TimePoint t) const { return Format(*date_, t); }
std::string RegionalFormat::LongTime(TimePoint t) const { return Format(*time_, t); }

}  // namespace norv::platform
