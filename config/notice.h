// Notice: what the core tells the person who runs it, as a typed value, and NoticeSink, where it
// goes. The core hands over a Message (a code and its arguments, naming the file and the cause)
// with its kind, the path it concerns and the Status behind it; each front end words it through
// the program's table and decides how to show it (the desktop: a box, or a queued notice for what
// nobody started by hand; the command-line tool, the service and the watch: a line on stderr).
// Every call happens on the thread that runs the command.
#pragma once

#include <string>

#include "platform/base/status.h"

namespace norv {

// What a notice is about.
enum class NoticeKind {
    kRuleFileLine,         // a rule-file line skipped, or rules beyond the capacity
    kRuleRefused,          // a rule the settings window may not add (a comma, a 101st rule)
    kRuleWarning,          // a rule's path missing, of the wrong kind or overlapping another
    kRefusedPath,          // a watched path norv will not enter (another user could steer it)
    kMeasuredElsewhere,    // files a rule reaches again through a link, measured once
    kExtendedFingerprint,  // the records are getting the extended fingerprint (news, no fault)
    kResponseFailure,      // a quarantine, a restore's attributes, the cracked folder's index
    kArchiveError,         // building the protected archive
    kRestoreError,         // restoring from the archive, or tidying a killed restore
    kMailError,            // the report's mail could not be sent
    kEventsFileError,      // the events file could not be written
    kWatchError,           // a folder the real-time watch cannot watch, or its events failed
    kCheckFailure,         // a check the watch ran, or its files' own checks, failed
    kFullCheckReason,      // why the watch runs a full check now
    kHold,                 // a deploy's hold ended by itself, or a hold record was ignored
};

struct Notice {
    NoticeKind kind = NoticeKind::kRuleWarning;
    // The file or folder it concerns, bytes as they are (a mail error: the recipients); "" for
    // none.
    std::string path;
    Status status;  // the cause; Ok for news that is no failure
    Message text;   // what the user reads: may hold names as they are and several lines
};

// Takes a notice and returns at once: it never waits for a person (a front end that shows a
// box shows it without blocking the caller, or later).
class NoticeSink {
  public:
    virtual ~NoticeSink() = default;
    virtual void Notify(const Notice& notice) = 0;
};

}  // namespace norv
