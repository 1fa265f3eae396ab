// ScanScheduler: the minute count behind automatic checks, and the check that waits for a
// running command.
//
// The scan-period timer ticks every 30 seconds; each tick adds half a minute and, once the count
// reaches the configured period (the number at the start of its text; 0 when none, which makes
// every tick due), a check is due. The count returns to 0 only after an automatic check, and keeps
// its value while the timer is stopped. A check that falls due while another command runs is
// deferred: it runs as soon as that command ends, unless that command was itself a check. Any
// check that ends, manual or automatic, clears the deferred one, so a tick during a check never
// leaves an extra check behind.
#pragma once

#include <string>

#include "config/settings.h"

namespace norv {

class ScanScheduler {
  public:
    struct TickResult {
        std::string label;  // elapsed "/" period text as the main window shows it, e.g. "1.5/10"
        bool check_due;
    };

    // One tick of the scan-period timer with the period the settings hold (line 11).
    TickResult Tick(const Settings& settings);
    // The label for the count as it stands, with a period just saved.
    std::string Label(const std::string& scan_period) const;

    // A tick found a check due while a command runs.
    void DeferCheck() { check_deferred_ = true; }
    // After a command ends: true, once, when a check was deferred and no check ran since.
    bool TakeDeferredCheck() {
        const bool deferred = check_deferred_;
        check_deferred_ = false;
        return deferred;
    }
    // After any check has returned. Only an automatic one that succeeded starts the count over.
    void CheckDone(bool automatic, bool succeeded) {
        check_deferred_ = false;
        if (automatic && succeeded) elapsed_minutes_ = 0;
    }
    double elapsed_minutes() const { return elapsed_minutes_; }
    bool check_deferred() const { return check_deferred_; }

  private:
    double elapsed_minutes_ = 0;
    bool check_deferred_ = false;
};

// A number as the window shows it: 0.5, 1, 1.5, 10.
std::string PlainNumber(double value);

}  // namespace norv
