#include "app/gui/status_strip.h"

#include <algorithm>

#include "app/scheduler.h"
#include "config/settings.h"

namespace norv {

Result<float> StatusStepFor(const Settings& settings) {
    const std::optional<double>& plain = settings.scan_period_plain;
    const double period = plain.value_or(0.0);
    if (!plain || !(period > 0.0 && period <= kMaxScanPeriodMinutes)) {
        return Status::Error(kErrFormat,
                             "検査周期 \"" + settings.scan_period + "\" は 0 より大きく " +
                                 PlainNumber(kMaxScanPeriodMinutes) + " 以下の数値ではありません");
    }
    // More than the full width a second would only wrap: the bound also keeps a period of a
    // tiny fraction of a minute from overflowing the float.
    return static_cast<float>(std::min(StatusStrip::kFullWidthTwips / period,
                                       static_cast<double>(StatusStrip::kFullWidthTwips)));
}

}  // namespace norv
