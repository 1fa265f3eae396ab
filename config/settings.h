// Settings: the administrator's choices from the settings file "norvcfg.txt".
//
// The file has 15 lines. LoadSettings fills the Settings record and the live switches;
// SaveSettings writes a record and the switches back. Two switches, "send mail even without
// tampering" and "automatic restore" (lines 12 and 13), live in LiveSwitches: whoever drives the
// program may flip them at any time, and their users read them at the moment of use.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/run_context.h"
#include "platform/base/status.h"
#include "platform/fs/file_system.h"

namespace norv {

inline constexpr int kSettingsLineCount = 15;
// Fifteen short lines: a settings file larger than this is not one, and is not read.
inline constexpr int64_t kSettingsFileMaxBytes = 1 << 20;

// The number at the start of a text, blanks ignored; 0 when there is none ("2.5min" -> 2.5).
double LeadingNumber(std::string_view text);

// The longest period between automatic checks: one year, in minutes.
inline constexpr double kMaxScanPeriodMinutes = 525600;

// Line 11 as the period of automatic checks: its leading number of minutes (a fraction of a
// minute allowed), when that is above zero and at most kMaxScanPeriodMinutes. Otherwise fails
// with a message naming line 11, the text and the range, so that no caller ever turns a period
// of 10^20 minutes into a time that overflows.
Result<double> ScanPeriodMinutes(std::string_view scan_period);

struct Settings {
    std::string reserved_line;  // line 1: kept and written back unchanged
    std::string server_name;    // line 2
    std::string mail_alert;     // line 3: mail a report when its value is 1
    std::string pop_server;     // line 4
    std::string smtp_server;    // line 5
    std::string mail_account;   // line 6
    std::string mail_password;  // line 7
    std::string mail_from;      // line 8
    std::string mail_to;        // line 9
    std::string auto_check;     // line 10: automatic checks when its value is 1
    std::string scan_period;    // line 11: minutes between automatic checks
    // lines 12 and 13: see LiveSwitches
    std::string save_dir;     // line 14
    std::string cracked_dir;  // line 15

    // Lines 3, 10 and 11 as values, set from the text above by SetLineValues alone (at a load,
    // and for the record the GUI's edit state makes), so that no caller reads the text again.
    // The text stays for a write-back byte for byte.
    bool mail_alert_on = false;  // line 3's number is 1: a check mails its report
    bool auto_check_on = false;  // line 10's number is 1: the automatic checks run
    // Line 11's leading number (0 when none): the minutes the window's count runs to.
    double scan_period_number = 0;
    // The number the whole of line 11 is (blanks after it aside), when it is one: the status
    // strip's period.
    std::optional<double> scan_period_plain;
    // Line 11 as the automatic checks' period (ScanPeriodMinutes), or why it is none.
    Result<double> scan_period_minutes = ScanPeriodMinutes("");
};

// Sets the values of lines 3, 10 and 11 from their text; the only place they are set.
void SetLineValues(Settings& settings);

// The two switches that act without a save. States as stored: 0 clear, 1 set, 2 greyed.
struct LiveSwitches {
    int mail_always = 0;   // line 12: mail the report even without changes, only when 1
    int auto_restore = 0;  // line 13: act on every change found, when not 0
};

// What a load or a save means for the automatic checks; the caller starts or stops them.
struct SettingsChange {
    bool auto_check_on = false;
};

// A switch line's state: its leading number rounded, when that is 1 or 2; anything else reads
// as 0, clear.
int SwitchState(std::string_view line);

// A switch state as written to the file: " 1 " (sign place, digit, blank).
std::string PrintedState(int state);

// Overwrites the first characters of a folder line with root_dir: at most three, never more
// than root_dir has, never past the end of the line.
std::string Reroot(std::string line, const std::string& root_dir);

// The identities of the existing cracked and save folders: no walk enters them, since evidence
// and archives are not watched files.
std::vector<platform::FileIdentity> ProgramFolders(platform::Env& env, const Settings& settings);

// Reads the settings file into `settings` and `switches`. A missing file, one that is not a
// regular file (a link, a named pipe, a device) or is larger than kSettingsFileMaxBytes, or one
// with fewer than 15 lines fails, naming the file and the cause, and changes nothing. So does a
// save or cracked folder line (14, 15) that is not an absolute folder below the root; an empty one
// keeps the folder `settings` already holds (the default until a file names one). auto_check_on:
// line 10 reads 1 (Settings::auto_check_on).
Result<SettingsChange> LoadSettings(const RunContext& context, Settings& settings,
                                    LiveSwitches& switches);

// Writes `settings` (lines 12 and 13 from `switches`) to the file, atomically and owner-only.
// A value holding a line break is refused and nothing is written. auto_check_on: line 10 as
// written is not 0 (a greyed switch keeps the checks running).
Result<SettingsChange> SaveSettings(const RunContext& context, const Settings& settings,
                                    const LiveSwitches& switches);

}  // namespace norv
