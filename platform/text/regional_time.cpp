#include "platform/text/regional_time.h"

#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>
#include <unicode/ures.h>

#include <algorithm>

#include "platform/base/notice_code.h"

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

// The pattern with every year field of fewer than four letters ("y", "yy") widened to "yyyy", so
// no locale shows a two-digit year. Quoted text stays as it is. A pattern with an era ("GGGGGy",
// the Japanese calendar) counts years within the era and is left alone.
icu::UnicodeString WidenYear(const icu::UnicodeString& pattern) {
    icu::UnicodeString out;
    bool quoted = false;
    for (int32_t i = 0; i < pattern.length();) {
        char16_t c = pattern.charAt(i);
        if (c == u'\'') quoted = !quoted;
        if (quoted || c != u'y') {
            if (!quoted && c == u'G') return pattern;
            out.append(c);
            ++i;
            continue;
        }
        int32_t run = 0;
        for (; i < pattern.length() && pattern.charAt(i) == u'y'; ++i) ++run;
        for (int32_t k = 0; k < std::max(run, int32_t{4}); ++k) out.append(u'y');
    }
    return out;
}

// True when the pattern has a fraction-of-second field ("S") outside quoted text.
bool ShowsFractions(const icu::UnicodeString& pattern) {
    bool quoted = false;
    for (int32_t i = 0; i < pattern.length(); ++i) {
        char16_t c = pattern.charAt(i);
        if (c == u'\'') quoted = !quoted;
        if (!quoted && (c == u'S' || c == u'A')) return true;
    }
    return false;
}

// True when ICU holds data for the locale itself or for its language, and its region (if any) is
// a known one. ICU never refuses a name: "xx_YY" silently formats as the default locale.
bool IsKnownLocale(const icu::Locale& loc) {
    if (loc.isBogus() || loc.getLanguage()[0] == '\0') return false;
    if (loc.getCountry()[0] != '\0' && loc.getISO3Country()[0] == '\0') return false;
    UErrorCode err = U_ZERO_ERROR;
    UResourceBundle* bundle = ures_open(nullptr, loc.getName(), &err);
    if (bundle) ures_close(bundle);
    return U_SUCCESS(err) && err != U_USING_DEFAULT_WARNING;
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
    // The C locale, as ICU itself reads it from the environment.
    std::string base = locale.substr(0, locale.find('.'));
    if (base == "C" || base == "POSIX") loc = icu::Locale("en_US_POSIX");
    // A name given by the user must be one ICU knows; the system's own is taken as it comes.
    if (!locale.empty() && !IsKnownLocale(loc)) {
        return Status::Error(kErrFormat, Message(NoticeCode::kDateUnknownLocale, {locale}));
    }
    std::unique_ptr<RegionalFormat> f(new RegionalFormat());
    f->date_.reset(icu::DateFormat::createDateInstance(icu::DateFormat::kShort, loc));
    f->time_.reset(icu::DateFormat::createTimeInstance(icu::DateFormat::kMedium, loc));
    auto* date = dynamic_cast<icu::SimpleDateFormat*>(f->date_.get());
    if (!date || !f->time_) {
        return Status::Error(kErrFormat, Message(NoticeCode::kDateCannotMakeFormat, {locale}));
    }
    icu::UnicodeString pattern;
    date->applyPattern(WidenYear(date->toPattern(pattern)));
    auto* time = dynamic_cast<icu::SimpleDateFormat*>(f->time_.get());
    icu::UnicodeString time_pattern;
    f->whole_seconds_ = time && !ShowsFractions(date->toPattern(pattern)) &&
                        !ShowsFractions(time->toPattern(time_pattern));
    UErrorCode status = U_ZERO_ERROR;
    f->sortable_ = std::make_unique<icu::SimpleDateFormat>(
        icu::UnicodeString("yyyy-MM-dd-HH-mm-ss"), icu::Locale("en_US_POSIX"), status);
    if (U_FAILURE(status)) {
        return Status::Error(kErrFormat, Message(NoticeCode::kDateCannotMakeFormat, {locale}));
    }
    f->posix_ = std::string(loc.getName()) == "en_US_POSIX";
    if (!time_zone.empty()) {
        icu::TimeZone* zone = icu::TimeZone::createTimeZone(time_zone.c_str());
        f->date_->setTimeZone(*zone);
        f->sortable_->setTimeZone(*zone);
        f->time_->adoptTimeZone(zone);
    }
    return f;
}

RegionalFormat::~RegionalFormat() = default;

std::string RegionalFormat::ShortDate(TimePoint t) const { return Format(*date_, t); }

std::string RegionalFormat::SortableStamp(TimePoint t) const { return Format(*sortable_, t); }

std::string RegionalFormat::DateTime(TimePoint t) const {
    if (!whole_seconds_) return ShortDate(t) + " " + LongTime(t);
    using namespace std::chrono;
    const int64_t second = floor<seconds>(t.time_since_epoch()).count();
    CachedSecond& slot = cache_[static_cast<uint64_t>(second) % kCachedSeconds];
    if (slot.text.empty() || slot.second != second) {
        const TimePoint whole{duration_cast<system_clock::duration>(seconds(second))};
        slot.text = ShortDate(whole) + " " + LongTime(whole);
        slot.second = second;
    }
    return slot.text;
}
std::string RegionalFormat::LongTime(TimePoint t) const { return Format(*time_, t); }

}  // namespace norv::platform
