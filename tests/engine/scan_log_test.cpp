#include "engine/scan_log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/base/notice_code.h"
#include "tests/engine/engine_fixture.h"

namespace norv {
namespace {

TEST(ScanLogText, DisplayPathShowsEveryNameOnOneReadableLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"/srv/日本語/a.txt", "/srv/日本語/a.txt"},
        {"/x/it's, a file", "/x/it's, a file"},
        {"/x/evil\nAltered: /etc/passwd", "/x/evil\\nAltered: /etc/passwd"},
        {"/x/cr\rtab\t", "/x/cr\\rtab\\t"},
        {"/x/bell\x07"
         "del\x7f",
         "/x/bell\\x07del\\x7F"},
        {"/x/bad\xff\xfe", "/x/bad\\xFF\\xFE"},
        {"/x/\xe6\x97", "/x/\\xE6\\x97"},
        {"/x/rtl\u202Etxt.exe", "/x/rtl\\u202Etxt.exe"},
        {"/x/ls\u2028next", "/x/ls\\u2028next"},
        // Invisible characters: two names differing only in them must not look alike.
        {"/x/zero\u200Bwidth", "/x/zero\\u200Bwidth"},
        {"/x/word\u2060joiner\uFEFFbom", "/x/word\\u2060joiner\\uFEFFbom"},
        {"/x/soft\u00ADhyphen\u3164filler", "/x/soft\\u00ADhyphen\\u3164filler"},
        {"/x/non\uFFFEchar\uFDD0", "/x/non\\uFFFEchar\\uFDD0"},
        {"/x/tag\U000E0041", "/x/tag\\U000E0041"},
        // A backslash is escaped itself, so "\n" in a name never reads as a line break.
        {"/x/back\\nslash", "/x/back\\\\nslash"},
        // Visible text stays as it is, the ideographic space included.
        {"/x/全角\u3000空白", "/x/全角\u3000空白"},
    };
    for (const auto& [path, shown] : cases) EXPECT_EQ(DisplayPath(path), shown);
}

// A name inside a cause beneath a warning cannot break the line; a path the engine already
// showed through DisplayPath is not escaped twice.
TEST(ScanLogText, ACauseIsShownAsAPathIsAndTheEnginesOwnArgumentsOnce) {
    const Message cause(NoticeCode::kWithCause,
                        {std::string("/x/evil\nAltered: /etc"), std::string("e")});
    EXPECT_EQ(LogText(Message(NoticeCode::kCannotCheck, {cause})),
              "kCannotCheck(kWithCause(/x/evil\\nAltered: /etc, e))");
    EXPECT_EQ(LogText(Message(NoticeCode::kRulePathMissing,
                              {std::string("1"), DisplayPath("/x/back\\nslash")})),
              "kRulePathMissing(1, /x/back\\\\nslash)");
}

// A hard link at the log's name to another file: the log is refused, truncating or appending,
// and the other file is never written.
TEST(ScanLogFile, AHardLinkAtTheLogsNameIsRefusedAndTheOtherFileNeverWritten) {
    testing::TempDir dir;
    const std::string other = dir.Write("other.txt", "kept as it is");
    ASSERT_EQ(::link(other.c_str(), (dir / "norv.log").c_str()), 0);
    ScanLog log;
    Status opened = log.Open(testing::SystemEnv(), dir / "norv.log", "UTF-8", "srv", "now");
    EXPECT_TRUE(opened.Is(ErrorKind::kRefused)) << opened.message();
    EXPECT_TRUE(opened.what().Has(NoticeCode::kLogFileRefused)) << opened.message();
    EXPECT_NE(opened.message().find("kFileHasOtherNames("), std::string::npos) << opened.message();
    EXPECT_FALSE(log.OpenToAppend(testing::SystemEnv(), dir / "norv.log", "UTF-8", "now").ok());
    EXPECT_EQ(testing::ReadAll(other), "kept as it is");
}

TEST(ScanLogText, CountLinesStandInTheSecondPrintZone) {
    const std::string six(6, ' ');
    EXPECT_EQ(CountLine("検査数：", 120), "検査数：" + six + " 120 ");
    EXPECT_EQ(CountLine("更新\u3000：", 0), "更新\u3000：" + six + " 0 ");
    EXPECT_EQ(CountLine("削除\u3000：", -1), "削除\u3000：" + six + "-1 ");
    EXPECT_EQ(CountLine("abc", 5), "abc" + std::string(11, ' ') + " 5 ");
}

using testing::EngineTest;

TEST_F(EngineTest, LogLayoutIsExactByteForByte) {
    tree.Write("a.txt", "a");
    SetRules({{tree.path(), RuleKind::kTree}, {tree / "missing", RuleKind::kFile}});
    mode = ScanMode::kCheck;
    ASSERT_TRUE(engine->RunScan().ok());
    const std::string sep(60, '-');
    const std::string six(6, ' ');
    std::string expected =
        sep + "\r\n" + "                    NORV スキャン結果\u3000\r\n" + sep + "\r\n" +
        "サーバ名： server1\r\n" + "\u3000\u3000日時： 2004/04/11 9:05:22\r\n" + sep + "\r\n" +
        sep + "\r\n" + "===> ディレクトリ検査 : " + tree.path() + "\r\n\r\n" +
        "Created: " + tree.path() + "/a.txt\r\n" + sep + "\r\n" +
        "===> ディレクトリ検査 : " + tree.path() + "/missing\r\n\r\n" +
        "Warning: kRulePathMissing(2, " + tree.path() + "/missing)\r\n" +
        "Deleted: " + tree.path() + "/missing\r\n" + sep + "\r\n" +
        "\u3000\u3000\u3000\u3000\u3000\u3000\u3000\u3000\u3000\u3000\u3000"
        "サマリー情報\r\n" +
        sep + "\r\n" + "検査数：" + six + " 1 \r\n" + "更新\u3000：" + six + " 0 \r\n" +
        "作成\u3000：" + six + " 1 \r\n" + "削除\u3000：" + six + " 1 \r\n";
    EXPECT_EQ(testing::ReadAll(context.LogPath()), expected);
}

TEST_F(EngineTest, LogInShiftJisAlignsTheCountsInBytes) {
    context.charset = "cp932";
    SetRules({});
    mode = ScanMode::kCheck;
    ASSERT_TRUE(engine->RunScan().ok());
    std::string log = testing::ReadAll(context.LogPath());
    // "検査数：" is 8 bytes; six blanks bring the number to column 15.
    EXPECT_NE(log.find("\x8C\x9F\x8D\xB8\x90\x94\x81\x46      "
                       " 0 \r\n"),
              std::string::npos);
    EXPECT_EQ(platform::ReadTextLines(testing::SystemEnv(), context.LogPath(), "UTF-8").value()[1],
              "                    NORV スキャン結果\u3000");
}

TEST_F(EngineTest, EmptyRuleTableGivesHeaderThenSummaryAndSecondRunReplacesTheFirst) {
    tree.Write("a.txt", "a");
    SetRules({{tree.path(), RuleKind::kFolder}});
    mode = ScanMode::kInit;
    ASSERT_TRUE(engine->RunScan().ok());
    mode = ScanMode::kCheck;
    SetRules({});
    ASSERT_TRUE(engine->RunScan().ok());
    auto lines = LogLines();
    ASSERT_EQ(lines.size(), 6u + 1u + 7u);  // header, the deleted file, summary
    EXPECT_EQ(lines[6], "Deleted: " + tree.path() + "/a.txt");
    EXPECT_EQ(lines[13], "削除\u3000：" + std::string(6, ' ') + " 1 ");
}

}  // namespace
}  // namespace norv
