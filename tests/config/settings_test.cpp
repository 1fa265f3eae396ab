#include "config/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/base/notice_code.h"
#include "platform/text/charset.h"
#include "platform/text/text_file.h"
#include "tests/support/test_support.h"

namespace norv {
namespace {

using testing::ReadAll;
using testing::SettingsLines;
using testing::TempDir;

class SettingsTest : public ::testing::Test {
  protected:
    void WriteSettings(const std::vector<std::string>& lines) {
        ASSERT_TRUE(platform::WriteTextFileAtomic(testing::SystemEnv(), context.SettingsPath(),
                                                  lines, "UTF-8")
                        .ok());
    }
    Status Load() { return Keep(LoadSettings(context, settings, switches)); }
    // Why the settings file cannot be read, as the reading itself says it.
    Message ReadFailure() {
        return platform::ReadTextLines(*context.env, context.SettingsPath(), context.charset,
                                       kSettingsFileMaxBytes, platform::FileTrust::kAdministrator)
            .status()
            .what();
    }
    Status Save() { return Keep(SaveSettings(context, settings, switches)); }
    Status Keep(const Result<SettingsChange>& result) {
        if (result.ok()) change = result.value();
        return result.status();
    }

    TempDir dir;
    RunContext context = testing::MakeContext(dir.path());
    Settings settings;
    LiveSwitches switches;
    SettingsChange change;
};

TEST(SettingsValues, LeadingNumberReadsLikeThePrintedForm) {
    const std::pair<const char*, double> cases[] = {
        {"10", 10}, {" 1 ", 1}, {"2.5min", 2.5}, {"", 0},    {"abc", 0},
        {"-3", -3}, {" 0 ", 0}, {"1 0", 10},     {".5", .5}, {"+7x", 7},
    };
    for (auto [text, value] : cases) EXPECT_DOUBLE_EQ(LeadingNumber(text), value) << text;
    EXPECT_EQ(PrintedState(1), " 1 ");
    EXPECT_EQ(PrintedState(0), " 0 ");
}

TEST(SettingsValues, ScanPeriodIsAboveZeroAndAtMostAYear) {
    const std::pair<const char*, double> good[] = {
        {"10", 10}, {"0.5", 0.5}, {" 2.5min", 2.5}, {"525600", 525600}};
    for (auto [text, minutes] : good) EXPECT_DOUBLE_EQ(ScanPeriodMinutes(text).value(), minutes);
    for (const char* text : {"0", "-5", "abc", "", "525600.5", "99999999999999999999"}) {
        auto period = ScanPeriodMinutes(text);
        ASSERT_FALSE(period.ok()) << text;
        EXPECT_EQ(period.status().what(), Message(NoticeCode::kScanPeriodOutOfRange,
                                                  {std::string(text), std::string("525600")}));
    }
}

TEST(SettingsValues, RerootOverwritesAtMostThreeCharacters) {
    EXPECT_EQ(Reroot("E:\\work\\save", "C:\\"), "C:\\work\\save");
    EXPECT_EQ(Reroot("X", "C:\\"), "C");
    EXPECT_EQ(Reroot("/srv/save", "/"), "/srv/save");
    EXPECT_EQ(Reroot("", "/"), "");
    EXPECT_EQ(Reroot("abcd", ""), "abcd");
    // Characters are overwritten, never parts of one.
    EXPECT_EQ(Reroot("日本/save", "/"), "/本/save");
    EXPECT_EQ(Reroot("Ｅ：＼work", "C:\\"), "C:\\work");
}

TEST_F(SettingsTest, LoadFillsRecordAndSwitches) {
    auto lines = SettingsLines("/srv/save", "/srv/cracked");
    lines[2] = " 1 ";
    lines[9] = " 1 ";
    lines[11] = " 1 ";
    lines[12] = "";
    WriteSettings(lines);
    switches.auto_restore = 1;
    ASSERT_TRUE(Load().ok());
    EXPECT_EQ(settings.reserved_line, "reserved");
    EXPECT_EQ(settings.server_name, "server1");
    EXPECT_EQ(settings.smtp_server, "smtp.example");
    EXPECT_EQ(settings.mail_password, "secret");
    EXPECT_EQ(SwitchState(settings.mail_alert), 1);
    EXPECT_EQ(SwitchState(settings.auto_check), 1);
    EXPECT_EQ(switches.mail_always, 1);
    EXPECT_EQ(switches.auto_restore, 0);  // an empty switch line is off
    EXPECT_EQ(settings.save_dir, "/srv/save");
    EXPECT_EQ(settings.cracked_dir, "/srv/cracked");
    EXPECT_TRUE(change.auto_check_on);
}

TEST_F(SettingsTest, AutomaticChecksAreOnAfterALoadOnlyAtOneAfterASaveUnlessZero) {
    auto lines = SettingsLines("/s", "/c");
    for (const char* value : {" 0 ", " 2 ", "1.2", "", "x"}) {
        lines[9] = value;
        WriteSettings(lines);
        change.auto_check_on = true;
        ASSERT_TRUE(Load().ok());
        EXPECT_FALSE(change.auto_check_on) << value;
    }
    for (const char* value : {" 1 ", "1", "1.0"}) {
        lines[9] = value;
        WriteSettings(lines);
        ASSERT_TRUE(Load().ok());
        EXPECT_TRUE(change.auto_check_on) << value;
    }
    // A save keeps the checks running for any state but 0 (a greyed box too).
    for (int state : {1, 2}) {
        settings.auto_check = PrintedState(state);
        change.auto_check_on = false;
        ASSERT_TRUE(Save().ok());
        EXPECT_TRUE(change.auto_check_on) << state;
    }
    settings.auto_check = PrintedState(0);
    ASSERT_TRUE(Save().ok());
    EXPECT_FALSE(change.auto_check_on);
}

TEST_F(SettingsTest, SaveWritesTheRecordAndTheSwitchesLineByLine) {
    WriteSettings(SettingsLines("/s", "/c"));
    ASSERT_TRUE(Load().ok());
    settings.server_name = "name";
    settings.mail_alert = PrintedState(1);
    settings.pop_server = "pop";
    settings.smtp_server = "smtp";
    settings.mail_account = "who";
    settings.mail_password = "pw";
    settings.mail_from = "from";
    settings.mail_to = "to";
    settings.auto_check = PrintedState(2);
    settings.scan_period = "7";
    switches.mail_always = 1;
    switches.auto_restore = 2;
    settings.save_dir = "/save";
    settings.cracked_dir = "/cracked";
    ASSERT_TRUE(Save().ok());
    EXPECT_EQ(
        platform::ReadTextLines(testing::SystemEnv(), context.SettingsPath(), "UTF-8").value(),
        (std::vector<std::string>{"reserved", "name", " 1 ", "pop", "smtp", "who", "pw", "from",
                                  "to", " 2 ", "7", " 1 ", " 2 ", "/save", "/cracked"}));
}

TEST_F(SettingsTest, ReservedLineAndFifteenLinesSurviveCycles) {
    auto lines = SettingsLines("/s", "/c");
    lines[0] = "  keep me exactly  ";
    lines.push_back("sixteenth");
    WriteSettings(lines);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(Load().ok());
        ASSERT_TRUE(Save().ok());
    }
    auto written =
        platform::ReadTextLines(testing::SystemEnv(), context.SettingsPath(), "UTF-8").value();
    ASSERT_EQ(written.size(), 15u);
    EXPECT_EQ(written[0], "  keep me exactly  ");
    EXPECT_EQ(written[2], " 0 ");
    EXPECT_EQ(ReadAll(context.SettingsPath()).substr(0, 21), "  keep me exactly  \r\n");
}

TEST_F(SettingsTest, CancelledEditActsAtOnceButLeavesTheFile) {
    auto lines = SettingsLines("/s", "/c");
    lines[11] = " 1 ";
    WriteSettings(lines);
    ASSERT_TRUE(Load().ok());
    std::string before = ReadAll(context.SettingsPath());
    switches.mail_always = 0;  // cleared in the window, then Cancel: no save
    EXPECT_EQ(ReadAll(context.SettingsPath()), before);
    ASSERT_TRUE(Load().ok());  // the next opening shows the stored value again
    EXPECT_EQ(switches.mail_always, 1);
}

TEST_F(SettingsTest, FoldersAreRerootedAndEmptyOnesKeepTheDefault) {
    ASSERT_EQ(context.root_dir, "/");
    WriteSettings(SettingsLines("/srv/save", ""));
    settings.cracked_dir = "/var/lib/norv/cracked";
    ASSERT_TRUE(Load().ok());
    EXPECT_EQ(settings.save_dir, "/srv/save");
    EXPECT_EQ(settings.cracked_dir, "/var/lib/norv/cracked");
    // The folder a file named is kept in turn when a later file's line is empty.
    WriteSettings(SettingsLines("", ""));
    ASSERT_TRUE(Load().ok());
    EXPECT_EQ(settings.save_dir, "/srv/save");
    EXPECT_EQ(settings.cracked_dir, "/var/lib/norv/cracked");
}

TEST_F(SettingsTest, FolderLinesMustNameAFolderBelowTheRoot) {
    // Each would put the archive or the copies at the top of the file system: the rewrite makes
    // "save" "/ave" and "X" "/"; a Windows path becomes "/:\\work".
    const char* const refused[] = {"save", "X",  "E:\\work\\save", " /srv/save", "日本/save", "/",
                                   "//",   "/.", "/srv/..",        "/srv/../../"};
    for (int number : {14, 15}) {
        for (const char* value : refused) {
            auto lines = SettingsLines("/srv/save", "/srv/cracked");
            lines[static_cast<size_t>(number - 1)] = value;
            WriteSettings(lines);
            settings.save_dir = "untouched";
            settings.cracked_dir = "untouched";
            switches.mail_always = 7;
            Status status = Load();
            ASSERT_FALSE(status.ok()) << number << ": " << value;
            EXPECT_EQ(status.code(), kErrFormat);
            // A line not starting with "/" is no path; one that does is the root.
            const NoticeCode why = value[0] == '/' ? NoticeCode::kFolderLineIsRoot
                                                   : NoticeCode::kFolderLineNotAbsolute;
            EXPECT_EQ(status.what(),
                      Message(why, {context.SettingsPath(), std::to_string(number),
                                    Message(number == 14 ? NoticeCode::kSaveFolder
                                                         : NoticeCode::kCrackedFolder),
                                    std::string(value)}))
                << status.message();
            EXPECT_EQ(settings.save_dir, "untouched");
            EXPECT_EQ(settings.cracked_dir, "untouched");
            EXPECT_EQ(switches.mail_always, 7);
        }
    }
    // A NUL ends the path every system call takes: this one would be the root.
    for (int number : {14, 15}) {
        auto lines = SettingsLines("/srv/save", "/srv/cracked");
        lines[static_cast<size_t>(number - 1)] = std::string("/\0srv/save", 10);
        WriteSettings(lines);
        Status status = Load();
        EXPECT_EQ(status.code(), kErrFormat) << number;
        EXPECT_EQ(
            status.what(),
            Message(NoticeCode::kFolderLineHasNul,
                    {context.SettingsPath(), std::to_string(number),
                     Message(number == 14 ? NoticeCode::kSaveFolder : NoticeCode::kCrackedFolder)}))
            << status.message();
    }
    // Folders one level down, or reached through "." and "..", are fine.
    for (const char* value : {"/save", "/srv/save/", "/srv/./x/../save", "/日本"}) {
        WriteSettings(SettingsLines(value, value));
        ASSERT_TRUE(Load().ok()) << value;
        EXPECT_EQ(settings.save_dir, value);
        EXPECT_EQ(settings.cracked_dir, value);
    }
}

TEST_F(SettingsTest, MissingOrShortFileFailsNamingItAndWritesNothing) {
    Status missing = Load();
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.what(), Message(NoticeCode::kSettingsFileMissing, {context.SettingsPath()}));
    EXPECT_EQ(testing::CountEntries(dir.path()), 0);

