#include "app/application.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/db/database.h"
#include "platform/text/text_file.h"
#include "tests/support/test_support.h"

namespace norv {
namespace {

using testing::RecordingHooks;
using testing::TempDir;

class StartupTest : public ::testing::Test {
  protected:
    Result<std::unique_ptr<Application>> Start() {
        StartupOptions options;
        options.program_dir = dir.path();
        options.charset = "UTF-8";
        options.locale = "ja_JP";
        options.time_zone = "Asia/Tokyo";
        options.clock = &clock;
        return Application::Start(options, FrontEnd{hooks, hooks, hooks, hooks});
    }
    void WriteSettings(std::vector<std::string> lines) {
        ASSERT_TRUE(
            platform::WriteTextFileAtomic(testing::SystemEnv(), dir / "norvcfg.txt", lines, "UTF-8")
                .ok());
    }
    TempDir dir;
    testing::FixedClock clock;
    RecordingHooks hooks;
};

TEST_F(StartupTest, StartsWithSettingsRulesStoreAndCountersLoaded) {
    auto lines = testing::SettingsLines("/srv/save", "");
    WriteSettings(lines);
    testing::WriteAll(dir / "user_rule.txt", "<rule>/srv/www,3</rule>\r\n");
    auto app = Start();
    ASSERT_TRUE(app.ok()) << app.status().message();
    Application& a = **app;
    EXPECT_EQ(a.context().root_dir, "/");
    EXPECT_EQ(a.context().folders.config, dir.path());
    EXPECT_EQ(hooks.shown_settings.save_dir, "/srv/save");
    EXPECT_EQ(hooks.shown_settings.cracked_dir, "/var/lib/norv/cracked");  // the default stays
    EXPECT_EQ(a.settings().cracked_dir, "/var/lib/norv/cracked");
    EXPECT_EQ(a.mode(), ScanMode::kNone);
    EXPECT_EQ(a.counters().checked + a.counters().changes(), 0);
    EXPECT_EQ(a.rules().rule_count(), 1);
    ASSERT_EQ(hooks.shown_rules.size(), 1u);
    EXPECT_EQ(hooks.shown_rules[0].path, "/srv/www");
    EXPECT_EQ(hooks.shown_rules[0].kind, RuleKind::kTree);
    EXPECT_FALSE(hooks.timers_running);
    EXPECT_TRUE(platform::FileExists(testing::SystemEnv(), dir / "norv.db"));
}

// Installed, each kind of file has its folder: each is held to the same trust, and the lock's,
// emptied at each boot, is made again.
TEST_F(StartupTest, EachKindOfFileLivesInItsOwnTrustedFolder) {
    const ProgramLayout layout{dir / "etc", dir / "lib", dir / "log", dir / "run", dir / "share"};
    for (const std::string& folder : {layout.config, layout.state, layout.logs}) {
        ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    }
    ASSERT_TRUE(platform::WriteTextFileAtomic(testing::SystemEnv(), layout.config + "/norvcfg.txt",
                                              testing::SettingsLines("/srv/save", ""), "UTF-8")
                    .ok());
    StartupOptions options;
    options.layout = layout;
    options.charset = "UTF-8";
    options.clock = &clock;
    auto app = Application::Start(options, FrontEnd{hooks, hooks, hooks, hooks});
    ASSERT_TRUE(app.ok()) << app.status().message();
    EXPECT_TRUE(platform::FileExists(testing::SystemEnv(), layout.state + "/norv.db"));
    struct stat st {};
    ASSERT_EQ(::stat(layout.runtime.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    app->reset();
    ASSERT_EQ(::chmod(layout.state.c_str(), 0777), 0);
    app = Application::Start(options, FrontEnd{hooks, hooks, hooks, hooks});
    ASSERT_FALSE(app.ok());
    EXPECT_NE(app.status().message().find(layout.state), std::string::npos);
}

TEST_F(StartupTest, AProgramFolderOthersMayWriteIsRefused) {
    WriteSettings(testing::SettingsLines("/srv/save", ""));
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    auto app = Start();
    ASSERT_FALSE(app.ok());
    EXPECT_TRUE(app.status().Is(ErrorKind::kRefused));
    EXPECT_NE(app.status().message().find(dir.path()), std::string::npos);
}

// Files that steer what norv does as root are refused when another user could have written
// them: the message names the file and the fix.
TEST_F(StartupTest, SettingsRulesOrDatabaseAnotherUserMayWriteAreRefused) {
    struct Case {
        const char* name;
        mode_t mode;
        uid_t owner;
        const char* fix;
    };
    const Case cases[] = {{"norvcfg.txt", 0600, 65534, "chown root "},
                          {"user_rule.txt", 0666, 0, "chmod go-w "},
                          {"norv.db", 0664, 0, "chmod go-w "}};
    WriteSettings(testing::SettingsLines(dir / "save", dir / "cracked"));
    testing::WriteAll(dir / "user_rule.txt", "<rule>/srv/www,3</rule>\r\n");
    ASSERT_TRUE(Start().ok());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir / c.name;
        struct stat before {};
        ASSERT_EQ(::stat(path.c_str(), &before), 0);
        ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
        ASSERT_EQ(::chown(path.c_str(), c.owner, 0), 0);
        auto app = Start();
        ASSERT_FALSE(app.ok());
        EXPECT_TRUE(app.status().Is(ErrorKind::kRefused)) << app.status().message();
        EXPECT_NE(app.status().message().find(c.fix + path), std::string::npos)
            << app.status().message();
        ASSERT_EQ(::chown(path.c_str(), 0, 0), 0);
        ASSERT_EQ(::chmod(path.c_str(), before.st_mode & 07777), 0);
        EXPECT_TRUE(Start().ok());
    }
}

TEST_F(StartupTest, MissingSettingsFailsAndWritesNothing) {
    auto app = Start();
    ASSERT_FALSE(app.ok());
    EXPECT_NE(app.status().message().find("norvcfg.txt"), std::string::npos);
    EXPECT_EQ(testing::CountEntries(dir.path()), 0);
}

TEST_F(StartupTest, ABadPeriodDoesNotLockTheAdministratorOut) {
    for (const char* period : {"0", "abc", ""}) {
        auto lines = testing::SettingsLines("/s", "/c");
        lines[10] = period;
        WriteSettings(lines);
        hooks.messages.clear();
        auto app = Start();
        ASSERT_TRUE(app.ok()) << period;
        EXPECT_EQ((*app)->settings().scan_period, period);
    }
}

TEST_F(StartupTest, AnEmptyDatabaseFileGetsTheTable) {
    WriteSettings(testing::SettingsLines(dir / "save", dir / "cracked"));
    testing::WriteAll(dir / "norv.db", "");
    auto app = Start();
    ASSERT_TRUE(app.ok()) << app.status().message();
    auto db = platform::Database::Open(testing::SystemEnv(), dir / "norv.db", false);
    ASSERT_TRUE(db.ok());
    EXPECT_EQ((*db)->QueryInt("SELECT count(*) FROM fileinfo").value(), 0);
}

TEST_F(StartupTest, LoadShowsTheFileToTheFrontEndAndSetsTheSwitches) {
    auto lines = testing::SettingsLines("/srv/save", "/srv/cracked");
    lines[2] = " 1 ";
    lines[9] = " 1 ";
    lines[11] = " 1 ";
    lines[12] = "";
    WriteSettings(lines);
    auto app = Start();
    ASSERT_TRUE(app.ok()) << app.status().message();
    Application& a = **app;
    EXPECT_EQ(a.settings().smtp_server, "smtp.example");
    EXPECT_EQ(hooks.shown_settings.mail_password, "secret");
    EXPECT_EQ(hooks.shown_settings.mail_alert, " 1 ");
    EXPECT_EQ(hooks.shown_settings.auto_check, " 1 ");
    EXPECT_EQ(a.switches().mail_always, 1);
    EXPECT_EQ(a.switches().auto_restore, 0);  // an empty switch line is off
    EXPECT_EQ(hooks.shown_settings.save_dir, "/srv/save");
    EXPECT_EQ(a.settings().cracked_dir, "/srv/cracked");
    EXPECT_TRUE(hooks.timers_running);
}

TEST_F(StartupTest, LoadNeverStopsRunningTimersSaveDoes) {
    WriteSettings(testing::SettingsLines("/s", "/c"));  // auto_check 0
    auto app = Start();
    ASSERT_TRUE(app.ok()) << app.status().message();
    Application& a = **app;
    hooks.timers_running = true;
    ASSERT_TRUE(a.LoadSettings().ok());
    EXPECT_TRUE(hooks.timers_running);
    EXPECT_EQ(hooks.timer_stops, 0);
    Settings edited = a.settings();
    ASSERT_TRUE(a.SaveSettings(edited).ok());
    EXPECT_FALSE(hooks.timers_running);
    edited.auto_check = " 1 ";
    ASSERT_TRUE(a.SaveSettings(edited).ok());
    EXPECT_TRUE(hooks.timers_running);
    edited.auto_check = " 2 ";  // greyed: the checks keep running
    ASSERT_TRUE(a.SaveSettings(edited).ok());
    EXPECT_TRUE(hooks.timers_running);
    EXPECT_EQ(hooks.timer_stops, 1);
}

TEST_F(StartupTest, ASaveActsAtOnceAsTheNextLoadWouldRead) {
    WriteSettings(testing::SettingsLines("/s", "/c"));
    auto app = Start();
    ASSERT_TRUE(app.ok()) << app.status().message();
    Application& a = **app;
    Settings edited = a.settings();
    edited.smtp_server = "new.example";
    edited.scan_period = "2";
    edited.reserved_line = "not saved: line 1 is the live record's";
    a.switches().auto_restore = 1;
    ASSERT_TRUE(a.SaveSettings(edited).ok());
    auto saved =
        platform::ReadTextLines(testing::SystemEnv(), dir / "norvcfg.txt", "UTF-8").value();
    ASSERT_EQ(saved.size(), 15u);
    EXPECT_EQ(saved[4], "new.example");
    EXPECT_EQ(saved[12], " 1 ");
    EXPECT_NE(saved[0], edited.reserved_line);
    // The record the mail and the timer read holds the saved values already, and the front end
    // was shown them.
    EXPECT_EQ(a.settings().smtp_server, "new.example");
    EXPECT_EQ(a.settings().scan_period, "2");
    EXPECT_EQ(hooks.shown_settings.scan_period, "2");
    EXPECT_EQ(a.switches().auto_restore, 1);
    // A period that is no number is saved as written.
    edited.scan_period = "soon";
    EXPECT_TRUE(a.SaveSettings(edited).ok());
    EXPECT_EQ(
        platform::ReadTextLines(testing::SystemEnv(), dir / "norvcfg.txt", "UTF-8").value()[10],
        "soon");
}

TEST_F(StartupTest, AFailedLoadLeavesRecordSwitchesShownSettingsAndTimersAlone) {
    WriteSettings(testing::SettingsLines("/s", "/c"));
    auto app = Start();
    ASSERT_TRUE(app.ok()) << app.status().message();
    Application& a = **app;
    hooks.shown_settings.server_name = "shown";
    a.switches().mail_always = 2;
    auto bad = testing::SettingsLines("/s", "X");  // line 15 would be the root
    bad[1] = "other";
    bad[9] = " 1 ";
    bad[11] = " 1 ";
    WriteSettings(bad);
    EXPECT_FALSE(a.LoadSettings().ok());
    EXPECT_EQ(hooks.shown_settings.server_name, "shown");
    EXPECT_EQ(a.switches().mail_always, 2);
    EXPECT_EQ(a.settings().server_name, "server1");
    EXPECT_EQ(hooks.timer_starts, 0);
}

TEST_F(StartupTest, AFailedReloadKeepsTheSettingsAndTheRulesInUseWhole) {
    WriteSettings(testing::SettingsLines("/s", "/c"));
    testing::WriteAll(dir / "user_rule.txt", "<rule>/srv/www,3</rule>\r\n");
    auto app = Start();
    ASSERT_TRUE(app.ok()) << app.status().message();
    Application& a = **app;
    auto lines = testing::SettingsLines("/s", "/c");
    lines[1] = "renamed";
    lines[12] = " 1 ";
    WriteSettings(lines);  // a good settings file, and a rule file that cannot be read
    ASSERT_EQ(::unlink((dir / "user_rule.txt").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "user_rule.txt").c_str(), 0600), 0);
    Status reloaded = a.ReloadSettingsAndRules();
    ASSERT_FALSE(reloaded.ok());
    EXPECT_NE(reloaded.message().find("user_rule.txt"), std::string::npos) << reloaded.message();
    ASSERT_EQ(a.rules().rule_count(), 1);
    EXPECT_EQ(a.rules().rules[0].path, "/srv/www");
    EXPECT_EQ(a.settings().server_name, "server1");
    EXPECT_EQ(a.switches().auto_restore, 0);
    ASSERT_EQ(hooks.shown_rules.size(), 1u);
}

TEST_F(StartupTest, RuleEditsKeepTheListInStepWithTheTable) {
    WriteSettings(testing::SettingsLines("/s", "/c"));
    auto app = Start();
    ASSERT_TRUE(app.ok()) << app.status().message();
    Application& a = **app;
    ASSERT_TRUE(a.AddRule("/a").ok());
    ASSERT_TRUE(a.AddRule("/b").ok());
    ASSERT_TRUE(a.AddRule("/a,b").ok());  // refused with a message
    ASSERT_EQ(hooks.shown_rules.size(), 2u);
    EXPECT_EQ(hooks.shown_rules[1].path, "/b");
    ASSERT_TRUE(a.SetRuleRecursion(0, true).ok());
    EXPECT_EQ(hooks.shown_rules[0].kind, RuleKind::kTree);
    EXPECT_EQ(hooks.shown_rules[1].kind, RuleKind::kFolder);
    ASSERT_TRUE(a.DeleteRule(1).ok());
    ASSERT_EQ(hooks.shown_rules.size(), 1u);
    EXPECT_EQ(hooks.shown_rules[0].path, "/b");
    EXPECT_EQ(testing::ReadAll(dir / "user_rule.txt"), "<rule>/b,1</rule>\r\n");
}

TEST_F(StartupTest, AnInitReloadsBothFilesThroughTheApplication) {
    WriteSettings(testing::SettingsLines(dir / "save", dir / "cracked"));
    auto app = Start();
    ASSERT_TRUE(app.ok()) << app.status().message();
    Application& a = **app;
    TempDir tree;
    tree.Write("a", "1");
    auto lines = testing::SettingsLines(dir / "save", dir / "cracked");
    lines[1] = "renamed";
    lines[9] = " 1 ";
    lines[12] = " 2 ";
    WriteSettings(lines);
    testing::WriteAll(dir / "user_rule.txt", "<rule>" + tree.path() + ",3</rule>\r\n");
    ASSERT_TRUE(a.engine().Initialise().ok());
    EXPECT_EQ(a.settings().server_name, "renamed");
    EXPECT_EQ(hooks.shown_settings.server_name, "renamed");
    EXPECT_EQ(a.switches().auto_restore, 2);
    ASSERT_EQ(hooks.shown_rules.size(), 1u);
    EXPECT_EQ(hooks.shown_rules[0].kind, RuleKind::kTree);
    EXPECT_EQ(a.counters().checked, 1);
    EXPECT_TRUE(hooks.timers_running);
}

}  // namespace
}  // namespace norv
