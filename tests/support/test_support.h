// Helpers for tests: real temporary folders, a pinned clock, and hooks that record what the
// core reports.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/auto_check_timers.h"
#include "app/progress_line.h"
#include "app/records_view.h"
#include "config/notice.h"
#include "config/run_context.h"
#include "engine/engine_hooks.h"
#include "platform/base/env.h"
#include "platform/digest/digest_lanes.h"
#include "platform/text/regional_time.h"

namespace norv {
// A message in a test's failure output: its code and arguments (or words, where a test installed
// them).
inline void PrintTo(const Message& message, std::ostream* out) { *out << Render(message); }
}  // namespace norv

namespace norv::testing {

// The system's Env, for tests that act on real folders without a test Env.
inline platform::Env& SystemEnv() { return *platform::Env::Default(); }

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + relative
    std::string operator/(std::string_view relative) const;
    // Writes `content` to `relative`, creating the folders on the way.
    std::string Write(std::string_view relative, std::string_view content) const;
    std::string MakeDir(std::string_view relative) const;

  private:
    std::string path_;
};

std::string ReadAll(const std::string& path);
int CountEntries(const std::string& dir);
void WriteAll(const std::string& path, std::string_view content);
// `n` bytes of every value, the same for the same seed.
std::string RandomBytes(size_t n, unsigned seed);

class FixedClock : public platform::Clock {
  public:
    // 2004-04-11 09:05:22 in Asia/Tokyo unless set otherwise.
    FixedClock();
    platform::TimePoint Now() const override { return now_; }
    void Set(platform::TimePoint t) { now_ = t; }
    void Advance(std::chrono::seconds s) { now_ += s; }

  private:
    platform::TimePoint now_;
};

// A formatter pinned to Japanese and Tokyo time, so expected texts are fixed.
std::unique_ptr<platform::RegionalFormat> JapaneseFormat();

class RecordingHooks : public ScanObserver,
                       public NoticeSink,
                       public AutoCheckTimers,
                       public ChangeResponder,
                       public ScanReportMailer,
                       public RecordsView {
  public:
    void SettingsShown(const Settings& settings) override { shown_settings = settings; }
    void RulesShown(const RuleTable& rules) override { shown_rules = rules.rules; }
    void ShowProgress(const ScanProgress& progress) override {
        phase = progress.phase;
        message_line = ProgressLine(progress);
        progress_path = std::string(progress.path);
    }
    void SetScanDate(const std::string& text) override { scan_date = text; }
    void SetCounts(const ScanCounters& c) override {
        counts_shown = true;
        shown_counts = c;
    }
    void YieldToEvents() override {
        ++yields;
        if (on_yield) on_yield();
    }
    void Notify(const Notice& notice) override {
        notices.push_back(notice);
        messages.push_back(Render(notice.text));
    }
    void StartAutoCheckTimers() override {
        timers_running = true;
        ++timer_starts;
    }
    void StopAutoCheckTimers() override {
        timers_running = false;
        ++timer_stops;
    }
    ResponseOutcome RespondToChange(ChangeKind kind, const std::string& path, const FileLocation&,
                                    const RecordedFile& recorded = {}) override {
        changes.emplace_back(std::string(ChangeKindName(kind)), path);
        recorded_files.push_back(recorded);
        return on_response ? on_response(path) : ResponseOutcome{};
    }
    bool HeldChangesFreed() override { return std::exchange(held_changes_freed, false); }
    std::vector<Message> EndRun() override { return end_of_run; }
    void SendScanReport(const std::vector<std::string>& written_by) override {
        ++mails;
        mailed_written_by = written_by;
    }

    std::string message_line;   // the latest progress, as the front ends word it
    std::string progress_path;  // the file the latest progress names
    ScanPhase phase = ScanPhase::kChecking;
    std::string scan_date;
    bool counts_shown = false;
    ScanCounters shown_counts;
    int yields = 0;
    std::function<void()> on_yield;
    std::function<ResponseOutcome(const std::string& path)> on_response;
    std::vector<Message> end_of_run;  // what the response says at each run's end
    std::vector<Notice> notices;
    std::vector<std::string> messages;  // the notices' texts
    bool timers_running = false;
    int timer_starts = 0;
    int timer_stops = 0;
    std::vector<std::pair<std::string, std::string>> changes;
    std::vector<RecordedFile> recorded_files;  // what each change's baseline held
    int mails = 0;
    std::vector<std::string> mailed_written_by;
    bool held_changes_freed = false;
    Settings shown_settings;
    std::vector<Rule> shown_rules;
};

// The 15 lines of a settings file, with the given folders and switches.
std::vector<std::string> SettingsLines(const std::string& save_dir, const std::string& cracked_dir);

// Settings whose line 11 (the scan period) is `line`, its values set as a load sets them.
Settings WithScanPeriod(const std::string& line);

// A RunContext on `program_dir` with root "/" and UTF-8 files.
RunContext MakeContext(const std::string& program_dir);

// What SQLite's integrity check says of the database at `db_path` ("ok" when sound), or why it
// could not run.
std::string StoreIntegrity(const std::string& db_path);

// A file of the source tree, by its path from the top ("tests/support/events_check.py").
std::string SourcePath(const std::string& relative);

// Whether this processor runs `kernel`; where it does not, a line in the test's output says the
// kernel went untested, so a machine without AVX-512 does not pass its kernels silently.
bool KernelRunsOrSaySkipped(platform::DigestKernel kernel);

// From now on this process's io_uring_enter fails with EPERM, as a seccomp filter refuses it:
// an io_uring already set up breaks at its next submission. For a child process (EXPECT_EXIT);
// the child ends with code 3 when the filter cannot be put in place.
void RefuseIoUringEnter();

}  // namespace norv::testing
