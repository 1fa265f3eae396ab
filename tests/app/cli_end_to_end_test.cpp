// The real command-line binary on real temporary folders.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/stat.h>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/digest/fingerprint.h"
#include "platform/fs/file_system.h"
#include "platform/text/text_file.h"
#include "tests/support/file_attributes.h"
#include "tests/support/process.h"
#include "tests/support/smtp_fixture.h"
#include "tests/support/test_support.h"

namespace norv {
namespace {

using testing::TempDir;

using testing::Outcome;

class CliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        binary = testing::CliBinary();
        ASSERT_FALSE(binary.empty()) << "NORV_CLI names the binary under test";
        WriteSettings(testing::SettingsLines(program / "save", program / "cracked"));
    }
    void WriteSettings(const std::vector<std::string>& lines) {
        ASSERT_TRUE(platform::WriteTextFileAtomic(testing::SystemEnv(), program / "norvcfg.txt",
                                                  lines, "UTF-8")
                        .ok());
    }
    // The settings with automatic restore (line 13) on.
    void AutomaticRestoreOn() {
        auto lines = testing::SettingsLines(program / "save", program / "cracked");
        lines[12] = " 1 ";
        WriteSettings(lines);
    }
    void Rules(const std::string& content) {
        testing::WriteAll(program / "user_rule.txt", content);
    }

    Outcome Run(const std::string& verb) {
        return testing::RunCli(program.path(), verb, program / "out.txt");
    }
    std::string Log() { return testing::ReadAll(program / "norv.log"); }

    std::string binary;
    TempDir program;
    TempDir tree;
};

TEST_F(CliTest, InitCheckUpdateExitCodesAndOutput) {
    tree.Write("index.html", "<html>");
    tree.Write("日本語/設定.txt", "x");
    Rules("<rule>" + tree.path() + ",3</rule>\r\n");
    Outcome init = Run("init");
    EXPECT_EQ(init.exit_code, 0) << init.out;
    EXPECT_NE(init.out.find("データベースの初期化とスキャン ( 2 ) "), std::string::npos);

    Outcome clean = Run("check");
    EXPECT_EQ(clean.exit_code, 0) << clean.out;
    EXPECT_NE(clean.out.find("検査数 2  変更 0  新規作成 0  削除 0"), std::string::npos);

    tree.Write("日本語/設定.txt", "changed");
    tree.Write("new.php", "<?php");
    Outcome dirty = Run("check");
    EXPECT_EQ(dirty.exit_code, 1) << dirty.out;
    EXPECT_NE(dirty.out.find("検査数 3  変更 1  新規作成 1  削除 0"), std::string::npos);
    EXPECT_NE(Log().find("Altered: " + tree.path() + "/日本語/設定.txt\r\n"), std::string::npos);

    EXPECT_EQ(Run("update").exit_code, 0);
    EXPECT_EQ(Run("check").exit_code, 1);  // the baseline did not move
}

TEST_F(CliTest, BadUsageAndBadStartAreFailures) {
    EXPECT_EQ(Run("frobnicate").exit_code, 64);
    EXPECT_EQ(Run("").exit_code, 64);
    ::unlink((program / "norvcfg.txt").c_str());
    Outcome no_settings = Run("check");
    EXPECT_EQ(no_settings.exit_code, 2);
    EXPECT_NE(no_settings.out.find("norvcfg.txt"), std::string::npos);
}