    auto lines = SettingsLines("/s", "/c");
    lines.resize(12);
    WriteSettings(lines);
    settings.server_name = "untouched";
    Status short_file = Load();
    ASSERT_FALSE(short_file.ok());
    EXPECT_EQ(short_file.what(),
              Message(NoticeCode::kSettingsFileShort,
                      {context.SettingsPath(), std::string("12"), std::string("13")}));
    EXPECT_EQ(settings.server_name, "untouched");
}

TEST_F(SettingsTest, ASettingsFileThatIsNoRegularFileOrTooLargeFailsNamingIt) {
    ASSERT_EQ(::mkfifo(context.SettingsPath().c_str(), 0600), 0);
    Status pipe = Load();
    ASSERT_FALSE(pipe.ok());
    EXPECT_EQ(pipe.what(), Message(NoticeCode::kSettingsFileUnreadable, {ReadFailure()}));
    EXPECT_NE(pipe.message().find(context.SettingsPath()), std::string::npos) << pipe.message();
    EXPECT_NE(pipe.message().find("kTextKindPipe"), std::string::npos) << pipe.message();

    ASSERT_EQ(::unlink(context.SettingsPath().c_str()), 0);
    auto lines = SettingsLines("/s", "/c");
    lines[0] = std::string(kSettingsFileMaxBytes, 'x');
    WriteSettings(lines);
    Status large = Load();
    ASSERT_FALSE(large.ok());
    EXPECT_TRUE(large.Is(ErrorKind::kLimit));
    EXPECT_EQ(large.what(), Message(NoticeCode::kSettingsFileUnreadable, {ReadFailure()}));
    EXPECT_NE(large.message().find(context.SettingsPath()), std::string::npos) << large.message();
    EXPECT_NE(large.message().find("kTextSizeMiB(1)"), std::string::npos) << large.message();
}

