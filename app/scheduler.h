// ScanScheduler: the minute count behind automatic checks.
//
// The scan-period timer ticks every 30 seconds; each tick adds half a minute and, once the count
// reaches the configured period (the number at the start of its text; 0 when none, which makes
// every tick due), a check is due. The count returns to 0 only after an automatic check, and keeps
// its value while the timer is stopped. A check that falls due while another command runs is
// deferred: it runs as soon as that command ends.
#pragma once

#include <string>

namespace norv {

class ScanScheduler {
  public:
    struct TickResult {
        std::string label;  // elapsed "/" period text as the main window shows it, e.g. "1.5/10"
        bool check_due;
    };

    // One tick of the scan-period timer with the period text as the settings hold it.
    TickResult Tick(const std::string& scan_period);
    // After the automatic check has returned.
    void AutomaticCheckDone() { elapsed_minutes_ = 0; }
    double elapsed_minutes() const { return elapsed_minutes_; }

  private:
    double elapsed_minutes_ = 0;
};

// A number as the window shows it: 0.5, 1, 1.5, 10.
std::string PlainNumber(double value);

}  // namespace norv
