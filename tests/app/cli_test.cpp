// The command-line tool in process: usage, exit codes and what goes to each stream.
#include "app/cli/cli.h"

#include <gtest/gtest.h>

#include <sstream>

#include "app/cli/terminal.h"
#include "platform/text/text_file.h"
#include "tests/support/test_support.h"

namespace norv::cli {
namespace {

using norv::testing::TempDir;

struct Streams {
    int exit_code;
    std::string out;
    std::string err;
};

Streams RunTool(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    int code = Run(args, out, err, /*progress=*/false);
    return {code, out.str(), err.str()};
}

class CliRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(platform::WriteTextFileAtomic(
                        testing::SystemEnv(), program / "norvcfg.txt",
                        norv::testing::SettingsLines(program / "save", program / "cracked"),
                        "UTF-8")
                        .ok());
        norv::testing::WriteAll(program / "user_rule.txt",
                                "<rule>" + tree.path() + ",3</rule>\r\n");
    }
    Streams Command(const std::string& verb) {
        return RunTool({"--dir", program.path(), "--locale", "ja_JP", verb});
    }

    TempDir program;
    TempDir tree;
};

TEST(CliUsage, MistakesAreFailuresWithTheUsageOnTheErrorStream) {
    const std::vector<std::vector<std::string>> mistakes = {
        {},                          // no command
        {"scan"},                    // unknown command
        {"--dir"},                   // an option without its value
        {"--verbose", "check"},      // unknown option
        {"check", "init"},           // two commands
        {"check", "--all"},          // accept's option on another command
        {"--dir=", "deploy", "--"},  // a deploy without its command
        {"fleet"},                   // a fleet report not named
        {"fleet", "hosts"},          // one that does not exist
        {"check", "--since", "1h"},  // fleet's option on another command
    };
    for (const auto& args : mistakes) {
        Streams s = RunTool(args);
        EXPECT_EQ(s.exit_code, kExitUsage) << ::testing::PrintToString(args);
        EXPECT_TRUE(s.out.empty());
        EXPECT_NE(s.err.find("使い方: norv-cli"), std::string::npos) << s.err;
    }
    EXPECT_NE(RunTool({"scan"}).err.find("知らないコマンドです: scan"), std::string::npos);
    Streams help = RunTool({"--help"});
    EXPECT_EQ(help.exit_code, kExitUnchanged);
    EXPECT_NE(help.out.find("使い方: norv-cli"), std::string::npos);
    EXPECT_TRUE(help.err.empty());
    Streams version = RunTool({"--version"});
    EXPECT_EQ(version.exit_code, kExitUnchanged);
    EXPECT_EQ(version.out.rfind("norv-cli ", 0), 0u) << version.out;
}

TEST(CliUsage, AProgramFolderWithoutSettingsIsAFailureNamingTheFile) {
    TempDir empty;
    Streams s = RunTool({"--dir=" + empty.path(), "check"});
    EXPECT_EQ(s.exit_code, kExitFailure);
    EXPECT_NE(s.err.find(empty / "norvcfg.txt"), std::string::npos) << s.err;
    EXPECT_TRUE(s.out.empty());
}

TEST_F(CliRunTest, ExitCodesFollowWhatTheRunFound) {
    tree.Write("index.html", "<h1>site</h1>");
    Streams init = Command("init");
    EXPECT_EQ(init.exit_code, kExitUnchanged) << init.err;
    EXPECT_NE(init.out.find("データベースの初期化とスキャン ( 1 )"), std::string::npos) << init.out;

    EXPECT_EQ(Command("check").exit_code, kExitUnchanged);
    tree.Write("index.html", "<h1>defaced</h1>");
    Streams check = Command("check");
    EXPECT_EQ(check.exit_code, kExitChanged);
    EXPECT_NE(check.out.find("変更 1"), std::string::npos) << check.out;
    // update never reports changes, whatever the tree holds.
    EXPECT_EQ(Command("update").exit_code, kExitUnchanged);
}

// An init with no rule says where rules go; one with rules says nothing of it.
TEST_F(CliRunTest, AnInitWithoutRulesSaysHowToAddOne) {
    EXPECT_EQ(Command("init").err.find("監視するフォルダはまだありません"), std::string::npos);
    norv::testing::WriteAll(program / "user_rule.txt", "");
    Streams init = Command("init");
    EXPECT_EQ(init.exit_code, kExitUnchanged) << init.err;
    EXPECT_NE(init.err.find("監視するフォルダはまだありません"), std::string::npos) << init.err;
    EXPECT_NE(init.err.find(program / "user_rule.txt"), std::string::npos) << init.err;
}

TEST_F(CliRunTest, RuleWarningsGoToTheErrorStreamAndTheRunGoesOn) {
    tree.Write("index.html", "x");
    norv::testing::WriteAll(
        program / "user_rule.txt",
        "<rule>" + tree.path() + ",3</rule>\r\n<rule>" + tree.path() + "/missing,3</rule>\r\n");
    Streams init = Command("init");
    EXPECT_EQ(init.exit_code, kExitUnchanged);
    EXPECT_NE(init.err.find("のパスがありません"), std::string::npos) << init.err;
}

TEST(CliUsage, NamesOnTheErrorStreamAreEscapedAsTheLogEscapesThem) {
    TempDir dir;
    const std::string folder = dir.MakeDir("a\nnorv: forged\r\x1B[2J\xFF\u202E");
    Streams s = RunTool({"--dir", folder, "show"});
    EXPECT_EQ(s.exit_code, kExitFailure);
    EXPECT_NE(s.err.find("a\\nnorv: forged\\r\\x1B[2J\\xFF\\u202E/norvcfg.txt"), std::string::npos)
        << s.err;
    EXPECT_EQ(s.err.find_first_of("\r\x1B\xFF"), std::string::npos) << s.err;
    EXPECT_EQ(s.err.find("\u202E"), std::string::npos) << s.err;
    EXPECT_EQ(s.err.find('\n'), s.err.size() - 1) << s.err;  // one line

    // The core's notices, as the terminal shows them.
    std::ostringstream err;
    Terminal terminal(err, /*progress=*/false, testing::SystemEnv());
    terminal.Notify({NoticeKind::kResponseFailure, "/srv/a", Status::Ok(),
                     std::string("移動できません: /srv/a\nnorv: forged\x1B]0;x\a")});
    EXPECT_EQ(err.str(), "norv: 移動できません: /srv/a\\nnorv: forged\\x1B]0;x\\x07\n");
}

TEST_F(CliRunTest, AnUnknownLocaleIsRefused) {
    Streams s = RunTool({"--dir", program.path(), "--locale", "xx_YY", "show"});
    EXPECT_EQ(s.exit_code, kExitFailure);
    EXPECT_NE(s.err.find("xx_YY"), std::string::npos) << s.err;
}

}  // namespace
}  // namespace norv::cli
