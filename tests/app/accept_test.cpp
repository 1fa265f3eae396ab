// Accepting reviewed changes: the real norv-cli on real folders, other LHA tools reading the
// rewritten archive, kills at random moments, and a rename lost between the two steps.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <random>
#include <sstream>
#include <thread>

#include "app/application.h"
#include "platform/db/database.h"
#include "platform/digest/md5.h"
#include "platform/text/text_file.h"
#include "response/archive.h"
#include "tests/support/fault_env.h"
#include "tests/support/file_attributes.h"
#include "tests/support/process.h"
#include "tests/support/race_env.h"
#include "tests/support/test_support.h"

namespace norv {
namespace {

using testing::Outcome;
using testing::TempDir;

class AcceptTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(testing::CliBinary().empty()) << "NORV_CLI names the binary under test";
        ASSERT_EQ(::mkdir((program / "save").c_str(), 0700), 0);
        Settings(" 0 ");
        testing::WriteAll(program / "user_rule.txt", "<rule>" + tree.path() + ",3</rule>\r\n");
    }
    void Settings(const char* auto_restore) {
        auto lines = testing::SettingsLines(program / "save", program / "cracked");
        lines[12] = auto_restore;
        ASSERT_TRUE(platform::WriteTextFileAtomic(testing::SystemEnv(), program / "norvcfg.txt",
                                                  lines, "UTF-8")
                        .ok());
    }
    Outcome Run(std::vector<std::string> args) {
        args.insert(args.begin(), {testing::CliBinary(), "--dir", program.path()});
        return testing::RunProcess(args, program / "out.txt");
    }
    // init, archive and a clean check: the baseline and its archive, a change list.
    void Baseline() {
        ASSERT_EQ(Run({"init"}).exit_code, 0);
        ASSERT_EQ(Run({"archive"}).exit_code, 0);
        ASSERT_EQ(Run({"check"}).exit_code, 0);
    }
    std::string Archive() const { return program / "save/arcive.lzh"; }
    // The program started in this process on `env` (the system's when none), with the change
    // list of the last check loaded.
    std::unique_ptr<Application> StartInProcess(platform::Env* env = nullptr) {
        StartupOptions options;
        options.program_dir = program.path();
        options.charset = "UTF-8";
        if (env) options.env = env;
        auto app = Application::Start(options, FrontEnd{hooks, hooks, hooks, hooks});
        EXPECT_TRUE(app.ok()) << app.status().message();
        if (!app.ok()) return nullptr;
        auto list = (*app)->acceptor().LoadChanges();
        EXPECT_TRUE(list.ok());
        if (list.ok()) loaded = std::move(*list);
        return std::move(*app);
    }

    // "" when every baseline record's MD5 is that of its archive entry (extracted by bsdtar)
    // and every archived file below the tree has a baseline record; else what differs.
    std::string BaselineAgainstArchive() {
        TempDir out;
        Outcome extracted = testing::RunProcess(
            {"/usr/bin/bsdtar", "-xf", Archive(), "-C", out.path()}, program / "bsdtar.txt");
        if (extracted.exit_code != 0) return "bsdtar: " + extracted.out;
        auto db = platform::Database::Open(testing::SystemEnv(), program / "norv.db", false);
        if (!db.ok()) return db.status().message();
        auto rows = (*db)->Prepare("SELECT filename,md5o FROM fileinfo WHERE md5c!=' '");
        if (!rows.ok()) return rows.status().message();
        std::string wrong;
        size_t records = 0;
        for (;;) {
            auto row = (*rows)->Step();
            if (!row.ok()) return row.status().message();
            if (!row.value()) break;
            ++records;
            const std::string path = (*rows)->ColumnText(0);
            const std::string entry = out.path() + path;
            if (!std::filesystem::exists(entry)) {
                wrong += "no entry: " + path + "\n";
            } else if (platform::Md5Hex(testing::ReadAll(entry)) != (*rows)->ColumnText(1)) {
                wrong += "entry differs: " + path + "\n";
            }
        }
        size_t archived = 0;
        for (const auto& e : std::filesystem::recursive_directory_iterator(out.path())) {
            if (e.is_regular_file()) ++archived;
        }
        if (std::count(wrong.begin(), wrong.end(), '\n') > 3) {
            wrong = wrong.substr(0, wrong.find('\n', wrong.find('\n') + 1) + 1) + "...\n";
        }
        if (archived != records) {
            wrong +=
                std::to_string(archived) + " entries, " + std::to_string(records) + " records\n";
        }
        return wrong;
    }

