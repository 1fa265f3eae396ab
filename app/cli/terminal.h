// Terminal: the command-line tool's face for the engine. The progress line goes to the terminal
// (at most five times a second, when `progress` is on), notices to stderr as "norv: " lines;
// the automatic-check timers belong to the desktop program and do nothing here. Every text
// is shown through Shown: the messages embed file names, and a name must not break a line, forge
// one or send the terminal its own control sequences.
#pragma once

#include <chrono>
#include <ostream>
#include <string>
#include <string_view>

#include "app/application.h"
#include "app/progress_line.h"
#include "engine/scan_log.h"
#include "platform/base/env.h"

namespace norv::cli {

// A text as stderr and stdout show it: escaped as the log escapes names (line breaks, other
// control characters, bytes that are not UTF-8 and characters that reorder text), backslashes
// aside; ordinary Japanese text is unchanged.
inline std::string Shown(std::string_view text) { return DisplayText(text); }
inline std::string Shown(const std::string& text) { return DisplayText(text); }
inline std::string Shown(const char* text) { return DisplayText(text); }
// A message or a failure as the terminal shows it: the names in it escaped, its own line breaks
// kept.
inline std::string Shown(const Message& message) { return Render(message, &DisplayText); }
inline std::string Shown(const Status& status) {
    return status.ok() ? std::string() : Shown(status.Numbered());
}

class Terminal : public ScanObserver,
                 public NoticeSink,
                 public AutoCheckTimers,
                 public RecordsView {
  public:
    // The command line shows the settings only when asked (show).
    void SettingsShown(const Settings&) override {}
    void RulesShown(const RuleTable&) override {}

    // `clock` paces the progress line.
    Terminal(std::ostream& err, bool progress, platform::Env& clock)
        : err_(err), progress_(progress), clock_(clock) {}

    void ShowProgress(const ScanProgress& progress) override {
        // Only the phase and the counts are kept: the path lives no longer than the call.
        last_ = {progress.phase, {}, progress.counts};
        shown_any_ = true;
        if (!progress_) return;
        auto now = clock_.SteadyNow();
        if (now - last_progress_ < std::chrono::milliseconds(200)) return;
        last_progress_ = now;
        err_ << "\r\033[K" << Shown(ProgressLine(progress)) << std::flush;
        progress_shown_ = true;
    }
    void SetScanDate(const std::string& text) override { scan_date_ = text; }
    void SetCounts(const ScanCounters&) override {}
    void YieldToEvents() override {}
    void Notify(const Notice& notice) override {
        ClearProgress();
        err_ << "norv: " << Shown(notice.text) << "\n";
    }
    void StartAutoCheckTimers() override {}
    void StopAutoCheckTimers() override {}

    void ClearProgress() {
        if (progress_shown_) err_ << "\r\033[K" << std::flush;
        progress_shown_ = false;
    }
    // The latest progress as its line ("" before any).
    std::string progress_line() const { return shown_any_ ? ProgressLine(last_) : std::string(); }
    const std::string& scan_date() const { return scan_date_; }

  private:
    std::ostream& err_;
    bool progress_;
    platform::Env& clock_;
    bool progress_shown_ = false;
    std::chrono::steady_clock::time_point last_progress_{};
    ScanProgress last_;
    bool shown_any_ = false;
    std::string scan_date_;
};

}  // namespace norv::cli
