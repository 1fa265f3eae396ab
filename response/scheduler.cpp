#include "response/scheduler.h"

#include <cstdio>

#include "config/settings.h"

namespace norv {

std::string PlainNumber(double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", value);
    return buf;
}

ScanScheduler::Tick ScanScheduler::OnTimer1(const std::string& scan_period) {
    elapsed_minutes_ += 0.5;
    Tick tick;
    tick.label = PlainNumber(elapsed_minutes_) + "/" + scan_period;
    tick.check_due = elapsed_minutes_ >= LeadingNumber(scan_period);
    return tick;
}

}  // namespace norv
