// Faults on real files: a full disk, a read-only folder, a locked or damaged database, a second
// norv, a kill in the middle of an archive. Nothing may be lost and every failure must say
// which file and why.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>

#include "platform/fs/file_system.h"
#include "platform/text/text_file.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace norv {
namespace {

using testing::ReadAll;
using testing::TempDir;

// A small tmpfs mounted on a folder for one test; tests skip where mounting is refused.
class ScopedTmpfs {
  public:
    ScopedTmpfs(const std::string& path, const char* size) : path_(path) {
        std::string options = std::string("size=") + size + ",mode=0755";
        mounted_ = ::mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~ScopedTmpfs() {
        if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    bool MakeReadOnly() {
        return ::mount("tmpfs", path_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

  private:
    std::string path_;
    bool mounted_ = false;
};

using testing::Outcome;

class FaultTest : public ::testing::Test {
  protected:
    void SetUp() override {
        binary = testing::CliBinary();
        ASSERT_FALSE(binary.empty());
        program = scratch.MakeDir("program");
    }
    void WriteSettings(const std::string& save, const std::string& cracked, bool restore = false) {
        auto lines = testing::SettingsLines(save, cracked);
        if (restore) lines[12] = " 1 ";
        ASSERT_TRUE(platform::WriteTextFileAtomic(testing::SystemEnv(), program + "/norvcfg.txt",
                                                  lines, "UTF-8")
                        .ok());
    }
    void Rules(const std::string& path) {
        testing::WriteAll(program + "/user_rule.txt", "<rule>" + path + ",3</rule>\r\n");
    }
    Outcome Run(const std::string& verb) {
        return testing::RunCli(program, verb, scratch / "out.txt");
    }
    pid_t Spawn(const char* verb) {
        return testing::Spawn({binary, "--dir", program, verb}, "/dev/null");
    }
    void ManyFiles(int count) {
        for (int i = 0; i < count; ++i) {
            tree.Write("d" + std::to_string(i % 50) + "/f" + std::to_string(i),
                       std::string(3000, 'x'));
        }
    }

    std::string binary;
    TempDir scratch;
    TempDir tree;
    std::string program;
};

TEST_F(FaultTest, ASecondNorvOnTheSameFolderIsRefusedDuringARun) {
    WriteSettings(scratch / "save", scratch / "cracked");
    ManyFiles(20000);
    Rules(tree.path());
    ASSERT_EQ(Run("init").exit_code, 0);
    pid_t first = Spawn("check");
    // Wait until the first run holds the folder's lock.
    bool held = false;
    for (int i = 0; i < 400 && !held; ++i) {
        int fd = ::open((program + "/norv.lock").c_str(), O_RDWR);
        if (fd >= 0) {
            held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
            if (!held) ::flock(fd, LOCK_UN);
            ::close(fd);
        }
        if (!held) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(held) << "the first run never took the lock";
    Outcome second = Run("init");
    int status = 0;
    ::waitpid(first, &status, 0);
    EXPECT_EQ(second.exit_code, 2) << second.out;
    EXPECT_NE(second.out.find("別の norv"), std::string::npos) << second.out;
    EXPECT_EQ(WEXITSTATUS(status), 0);  // the first run was not disturbed
    EXPECT_EQ(Run("check").exit_code, 0);
}

TEST_F(FaultTest, ALockedDatabaseIsAnErrorNeverAnEmptyBaseline) {
    WriteSettings(scratch / "save", scratch / "cracked");
    tree.Write("a.txt", "a");
    Rules(tree.path());
    ASSERT_EQ(Run("init").exit_code, 0);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((program + "/norv.db").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    Outcome locked = Run("init");
    EXPECT_EQ(locked.exit_code, 2);
    EXPECT_NE(locked.out.find("norv.db"), std::string::npos) << locked.out;
    EXPECT_NE(locked.out.find("locked"), std::string::npos) << locked.out;
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    tree.Write("a.txt", "changed");
    Outcome after = Run("check");
    EXPECT_EQ(after.exit_code, 1);  // the old baseline is still there and finds the change
    EXPECT_NE(after.out.find("変更 1"), std::string::npos) << after.out;
}

TEST_F(FaultTest, ADamagedDatabaseIsNeverOverwritten) {
    WriteSettings(scratch / "save", scratch / "cracked");
    tree.Write("a.txt", "a");
    Rules(tree.path());
    std::string junk(8192, '\0');
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>(i * 7);
    testing::WriteAll(program + "/norv.db", junk);
    for (const char* verb : {"init", "check"}) {
        Outcome o = Run(verb);
        EXPECT_EQ(o.exit_code, 2) << verb;
        EXPECT_NE(o.out.find("norv.db"), std::string::npos) << o.out;
    }
    EXPECT_EQ(ReadAll(program + "/norv.db"), junk);
}

TEST_F(FaultTest, FilesHoldingSecretsOrEvidenceAreOwnerOnly) {
    WriteSettings(scratch / "save", scratch / "cracked", /*restore=*/true);
    ::mkdir((scratch / "save").c_str(), 0755);
    tree.Write("a.txt", "a");
    Rules(tree.path());
    ASSERT_EQ(Run("archive").exit_code, 0);
    ASSERT_EQ(Run("init").exit_code, 0);
    tree.Write("new.txt", "planted");
    Run("check");
    for (std::string path :
         {program + "/norv.db", program + "/norv.log", scratch / "save/arcive.lzh"}) {
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mode & 077, 0u) << path;
    }
    struct stat st {};
    ASSERT_EQ(::stat((scratch / "cracked").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u);
}

TEST_F(FaultTest, AKilledArchiveNeverLeavesAPartialArchive) {
    ::mkdir((scratch / "save").c_str(), 0700);
    WriteSettings(scratch / "save", scratch / "cracked");
    ManyFiles(3000);
    tree.Write("big.bin", std::string(40 << 20, 'b'));
    Rules(tree.path());
    ASSERT_EQ(Run("archive").exit_code, 0);
    pid_t pid = Spawn("archive");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::string archive = scratch / "save/arcive.lzh";
    // Either none (the run had deleted the old one) or a whole one, never a torn one.
    if (platform::FileExists(testing::SystemEnv(), archive)) {
        EXPECT_EQ(std::system(("lhasa t '" + archive + "' >/dev/null 2>&1").c_str()), 0);
    }
    EXPECT_EQ(Run("archive").exit_code, 0);
    EXPECT_EQ(std::system(("lhasa t '" + archive + "' >/dev/null 2>&1").c_str()), 0);
}

TEST_F(FaultTest, AKilledInitKeepsThePreviousBaselineWhole) {
    ::mkdir((scratch / "save").c_str(), 0700);
    WriteSettings(scratch / "save", scratch / "cracked", /*restore=*/true);
    ManyFiles(4000);
    Rules(tree.path());
    ASSERT_EQ(Run("archive").exit_code, 0);
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(Run("init").exit_code, 0);
    const auto took = std::chrono::steady_clock::now() - started;
    std::mt19937 rng(20261207);
    for (int round = 0; round < 20; ++round) {
        pid_t pid = Spawn("init");
        // Any moment of the init: the kill is meant to land anywhere, so a delay is the point.
        std::uniform_int_distribution<long> moment(
            0, std::chrono::duration_cast<std::chrono::microseconds>(took).count());
        std::this_thread::sleep_for(std::chrono::microseconds(moment(rng)));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        // With automatic restore on, a false "created" would move site files away.
        Outcome check = Run("check");
        ASSERT_EQ(check.exit_code, 0) << "round " << round << ": " << check.out;
        ASSERT_EQ(::access((scratch / "cracked").c_str(), F_OK) == 0
                      ? testing::CountEntries(scratch / "cracked")
                      : 0,
                  0)
            << "round " << round;
    }
    // A failing init (a folder it cannot list) leaves the baseline too.
    if (::geteuid() != 0) {
        std::string locked = tree / "d0";
        ::chmod(locked.c_str(), 0);
        EXPECT_EQ(Run("init").exit_code, 2);
        ::chmod(locked.c_str(), 0755);
        EXPECT_EQ(Run("check").exit_code, 0);
    }
}

// A database made before the fingerprint was extended: the first check fills the second table
// without a report and says so once; killed while it fills, it leaves a database the next check
// finishes, still without a report, and from then on every fact is compared.
TEST_F(FaultTest, AnOldDatabaseUpgradesSilentlyAndAKilledUpgradeLeavesItUsable) {
    ::mkdir((scratch / "save").c_str(), 0700);
    WriteSettings(scratch / "save", scratch / "cracked", /*restore=*/true);
    constexpr int kFiles = 8000;
    ManyFiles(kFiles);
    Rules(tree.path());
    ASSERT_EQ(Run("archive").exit_code, 0);
    ASSERT_EQ(Run("init").exit_code, 0);
    const std::string db_path = program + "/norv.db";
    auto query = [&](const char* sql) {
        sqlite3* db = nullptr;
        int64_t value = -1;
        if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
            sqlite3_busy_timeout(db, 5000);
            sqlite3_stmt* stmt = nullptr;
            if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK &&
                sqlite3_step(stmt) == SQLITE_ROW) {
                value = sqlite3_column_int64(stmt, 0);
            }
            sqlite3_finalize(stmt);
        }
        sqlite3_close(db);
        return value;
    };
    const char* kFilled = "SELECT count(*) FROM fingerprint";
    bool killed_midway = false;
    for (int attempt = 0; attempt < 5 && !killed_midway; ++attempt) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(db_path.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "DROP TABLE fingerprint", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
        ASSERT_EQ(query("SELECT count(*) FROM sqlite_master WHERE name='fingerprint'"), 0);
        pid_t pid = testing::Spawn({binary, "--dir", program, "check"}, scratch / "first.txt");
        // Killed once some records have their facts and others not yet.
        int64_t filled = 0;
        testing::Eventually([&] {
            filled = query("SELECT count(*) FROM sqlite_master WHERE name='fingerprint'") == 1
                         ? query(kFilled)
                         : 0;
            return filled > 0;
        });
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        killed_midway = WIFSIGNALED(status) && query(kFilled) < kFiles;
    }
    ASSERT_TRUE(killed_midway) << "the upgrade always ended before the kill";
    EXPECT_NE(ReadAll(scratch / "first.txt").find("SHA-256"), std::string::npos)
        << ReadAll(scratch / "first.txt");
    EXPECT_EQ(testing::StoreIntegrity(db_path), "ok");

    Outcome next = Run("check");
    EXPECT_EQ(next.exit_code, 0) << next.out;
    EXPECT_EQ(next.out.find("SHA-256"), std::string::npos) << next.out;  // said once
    EXPECT_EQ(query(kFilled), kFiles);
    EXPECT_EQ(query("SELECT count(*) FROM fileinfo WHERE flg!=1 AND flg!=0"), 0);
    EXPECT_EQ(::access((scratch / "cracked").c_str(), F_OK) == 0
                  ? testing::CountEntries(scratch / "cracked")
                  : 0,
              0);
    ASSERT_EQ(::chmod((tree / "d0/f0").c_str(), 04777), 0);
    Outcome after = Run("check");
    EXPECT_EQ(after.exit_code, 1) << after.out;
    EXPECT_NE(after.out.find("変更 1"), std::string::npos) << after.out;
}

TEST_F(FaultTest, AFullDiskFailsWithTheFileNamedAndKeepsTheOldFiles) {
    std::string small = scratch.MakeDir("small");
    ScopedTmpfs disk(small, "64k");
    if (!disk.mounted()) GTEST_SKIP() << "mounting a tmpfs is not allowed here";
    program = small;  // the program folder lives on the small disk
    WriteSettings(scratch / "save", scratch / "cracked");
    Rules(tree.path());
    std::string settings_before = ReadAll(program + "/norvcfg.txt");
    std::string rules_before = ReadAll(program + "/user_rule.txt");
    ManyFiles(400);  // names enough to overflow a 64 KiB log
    for (int i = 0; i < 400; ++i)
        tree.Write("long/" + std::string(200, 'n') + std::to_string(i), "x");
    Outcome init = Run("init");
    // The database fills the disk first or the log does: either way the file is named.
    if (init.exit_code == 0) {
        for (int i = 0; i < 400; ++i)
            tree.Write("long/" + std::string(200, 'm') + std::to_string(i), "y");
        init = Run("check");
    }
    EXPECT_EQ(init.exit_code, 2) << init.out;
    EXPECT_TRUE(init.out.find("norv.log") != std::string::npos ||
                init.out.find("norv.db") != std::string::npos)
        << init.out;
    EXPECT_EQ(ReadAll(program + "/norvcfg.txt"), settings_before);
    EXPECT_EQ(ReadAll(program + "/user_rule.txt"), rules_before);
}

TEST_F(FaultTest, AFullDiskWhileArchivingKeepsThePreviousArchive) {
    std::string save = scratch.MakeDir("save");
    ScopedTmpfs disk(save, "1m");
    if (!disk.mounted()) GTEST_SKIP() << "mounting a tmpfs is not allowed here";
    WriteSettings(save, scratch / "cracked");
    tree.Write("small.txt", "small");
    Rules(tree.path());
    ASSERT_EQ(Run("archive").exit_code, 0);
    std::string before = ReadAll(save + "/arcive.lzh");
    std::mt19937 rng(11);
    std::string noise(3 << 20, '\0');
    for (auto& c : noise) c = static_cast<char>(rng());
    tree.Write("noise.bin", noise);  // does not compress, does not fit
    Outcome full = Run("archive");
    EXPECT_EQ(full.exit_code, 2);
    EXPECT_NE(full.out.find("LHA 圧縮エラー"), std::string::npos) << full.out;
    EXPECT_NE(full.out.find("No space left on device"), std::string::npos) << full.out;
    EXPECT_NE(full.out.find("arcive.lzh"), std::string::npos);
    EXPECT_TRUE(ReadAll(save + "/arcive.lzh") == before);
    EXPECT_EQ(testing::CountEntries(save), 1);  // no partial file left beside it
}

TEST_F(FaultTest, AReadOnlyProgramFolderIsReportedNotIgnored) {
    std::string folder = scratch.MakeDir("ro");
    ScopedTmpfs disk(folder, "1m");
    if (!disk.mounted()) GTEST_SKIP() << "mounting a tmpfs is not allowed here";
    program = folder;
    WriteSettings(scratch / "save", scratch / "cracked");
    tree.Write("a.txt", "a");
    Rules(tree.path());
    ASSERT_EQ(Run("init").exit_code, 0);
    ASSERT_TRUE(disk.MakeReadOnly());
    Outcome check = Run("check");
    EXPECT_EQ(check.exit_code, 2);
    EXPECT_NE(check.out.find(folder), std::string::npos) << check.out;
    EXPECT_NE(check.out.find("Read-only"), std::string::npos) << check.out;
}

// Runs the tool as an unprivileged user, so that file permissions bind; skipped where the
// test is not root (then permissions bind anyway) or setpriv is missing.
class AsUserTest : public FaultTest {
  protected:
    void SetUp() override {
        FaultTest::SetUp();
        if (::geteuid() != 0) GTEST_SKIP() << "runs as root only, to drop to another user";
        if (std::system("command -v setpriv >/dev/null") != 0) GTEST_SKIP() << "setpriv missing";
        for (const std::string& dir : {scratch.path(), tree.path()}) {
            ASSERT_EQ(std::system(("chown -R 65534:65534 '" + dir + "'").c_str()), 0);
        }
    }
    Outcome RunAsUser(const std::string& verb) {
        return testing::RunProcess({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                    "--clear-groups", binary, "--dir", program, verb},
                                   scratch / "out.txt");
    }
    void Own(const std::string& path) { ::chown(path.c_str(), 65534, 65534); }
};

TEST_F(AsUserTest, WhatCannotBeReadIsAWarningNeverAChangeAndTheRunGoesOn) {
    WriteSettings(scratch / "save", scratch / "cracked");
    Own(program + "/norvcfg.txt");
    std::string file = tree.Write("a.txt", "a");
    tree.Write("sub/b.txt", "b");
    tree.Write("z/c.txt", "c");
    Rules(tree.path());
    Own(program + "/user_rule.txt");
    for (const char* own : {"a.txt", "sub", "sub/b.txt", "z", "z/c.txt"}) Own(tree / own);
    ASSERT_EQ(RunAsUser("init").exit_code, 0);

    // Neither an unreadable file nor an unreadable folder is altered or deleted, and a change
    // beside them is still found.
    ::chmod(file.c_str(), 0);
    ::chmod((tree / "sub").c_str(), 0);
    tree.Write("z/c.txt", "changed");
    Outcome check = RunAsUser("check");
    // An archive without them is partial work, said as such.
    ::mkdir((scratch / "save").c_str(), 0700);
    Own(scratch / "save");
    Outcome archived = RunAsUser("archive");
    EXPECT_EQ(archived.exit_code, 3) << archived.out;
    ::chmod(file.c_str(), 0644);
    ::chmod((tree / "sub").c_str(), 0755);
    EXPECT_EQ(check.exit_code, 4);  // changes found, and not everything seen
    EXPECT_NE(check.out.find("変更 1  新規作成 0  削除 0"), std::string::npos) << check.out;
    EXPECT_NE(check.out.find("検査できなかった場所 2"), std::string::npos) << check.out;
    const std::string log = ReadAll(program + "/norv.log");
    EXPECT_NE(log.find("Warning: " + (tree / "a.txt")), std::string::npos) << log;
    EXPECT_NE(log.find("Warning: " + (tree / "sub/")), std::string::npos) << log;
    EXPECT_NE(log.find("Permission denied"), std::string::npos) << log;
    EXPECT_EQ(log.find("Deleted:"), std::string::npos) << log;

    // An init that cannot read them keeps their previous baseline: nothing is lost.
    tree.Write("z/c.txt", "c");
    ::chmod((tree / "sub").c_str(), 0);
    EXPECT_EQ(RunAsUser("init").exit_code, 3);  // not everything seen, nothing changed
    ::chmod((tree / "sub").c_str(), 0755);
    Outcome after = RunAsUser("check");
    EXPECT_EQ(after.exit_code, 0) << after.out;
}

TEST_F(AsUserTest, AReadOnlyCrackedFolderLeavesTheFileInPlace) {
    ::mkdir((scratch / "save").c_str(), 0700);
    ::mkdir((scratch / "cracked").c_str(), 0500);  // the user cannot write here
    Own(scratch / "save");
    Own(scratch / "cracked");
    WriteSettings(scratch / "save", scratch / "cracked", /*restore=*/true);
    Own(program + "/norvcfg.txt");
    tree.Write("a.txt", "good");
    Own(tree / "a.txt");
    Rules(tree.path());
    Own(program + "/user_rule.txt");
    ASSERT_EQ(RunAsUser("archive").exit_code, 0);
    ASSERT_EQ(RunAsUser("init").exit_code, 0);
    tree.Write("a.txt", "tampered");
    Outcome check = RunAsUser("check");
    EXPECT_EQ(check.exit_code, 1);
    EXPECT_NE(check.out.find("Permission denied"), std::string::npos) << check.out;
    // Not restored over: the tampered file is the only evidence until it can be kept.
    EXPECT_EQ(ReadAll(tree / "a.txt"), "tampered");
}

TEST_F(FaultTest, AFileChangingWhileItIsReadIsMeasuredAndSeenAgainLater) {
    WriteSettings(scratch / "save", scratch / "cracked");
    std::string file = tree.Write("growing.log", std::string(20 << 20, 'g'));
    Rules(tree.path());
    ASSERT_EQ(Run("init").exit_code, 0);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        while (!done) {
            std::ofstream(file, std::ios::binary | std::ios::app) << std::string(4096, 'w');
        }
    });
    Outcome during = Run("check");
    done = true;
    writer.join();
    EXPECT_EQ(during.exit_code, 1) << during.out;
    EXPECT_NE(during.out.find("変更 1"), std::string::npos);
    Outcome after = Run("check");  // still altered against the baseline, and no harm done
    EXPECT_EQ(after.exit_code, 1);
}

}  // namespace
}  // namespace norv