TEST_F(CliTest, CheckMailsItsReportExactlyWhenTheWindowWould) {
    testing::SmtpServer server;
    ASSERT_TRUE(server.started());
    auto settings = [&](const char* always) {
        auto lines = testing::SettingsLines(program / "save", program / "cracked");
        lines[2] = " 1 ";
        lines[4] = server.address();  // with an account the server has no use for
        lines[11] = always;
        WriteSettings(lines);
    };
    settings(" 0 ");
    tree.Write("a.txt", "a");
    Rules("<rule>" + tree.path() + ",1</rule>\r\n");
    ASSERT_EQ(Run("init").exit_code, 0);
    ASSERT_EQ(Run("check").exit_code, 0);
    EXPECT_EQ(server.Received().size(), 0u);  // no change, no "mail always"

    tree.Write("b.txt", "new");
    ASSERT_EQ(Run("check").exit_code, 1);
    auto mails = server.Received();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_NE(mails[0].subject.find(" V:2 A:0 C:1 D:0"), std::string::npos) << mails[0].subject;
    EXPECT_EQ(mails[0].subject.rfind("NORV スキャンログ  ", 0), 0u);
    EXPECT_EQ(mails[0].body, testing::ReadAll(program / "norv.log"));

    // A new file that is gone again is forgotten: the next check finds no change.
    ::unlink((tree / "b.txt").c_str());
    settings(" 1 ");
    ASSERT_EQ(Run("check").exit_code, 0);
    EXPECT_EQ(server.Received().size(), 2u);
    ASSERT_EQ(Run("init").exit_code, 0);
    ASSERT_EQ(Run("update").exit_code, 0);
    EXPECT_EQ(server.Received().size(), 2u);
}

TEST_F(CliTest, AutomaticRestorePutsTheTreeBackAndKeepsTheEvidence) {
    tree.Write("site/index.html", "<h1>good</h1>");
    tree.Write("site/日本語/お知らせ.txt", "maintenance\n");
    tree.Write("site/.htaccess", "Options -Indexes\n");
    ASSERT_EQ(std::system(("cp -a '" + tree / "site" + "' '" + tree / "pristine" + "'").c_str()),
              0);
    Rules("<rule>" + tree / "site" + ",3</rule>\r\n");
    ::mkdir((program / "save").c_str(), 0700);
    ASSERT_NO_FATAL_FAILURE(AutomaticRestoreOn());

    Outcome archived = Run("archive");
    ASSERT_EQ(archived.exit_code, 0) << archived.out;
    ASSERT_EQ(Run("init").exit_code, 0);
    tree.Write("site/index.html", "<h1>defaced</h1>");
    tree.Write("site/shell.php", "<?php evil(); ?>");
    ::unlink((tree / "site/.htaccess").c_str());
    ::unlink((tree / "site/日本語/お知らせ.txt").c_str());

    Outcome check = Run("check");
    EXPECT_EQ(check.exit_code, 1) << check.out;
    EXPECT_NE(check.out.find("変更 1  新規作成 1  削除 2"), std::string::npos) << check.out;
    // The tree is as it was archived, byte for byte; the tampered files are kept as evidence.
    EXPECT_EQ(std::system(("diff -r '" + tree / "site" + "' '" + tree / "pristine" + "'").c_str()),
              0);
    std::vector<std::string> cracked;
    for (const auto& e : std::filesystem::directory_iterator(program / "cracked")) {
        if (e.path().filename() != "cracked_index.txt")
            cracked.push_back(e.path().filename().string());
    }
    ASSERT_EQ(cracked.size(), 2u);
    // The index names where each copy came from.
    std::string index = testing::ReadAll(program / "cracked/cracked_index.txt");
    EXPECT_NE(index.find("\tcreated\t"), std::string::npos) << index;
    EXPECT_NE(index.find(tree / "site/shell.php"), std::string::npos) << index;
    EXPECT_NE(index.find(tree / "site/index.html"), std::string::npos) << index;
    // Each copy's name starts with the second it was made in, which may differ between the two:
    // they are told apart by the watched file's name at their end.
    std::sort(cracked.begin(), cracked.end(), [](const std::string& a, const std::string& b) {
        return a.ends_with("index.html") && !b.ends_with("index.html");
    });
    EXPECT_TRUE(cracked[0].ends_with("index.html")) << cracked[0];
    EXPECT_TRUE(cracked[1].ends_with("shell.php")) << cracked[1];
    EXPECT_EQ(testing::ReadAll(program / ("cracked/" + cracked[0])), "<h1>defaced</h1>");
    EXPECT_EQ(testing::ReadAll(program / ("cracked/" + cracked[1])), "<?php evil(); ?>");
    // Everything is back, and the moved new file is forgotten: nothing left to report.
    EXPECT_EQ(Run("check").exit_code, 0);
}

