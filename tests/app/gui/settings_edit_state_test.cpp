#include "app/gui/settings_edit_state.h"

#include <gtest/gtest.h>

#include "platform/text/text_file.h"
#include "tests/support/test_support.h"

namespace norv {
namespace {

Settings DistinctRecord() {
    Settings s;
    s.reserved_line = "line1";
    s.server_name = "line2";
    s.mail_alert = " 1 ";
    s.pop_server = "line4";
    s.smtp_server = "line5";
    s.mail_account = "line6";
    s.mail_password = "line7";
    s.mail_from = "line8";
    s.mail_to = "line9";
    s.auto_check = " 2 ";
    s.scan_period = "11";
    s.save_dir = "/line14";
    s.cracked_dir = "/line15";
    return s;
}

TEST(SettingsEditState, ShowSettingsPutsEveryValueInItsControl) {
    SettingsEditState edit;
    ShowSettings(DistinctRecord(), edit);
    EXPECT_EQ(edit.server_name, "line2");
    EXPECT_EQ(edit.alert_by_email, 1);
    EXPECT_EQ(edit.mail_fields,
              (std::array<std::string, 6>{"line4", "line5", "line6", "line7", "line8", "line9"}));
    EXPECT_EQ(edit.mail_fields[kMailPassword], "line7");
    EXPECT_EQ(edit.scan_flg_check, 2);
    EXPECT_EQ(edit.scan_period, "11");
    EXPECT_EQ(edit.save_dir_label, "/line14");
    EXPECT_EQ(edit.cracked_dir_label, "/line15");

    // A stored value other than 0, 1 or 2 shows as a clear box.
    Settings odd = DistinctRecord();
    odd.mail_alert = " 7 ";
    ShowSettings(odd, edit);
    EXPECT_EQ(edit.alert_by_email, 0);
}

TEST(SettingsEditState, TheSavedRecordIsTheEditingStateWithLineOneFromTheLiveRecord) {
    SettingsEditState edit;
    edit.server_name = "name";
    edit.alert_by_email = 2;
    edit.mail_fields = {"pop", "smtp", "who", "pw", "from", "to"};
    edit.scan_flg_check = 1;
    edit.scan_period = "5";
    edit.save_dir_label = "/save";
    edit.cracked_dir_label = "/cracked";
    Settings saved = SettingsToSave(DistinctRecord(), edit);
    EXPECT_EQ(saved.reserved_line, "line1");
    EXPECT_EQ(saved.server_name, "name");
    EXPECT_EQ(saved.mail_alert, " 2 ");
    EXPECT_EQ(saved.pop_server, "pop");
    EXPECT_EQ(saved.smtp_server, "smtp");
    EXPECT_EQ(saved.mail_account, "who");
    EXPECT_EQ(saved.mail_password, "pw");
    EXPECT_EQ(saved.mail_from, "from");
    EXPECT_EQ(saved.mail_to, "to");
    EXPECT_EQ(saved.auto_check, " 1 ");
    EXPECT_EQ(saved.scan_period, "5");
    EXPECT_EQ(saved.save_dir, "/save");
    EXPECT_EQ(saved.cracked_dir, "/cracked");
}

TEST(SettingsEditState, ShownAndSavedUneditedTheFileStaysTheSame) {
    testing::TempDir dir;
    RunContext context = testing::MakeContext(dir.path());
    auto lines = testing::SettingsLines("/srv/save", "/srv/cracked");
    lines[0] = "  keep me exactly  ";
    lines[2] = " 1 ";
    lines[9] = " 2 ";
    lines[11] = " 1 ";
    ASSERT_TRUE(
        platform::WriteTextFileAtomic(testing::SystemEnv(), context.SettingsPath(), lines, "UTF-8")
            .ok());
    for (int i = 0; i < 3; ++i) {
        Settings live;
        LiveSwitches switches;
        SettingsEditState edit;
        ASSERT_TRUE(LoadSettings(context, live, switches).ok());
        ShowSettings(live, edit);
        ASSERT_TRUE(SaveSettings(context, SettingsToSave(live, edit), switches).ok());
        EXPECT_EQ(
            platform::ReadTextLines(testing::SystemEnv(), context.SettingsPath(), "UTF-8").value(),
            lines)
            << i;
    }
}

TEST(SettingsEditState, TheRuleListShowsTheScannedRulesAndTheirSubfolderBoxes) {
    RuleTable rules;
    rules.rules = {{"/a", RuleKind::kFolder}, {"/b", RuleKind::kTree}, {"/c", RuleKind::kFile}};
    rules.beyond_capacity = {{"/d", RuleKind::kTree}};
    SettingsEditState edit;
    edit.rule_list = {{"stale", true}};
    ShowRules(rules, edit);
    ASSERT_EQ(edit.rule_list.size(), 3u);
    EXPECT_EQ(edit.rule_list[0].text, "/a");
    EXPECT_FALSE(edit.rule_list[0].checked);
    EXPECT_EQ(edit.rule_list[1].text, "/b");
    EXPECT_TRUE(edit.rule_list[1].checked);
    EXPECT_EQ(edit.rule_list[2].text, "/c");
    EXPECT_FALSE(edit.rule_list[2].checked);
}

}  // namespace
}  // namespace norv