    TempDir program;
    TempDir tree;
    testing::RecordingHooks hooks;
    ChangeList loaded;  // by StartInProcess
};

TEST_F(AcceptTest, AcceptsAllSomeAndByFolderAndRefusesAFileChangedSinceReview) {
    tree.Write("a.txt", "a");
    tree.Write("c.txt", "c");
    tree.Write("m.txt", "m");
    tree.Write("sub/b.txt", "b");
    // Names stored escaped (bytes that are not UTF-8) and decomposed (e + U+0301): their
    // entries must go with their deletion like any other.
    tree.Write("caf\xE9", "e");
    tree.Write("cafe\xCC\x81", "e");
    Baseline();
    tree.Write("a.txt", "a2");
    tree.Write("m.txt", "m2");
    tree.Write("sub/b.txt", "b2");
    tree.Write("sub/n.txt", "new");
    ASSERT_EQ(::unlink((tree / "c.txt").c_str()), 0);
    ASSERT_EQ(::unlink((tree / "caf\xE9").c_str()), 0);
    ASSERT_EQ(::unlink((tree / "cafe\xCC\x81").c_str()), 0);
    ASSERT_EQ(Run({"check"}).exit_code, 1);
    Outcome listed = Run({"changes"});
    ASSERT_EQ(listed.exit_code, 0) << listed.out;
    EXPECT_NE(listed.out.find("altered\t" + tree / "a.txt\t2\t"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("created\t" + tree / "sub/n.txt\t3\t"), std::string::npos);
    EXPECT_NE(
        listed.out.find("deleted\t" + tree / "c.txt\t-\t-\t" + platform::Md5Hex("c") + "\t-\n"),
        std::string::npos);

    // A folder takes every change below it, and nothing else.
    Outcome folder = Run({"accept", tree / "sub"});
    EXPECT_EQ(folder.exit_code, 0) << folder.out;
    listed = Run({"changes", "--json"});
    EXPECT_EQ(listed.out.find("sub/"), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find("\"kind\":\"altered\""), std::string::npos) << listed.out;

    // a.txt changed again after review, m.txt only its mode: refused by name, they stay
    // changes; c.txt goes.
    tree.Write("a.txt", "a3");
    ASSERT_EQ(::chmod((tree / "m.txt").c_str(), 0600), 0);
    ::setenv("SUDO_USER", "deployer", 1);  // the user behind sudo is who accepted
    Outcome all = Run({"accept", "--all"});
    ::unsetenv("SUDO_USER");
    EXPECT_EQ(all.exit_code, 1) << all.out;
    EXPECT_NE(all.out.find(tree / "a.txt: 確かめたあとに、また変わりました"), std::string::npos)
        << all.out;
    EXPECT_NE(all.out.find(tree / "m.txt: 確かめたあとに、また変わりました"), std::string::npos);
    EXPECT_EQ(BaselineAgainstArchive(), "");
    Outcome check = Run({"check"});
    EXPECT_EQ(check.exit_code, 1);
    EXPECT_NE(check.out.find("検査数 4  変更 2  新規作成 0  削除 0"), std::string::npos)
        << check.out;

    // A path no change lies under is said, and is not a success.
    EXPECT_EQ(Run({"accept", tree / "nothing-here"}).exit_code, 1);
    const std::string events = testing::ReadAll(program / "norv-events.jsonl");
    EXPECT_NE(events.find("\"action\":\"accept\",\"severity\":5,"), std::string::npos) << events;
    EXPECT_NE(events.find("\"kind\":\"deleted\",\"path\":\"" + tree / "c.txt" +
                          "\",\"old_md5\":\"" + platform::Md5Hex("c") + "\",\"new_md5\":null"),
              std::string::npos)
        << events;
    EXPECT_NE(events.find("\"kind\":\"created\",\"path\":\"" + tree / "sub/n.txt"),
              std::string::npos);
    EXPECT_NE(events.find("\"old_md5\":\"" + platform::Md5Hex("c") +
                          "\",\"new_md5\":null,\"user\":\"deployer\"}"),
              std::string::npos);
    // Every accept is a run closed by its "run" event, as a check is: the folder's (one
    // altered, one created), then --all (three deleted of five asked for).
    Outcome read = testing::RunProcess(
        {"/usr/bin/python3", testing::SourcePath("tests/support/events_check.py"),
         program / "norv-events.jsonl"},
        program / "checked.txt");
    EXPECT_EQ(read.exit_code, 0) << read.out;
    EXPECT_NE(read.out.find("run accept completed 2 1 1 0\n"), std::string::npos) << read.out;
    EXPECT_NE(read.out.find("run accept completed 5 0 0 3\n"), std::string::npos) << read.out;
}

// A rename is one move in `changes`; accepting it takes the file in at its new path and drops
// the old one from the baseline and the archive together.
TEST_F(AcceptTest, ARenameIsListedAsOneMoveAndAcceptedWhole) {
    tree.Write("page.html", "page");
    tree.Write("keep.html", "keep");
    Baseline();
    ASSERT_EQ(::rename((tree / "page.html").c_str(), (tree / "renamed.html").c_str()), 0);
    Outcome check = Run({"check"});
    EXPECT_EQ(check.exit_code, 1);
    EXPECT_NE(check.out.find("変更 0  新規作成 1  削除 1"), std::string::npos) << check.out;
    Outcome listed = Run({"changes"});
    EXPECT_NE(listed.out.find("moved\t" + tree / "renamed.html\t4\t"), std::string::npos)
        << listed.out;
    EXPECT_NE(listed.out.find("\tfrom " + tree / "page.html\n"), std::string::npos);
    EXPECT_EQ(listed.out.find("deleted"), std::string::npos);
    Outcome accepted = Run({"accept", "--all"});
    EXPECT_EQ(accepted.exit_code, 0) << accepted.out;
    EXPECT_EQ(BaselineAgainstArchive(), "");
    EXPECT_EQ(Run({"check"}).exit_code, 0);
}

// A change of the mode alone has two equal MD5s: the review shows the mode, old and new, and
// that the file gained a set-id bit, in the text list and in JSON.
TEST_F(AcceptTest, ChangesShowEveryChangedFactAndMarkASetIdGain) {
    tree.Write("tool", "#!/bin/sh\n");
    ASSERT_EQ(::chmod((tree / "tool").c_str(), 0755), 0);
    Baseline();
    ASSERT_EQ(::chmod((tree / "tool").c_str(), 04755), 0);
    ASSERT_EQ(Run({"check"}).exit_code, 1);
    Outcome text = Run({"changes"});
    ASSERT_EQ(text.exit_code, 0) << text.out;
    EXPECT_NE(text.out.find("\tmode 0755 -> 4755\tset-id gained\n"), std::string::npos) << text.out;
    Outcome json = Run({"changes", "--json"});
    ASSERT_EQ(json.exit_code, 0) << json.out;
    for (const char* part :
         {"\"changed\":[\"mode\"]", "\"old\":{\"mode\":\"0755\"}", "\"new\":{\"mode\":\"4755\"}",
          "\"set_id_gained\":true", "\"capability_gained\":false"}) {
        EXPECT_NE(json.out.find(part), std::string::npos) << part << "\n" << json.out;
    }
}

// A name holding a right-to-left override (U+202E) or a C1 control (U+009B, a terminal's CSI)
// is written in JSON as \uXXXX, never raw, as the text list escapes it.
TEST_F(AcceptTest, ChangesInJsonEscapeBidiAndC1Controls) {
    tree.Write("a.txt", "a");
    Baseline();
    tree.Write("evil\xE2\x80\xAEtxt.exe", "x");
    tree.Write(
        "csi\xC2\x9B"
        "2J",
        "y");
    ASSERT_EQ(Run({"check"}).exit_code, 1);
    Outcome json = Run({"changes", "--json"});
    ASSERT_EQ(json.exit_code, 0) << json.out;
    EXPECT_NE(json.out.find("evil\\u202Etxt.exe"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("csi\\u009B2J"), std::string::npos) << json.out;
    EXPECT_EQ(json.out.find("\xE2\x80\xAE"), std::string::npos);
    EXPECT_EQ(json.out.find("\xC2\x9B"), std::string::npos);
    EXPECT_NE(Run({"changes"}).out.find("evil\\u202Etxt.exe"), std::string::npos);
}

TEST_F(AcceptTest, ARestoreBringsBackTheAcceptedVersionAndOtherToolsReadTheArchive) {
    tree.Write("keep.txt", std::string(5000, 'k'));
    tree.Write("a.txt", "first");
    Baseline();
    tree.Write("a.txt", std::string(3000, 'x') + "accepted");
    ASSERT_EQ(Run({"check"}).exit_code, 1);
    ASSERT_EQ(Run({"accept", tree / "a.txt"}).exit_code, 0);

    TempDir lha_out;
    Outcome listed = testing::RunProcess({"/usr/bin/lha", "-t", Archive()}, program / "lha.txt");
    EXPECT_EQ(listed.exit_code, 0) << listed.out;
    Outcome extracted = testing::RunProcess({"/usr/bin/lha", "-xw=" + lha_out.path(), Archive()},
                                            program / "lha.txt");
    EXPECT_EQ(extracted.exit_code, 0) << extracted.out;
    EXPECT_TRUE(testing::ReadAll(lha_out.path() + tree / "a.txt") ==
                std::string(3000, 'x') + "accepted");
    EXPECT_TRUE(testing::ReadAll(lha_out.path() + tree / "keep.txt") == std::string(5000, 'k'));
    EXPECT_EQ(BaselineAgainstArchive(), "");  // bsdtar reads it too

    Settings(" 1 ");
    tree.Write("a.txt", "tampered");
    EXPECT_EQ(Run({"check"}).exit_code, 1);
    EXPECT_TRUE(testing::ReadAll(tree / "a.txt") == std::string(3000, 'x') + "accepted");
    EXPECT_EQ(Run({"check"}).exit_code, 0);
}

TEST_F(AcceptTest, NothingIsAcceptedWithoutACheckAfterInitAfterAReInitOrWithoutAnArchive) {
    tree.Write("a.txt", "a");
    ASSERT_EQ(Run({"init"}).exit_code, 0);
    ASSERT_EQ(Run({"archive"}).exit_code, 0);
    Outcome unchecked = Run({"accept", "--all"});
    EXPECT_EQ(unchecked.exit_code, 2);
    EXPECT_NE(unchecked.out.find("norv-cli check"), std::string::npos) << unchecked.out;

    tree.Write("a.txt", "a2");
    ASSERT_EQ(Run({"check"}).exit_code, 1);
    ASSERT_EQ(::rename(Archive().c_str(), (program / "away.lzh").c_str()), 0);
    Outcome no_archive = Run({"accept", "--all"});
    EXPECT_EQ(no_archive.exit_code, 2);
    EXPECT_NE(no_archive.out.find("norv-cli archive"), std::string::npos) << no_archive.out;
    EXPECT_NE(Run({"changes"}).out.find("altered"), std::string::npos);
    // A damaged one (cut short) is no better: nothing changes, and the way out is said.
    const std::string whole = testing::ReadAll(program / "away.lzh");
    testing::WriteAll(Archive(), whole.substr(0, whole.size() / 2));
    ASSERT_EQ(::chmod(Archive().c_str(), 0600), 0);
    Outcome damaged = Run({"accept", "--all"});
    EXPECT_EQ(damaged.exit_code, 2);
    EXPECT_NE(damaged.out.find("norv-cli archive"), std::string::npos) << damaged.out;
    EXPECT_NE(Run({"changes"}).out.find("altered"), std::string::npos);
    ASSERT_EQ(::rename((program / "away.lzh").c_str(), Archive().c_str()), 0);

    // A list made against a baseline that was initialised again since.
    auto app = StartInProcess();
    ASSERT_TRUE(app);
    auto* list = &loaded;
    ASSERT_EQ(list->changes.size(), 1u);
    ASSERT_TRUE(app->engine().Initialise().ok());
    tree.Write("a.txt", "a2");
    ASSERT_TRUE(app->engine().Check().ok());
    auto refused = app->acceptor().Accept(list->generation, list->changes, "root");
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.status().message().find("初期化し直されました"), std::string::npos);
}

// The rename of the new archive lost after the transaction (as a kill there would lose it): the
// next command puts the accepted archive in place before it reads anything.
TEST_F(AcceptTest, AnArchiveRenameLostAfterTheTransactionIsFinishedByTheNextCommand) {
    tree.Write("a.txt", "a");
    Baseline();
    tree.Write("a.txt", "accepted");
    ASSERT_EQ(Run({"check"}).exit_code, 1);
    testing::FaultEnv env;
    auto app = StartInProcess(&env);
    ASSERT_TRUE(app);
    auto* list = &loaded;
    env.Fail(testing::Call::kRenameAt, EIO, 1, "arcive.lzh");
    EXPECT_FALSE(app->acceptor().Accept(list->generation, list->changes, "root").ok());
    EXPECT_NE(BaselineAgainstArchive(), "");  // the records are ahead of the archive
    app.reset();
    EXPECT_EQ(Run({"check"}).exit_code, 0);
    EXPECT_EQ(BaselineAgainstArchive(), "");
}

// A file rewritten between its measurement and its archiving: the archive never holds bytes
// the record does not, so it is refused, and the others are accepted in an archive without it.
TEST_F(AcceptTest, AFileRewrittenWhileTheArchiveIsBuiltIsRefusedAndTheRestAccepted) {
    tree.Write("a.txt", "a");
    tree.Write("b.txt", "b");
    Baseline();
    tree.Write("a.txt", "a2");
    tree.Write("b.txt", "b2");
    ASSERT_EQ(Run({"check"}).exit_code, 1);
    testing::RaceEnv env;
    auto app = StartInProcess(&env);
    ASSERT_TRUE(app);
    auto* list = &loaded;
    // The second open of a.txt is the archive's, after the measurement's.
    env.Before(
        testing::Call::kOpenAt, "a.txt", [&] { tree.Write("a.txt", "a3"); }, 2);
    auto outcome = app->acceptor().Accept(list->generation, list->changes, "root");
    ASSERT_TRUE(outcome.ok()) << outcome.status().message();
    ASSERT_EQ(outcome->accepted.size(), 1u);
    EXPECT_EQ(outcome->accepted[0].path, tree / "b.txt");
    ASSERT_EQ(outcome->refused.size(), 1u);
    EXPECT_EQ(outcome->refused[0].path, tree / "a.txt");
    EXPECT_EQ(BaselineAgainstArchive(), "");
}

// A file rewritten in place, between its measurement and its archiving, with its MD5 collision
// twin: the MD5 of the bytes stored is the one measured, their SHA-256 is not, so it is refused.
TEST_F(AcceptTest, AnMd5CollisionTwinWrittenInPlaceAfterTheMeasurementIsRefused) {
    tree.Write("a.txt", "a");
    Baseline();
    tree.Write("a.txt", testing::Md5CollisionA());
    ASSERT_EQ(Run({"check"}).exit_code, 1);
    testing::RaceEnv env;
    auto app = StartInProcess(&env);
    ASSERT_TRUE(app);
    env.Before(
        testing::Call::kOpenAt, "a.txt", [&] { tree.Write("a.txt", testing::Md5CollisionB()); }, 2);
    auto outcome = app->acceptor().Accept(loaded.generation, loaded.changes, "root");
    ASSERT_TRUE(outcome.ok()) << outcome.status().message();
    EXPECT_EQ(env.Fired(), 1);
    EXPECT_TRUE(outcome->accepted.empty());
    ASSERT_EQ(outcome->refused.size(), 1u);
    EXPECT_NE(Render(outcome->refused[0].reason).find("確かめたあとに、また変わりました"),
              std::string::npos)
        << Render(outcome->refused[0].reason);
    EXPECT_EQ(BaselineAgainstArchive(), "");
}

// A file swapped, between its measurement and its archiving, for a link whose target text is
// the file's content (the same MD5): the archive would hold a link, so the file is refused.
TEST_F(AcceptTest, AFileSwappedForALinkOfTheSameDigestWhileTheArchiveIsBuiltIsRefused) {
    tree.Write("a.txt", "a");
    Baseline();
    tree.Write("a.txt", "/etc/passwd");
    ASSERT_EQ(Run({"check"}).exit_code, 1);
    testing::RaceEnv env;
    auto app = StartInProcess(&env);
    ASSERT_TRUE(app);
    env.Before(
        testing::Call::kOpenAt, "a.txt",
        [&] {
            ASSERT_EQ(::unlink((tree / "a.txt").c_str()), 0);
            ASSERT_EQ(::symlink("/etc/passwd", (tree / "a.txt").c_str()), 0);
        },
        2);
    auto outcome = app->acceptor().Accept(loaded.generation, loaded.changes, "root");
    ASSERT_TRUE(outcome.ok()) << outcome.status().message();
    EXPECT_EQ(env.Fired(), 1);
    EXPECT_TRUE(outcome->accepted.empty());
    EXPECT_EQ(outcome->refused.size(), 1u);
}

TEST_F(AcceptTest, KilledAtRandomMomentsLeavesEveryRecordMatchingItsArchiveEntry) {
    constexpr int kFiles = 120;
    auto write_all = [&](int round) {
        for (int k = 0; k < kFiles; ++k) {
            std::string text;
            for (int n = 0; text.size() < 16000; ++n) {
                text += std::to_string(round * 7919 + k * 104729 + n * n) + " ";
            }
            tree.Write("d" + std::to_string(k % 4) + "/f" + std::to_string(k) + ".txt", text);
        }
        // One file comes and goes, so created and deleted are in every accept too.
        if (round % 2 == 0) {
            tree.Write("odd.txt", std::to_string(round));
        } else {
            ::unlink((tree / "odd.txt").c_str());
        }
    };
    write_all(0);
    Baseline();
    // One whole accept, timed: the kills fall anywhere within it.
    write_all(1);
    ASSERT_EQ(Run({"check"}).exit_code, 1);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(Run({"accept", "--all"}).exit_code, 0);
    const auto whole = std::chrono::steady_clock::now() - started;
    ASSERT_EQ(BaselineAgainstArchive(), "");

    std::random_device seed;
    const unsigned seed_value = seed();
    std::mt19937 random(seed_value);
    std::uniform_int_distribution<int64_t> moment(
        0, std::chrono::duration_cast<std::chrono::microseconds>(whole).count());
    int cut_short = 0;
    for (int round = 2; round < 22; ++round) {
        write_all(round);
        ASSERT_EQ(Run({"check"}).exit_code, 1);
        const pid_t pid = testing::Spawn(
            {testing::CliBinary(), "--dir", program.path(), "accept", "--all"}, program / "k.txt");
        const auto at = std::chrono::microseconds(moment(random));
        std::this_thread::sleep_for(at);
        ::kill(pid, SIGKILL);
        const Outcome killed =
            testing::Reap(pid, std::chrono::steady_clock::now() + std::chrono::seconds(60));
        if (killed.exit_code == -1) ++cut_short;
        // Any command finishes what the kill left first.
        ASSERT_EQ(Run({"changes"}).exit_code, 0);
        ASSERT_EQ(BaselineAgainstArchive(), "")
            << "killed " << at.count() << " us in (seed " << seed_value << ")";
    }
    std::cout << "accept of " << kFiles + 1 << " changes took "
              << std::chrono::duration_cast<std::chrono::milliseconds>(whole).count() << " ms; "
              << cut_short << " of 20 kills fell before it ended (seed " << seed_value << ")\n";
}

TEST_F(AcceptTest, TwoAcceptsAtOnceTakeTheLockInTurn) {
    for (int k = 0; k < 60; ++k) tree.Write("f" + std::to_string(k), std::string(20000, 'a'));
    Baseline();
    for (int k = 0; k < 60; ++k) tree.Write("f" + std::to_string(k), std::string(20000, 'b'));
    ASSERT_EQ(Run({"check"}).exit_code, 1);
    const std::vector<std::string> accept = {testing::CliBinary(), "--dir", program.path(),
                                             "accept", "--all"};
    const pid_t first = testing::Spawn(accept, program / "1.txt");
    const pid_t second = testing::Spawn(accept, program / "2.txt");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    const Outcome one = testing::Reap(first, deadline);
    const Outcome two = testing::Reap(second, deadline);
    // Neither is turned away as busy; the one that came second finds them accepted already.
    EXPECT_NE(one.exit_code, 2) << one.out;
    EXPECT_NE(two.exit_code, 2) << two.out;
    EXPECT_TRUE(one.exit_code == 0 || two.exit_code == 0) << one.out << two.out;
    EXPECT_EQ(Run({"changes"}).out, "");
    EXPECT_EQ(BaselineAgainstArchive(), "");
}

// The archive's notice of a rule with parts it could not save, as a person reads it: the title,
// the rule's line, one line per part up to the tenth, the count of the rest, what the archive
// now holds, each on its own line.
TEST(ArchiveNoticeTest, ARuleWithPartsNotSavedIsSaidLineByLine) {
    TempDir save, tree;
    for (int k = 0; k < 12; ++k) tree.Write("p" + std::to_string(10 + k) + ".txt", "part");
    tree.Write("kept.html", "kept");
    norv::Settings settings;
    settings.save_dir = save.path();
    RuleTable rules;
    rules.rules = {{tree.path(), RuleKind::kTree}};
    testing::RecordingHooks hooks;
    testing::FaultEnv faults;
    faults.Fail(testing::Call::kRead, EIO, 0, "*.txt");
    ProtectedArchive archive(faults, settings, rules, hooks);
    ASSERT_EQ(archive.CreateArchive(), 1);
    ASSERT_EQ(hooks.messages.size(), 1u);
    std::vector<std::string> lines;
    std::istringstream said(hooks.messages[0]);
    for (std::string line; std::getline(said, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 14u) << hooks.messages[0];
    EXPECT_EQ(lines[0], "LHA 圧縮エラー");
    EXPECT_EQ(lines[1], "ルール 1 (" + tree.path() +
                            ") のうち 12 か所を保存できません (ほかは保存しました):");
    for (int k = 2; k < 12; ++k) {  // a part each, in the order the walk met them
        EXPECT_EQ(lines[k].rfind(tree / "p", 0), 0u) << lines[k];
    }
    EXPECT_EQ(lines[12], "ほか 2 か所");
    EXPECT_EQ(lines[13], "以前のアーカイブがないため、保存できたファイルだけでアーカイブ " +
                             archive.ArchivePath() +
                             " を作りました (上に挙げたものは自動復旧できません)");
}

}  // namespace
}  // namespace norv