TEST_F(CliTest, WithRestoreOffAndNoArchiveNothingIsTouched) {
    tree.Write("site/index.html", "<h1>good</h1>");
    Rules("<rule>" + tree / "site" + ",3</rule>\r\n");
    ASSERT_EQ(Run("init").exit_code, 0);
    tree.Write("site/index.html", "<h1>defaced</h1>");
    EXPECT_EQ(Run("check").exit_code, 1);
    EXPECT_EQ(testing::ReadAll(tree / "site/index.html"), "<h1>defaced</h1>");

    ASSERT_NO_FATAL_FAILURE(AutomaticRestoreOn());
    Outcome check = Run("check");
    EXPECT_NE(check.out.find("ファイルが保存されていませんので復旧できません"), std::string::npos);
    EXPECT_EQ(testing::ReadAll(tree / "site/index.html"), "<h1>defaced</h1>");
}

// `archive` succeeds only when it wrote an archive: no rules, or rules that hold no file (an
// empty folder), fail and say why; the path is printed only for an archive that exists.
TEST_F(CliTest, ArchiveFailsWhenItWroteNoArchive) {
    ::mkdir((program / "save").c_str(), 0700);
    const std::string archive = program / "save/arcive.lzh";
    Rules("");
    Outcome no_rules = Run("archive");
    EXPECT_EQ(no_rules.exit_code, 2) << no_rules.out;
    EXPECT_NE(no_rules.out.find("アーカイブを作りませんでした"), std::string::npos) << no_rules.out;
    EXPECT_NE(no_rules.out.find("ルールがありません"), std::string::npos) << no_rules.out;
    EXPECT_FALSE(platform::FileExists(testing::SystemEnv(), archive));

    tree.Write("site/index.html", "<h1>good</h1>");
    Rules("<rule>" + tree / "site" + ",3</rule>\r\n");
    Outcome written = Run("archive");
    EXPECT_EQ(written.exit_code, 0) << written.out;
    EXPECT_EQ(written.out, archive + "\n");
    ASSERT_TRUE(platform::FileExists(testing::SystemEnv(), archive));

    // Folders alone: nothing a restore could put back, and the older archive is gone.
    tree.MakeDir("empty/inner");
    Rules("<rule>" + tree / "empty" + ",3</rule>\r\n");
    Outcome folders_only = Run("archive");
    EXPECT_EQ(folders_only.exit_code, 2) << folders_only.out;
    EXPECT_NE(folders_only.out.find("保存するファイルがありません"), std::string::npos)
        << folders_only.out;
    EXPECT_NE(folders_only.out.find("以前のアーカイブは削除しました"), std::string::npos)
        << folders_only.out;
    EXPECT_EQ(folders_only.out.find(archive + "\n"), std::string::npos) << folders_only.out;
    EXPECT_FALSE(platform::FileExists(testing::SystemEnv(), archive));
}

