#include "engine/scan_engine.h"
#include "engine/writer_json.h"

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
    EXPECT_EQ(LinesWith("Notice: kRecordsOutsideRules(2)"), 1u);

    rule_file({"kept,1", "added,3"});
    ASSERT_TRUE(ReloadSettingsAndRules().ok());
    switches.auto_restore = 1;
    testing::WriteAll(kept, "defaced");
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(hooks.changes, (std::vector<std::pair<std::string, std::string>>{{"altered", kept}}));
    EXPECT_EQ(engine->unseen_places(), 1u);
    EXPECT_EQ(LinesWith("added/: kCannotCheck(kRuleNotInBaseline())"), 1u);
    // An init that could not see the new rule's folder does not take the rule in.
    testing::FaultEnv hidden;
    hidden.Fail(testing::Call::kOpenAt, EACCES, 0, "added");
    context.env = &hidden;
    ASSERT_TRUE(engine->Initialise().ok());
    context.env = &testing::SystemEnv();
    hooks.changes.clear();
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_TRUE(hooks.changes.empty());
    EXPECT_EQ(LinesWith("added/: kCannotCheck(kRuleNotInBaseline())"), 1u);
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
    EXPECT_EQ(lines[12], "Warning: kRuleKindUnknown(2, " + tree.path() + ", -1)");
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
    // Rule by rule: what is wrong with its kind, then each earlier rule it overlaps.
    const std::string site = tree / "site";
    const std::string sub = tree / "site/sub";
    EXPECT_EQ(warnings,
              (std::vector<std::string>{"kRulesOverlap(2, " + sub + ", 1, " + site + ")",
                                        "kFolderRuleOnFile(3, " + tree / "single.txt" + ", 3)",
                                        "kFileRuleOnFolder(4, " + site + ")",
                                        "kRulesOverlap(4, " + site + ", 1, " + site + ")",
                                        "kRulePathMissing(5, " + tree / "no-such-folder" + ")",
                                        "kRuleKindUnknown(6, " + site + ", 2)",
                                        "kRulesOverlap(6, " + site + ", 1, " + site + ")",
                                        "kRulesOverlap(6, " + site + ", 4, " + site + ")"}));
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
    EXPECT_EQ(missing.text,
              Message(NoticeCode::kRulePathMissing, {std::string("1"), tree / "no-such-folder"}));
    const Notice refused = of_kind(NoticeKind::kRefusedPath);
    EXPECT_EQ(refused.path, tree / "open/inner");
    EXPECT_TRUE(refused.status.Is(ErrorKind::kRefused)) << refused.status.ToString();
    EXPECT_EQ(refused.text, refused.status.what());
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

// A check that finds the content the watch saw a process make names that process, in the mail
// too; other content of the same file has no writer.
TEST_F(EngineTest, ACheckNamesTheWriterTheWatchSawMakeTheContentItFinds) {
    tree.Write("index.html", "home");
    SetRules({{tree.path(), RuleKind::kFolder}});
    mode = ScanMode::kInit;
    ASSERT_TRUE(engine->RunScan().ok());
    settings.mail_alert = " 1 ";
    SetLineValues(settings);
    platform::Writer writer;
    writer.process = {4242, "/usr/bin/dash", "sh"};
    writer.uid = 65534;
    const std::string page = tree.path() + "/index.html";
    ASSERT_TRUE(store
                    ->RecordWriter(page, platform::Md5Digest(platform::Md5Hex("defaced")),
                                   WriterJson(writer).dump())
                    .ok());
    tree.Write("index.html", "defaced");
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(hooks.mailed_written_by,
              std::vector<std::string>{page + "  pid 4242 /usr/bin/dash, uid 65534"});
    tree.Write("index.html", "other");
    ASSERT_TRUE(engine->Check().ok());
    EXPECT_EQ(hooks.mailed_written_by, std::vector<std::string>{});
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
        // A cause that runs over two lines is written on one.
        failed.failures = {
            Message(NoticeCode::kCannotQuarantine, {page, std::string("no space\non device")})};
        return failed;
    };
    ASSERT_TRUE(engine->Check().ok());
    const auto lines = LogLines();
    const auto altered = std::find(lines.begin(), lines.end(), "Altered: " + page);
    ASSERT_NE(altered, lines.end());
    ASSERT_NE(altered + 1, lines.end());
    EXPECT_EQ(*(altered + 1), "Warning: kCannotQuarantine(" + page + ", no space on device)");
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
        return ResponseOutcome{ResponseOutcome::Left::kRestored,
                               platform::Md5Digest(platform::Md5Hex("home")),
                               {},
                               {}};
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
        return ResponseOutcome{ResponseOutcome::Left::kRestored,
                               platform::Md5Digest(platform::Md5Hex("older")),
                               {},
                               {}};
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
        set.sha256 = platform::Sha256Digest();
        ::chmod(path.c_str(), 04777);
        return ResponseOutcome{ResponseOutcome::Left::kRestored,
                               platform::Md5Digest(platform::Md5Hex("home")),
                               {},
                               set};
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
    EXPECT_NE(log.find("Warning: " + link + "/: kCannotCheck("), std::string::npos) << log;
    EXPECT_NE(log.find(CountLine("未検査：", 2) + "\r\n"), std::string::npos) << log;
    // An init keeps their baseline, and counts them too.
    ASSERT_TRUE(engine->Initialise().ok());
    EXPECT_EQ(counters.unchecked, 2);
    EXPECT_EQ(Rows().size(), 2u);
}

}  // namespace
}  // namespace norv