TEST_F(SettingsTest, SavedFileIsOwnerOnlyAndRefusesLineBreaksAndNul) {
    WriteSettings(SettingsLines("/s", "/c"));
    ASSERT_TRUE(Load().ok());
    ASSERT_TRUE(Save().ok());
    struct stat st {};
    ASSERT_EQ(::stat(context.SettingsPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    std::string before = ReadAll(context.SettingsPath());
    settings.server_name = "two\nlines";
    EXPECT_TRUE(Save().what().Has(NoticeCode::kSettingHasLineBreak));
    EXPECT_EQ(ReadAll(context.SettingsPath()), before);
    settings.server_name = "server";
    settings.save_dir = std::string("/\0srv/save", 10);
    EXPECT_EQ(Save().what(),
              Message(NoticeCode::kSettingHasNul, {context.SettingsPath(), std::string("14")}));
    EXPECT_EQ(ReadAll(context.SettingsPath()), before);
}

TEST_F(SettingsTest, ShiftJisFileFromWindowsLoads) {
    auto lines = SettingsLines("/s", "/c");
    lines[1] = "本社サーバ";
    ASSERT_TRUE(
        platform::WriteTextFileAtomic(testing::SystemEnv(), context.SettingsPath(), lines, "cp932")
            .ok());
    ASSERT_TRUE(Load().ok());
    EXPECT_EQ(settings.server_name, "本社サーバ");
}

TEST_F(SettingsTest, OneWindowsLineLeavesTheUtf8FoldersExact) {
    // Line 2 edited on Windows (CP932), the folders written in UTF-8.
    auto lines = SettingsLines("/srv/写真/save", "/srv/写真/cracked");
    std::string bytes;
    for (size_t i = 0; i < lines.size(); ++i) {
        bytes += (i == 1 ? platform::EncodeText("本社サーバ", "cp932").value() : lines[i]) + "\r\n";
    }
    testing::WriteAll(context.SettingsPath(), bytes);
    ASSERT_TRUE(Load().ok());
    EXPECT_EQ(settings.server_name, "本社サーバ");
    EXPECT_EQ(settings.save_dir, "/srv/写真/save");
    EXPECT_EQ(settings.cracked_dir, "/srv/写真/cracked");
}

TEST_F(SettingsTest, Utf16FileLoadsAndIsSavedInTheLocaleSet) {
    // Saved by Notepad as "Unicode": UTF-16 LE with its mark.
    std::u16string text;
    for (const char16_t* line : {u"reserved", u"本社サーバ", u" 1 ", u"", u"", u"", u"", u"", u"",
                                 u" 0 ", u"10", u" 0 ", u" 0 ", u"/srv/save", u"/srv/cracked"}) {
        text += std::u16string(line) + u"\r\n";
    }
    std::string bytes = "\xFF\xFE";
    for (char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    testing::WriteAll(context.SettingsPath(), bytes);
    ASSERT_TRUE(Load().ok());
    EXPECT_EQ(settings.server_name, "本社サーバ");
    EXPECT_EQ(SwitchState(settings.mail_alert), 1);
    EXPECT_EQ(settings.cracked_dir, "/srv/cracked");
    ASSERT_TRUE(Save().ok());
    std::string saved = ReadAll(context.SettingsPath());
    EXPECT_EQ(saved.substr(0, 10), "reserved\r\n");  // UTF-8, no mark
    EXPECT_NE(saved.find("本社サーバ\r\n"), std::string::npos);
}

TEST_F(SettingsTest, OddSwitchValuesShowAsClear) {
    auto lines = SettingsLines("/s", "/c");
    lines[2] = " 7 ";
    lines[12] = "2";
    WriteSettings(lines);
    ASSERT_TRUE(Load().ok());
    EXPECT_EQ(SwitchState(settings.mail_alert), 0);
    EXPECT_EQ(switches.auto_restore, 2);
}

}  // namespace
}  // namespace norv
