#include "engine/scan_engine.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <set>

#include "platform/digest/md5.h"
#include "tests/engine/engine_fixture.h"
#include "tests/support/fault_env.h"
#include "tests/support/race_env.h"

namespace norv {
namespace {

using testing::EngineTest;

TEST(MailDecision, FollowsTheTable) {
    struct Case {
        int64_t changes;
        const char* alert;
        int always;
        bool sent;
    };
    const Case cases[] = {
        {3, " 1 ", 0, true}, {3, " 1 ", 1, true},  {3, " 0 ", 1, false}, {3, "2", 1, false},
        {0, " 1 ", 1, true}, {0, " 1 ", 0, false}, {0, " 0 ", 1, false}, {0, "", 1, false},
    };
    for (const Case& c : cases) {
        Settings read;
        read.mail_alert = c.alert;
        SetLineValues(read);
        EXPECT_EQ(ShouldSendReport(c.changes, read.mail_alert_on, c.always), c.sent)
            << c.changes << " '" << c.alert << "' " << c.always;
    }
}

TEST_F(EngineTest, InitRecordsBaselineWithoutReportingChanges) {
    tree.Write("a.txt", "alpha");
    tree.Write("sub/b.txt", "beta");
    testing::WriteAll(context.RulesPath(), "<rule>" + tree.path() + ",3</rule>\r\n");
    ASSERT_TRUE(engine->Initialise().ok());
    EXPECT_EQ(counters.checked, 2);
    EXPECT_EQ(counters.changes(), 0);
    EXPECT_EQ(mode, ScanMode::kInit);
    EXPECT_TRUE(hooks.changes.empty());
    EXPECT_TRUE(ChangeLines().empty());
    auto rows = Rows();
    ASSERT_EQ(rows.size(), 2u);
    const auto& a = rows.at(tree.path() + "/a.txt");
    EXPECT_EQ(a.md5o, platform::Md5Hex("alpha"));
    EXPECT_EQ(a.md5c, a.md5o);
    EXPECT_EQ(a.flg, 0);
    EXPECT_EQ(hooks.message_line, "データベースの初期化とスキャン ( 2 ) ");
    EXPECT_FALSE(hooks.counts_shown);
    EXPECT_EQ(hooks.mails, 0);
}

TEST_F(EngineTest, CheckFindsCreatedAlteredAndDeletedAcrossRuns) {
    tree.Write("keep.txt", "same");
    tree.Write("change.txt", "before");
    tree.Write("gone.txt", "bye");
    SetRules({{tree.path(), RuleKind::kTree}});
    mode = ScanMode::kInit;
    ASSERT_TRUE(engine->RunScan().ok());

    tree.Write("change.txt", "after");
    tree.Write("new.txt", "hello");
    ::unlink((tree / "gone.txt").c_str());
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(counters.checked, 3);
    EXPECT_EQ(counters.altered, 1);
    EXPECT_EQ(counters.created, 1);
    EXPECT_EQ(counters.deleted, 1);
    EXPECT_EQ(mode, ScanMode::kUpdateDb);  // the run changed something
    EXPECT_TRUE(hooks.counts_shown);
    EXPECT_EQ(hooks.shown_counts.altered, 1);
    EXPECT_EQ(hooks.scan_date, "2004/04/11 9:05:22");
    EXPECT_EQ(hooks.message_line, "スキャンされたファイル数 ( 3 )  ");
    auto lines = ChangeLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines.back(), "Deleted: " + tree.path() + "/gone.txt");  // after all rules
    std::multiset<std::string> seen(lines.begin(), lines.end() - 1);
    EXPECT_EQ(seen, (std::multiset<std::string>{"Altered: " + tree.path() + "/change.txt",
                                                "Created: " + tree.path() + "/new.txt"}));
    ASSERT_EQ(hooks.changes.size(), 3u);
    EXPECT_EQ(hooks.changes.back(),
              std::make_pair(std::string("deleted"), tree.path() + "/gone.txt"));

    // Every record ends at 1 after a run with changes; the new file has md5c " " until seen again.
    auto rows = Rows();
    for (const auto& [name, row] : rows) EXPECT_EQ(row.flg, 1) << name;
    EXPECT_EQ(rows.at(tree.path() + "/new.txt").md5c, " ");
    EXPECT_EQ(rows.at(tree.path() + "/change.txt").md5o, platform::Md5Hex("before"));

