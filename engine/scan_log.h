// ScanLog: the plain-text report "norv.log" of the latest run, written for people.
//
// Truncated at the start of every run, written strictly in the order the run produces its
// lines, closed after the summary. Lines end in CR LF, in the text files' character set. File
// names are shown through DisplayPath, so no name can break a line or forge one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/engine_hooks.h"
#include "engine/scan_state.h"
#include "platform/base/env.h"
#include "platform/base/status.h"

namespace norv {

inline constexpr std::string_view kLogSeparator =
    "------------------------------------------------------------";

// A path as the log and the mail show it: valid text as it stands; line breaks, other control
// characters, bytes that are not UTF-8 and characters that reorder text shown as escapes
// (\n, \r, \t, \xNN, \uNNNN).
std::string DisplayPath(std::string_view path);

// A message as a terminal or a window shows it: escaped as DisplayPath escapes, except that
// a backslash stays as it is, so that the names a message already shows through DisplayPath are
// not escaped twice. Ordinary text, Japanese included, is unchanged.
std::string DisplayText(std::string_view text);

// A message as a `Warning:` or `Notice:` line and the event beside it quote it: in words, with
// each message beneath it (a cause) shown as DisplayPath shows a path, since the names a cause
// holds are as they are. The engine's own arguments are shown already (a path through
// DisplayPath), and are not escaped twice.
std::string LogText(const Message& message);

// One of the four summary lines: the label, blanks up to the next 14-column print zone (a
// full-width character takes two columns), the number in print form (" 12 ").
std::string CountLine(std::string_view label, int32_t count);

class ScanLog {
  public:
    ScanLog() = default;
    ~ScanLog();
    ScanLog(const ScanLog&) = delete;
    ScanLog& operator=(const ScanLog&) = delete;

    // Creates or truncates the file and writes the six header lines. The file is written
    // through `env` until it is closed.
    Status Open(platform::Env& env, const std::string& path, const std::string& charset,
                const std::string& server_name, const std::string& date_time);
    // Opens the file to add lines after those it holds, creating it when missing: each change
    // line then starts with `date_time` and a blank. The real-time watch writes this way, between
    // checks.
    Status OpenToAppend(platform::Env& env, const std::string& path, const std::string& charset,
                        const std::string& date_time);
    // The change lines added since the file was opened to append (at most kMostKeptLines), and
    // how many more there were; taking them starts the list again.
    static constexpr size_t kMostKeptLines = 10000;
    std::vector<std::string> TakeAppendedLines(size_t* more);
    Status RuleHeader(const std::string& rule_path);
    // "Created: ", "Altered: " or "Deleted: " (from the kind) followed by the path.
    Status ChangeLine(ChangeKind kind, const std::string& path);
    // "Skipped: " and a folder the walk does not enter (the cracked or save folder).
    Status SkippedLine(const std::string& path);
    // "Warning: " and a mistake in the rules that the run works around (see LogText).
    Status WarningLine(const Message& text);
    // "Notice: " and news about norv itself that is no change and no fault (see LogText).
    Status NoticeLine(const Message& text);
    Status SummaryAndClose(const ScanCounters& counters);
    // Closes after a failure, keeping the lines written so far.
    void CloseKeepingLines();

  private:
    // Opens path_ for writing with `how` (O_TRUNC or O_APPEND) added; `failure` says what failed.
    Status OpenFile(platform::Env& env, int how, NoticeCode failure);
    Status WriteLine(std::string_view utf8);
    // Hands the lines held so far to the system.
    Status Flush();
    platform::Env* env_ = nullptr;
    int fd_ = -1;
    std::string pending_;  // lines written but not yet handed to the system
    std::string path_;
    std::string charset_;
    std::string line_prefix_;  // while appending: the date and time, and a blank
    std::vector<std::string> appended_;
    size_t appended_beyond_ = 0;
};

}  // namespace norv
