// What the containment tests share: a tree on real folders, the real norv-cli run on it,
// and the looks at what it left.
#pragma once

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
inline void Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

using testing::Outcome;
using testing::Reap;
using testing::RunProcess;
using testing::Spawn;

inline std::string Octal(unsigned value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%o", value);
    return buffer;
}

// Every entry below `full` (itself as `relative`), by kind, mode, owner and content or link
// target. Links are described, never followed.
inline void SnapshotInto(const std::string& full, const std::string& relative,
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

inline std::map<std::string, std::string> Snapshot(const std::string& root) {
    std::map<std::string, std::string> out;
    SnapshotInto(root, ".", out);
    return out;
}

// What differs between two snapshots, one line each, the first dozen and a count of the rest
// (empty when they are equal).
inline std::string Differences(const std::map<std::string, std::string>& before,
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
inline std::vector<std::string> Names(const std::string& dir) {
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
inline std::vector<FoundFile> RegularFilesBelow(const std::string& dir) {
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

inline std::vector<FoundFile> FilesHolding(const std::string& dir, const std::string& content) {
    std::vector<FoundFile> found;
    for (auto& f : RegularFilesBelow(dir)) {
        if (f.content == content) found.push_back(f);
    }
    return found;
}

inline std::string FileNameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

inline std::vector<std::string> LogLines(const std::string& log) {
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

inline bool HasLine(const std::string& log, const std::string& wanted) {
    for (const std::string& line : LogLines(log)) {
        if (line == wanted) return true;
    }
    return false;
}

// A change line for the file under either of the names it may be reported by (a link's own
// path or its target's).
inline bool HasChange(const std::string& log, const std::string& word,
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

inline bool WriteAt(int dirfd, const std::string& name, const std::string& content) {
    Fd out(::openat(dirfd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644));
    if (out.fd < 0) return false;
    return ::write(out.fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
}

// Removes `name` in `parent` with everything below it, through descriptors only, so paths of
// any length go.
inline void RemoveTreeAt(int parent, const std::string& name) {
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

}  // namespace
}  // namespace norv
