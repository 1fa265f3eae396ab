// SettingsEditState: the values the settings window's controls hold, one instance for the
// process, owned by the Application.
//
// The window displays and edits it, and lives hidden between openings. A load shows the record
// here (ShowSettings); a save writes the file from here (SettingsToSave), so an edit reaches the
// live record only at the next load. The two switches that act at once are not here: the window
// binds them to the Application's LiveSwitches.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "config/rule_table.h"
#include "config/settings.h"

namespace norv {

struct RuleListItem {
    std::string text;
    bool checked = false;  // the rule takes in subfolders (RuleKind::kTree)
};

struct SettingsEditState {
    std::string server_name;                 // Text4
    std::array<std::string, 6> mail_fields;  // Text1(0..5): POP, SMTP, account, password, from, to
    std::string scan_period = "10";          // Text2
    int alert_by_email = 0;                  // check box states: 0 clear, 1 set, 2 greyed
    int scan_flg_check = 0;
    std::string save_dir_label;           // Label11
    std::string cracked_dir_label;        // Label12
    std::vector<RuleListItem> rule_list;  // List1
};

enum MailField { kPopServer = 0, kSmtpServer, kMailAccount, kMailPassword, kMailFrom, kMailTo };

// Shows a loaded record in the editing state.
void ShowSettings(const Settings& settings, SettingsEditState& edit);

// Rebuilds the rule list from the table (the rules that are scanned, in order).
void ShowRules(const RuleTable& rules, SettingsEditState& edit);

// The record a save writes: every value from the editing state except line 1, which only the
// live record holds.
Settings SettingsToSave(const Settings& live, const SettingsEditState& edit);

}  // namespace norv
