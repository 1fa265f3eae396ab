#include "app/scheduler.h"

#include <cstdio>

#include "config/settings.h"

namespace norv {

std::string PlainNumber(double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", value);
    return buf;
}

std::string ScanScheduler::Label(const std::string& scan_period) const {
    return PlainNumber(elapsed_minutes_) + "/" + scan_period;
}

ScanScheduler::TickResult ScanScheduler::Tick(const Settings& settings) {
    elapsed_minutes_ += 0.5;
    TickResult tick;
    tick.label = Label(settings.scan_period);
    tick.check_due = elapsed_minutes_ >= settings.scan_period_number;
    return tick;
}

}  // namespace norv