    // Every change is reported again, the new file too: it is not in the baseline until an
    // init takes it in.
    hooks.changes.clear();
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(counters.created, 1);
    EXPECT_EQ(counters.altered, 1);
    EXPECT_EQ(counters.deleted, 1);
    EXPECT_EQ(Rows().at(tree.path() + "/new.txt").md5c, " ");

    // Once the new file is gone, it is forgotten: no deletion to report, nothing to restore.
    ::unlink((tree / "new.txt").c_str());
    hooks.changes.clear();
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(counters.created, 0);
    EXPECT_EQ(counters.deleted, 1);
    EXPECT_EQ(Rows().count(tree.path() + "/new.txt"), 0u);
    for (const auto& change : hooks.changes)
        EXPECT_EQ(change.second.find("new.txt"), std::string::npos);

    // An init takes the tree as it is now: nothing is reported afterwards.
    mode = ScanMode::kInit;
    ASSERT_TRUE(engine->Initialise().ok());
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(counters.changes(), 0);
}

TEST_F(EngineTest, UnchangedTreeLeavesEveryRecordSeenAndEqual) {
    tree.Write("a", "1");
    tree.Write("d/b", "2");
    SetRules({{tree.path(), RuleKind::kTree}});
    mode = ScanMode::kInit;
    ASSERT_TRUE(engine->RunScan().ok());
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(counters.checked, 2);
    EXPECT_EQ(counters.changes(), 0);
    EXPECT_EQ(mode, ScanMode::kCheck);
    for (const auto& [name, row] : Rows()) {
        EXPECT_EQ(row.flg, 1) << name;
        EXPECT_EQ(row.md5c, row.md5o);
    }
}

TEST_F(EngineTest, EmptyRuleTableReportsEveryRecordDeleted) {
    tree.Write("a", "1");
    tree.Write("b", "2");
    SetRules({{tree.path(), RuleKind::kFolder}});
    mode = ScanMode::kInit;
    ASSERT_TRUE(engine->RunScan().ok());
    SetRules({});
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(counters.checked, 0);
    EXPECT_EQ(counters.deleted, 2);
    EXPECT_EQ(mode, ScanMode::kUpdateDb);
}

// The baseline follows the rules an init was given: a rule removed since leaves it (said once),
// and a rule added since has nothing to compare with, so a check moves nothing from it and says
// once to run an init, which takes it in.
TEST_F(EngineTest, TheBaselineFollowsTheRulesOfItsInit) {
    const std::string kept = tree.Write("kept/a", "a");
    const std::string below = tree.Write("kept/sub/d", "d");
    const std::string removed = tree.Write("removed/b", "b");
    const std::string added = tree.Write("added/c", "c");
    auto rule_file = [&](std::vector<std::string> lines) {
        std::string text;
        for (const auto& line : lines) text += "<rule>" + tree.path() + "/" + line + "</rule>\r\n";
        testing::WriteAll(context.RulesPath(), text);
    };
    rule_file({"kept,3", "removed,3"});
    ASSERT_TRUE(engine->Initialise().ok());
    // Narrowed and removed while the kept folder cannot be read: only what a current rule covers
    // keeps its baseline there.
    rule_file({"kept,1"});
    testing::FaultEnv unreadable;
    unreadable.Fail(testing::Call::kOpenAt, EACCES, 0, "kept");
    context.env = &unreadable;
    ASSERT_TRUE(engine->Initialise().ok());
    context.env = &testing::SystemEnv();
    EXPECT_EQ(engine->unseen_places(), 1u);
    EXPECT_EQ(Rows().count(kept), 1u);
    EXPECT_EQ(Rows().count(below), 0u);
    EXPECT_EQ(Rows().count(removed), 0u);
    EXPECT_EQ(LinesWith("Notice: どのルールにも含まれなくなった 2 個"), 1u);

    rule_file({"kept,1", "added,3"});
    ASSERT_TRUE(ReloadSettingsAndRules().ok());
    switches.auto_restore = 1;
    testing::WriteAll(kept, "defaced");
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(hooks.changes, (std::vector<std::pair<std::string, std::string>>{{"altered", kept}}));
    EXPECT_EQ(engine->unseen_places(), 1u);
    EXPECT_EQ(LinesWith("added/: 検査できません: このルールはまだ記録にありません。norv-cli init"),
              1u);
    // An init that could not see the new rule's folder does not take the rule in.
    testing::FaultEnv hidden;
    hidden.Fail(testing::Call::kOpenAt, EACCES, 0, "added");
    context.env = &hidden;
    ASSERT_TRUE(engine->Initialise().ok());
    context.env = &testing::SystemEnv();
    hooks.changes.clear();
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_TRUE(hooks.changes.empty());
    EXPECT_EQ(LinesWith("added/: 検査できません: このルールはまだ記録にありません"), 1u);
    ASSERT_TRUE(engine->Initialise().ok());
    EXPECT_EQ(Rows().count(added), 1u);
}

TEST_F(EngineTest, RuleKindsDecideWhatIsWalked) {
    tree.Write("top.txt", "t");
    tree.Write("s/b.txt", "b");
    tree.Write("s/deeper/c.txt", "c");
    SetRules({{tree.path() + "/", RuleKind::kFolder}, {tree.path(), static_cast<RuleKind>(-1)}});
    mode = ScanMode::kInit;
    ASSERT_TRUE(engine->RunScan().ok());
    EXPECT_EQ(counters.checked, 1);
    // A trailing separator and none give the same stored paths.
    EXPECT_EQ(Rows().count(tree.path() + "/top.txt"), 1u);
    auto lines = LogLines();
    EXPECT_EQ(lines[10], "===> ディレクトリ検査 : " + tree.path());  // negative: header only
    EXPECT_EQ(lines[11], "");
    EXPECT_EQ(lines[12],
              "Warning: ルール 2 (" + tree.path() +
                  ") の種別 -1 は 0 (ファイル)、1 (フォルダ)、3 (フォルダとサブフォルダ) "
                  "のどれでもありません");
    EXPECT_EQ(lines[13], std::string(60, '-'));
    EXPECT_EQ(hooks.messages.size(), 1u);  // shown too, once

    SetRules({{tree.path(), RuleKind::kTree}});
    ASSERT_TRUE(engine->RunScan().ok());
    EXPECT_EQ(counters.checked, 3);
}

TEST_F(EngineTest, RuleMistakesAreWarnedOnceEachAndNeverEndTheRun) {
    tree.Write("site/index.html", "x");
    tree.Write("site/sub/page.html", "y");
    tree.Write("single.txt", "z");
    SetRules({{tree / "site", RuleKind::kTree},
              {tree / "site/sub", RuleKind::kFolder},       // inside the tree rule
              {tree / "single.txt", RuleKind::kTree},       // a file given a folder kind
              {tree / "site", RuleKind::kFile},             // a folder given the file kind
              {tree / "no-such-folder", RuleKind::kTree},   // not there
              {tree / "site", static_cast<RuleKind>(2)}});  // no such kind
    mode = ScanMode::kInit;
    ASSERT_TRUE(engine->RunScan().ok());
    std::vector<std::string> warnings;
    for (const auto& line : LogLines()) {
        if (line.rfind("Warning: ", 0) == 0) warnings.push_back(line.substr(9));
    }
    ASSERT_EQ(warnings.size(), 8u) << ::testing::PrintToString(warnings);
    EXPECT_EQ(hooks.messages, warnings);
    auto has = [&](const std::string& start, const std::string& end) {
        for (const auto& w : warnings) {
            if (w.rfind(start, 0) == 0 && w.ends_with(end)) return true;
        }
        return false;
    };
    const std::string twice = "と同じファイルを検査します。変更は二度数えられます";
    EXPECT_TRUE(has("ルール 2 (" + tree / "site/sub" + ") はルール 1 (", twice));
    EXPECT_TRUE(has("ルール 3 (" + tree / "single.txt" + ") はフォルダではありませんが", ""));
    EXPECT_TRUE(has("ルール 4 (" + tree / "site" + ") はフォルダですが、種別が 0", ""));
    EXPECT_TRUE(has("ルール 4 (" + tree / "site" + ") はルール 1 (", twice));
    EXPECT_TRUE(has("ルール 5 (" + tree / "no-such-folder" + ") のパスがありません", ""));
    EXPECT_TRUE(has("ルール 6 (" + tree / "site" + ") の種別 2 は", ""));
    EXPECT_TRUE(has("ルール 6 (" + tree / "site" + ") はルール 1 (", twice));
    EXPECT_TRUE(has("ルール 6 (" + tree / "site" + ") はルール 4 (", twice));
    // The run went on: every file of the good rules is in the new baseline.
    EXPECT_EQ(Rows().count(tree / "site/sub/page.html"), 1u);
}

// A notice carries its kind, the path it concerns and the Status behind it; the sink takes it
// and the run goes on past it.
TEST_F(EngineTest, NoticesReachTheSinkWithKindPathAndStatus) {
    tree.Write("kept/a.txt", "a");
    tree.Write("open/inner/b.txt", "b");
    ASSERT_EQ(::chmod((tree / "open").c_str(), 0777), 0);  // anyone could swap "inner"
    SetRules({{tree / "no-such-folder", RuleKind::kTree},
              {tree / "open/inner", RuleKind::kTree},
              {tree / "kept", RuleKind::kTree}});
    mode = ScanMode::kInit;
    ASSERT_TRUE(engine->RunScan().ok());
    ASSERT_EQ(hooks.notices.size(), 2u) << ::testing::PrintToString(hooks.messages);
    auto of_kind = [&](NoticeKind kind) {
        auto found = std::find_if(hooks.notices.begin(), hooks.notices.end(),
                                  [&](const Notice& n) { return n.kind == kind; });
        return found == hooks.notices.end() ? Notice{} : *found;
    };
    const Notice missing = of_kind(NoticeKind::kRuleWarning);
    EXPECT_EQ(missing.path, tree / "no-such-folder");
    EXPECT_TRUE(missing.status.Is(ErrorKind::kFormat));
    EXPECT_TRUE(missing.text.ends_with("のパスがありません")) << missing.text;
    const Notice refused = of_kind(NoticeKind::kRefusedPath);
    EXPECT_EQ(refused.path, tree / "open/inner");
    EXPECT_TRUE(refused.status.Is(ErrorKind::kRefused)) << refused.status.ToString();
    EXPECT_EQ(refused.text, refused.status.message());
    EXPECT_EQ(Rows().count(tree / "kept/a.txt"), 1u);
    EXPECT_EQ(Rows().count(tree / "open/inner/b.txt"), 0u);
}

TEST_F(EngineTest, ArchiveBuildingAndRunsExcludeEachOther) {
    tree.Write("a", "1");
    SetRules({{tree.path(), RuleKind::kFolder}});
    Status during_run;
    hooks.on_yield = [&] { during_run = engine->RunExclusive([] { return Status::Ok(); }); };
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_TRUE(during_run.Is(ErrorKind::kBusy));
    hooks.on_yield = nullptr;
    Status run_during_archive;
    ASSERT_TRUE(engine
                    ->RunExclusive([&] {
                        run_during_archive = engine->Check();
                        return Status::Ok();
                    })
                    .ok());
    EXPECT_TRUE(run_during_archive.Is(ErrorKind::kBusy));
}

// A cracked folder inside a watched tree, as the response fills it while the walk goes on: a
// copy that lands there the moment the walk would list it is never taken for a new file.
TEST_F(EngineTest, TheCrackedFolderInsideAWatchedTreeIsNeverWalked) {
    settings.cracked_dir = tree / "cracked";
    switches.auto_restore = 1;
    tree.Write("www/index.html", "<h1>good</h1>");
    SetRules({{tree.path(), RuleKind::kTree}});
    testing::RaceEnv race;
    race.Before(testing::Call::kFdOpenDir, "*/cracked",
                [&] { tree.Write("cracked/2004-04-119-05-22shell.php", "evidence"); });
    context.env = &race;
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(ChangeLines(), std::vector<std::string>{"Created: " + tree / "www/index.html"});
    const auto lines = LogLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Skipped: " + tree / "cracked"), lines.end());
}

// A folder another user made at the cracked folder's path hides nothing: it is walked like any
// other, and what was planted there is found.
TEST_F(EngineTest, ACrackedFolderAnotherUserMadeIsWalkedLikeAnyOther) {
    if (::geteuid() != 0) GTEST_SKIP() << "owners are set as root";
    settings.cracked_dir = tree / "cracked";
    const std::string planted = tree.Write("cracked/shell.php", "<?php evil();");
    ASSERT_EQ(::chown((tree / "cracked").c_str(), 65534, 65534), 0);
    SetRules({{tree.path(), RuleKind::kTree}});
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(ChangeLines(), std::vector<std::string>{"Created: " + planted});
}

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
    hooks.end_of_run = {"2 個のファイルをコピーせずに削除しました"};
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
    EXPECT_NE(
        std::find(lines.begin(), lines.end(), "Warning: 2 個のファイルをコピーせずに削除しました"),
        lines.end());
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
        EXPECT_EQ(recorded.md5, platform::Md5Hex("x"));
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
    EXPECT_EQ(rows.size(), 3u);  // real.txt and the two links; never the FIFO
    EXPECT_EQ(rows.count(tree.path() + "/fifo"), 0u);
    EXPECT_EQ(rows.at(tree.path() + "/secret").md5o, platform::Md5Hex("/etc/hostname"));

