#include "engine/scan_engine.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <set>

#include "platform/base/notice_code.h"
#include "platform/digest/md5.h"
#include "tests/engine/engine_fixture.h"
#include "tests/support/fault_env.h"
#include "tests/support/race_env.h"

namespace norv {
namespace {

using testing::EngineTest;

TEST_F(EngineTest, SubfolderFilesComeBeforeTheirParentsFiles) {
    tree.Write("a.txt", "a");
    tree.Write("s/b.txt", "b");
    tree.Write("s/t/c.txt", "c");
    SetRules({{tree.path(), RuleKind::kTree}});
    mode = ScanMode::kCheck;
    ASSERT_TRUE(engine->RunScan().ok());
    auto lines = ChangeLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Created: " + tree.path() + "/s/t/c.txt");
    EXPECT_EQ(lines[1], "Created: " + tree.path() + "/s/b.txt");
    EXPECT_EQ(lines[2], "Created: " + tree.path() + "/a.txt");
}

TEST_F(EngineTest, ACheckWithRestoreOnPutsPagesBackBeforeAnyNewFileIsQuarantined) {
    const std::string page = tree.Write("index.html", "home");
    const std::string gone = tree.Write("gone.html", "bye");
    SetRules({{tree.path(), RuleKind::kTree}});
    mode = ScanMode::kInit;
    ASSERT_TRUE(engine->RunScan().ok());
    // New files in a subfolder, which the walk meets before the folder's own files.
    for (const char* name : {"flood/f1", "flood/f2", "flood/f3"}) tree.Write(name, "x");
    testing::WriteAll(page, "defaced");
    ASSERT_EQ(::unlink(gone.c_str()), 0);
    switches.auto_restore = 1;
    ASSERT_TRUE(engine->Check().ok());
    using Change = std::pair<std::string, std::string>;
    ASSERT_EQ(hooks.changes.size(), 5u);
    EXPECT_EQ(hooks.changes[0], Change("altered", page));
    EXPECT_EQ(hooks.changes[1], Change("deleted", gone));
    for (size_t i = 2; i < hooks.changes.size(); ++i) EXPECT_EQ(hooks.changes[i].first, "created");
    // The log still names each change where the walk met it.
    EXPECT_EQ(ChangeLines().front(), "Created: " + tree.path() + "/flood/f1");
}

// Past the files held for after the walk, a new file is answered at once: a flood of new files
// never keeps the last of them (a webshell) on the site. The response's summary of the run is
// logged at its end.
TEST_F(EngineTest, NewFilesPastTheDeferredBoundAreAnsweredAtOnce) {
    SetRules({{tree.path(), RuleKind::kTree}});
    mode = ScanMode::kInit;
    ASSERT_TRUE(engine->RunScan().ok());
    for (const char* name : {"j1", "j2", "j3", "shell.php"}) tree.Write(name, "x");
    switches.auto_restore = 1;
    engine->SetMostDeferredQuarantines(2);
    hooks.end_of_run = {Message(NoticeCode::kRemovedUncopied, {std::string("2")})};
    ASSERT_TRUE(engine->Check().ok());
    std::set<std::string> answered;
    for (const auto& [kind, path] : hooks.changes) answered.insert(kind + " " + path);
    EXPECT_EQ(answered.size(), 4u);
    EXPECT_EQ(answered.count("created " + tree.path() + "/shell.php"), 1u);
    // The two held back are answered after the walk; the two past the bound at once, before.
    const auto found = ChangeLines();
    ASSERT_EQ(found.size(), 4u);
    ASSERT_EQ(hooks.changes.size(), 4u);
    EXPECT_EQ("Created: " + hooks.changes[0].second, found[2]);
    EXPECT_EQ("Created: " + hooks.changes[1].second, found[3]);
    const auto lines = LogLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Warning: kRemovedUncopied(2)"), lines.end());
}

TEST_F(EngineTest, MissingSingleFileIsReportedTwiceInACheckOnceInAnInit) {
    std::string file = tree.Write("only.txt", "x");
    SetRules({{file, RuleKind::kFile}});
    mode = ScanMode::kInit;
    ASSERT_TRUE(engine->RunScan().ok());
    EXPECT_EQ(Rows().count(file), 1u);
    ::unlink(file.c_str());

    mode = ScanMode::kInit;
    ASSERT_TRUE(engine->RunScan().ok());
    EXPECT_EQ(counters.deleted, 1);
    EXPECT_EQ(mode, ScanMode::kUpdateDb);

    hooks.changes.clear();
    hooks.recorded_files.clear();
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(counters.deleted, 2);
    EXPECT_EQ(hooks.changes.size(), 2u);
    // Both reports tell the restore what the baseline holds.
    for (const RecordedFile& recorded : hooks.recorded_files) {
        EXPECT_EQ(platform::OptionalMd5Text(recorded.md5), platform::Md5Hex("x"));
        EXPECT_TRUE(recorded.extended.has_value());
    }
    // A single-file rule naming a folder counts as missing.
    SetRules({{tree.path(), RuleKind::kFile}});
    ASSERT_TRUE(engine->RunScan().ok());
    EXPECT_GE(counters.deleted, 1);
}

// An init that found a change (a single-file rule's file missing) ends with every record of the
// new baseline at flg 1.
TEST_F(EngineTest, AnInitThatFoundAChangeLeavesEveryRecordSeen) {
    tree.Write("a.txt", "a");
    testing::WriteAll(context.RulesPath(), "<rule>" + tree.path() + ",1</rule>\r\n<rule>" +
                                               tree / "gone.txt" + ",0</rule>\r\n");
    ASSERT_TRUE(engine->Initialise().ok());
    EXPECT_EQ(counters.deleted, 1);
    auto rows = Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows.begin()->second.flg, 1);
}

TEST_F(EngineTest, HostileAndForeignNamesAreMonitoredAndShownSafely) {
    const std::string names[] = {"it's",
                                 "it s",
                                 "a,b",
                                 "日本語.txt",
                                 "bad\xff.txt",
                                 "line\nAltered: forged",
                                 "'; DROP TABLE fileinfo; --",
                                 ".htaccess"};
    for (const auto& n : names) tree.Write(n, n);
    SetRules({{tree.path(), RuleKind::kFolder}});
    mode = ScanMode::kInit;
    ASSERT_TRUE(engine->RunScan().ok());
    EXPECT_EQ(Rows().size(), std::size(names));
    for (const auto& n : names) tree.Write(n, n + "!");
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(counters.altered, static_cast<int>(std::size(names)));
    auto log = testing::ReadAll(context.LogPath());
    EXPECT_EQ(log.find("\nAltered: forged"), std::string::npos);
    EXPECT_NE(log.find("line\\nAltered: forged"), std::string::npos);
    EXPECT_NE(log.find("bad\\xFF.txt"), std::string::npos);
    // The response gets the real path, byte for byte.
    bool found = false;
    for (const auto& [kind, path] : hooks.changes) found |= path == tree.path() + "/bad\xff.txt";
    EXPECT_TRUE(found);
}

TEST_F(EngineTest, SpecialFilesAndLinksAreNeverFollowed) {
    tree.Write("real.txt", "r");
    ASSERT_EQ(::mkfifo((tree / "fifo").c_str(), 0600), 0);
    tree.MakeDir("loop");
    ASSERT_EQ(::symlink("..", (tree / "loop/up").c_str()), 0);  // a link back up the tree
    ASSERT_EQ(::symlink("/etc/hostname", (tree / "secret").c_str()), 0);
    SetRules({{tree.path(), RuleKind::kTree}});
    mode = ScanMode::kInit;
    ASSERT_TRUE(engine->RunScan().ok());
    auto rows = Rows();
    EXPECT_EQ(rows.size(), 3u);  // real.txt and the two links; the FIFO is never read
    EXPECT_EQ(rows.count(tree.path() + "/fifo"), 0u);
    EXPECT_EQ(store->LookupPlace(tree.path() + "/fifo")->value().kind, "fifo");
    EXPECT_EQ(rows.at(tree.path() + "/secret").md5o, platform::Md5Hex("/etc/hostname"));

    // A re-pointed link is an altered file; the FIFO, recorded as one, is no change.
    ::unlink((tree / "secret").c_str());
    ASSERT_EQ(::symlink("/etc/shadow", (tree / "secret").c_str()), 0);
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(counters.altered, 1);
    EXPECT_EQ(counters.created, 0);
    EXPECT_EQ(ChangeLines(), (std::vector<std::string>{"Altered: " + tree.path() + "/secret"}));
}

// A FIFO, socket or device planted in a tree is reported new, whatever its type, and with
// restore on handed to the response as the very entry the walk found; never opened.
TEST_F(EngineTest, NewSpecialEntriesAreReportedAndAnswered) {
    SetRules({{tree.path(), RuleKind::kTree}});
    mode = ScanMode::kInit;
    ASSERT_TRUE(engine->RunScan().ok());
    ASSERT_EQ(::mkfifo((tree / "pipe").c_str(), 0666), 0);
    ASSERT_EQ(::mknod((tree / "sock").c_str(), S_IFSOCK | 0666, 0), 0);
    ASSERT_EQ(::mknod((tree / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    switches.auto_restore = 1;
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(counters.created, 3);
    std::set<std::string> answered;
    for (const auto& [kind, path] : hooks.changes) answered.insert(kind + " " + path);
    for (const char* name : {"pipe", "sock", "null"}) {
        EXPECT_EQ(answered.count("created " + tree.path() + "/" + name), 1u) << name;
    }
    EXPECT_EQ(ChangeLines().size(), 3u);
}

TEST_F(EngineTest, TwoRulesOverOneFile) {
    tree.Write("a", "1");
    SetRules({{tree.path(), RuleKind::kFolder}, {tree.path(), RuleKind::kFolder}});
    mode = ScanMode::kInit;
    ASSERT_TRUE(engine->RunScan().ok());
    EXPECT_EQ(counters.checked, 2);
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(counters.changes(), 0);  // the second pass finds the record of the first
}

// Rules that reach one folder by other paths (links) measure its files once, under the first
// rule's path, and say so once per rule; what an earlier baseline holds under the other paths is
// neither deleted nor counted.
TEST_F(EngineTest, RulesReachingOneFolderThroughLinksMeasureItOnce) {
    tree.Write("site/index.html", "x");
    tree.Write("site/sub/page.html", "y");
    ASSERT_EQ(::symlink((tree / "site").c_str(), (tree / "www").c_str()), 0);
    ASSERT_EQ(::symlink((tree / "site").c_str(), (tree / "alias").c_str()), 0);
    SetRules({{tree / "site", RuleKind::kTree},
              {tree / "www", RuleKind::kTree},
              {tree / "alias/index.html", RuleKind::kFile}});
    mode = ScanMode::kInit;
    ASSERT_TRUE(engine->RunScan().ok());
    EXPECT_EQ(counters.checked, 2);
    std::vector<std::string> warnings;
    for (const auto& line : LogLines()) {
        if (line.rfind("Warning: ", 0) == 0) warnings.push_back(line);
    }
    EXPECT_EQ(warnings, (std::vector<std::string>{
                            "Warning: " + tree / "www/" + ": kFolderMeasuredElsewhere(2, 1, " +
                                tree / "site/" + ")",
                            "Warning: " + tree / "alias/index.html" +
                                ": kFileMeasuredInFolder(3, 1, " + tree / "site/" + ")"}));
    EXPECT_EQ(hooks.messages.size(), 2u);

    ASSERT_TRUE(
        store->InsertBaseline(tree / "www/sub/page.html", 1, "d", platform::Md5Digest("x")).ok());
    ASSERT_TRUE(
        store->InsertBaseline(tree / "alias/index.html", 1, "d", platform::Md5Digest("x")).ok());
    tree.Write("site/index.html", "changed");
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(ChangeLines(), std::vector<std::string>{"Altered: " + tree / "site/index.html"});
    EXPECT_EQ(counters.checked, 2);
    EXPECT_EQ(counters.unchecked, 0);

    // A folder measured without its subfolders: they are walked under the later rule's path.
    SetRules({{tree / "site", RuleKind::kFolder}, {tree / "www", RuleKind::kTree}});
    mode = ScanMode::kInit;
    ASSERT_TRUE(store->DeleteAll().ok());
    ASSERT_TRUE(engine->RunScan().ok());
    EXPECT_EQ(counters.checked, 2);
    EXPECT_EQ(Rows().count(tree / "www/sub/page.html"), 1u);
    ASSERT_TRUE(
        store->InsertBaseline(tree / "www/index.html", 1, "d", platform::Md5Digest("x")).ok());
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(ChangeLines(), std::vector<std::string>{});

    // An init leaves the records under the other path out of the new baseline.
    testing::WriteAll(context.RulesPath(), "<rule>" + tree / "site" + ",3</rule>\r\n<rule>" +
                                               tree / "www" + ",3</rule>\r\n");
    ASSERT_TRUE(engine->Initialise().ok());
    EXPECT_EQ(engine->unseen_places(), 0u);
    EXPECT_EQ(Rows().size(), 2u);

    // A single-file rule first: the folder rule that reaches the file through a link leaves it.
    SetRules({{tree / "alias/index.html", RuleKind::kFile}, {tree / "www", RuleKind::kFolder}});
    mode = ScanMode::kInit;
    ASSERT_TRUE(store->DeleteAll().ok());
    ASSERT_TRUE(engine->RunScan().ok());
    EXPECT_EQ(counters.checked, 1);
    EXPECT_EQ(Rows().count(tree / "www/index.html"), 0u);
}

}  // namespace
}  // namespace norv
