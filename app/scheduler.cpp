#include "app/scheduler.h"

#include <cstdio>

#include "config/settings.h"

namespace norv {

std::string PlainNumber(double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", value);
    return buf;
}

ScanScheduler::TickResult ScanScheduler::Tick(const std::string& scan_period) {
    elapsed_minutes_ += 0.5;
    TickResult tick;
    tick.label = PlainNumber(elapsed_minutes_) + "/" + scan_period;
    tick.check_due = elapsed_minutes_ >= LeadingNumber(scan_period);
    return tick;
}

}  // namespace norv
