#include "app/gui/status_strip.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "app/scheduler.h"
#include "config/settings.h"

namespace norv {

Result<float> StatusStepFor(const std::string& scan_period) {
    std::string text = scan_period;
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
    char* end = nullptr;
    errno = 0;
    double period = std::strtod(text.c_str(), &end);
    bool whole_text = end != text.c_str() && *end == '\0' && errno == 0;
    if (!whole_text || !(period > 0.0 && period <= kMaxScanPeriodMinutes)) {
        return Status::Error(kErrFormat, "検査周期 \"" + scan_period + "\" は 0 より大きく " +
                                             PlainNumber(kMaxScanPeriodMinutes) +
                                             " 以下の数値ではありません");
    }
    // More than the full width a second would only wrap: the bound also keeps a period of a
    // tiny fraction of a minute from overflowing the float.
    return static_cast<float>(std::min(StatusStrip::kFullWidthTwips / period,
                                       static_cast<double>(StatusStrip::kFullWidthTwips)));
}

}  // namespace norv