    // A re-pointed link is an altered file; the FIFO, never recorded, is new at every check.
    ::unlink((tree / "secret").c_str());
    ASSERT_EQ(::symlink("/etc/shadow", (tree / "secret").c_str()), 0);
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(counters.altered, 1);
    EXPECT_EQ(counters.created, 1);
    auto changes = ChangeLines();
    std::sort(changes.begin(), changes.end());
    EXPECT_EQ(changes, (std::vector<std::string>{"Altered: " + tree.path() + "/secret",
                                                 "Created: " + tree.path() + "/fifo"}));
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
    const std::string once = " (リンクなどで同じフォルダに届きます)。ファイルは一度だけ、" +
                             tree / "site/" + " の下で検査します";
    EXPECT_EQ(
        warnings,
        (std::vector<std::string>{
            "Warning: " + tree / "www/" + ": ルール 2 のこのフォルダは、ルール 1 が " +
                tree / "site/" + " として検査したフォルダと同じです" + once,
            "Warning: " + tree / "alias/index.html" + ": ルール 3 のこのファイルは、ルール 1 が " +
                tree / "site/" + " として検査したフォルダにあります" + once}));
    EXPECT_EQ(hooks.messages.size(), 2u);

    ASSERT_TRUE(store->InsertBaseline(tree / "www/sub/page.html", 1, "d", "x").ok());
    ASSERT_TRUE(store->InsertBaseline(tree / "alias/index.html", 1, "d", "x").ok());
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
    ASSERT_TRUE(store->InsertBaseline(tree / "www/index.html", 1, "d", "x").ok());
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

TEST_F(EngineTest, UpdateChangesNoBaseline) {
    tree.Write("a", "1");
    SetRules({{tree.path(), RuleKind::kFolder}});
    mode = ScanMode::kInit;
    ASSERT_TRUE(engine->RunScan().ok());
    tree.Write("a", "2");
    ASSERT_TRUE(engine->Check().ok());
    ASSERT_TRUE(engine->MarkAllSeen().ok());
    EXPECT_EQ(hooks.message_line, "データベース更新");
    EXPECT_EQ(mode, ScanMode::kUpdateDb);
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(counters.altered, 1);
}

TEST_F(EngineTest, MailFollowsTheLiveCheckBox) {
    tree.Write("a", "1");
    SetRules({{tree.path(), RuleKind::kFolder}});
    mode = ScanMode::kInit;
    ASSERT_TRUE(engine->RunScan().ok());
    settings.mail_alert = " 1 ";
    SetLineValues(settings);
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(hooks.mails, 0);  // no change, box clear
    switches.mail_always = 1;
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(hooks.mails, 1);
    switches.mail_always = 0;
    tree.Write("b", "new");
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(hooks.mails, 2);  // a change: the alert switch alone decides
    ASSERT_TRUE(engine->Initialise().ok());
    ASSERT_TRUE(engine->MarkAllSeen().ok());
    EXPECT_EQ(hooks.mails, 2);
}

TEST_F(EngineTest, ACommandDuringARunIsRefusedNotNested) {
    tree.Write("a", "1");
    tree.Write("b", "2");
    SetRules({{tree.path(), RuleKind::kFolder}});
    std::vector<int> refusals;
    hooks.on_yield = [&] {
        refusals.push_back(engine->Check().code());
        refusals.push_back(engine->Initialise().code());
        refusals.push_back(engine->MarkAllSeen().code());
    };
    ASSERT_TRUE(engine->Check().ok());
    // At least one yield per file; a slow fingerprint may add yields while the run waits.
    ASSERT_GE(refusals.size(), 6u);
    for (int code : refusals) EXPECT_EQ(code, kErrBusy);
    EXPECT_EQ(counters.checked, 2);
    EXPECT_FALSE(engine->running());
}

TEST_F(EngineTest, FailureEndsTheRunButKeepsWhatWasDone) {
    tree.Write("a", "1");
    SetRules({{tree.path(), RuleKind::kFolder}});
    mode = ScanMode::kInit;
    ASSERT_TRUE(engine->RunScan().ok());
    // The log cannot be created: the run fails before its first statement.
    ::unlink(context.LogPath().c_str());
    ASSERT_EQ(::mkdir(context.LogPath().c_str(), 0700), 0);
    Status status = engine->Check();
    ASSERT_FALSE(status.ok());
    EXPECT_NE(status.message().find("norv.log"), std::string::npos);
    EXPECT_FALSE(hooks.counts_shown);
    EXPECT_EQ(Rows().begin()->second.flg, 0);  // untouched
    EXPECT_FALSE(engine->running());
}

TEST_F(EngineTest, AFailedResponseIsWrittenBelowItsChangeInTheLog) {
    const std::string page = tree.Write("index.html", "home");
    SetRules({{tree.path(), RuleKind::kFolder}});
    mode = ScanMode::kInit;
    ASSERT_TRUE(engine->RunScan().ok());
    testing::WriteAll(page, "defaced");
    hooks.on_response = [&](const std::string&) {
        ResponseOutcome failed;
        failed.failures = {page + " を移せません:\nディスクがいっぱいです"};
        return failed;
    };
    ASSERT_TRUE(engine->Check().ok());
    const auto lines = LogLines();
    const auto altered = std::find(lines.begin(), lines.end(), "Altered: " + page);
    ASSERT_NE(altered, lines.end());
    ASSERT_NE(altered + 1, lines.end());
    EXPECT_EQ(*(altered + 1), "Warning: " + page + " を移せません: ディスクがいっぱいです");
}

TEST_F(EngineTest, TheWatchTakesForItsOwnWorkOnlyWhatItsResponseWrote) {
    const std::string page = tree.Write("index.html", "home");
    SetRules({{tree.path(), RuleKind::kFolder}});
    mode = ScanMode::kInit;
    ASSERT_TRUE(engine->RunScan().ok());
    auto folder = platform::OpenDirectory(testing::SystemEnv(), tree.path());
    ASSERT_TRUE(folder.ok());
    const WatchedFile file{std::move(folder).value(), "index.html", page};
    // The response restores the page, and the attacker writes it again before the watch looks.
    hooks.on_response = [&](const std::string& path) {
        testing::WriteAll(path, "defaced again");
        return ResponseOutcome{ResponseOutcome::Left::kRestored, platform::Md5Hex("home"), {}, {}};
    };
    testing::WriteAll(page, "defaced");
    engine->BeginWatchBurst();
    ASSERT_TRUE(engine->CheckWatchedFiles({file}).ok());
    hooks.on_response = nullptr;
    ASSERT_TRUE(engine->CheckWatchedFiles({file}).ok());
    EXPECT_EQ(counters.altered, 2) << "the attacker's write was taken for norv's own restore";
    // What the restore wrote (an archive older than the baseline), seen again, is norv's own
    // work.
    testing::WriteAll(page, "defaced");
    hooks.on_response = [&](const std::string& path) {
        testing::WriteAll(path, "older");
        return ResponseOutcome{ResponseOutcome::Left::kRestored, platform::Md5Hex("older"), {}, {}};
    };
    ASSERT_TRUE(engine->CheckWatchedFiles({file}).ok());
    ASSERT_TRUE(engine->CheckWatchedFiles({file}).ok());
    EXPECT_EQ(counters.altered, 3);
    // Nor is a mode given right after the restore: the attributes it set are part of its work.
    testing::WriteAll(page, "defaced");
    hooks.on_response = [&](const std::string& path) {
        testing::WriteAll(path, "home");
        auto here = platform::OpenDirectory(testing::SystemEnv(), tree.path());
        platform::ExtendedFacts set = platform::FingerprintAt(**here, "index.html").Extended();
        set.sha256.clear();
        ::chmod(path.c_str(), 04777);
        return ResponseOutcome{ResponseOutcome::Left::kRestored, platform::Md5Hex("home"), {}, set};
    };
    ASSERT_TRUE(engine->CheckWatchedFiles({file}).ok());
    hooks.on_response = nullptr;
    ASSERT_TRUE(engine->CheckWatchedFiles({file}).ok());
    EXPECT_EQ(counters.altered, 5) << "a chmod was taken for norv's own restore";
}

TEST_F(EngineTest, AnUnreadableFileIsUnseenNeverAltered) {
    tree.Write("a", "1");
    SetRules({{tree.path(), RuleKind::kFolder}});
    mode = ScanMode::kInit;
    ASSERT_TRUE(engine->RunScan().ok());
    // Refused the way a file without read permission is, which root would read anyway.
    testing::FaultEnv unreadable;
    unreadable.Fail(testing::Call::kOpenAt, EACCES, 0, "a");
    context.env = &unreadable;
    ASSERT_TRUE(engine->Check().ok());
    context.env = &testing::SystemEnv();
    EXPECT_GT(unreadable.MatchedCalls(testing::Call::kOpenAt), 0);
    EXPECT_EQ(counters.altered, 0);
    EXPECT_EQ(engine->unseen_places(), 1u);
}

// A rule reached through a link another user owns is not walked: a warning in the log that the
// mail carries, the files there counted as not checked, none deleted and nothing restored.
TEST_F(EngineTest, ARuleLinkAnotherUserOwnsIsAWarningNeverADeletion) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root can give a link to another user";
    tree.Write("site/index.html", "x");
    tree.Write("site/sub/page.html", "y");
    const std::string link = tree / "www";
    ASSERT_EQ(::symlink((tree / "site").c_str(), link.c_str()), 0);
    testing::WriteAll(context.RulesPath(), "<rule>" + link + ",3</rule>\r\n");
    ASSERT_TRUE(engine->Initialise().ok());
    ASSERT_EQ(counters.checked, 2);
    ASSERT_EQ(::lchown(link.c_str(), 65534, 65534), 0);
    settings.mail_alert = " 1 ";
    SetLineValues(settings);
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(ChangeLines(), std::vector<std::string>{});
    EXPECT_TRUE(hooks.changes.empty());
    EXPECT_EQ(counters.unchecked, 2);
    EXPECT_EQ(hooks.mails, 1);
    const std::string log = testing::ReadAll(context.LogPath());
    EXPECT_NE(log.find("Warning: " + link + "/: 検査できません"), std::string::npos) << log;
    EXPECT_NE(log.find(CountLine("未検査：", 2) + "\r\n"), std::string::npos) << log;
    // An init keeps their baseline, and counts them too.
    ASSERT_TRUE(engine->Initialise().ok());
    EXPECT_EQ(counters.unchecked, 2);
    EXPECT_EQ(Rows().size(), 2u);
}

}  // namespace
}  // namespace norv