// The twin of a file with its MD5, size and time, and a setuid bit, an owner, a group, a
// capability and an ACL given to watched files: each is an alteration, with what changed in its
// event, and the restore puts every file back exactly as recorded.
TEST_F(CliTest, EveryRecordedFactIsCheckedAndPutBackByTheRestore) {
    if (::geteuid() != 0) GTEST_SKIP() << "owners and capabilities are root's to give";
    const std::string twin = tree.Write("site/twin.bin", testing::Md5CollisionA());
    for (const char* name :
         {"twin.bin", "setuid.sh", "owner.html", "group.html", "raw.bin", "shared.html"}) {
        const std::string path = tree.Write(std::string("site/") + name, name);
        ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    }
    testing::WriteAll(twin, testing::Md5CollisionA());
    const std::string uploads = tree.MakeDir("site/uploads");
    ASSERT_EQ(::chmod(uploads.c_str(), 0755), 0);
    const std::string pipe = tree / "site/pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    Rules("<rule>" + tree / "site" + ",3</rule>\r\n");
    ::mkdir((program / "save").c_str(), 0700);
    ASSERT_NO_FATAL_FAILURE(AutomaticRestoreOn());
    ASSERT_EQ(Run("archive").exit_code, 0);
    ASSERT_EQ(Run("init").exit_code, 0);

    struct stat before {};
    ASSERT_EQ(::stat(twin.c_str(), &before), 0);
    testing::WriteAll(twin, testing::Md5CollisionB());
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, twin.c_str(), times, 0), 0);
    ASSERT_EQ(::chmod((tree / "site/setuid.sh").c_str(), 04777), 0);
    ASSERT_EQ(::chown((tree / "site/owner.html").c_str(), 65534, static_cast<gid_t>(-1)), 0);
    ASSERT_EQ(::chown((tree / "site/group.html").c_str(), static_cast<uid_t>(-1), 65534), 0);
    ASSERT_TRUE(testing::SetCapabilities(tree / "site/raw.bin", "cap_net_raw=ep"));
    ASSERT_TRUE(
        testing::SetAcl(tree / "site/shared.html", "u::rw-,u:65534:rw-,g::r--,m::rw-,o::r--"));
    ASSERT_EQ(::chmod(uploads.c_str(), 02777), 0);
    ASSERT_EQ(::mkfifo((uploads + "/planted").c_str(), 0666), 0);
    ASSERT_EQ(::unlink(pipe.c_str()), 0);

    Outcome check = Run("check");
    EXPECT_EQ(check.exit_code, 1) << check.out;
    EXPECT_NE(check.out.find("変更 7  新規作成 1  削除 1"), std::string::npos) << check.out;
    const std::string events = testing::ReadAll(program / "norv-events.jsonl");
    for (const char* changed : {R"("changed":["content"])", R"("changed":["mode"])",
                                R"("changed":["owner"])", R"("changed":["group"])",
                                R"("changed":["capabilities"])", R"("changed":["mode","acl"])"}) {
        EXPECT_NE(events.find(changed), std::string::npos) << changed << "\n" << events;
    }
    EXPECT_EQ(testing::ReadAll(twin), testing::Md5CollisionA());
    struct stat place {};
    ASSERT_EQ(::lstat(uploads.c_str(), &place), 0);
    EXPECT_EQ(place.st_mode & 07777, 0755u);
    ASSERT_EQ(::lstat(pipe.c_str(), &place), 0);
    EXPECT_TRUE(S_ISFIFO(place.st_mode));
    EXPECT_EQ(place.st_mode & 07777, 0600u);
    EXPECT_NE(::access((uploads + "/planted").c_str(), F_OK), 0);
    for (const auto& entry : std::filesystem::directory_iterator(tree / "site")) {
        if (!entry.is_regular_file()) continue;
        const std::string path = entry.path().string();
        struct stat st {};
        ASSERT_EQ(::lstat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u) << path;
        EXPECT_EQ(st.st_uid, 0u) << path;
        EXPECT_EQ(st.st_gid, 0u) << path;
        EXPECT_EQ(testing::RawXattr(path, platform::kCapabilityXattr), "") << path;
        EXPECT_EQ(testing::RawXattr(path, platform::kAclXattr), "") << path;
    }
    Outcome again = Run("check");
    EXPECT_EQ(again.exit_code, 0) << again.out;
}

TEST_F(CliTest, KillInTheMiddleLeavesAWorkingDatabase) {
    for (int d = 0; d < 40; ++d) {
        for (int f = 0; f < 250; ++f) {
            tree.Write("d" + std::to_string(d) + "/f" + std::to_string(f),
                       std::string(2000, static_cast<char>('a' + f % 26)));
        }
    }
    Rules("<rule>" + tree.path() + ",3</rule>\r\n");
    ASSERT_EQ(Run("init").exit_code, 0);

    for (const char* verb : {"check", "init"}) {
        pid_t pid = testing::Spawn({binary, "--dir", program.path(), verb}, "/dev/null");
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);

        EXPECT_EQ(testing::StoreIntegrity(program / "norv.db"), "ok") << verb;
    }
    EXPECT_EQ(Run("init").exit_code, 0);
    Outcome after = Run("check");
    EXPECT_EQ(after.exit_code, 0) << after.out;
    EXPECT_NE(after.out.find("検査数 10000  変更 0"), std::string::npos);
}

}  // namespace
}  // namespace norv
