#include "app/gui/settings_edit_state.h"

namespace norv {

void ShowSettings(const Settings& settings, SettingsEditState& edit) {
    edit.server_name = settings.server_name;
    edit.alert_by_email = SwitchState(settings.mail_alert);
    edit.mail_fields = {settings.pop_server,    settings.smtp_server, settings.mail_account,
                        settings.mail_password, settings.mail_from,   settings.mail_to};
    edit.scan_flg_check = SwitchState(settings.auto_check);
    edit.scan_period = settings.scan_period;
    edit.save_dir_label = settings.save_dir;
    edit.cracked_dir_label = settings.cracked_dir;
}

void ShowRules(const RuleTable& rules, SettingsEditState& edit) {
    edit.rule_list.clear();
    for (const Rule& rule : rules.rules) {
        edit.rule_list.push_back({rule.path, rule.kind == RuleKind::kTree});
    }
}

Settings SettingsToSave(const Settings& live, const SettingsEditState& edit) {
    Settings saved;
    saved.reserved_line = live.reserved_line;
    saved.server_name = edit.server_name;
    saved.mail_alert = PrintedState(edit.alert_by_email);
    saved.pop_server = edit.mail_fields[kPopServer];
    saved.smtp_server = edit.mail_fields[kSmtpServer];
    saved.mail_account = edit.mail_fields[kMailAccount];
    saved.mail_password = edit.mail_fields[kMailPassword];
    saved.mail_from = edit.mail_fields[kMailFrom];
    saved.mail_to = edit.mail_fields[kMailTo];
    saved.auto_check = PrintedState(edit.scan_flg_check);
    saved.scan_period = edit.scan_period;
    saved.save_dir = edit.save_dir_label;
    saved.cracked_dir = edit.cracked_dir_label;
    SetLineValues(saved);
    return saved;
}

}  // namespace norv