namespace norv {
namespace {

struct RunRecord {
    std::string log;
    std::vector<std::string> rows;
    std::vector<std::pair<std::string, std::string>> changes;
    int32_t checked, created, altered, deleted;
    bool operator==(const RunRecord&) const = default;
};

class ParallelTest : public testing::EngineTest {
  protected:
    RunRecord Capture() {
        RunRecord r{testing::ReadAll(context.LogPath()),
                    {},
                    hooks.changes,
                    counters.checked,
                    counters.created,
                    counters.altered,
                    counters.deleted};
        auto stmt = context.db_conn->Prepare("SELECT * FROM fileinfo ORDER BY rowid").value();
        while (stmt->Step().value()) {
            std::string row;
            for (int c = 0; c < 6; ++c) row += stmt->ColumnText(c) + "|";
            r.rows.push_back(row);
        }
        return r;
    }
    RunRecord Init(int workers) {
        engine->SetDigestWorkers(workers);
        hooks.changes.clear();
        mode = ScanMode::kInit;
        EXPECT_TRUE(store->DeleteAll().ok());
        EXPECT_TRUE(engine->RunScan().ok());
        return Capture();
    }
    void SaveBaseline() {
        ASSERT_TRUE(store->Commit().ok());
        ASSERT_TRUE(context.db_conn->Exec("CREATE TABLE saved AS SELECT * FROM fileinfo").ok());
    }
    RunRecord Check(int workers) {
        // Every check starts from the same saved baseline.
        EXPECT_TRUE(store->Commit().ok());
        EXPECT_TRUE(context.db_conn->Exec("DELETE FROM fileinfo").ok());
        EXPECT_TRUE(
            context.db_conn->Exec("INSERT INTO fileinfo SELECT * FROM saved ORDER BY rowid").ok());
        engine->SetDigestWorkers(workers);
        hooks.changes.clear();
        EXPECT_TRUE(engine->Check().ok());
        return Capture();
    }
};

TEST_F(ParallelTest, FingerprintingAheadGivesTheSameRunAsOneFileAtATime) {
    for (int d = 0; d < 30; ++d) {
        for (int f = 0; f < 40; ++f) {
            tree.Write(
                "d" + std::to_string(d % 7) + "/s" + std::to_string(d) + "/f" + std::to_string(f),
                std::string(static_cast<size_t>(f * 37), static_cast<char>('a' + d % 26)));
        }
    }
    // The hand-off's batch edges: a folder several batches wide, many folders of one file,
    // and a skipped folder between them.
    for (int f = 0; f < 300; ++f) tree.Write("wide/w" + std::to_string(f), std::to_string(f));
    for (int d = 0; d < 100; ++d) tree.Write("narrow/n" + std::to_string(d) + "/only", "n");
    tree.Write("narrow/n50/cracked/kept", "never read");
    settings.cracked_dir = tree / "narrow/n50/cracked";
    tree.Write("big.bin", std::string(5 << 20, 'z'));
    tree.Write("mid.bin", std::string(3 * 65536 + 77, 'm'));
    ::mkfifo((tree / "d1/fifo").c_str(), 0600);
    ::symlink("..", (tree / "d2/up").c_str());
    std::string single = tree.Write("single.txt", "one");
    SetRules({{tree.path(), RuleKind::kTree},
              {single, RuleKind::kFile},
              {tree / "d3", RuleKind::kFolder},
              {tree / "missing", RuleKind::kTree}});
    // Each MD5 kernel the processor has, hashing several files at once on each worker, with the
    // files opened and read one by one and in io_uring batches.
    std::vector<const char*> kernels;
    for (platform::DigestKernel kernel :
         {platform::DigestKernel::kAvx512, platform::DigestKernel::kAvx2,
          platform::DigestKernel::kPortable}) {
        if (testing::KernelRunsOrSaySkipped(kernel)) {
            kernels.push_back(platform::DigestKernelName(kernel));
        }
    }
    auto each_kernel = [&](const std::function<void()>& run) {
        for (const char* io : {"plain", "uring"}) {
            context.reading.io = platform::ParseIoPath(io);
            for (const char* kernel : kernels) {
                SCOPED_TRACE(std::string(kernel) + " " + io);
                context.reading.digest_kernel = kernel;
                run();
            }
        }
        context.reading = {};
    };
    RunRecord serial_init = Init(0);
    EXPECT_NE(serial_init.log.find("Skipped: " + settings.cracked_dir), std::string::npos);
    each_kernel([&] { EXPECT_EQ(serial_init, Init(2)); });
    SaveBaseline();

    tree.Write("d1/s1/f3", "changed");
    tree.Write("d4/new", "new");
    ::unlink((tree / "d5/s5/f7").c_str());
    ::unlink(single.c_str());
    RunRecord serial = Check(0);
    EXPECT_EQ(serial.altered, 1);
    EXPECT_EQ(serial.created, 2);  // d4/new, and the FIFO (never recorded: new at every check)
    // f7; the single file in its rule, then its two records (the tree rule covers it too).
    EXPECT_EQ(serial.deleted, 4);
    each_kernel([&] {
        EXPECT_EQ(serial, Check(2));
        EXPECT_EQ(serial, Check(7));
    });
}

TEST_F(ParallelTest, AutomaticRestoreOnKeepsOneFileAtATime) {
    // With restore on, the engine measures every file just before recording it: a response to
    // one change may alter a file that would otherwise have been measured already.
    for (int i = 0; i < 50; ++i) tree.Write("f" + std::to_string(i), "1");
    SetRules({{tree.path(), RuleKind::kFolder}});
    switches.auto_restore = 1;
    engine->SetDigestWorkers(2);
    mode = ScanMode::kInit;
    // No thread of its own measures ahead: the run's thread is the only one while it yields.
    auto threads = [] { return testing::CountEntries("/proc/self/task"); };
    const int before = threads();
    int most = 0;
    hooks.on_yield = [&] { most = std::max(most, threads()); };
    ASSERT_TRUE(engine->RunScan().ok());
    EXPECT_EQ(counters.checked, 50);
    EXPECT_EQ(most, before);
    // With restore off the same run measures ahead on worker threads.
    switches.auto_restore = 0;
    most = 0;
    ASSERT_TRUE(engine->RunScan().ok());
    EXPECT_GT(most, before);
}

}  // namespace
}  // namespace norv
