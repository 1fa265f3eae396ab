#include "config/rule_table.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/base/notice_code.h"
#include "platform/text/text_file.h"
#include "tests/support/test_support.h"

namespace norv {
namespace {

using testing::ReadAll;
using testing::RecordingHooks;
using testing::TempDir;

class RuleTableTest : public ::testing::Test {
  protected:
    void WriteRuleFile(std::string_view content) {
        testing::WriteAll(context.RulesPath(), content);
    }
    Status Load() { return LoadRules(context, table, hooks); }
    std::string File() { return ReadAll(context.RulesPath()); }
    // Why the rule file cannot be read, as the reading itself says it.
    Message ReadFailure() {
        return platform::ReadTextLines(*context.env, context.RulesPath(), context.charset,
                                       kRuleFileMaxBytes, platform::FileTrust::kAdministrator)
            .status()
            .what();
    }
    // Line `line` of the rule file skipped for the reason `code` names.
    Message Skipped(NoticeCode code, int line) {
        return Message(code, {context.RulesPath(), std::to_string(line)});
    }
    std::vector<Message> Texts() const {
        std::vector<Message> texts;
        for (const Notice& notice : hooks.notices) texts.push_back(notice.text);
        return texts;
    }

    TempDir dir;
    RunContext context = testing::MakeContext(dir.path());
    RuleTable table;
    RecordingHooks hooks;
};

TEST_F(RuleTableTest, MissingFileIsAnEmptyTableAndEmptyTableSavesZeroBytes) {
    ASSERT_TRUE(Load().ok());
    EXPECT_EQ(table.rule_count(), 0);
    EXPECT_TRUE(hooks.messages.empty());
    ASSERT_TRUE(SaveRules(context, table).ok());
    EXPECT_EQ(File(), "");
    ASSERT_TRUE(Load().ok());
    EXPECT_EQ(table.rule_count(), 0);
}

TEST_F(RuleTableTest, ARuleFileThatCannotBeReadFailsNamingItAndKeepsTheTable) {
    WriteRuleFile("<rule>/srv/www,3</rule>\r\n");
    ASSERT_TRUE(Load().ok());
    ASSERT_EQ(::unlink(context.RulesPath().c_str()), 0);
    ASSERT_EQ(::mkfifo(context.RulesPath().c_str(), 0600), 0);
    Status pipe = Load();
    ASSERT_FALSE(pipe.ok());
    EXPECT_EQ(pipe.what(), Message(NoticeCode::kRuleFileUnreadable, {ReadFailure()}));
    EXPECT_NE(pipe.message().find("kTextKindPipe"), std::string::npos) << pipe.message();
    ASSERT_EQ(table.rule_count(), 1);

    ASSERT_EQ(::unlink(context.RulesPath().c_str()), 0);
    WriteRuleFile("");
    ASSERT_EQ(::truncate(context.RulesPath().c_str(), kRuleFileMaxBytes + 1), 0);
    Status large = Load();
    ASSERT_FALSE(large.ok());
    EXPECT_TRUE(large.Is(ErrorKind::kLimit));
    EXPECT_EQ(large.what(), Message(NoticeCode::kRuleFileUnreadable, {ReadFailure()}));
    EXPECT_NE(large.message().find("kTextSizeMiB(16)"), std::string::npos) << large.message();
    ASSERT_EQ(table.rule_count(), 1);
    EXPECT_EQ(table.rules[0].path, "/srv/www");
}

TEST_F(RuleTableTest, TolerantReading) {
    WriteRuleFile(
        "xx<rule>C:\\a,1</rule>yy\r\n"
        "\r\n"
        "# a comment\r\n"
        "<RULE>/ignored,1</RULE>\r\n"
        "<rule>/srv/www, 03 </rule>\n"
        "<rule>/etc/passwd,0</rule>");
    ASSERT_TRUE(Load().ok());
    ASSERT_EQ(table.rule_count(), 3);
    EXPECT_EQ(table.rules[0].path, "C:\\a");
    EXPECT_EQ(table.rules[0].kind, RuleKind::kFolder);
    EXPECT_EQ(table.rules[1].kind, RuleKind::kTree);
    EXPECT_EQ(table.rules[2].kind, RuleKind::kFile);
    ASSERT_TRUE(SaveRules(context, table).ok());
    EXPECT_EQ(File(),
              "<rule>C:\\a,1</rule>\r\n<rule>/srv/www,3</rule>\r\n<rule>/etc/passwd,0</rule>\r\n");
}

TEST_F(RuleTableTest, UnreadableLinesAreSkippedWithAMessageNamingTheLine) {
    WriteRuleFile(
        "<rule>/ok,1</rule>\r\n"
        "<rule>/no-comma</rule>\r\n"
        "<rule>/no-close,1\r\n"
        "<rule>/big,99999</rule>\r\n"
        "<rule>/word,abc</rule>\r\n"
        "<rule>/neg,-1</rule>\r\n"
        "<rule>,3</rule>\r\n");
    ASSERT_TRUE(Load().ok());
    ASSERT_EQ(table.rule_count(), 2);
    EXPECT_EQ(RuleKindNumber(table.rules[1].kind), -1);
    // An empty path would walk everything from the working folder: refused, line named.
    EXPECT_EQ(Texts(), (std::vector<Message>{Skipped(NoticeCode::kRuleLineUnreadable, 2),
                                             Skipped(NoticeCode::kRuleLineUnreadable, 3),
                                             Skipped(NoticeCode::kRuleKindNotNumber, 4),
                                             Skipped(NoticeCode::kRuleKindNotNumber, 5),
                                             Skipped(NoticeCode::kRulePathEmpty, 7)}));
}

TEST_F(RuleTableTest, APathHoldingANulIsRefusedNotCutShort) {
    using namespace std::string_literals;
    WriteRuleFile("<rule>/srv,1</rule>\r\n<rule>/srv/www\0/x,3</rule>\r\n"s);
    ASSERT_TRUE(Load().ok());
    ASSERT_EQ(table.rule_count(), 1);
    EXPECT_EQ(table.rules[0].path, "/srv");
    EXPECT_EQ(Texts(), std::vector<Message>{Skipped(NoticeCode::kRulePathHasNul, 2)});
}

TEST_F(RuleTableTest, AddDeleteAndRecursion) {
    ASSERT_TRUE(AddRule(context, table, "/a", hooks).ok());
    ASSERT_TRUE(AddRule(context, table, "/b", hooks).ok());
    ASSERT_TRUE(AddRule(context, table, "/b", hooks).ok());  // no duplicate check
    EXPECT_EQ(File(), "<rule>/a,1</rule>\r\n<rule>/b,1</rule>\r\n<rule>/b,1</rule>\r\n");

    ASSERT_TRUE(SetRuleRecursion(context, table, 0, true).ok());
    EXPECT_EQ(File().substr(0, 19), "<rule>/a,3</rule>\r\n");
    EXPECT_EQ(table.rules[0].kind, RuleKind::kTree);
    ASSERT_TRUE(SetRuleRecursion(context, table, 0, false).ok());
    EXPECT_EQ(table.rules[0].kind, RuleKind::kFolder);

    ASSERT_TRUE(DeleteRule(context, table, 0, hooks).ok());  // nothing current
    EXPECT_EQ(table.rule_count(), 3);
    ASSERT_TRUE(DeleteRule(context, table, 2, hooks).ok());
    ASSERT_EQ(table.rule_count(), 2);
    EXPECT_EQ(table.rules[1].path, "/b");
    EXPECT_EQ(File(), "<rule>/a,1</rule>\r\n<rule>/b,1</rule>\r\n");
}

TEST_F(RuleTableTest, CancelledPickerStillRewritesInNormalForm) {
    WriteRuleFile("junk<rule>/x, 3 </rule>junk\n");
    ASSERT_TRUE(Load().ok());
    ASSERT_TRUE(AddRule(context, table, "", hooks).ok());
    EXPECT_EQ(File(), "<rule>/x,3</rule>\r\n");
    EXPECT_EQ(table.rule_count(), 1);
}

TEST_F(RuleTableTest, PathsTheFormatCannotHoldAreRefused) {
    ASSERT_TRUE(AddRule(context, table, "/a,b", hooks).ok());
    EXPECT_EQ(table.rule_count(), 0);
    EXPECT_EQ(Texts(), std::vector<Message>{
                           Message(NoticeCode::kRuleFolderHasComma, {std::string("/a,b")})});
    ASSERT_TRUE(AddRule(context, table, "/a\nb", hooks).ok());
    EXPECT_EQ(table.rule_count(), 0);
}

TEST_F(RuleTableTest, HundredRuleLimitKeepsEveryRuleInTheFile) {
    std::string content;
    for (int i = 1; i <= 101; ++i) content += "<rule>/r" + std::to_string(i) + ",1</rule>\r\n";
    WriteRuleFile(content);
    ASSERT_TRUE(Load().ok());
    EXPECT_EQ(table.rule_count(), 100);
    EXPECT_EQ(Texts(), std::vector<Message>{
                           Message(NoticeCode::kRulesBeyondCapacity,
                                   {context.RulesPath(), std::string("100"), std::string("101")})});
    // A save does not truncate the file.
    ASSERT_TRUE(SetRuleRecursion(context, table, 0, true).ok());
    EXPECT_NE(File().find("<rule>/r101,1</rule>"), std::string::npos);
    // A 101st rule cannot be added.
    hooks.notices.clear();
    ASSERT_TRUE(AddRule(context, table, "/new", hooks).ok());
    EXPECT_EQ(File().find("/new"), std::string::npos);
    // The refusal; nothing was rewritten.
    EXPECT_EQ(Texts(), std::vector<Message>{Message(NoticeCode::kTooManyRules,
                                                    {std::string("100"), std::string("/new")})});
    // Deleting one brings the kept rule into the table.
    ASSERT_TRUE(DeleteRule(context, table, 1, hooks).ok());
    EXPECT_EQ(table.rule_count(), 100);
    EXPECT_EQ(table.rules.back().path, "/r101");
}

}  // namespace
}  // namespace norv
