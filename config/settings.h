// Settings: the administrator's choices from the settings file "norvcfg.txt", and the settings
// window's editing state.
//
// The file has 15 lines. LoadSettings fills both the Settings record and the editing state;
// SaveSettings writes the file from the editing state only, so a save reaches the record at the
// next load. Two switches, "send mail even without tampering" and "automatic restore", live only
// in the editing state's check boxes: their users read them there, at the moment of use.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "config/run_context.h"
#include "platform/file_system.h"
#include "platform/status.h"
#include "platform/user_interface.h"

namespace norv {

inline constexpr int kSettingsLineCount = 15;

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
    // lines 12 (mail_always) and 13 (auto_restore): see SettingsEditState
    std::string save_dir;     // line 14
    std::string cracked_dir;  // line 15
};

struct RuleListItem {
    std::string text;
    bool checked = false;
};

// The values the settings window's controls hold. One instance for the process; the window
// displays and edits it, and lives hidden so the two live switches keep acting.
struct SettingsEditState {
    std::string server_name;                 // Text4
    std::array<std::string, 6> mail_fields;  // Text1(0..5): POP, SMTP, account, password, from, to
    std::string scan_period = "10";          // Text2
    int alert_by_email = 0;                  // check box states: 0 clear, 1 set, 2 greyed
    int scan_flg_check = 0;
    int evrymail_flg = 0;                 // mail_always, read live by the check command
    int check2 = 0;                       // auto_restore, read live by the change response
    std::string save_dir_label;           // Label11
    std::string cracked_dir_label;        // Label12
    std::vector<RuleListItem> rule_list;  // List1
};

enum MailField { kPopServer = 0, kSmtpServer, kMailAccount, kMailPassword, kMailFrom, kMailTo };

// The number at the start of a text, blanks ignored; 0 when there is none ("2.5min" -> 2.5).
double LeadingNumber(std::string_view text);

// A check-box state as written to the file: " 1 " (sign place, digit, blank).
std::string PrintedState(int state);

// Overwrites the first characters of a folder line with root_dir: at most three, never more
// than root_dir has, never past the end of the line.
std::string Reroot(std::string line, const std::string& root_dir);

// The identities of the existing cracked and save folders: no walk enters them, since evidence
// and archives are not watched files.
std::vector<platform::FileIdentity> ProgramFolders(const Settings& settings);

// Reads the settings file into `settings` and `edit`. A missing file or one with fewer than 15
// lines fails, naming the file and what is missing, and changes nothing. So does a save or
// cracked folder line (14, 15) that is not an absolute folder below the root; an empty one keeps
// the folder `edit` already holds. Starts the automatic check timers when auto_check is 1; never
// stops them.
Status LoadSettings(const RunContext& context, Settings& settings, SettingsEditState& edit,
                    AutoCheckTimers& timers);

// Writes the file from the editing state (reserved_line from the record), atomically and
// owner-only, then starts or stops the timers by scan_flg_check. Does not change `settings`.
Status SaveSettings(const RunContext& context, const Settings& settings,
                    const SettingsEditState& edit, AutoCheckTimers& timers);

}  // namespace norv
