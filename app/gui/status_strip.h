// StatusStrip: the main window's strip that grows by one step per second while automatic checks
// run, and starts again after passing its full width.
#pragma once

#include <string>

#include "config/settings.h"
#include "platform/base/status.h"

namespace norv {

struct StatusStrip {
    static constexpr float kFullWidthTwips = 4695.0f;
    float full_width = kFullWidthTwips;
    float step = 0;
    float width = 0;

    void Advance() {
        width += step;
        if (width > full_width) width = 0;
    }
};

// The strip's step for the settings' scan period (line 11): the full width divided by the
// period, at most the full width. Fails for a line that is no number (scan_period_plain), or one
// not above zero and at most kMaxScanPeriodMinutes.
Result<float> StatusStepFor(const Settings& settings);

}  // namespace norv
