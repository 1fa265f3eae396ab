#include "tests/support/test_support.h"

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "platform/db/database.h"

namespace norv::testing {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "norv-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    // Give back any permission a test took away, so everything can be removed.
    for (auto it = fs::recursive_directory_iterator(path_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0700);
    }
    fs::remove_all(path_, ec);
}

std::string TempDir::operator/(std::string_view relative) const {
    return path_ + "/" + std::string(relative);
}

std::string TempDir::Write(std::string_view relative, std::string_view content) const {
    std::string full = *this / relative;
    fs::create_directories(fs::path(full).parent_path());
    WriteAll(full, content);
    return full;
}

std::string TempDir::MakeDir(std::string_view relative) const {
    std::string full = *this / relative;
    fs::create_directories(full);
    return full;
}

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int CountEntries(const std::string& dir) {
    int n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) ++n;
    return n;
}

void WriteAll(const std::string& path, std::string_view content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

FixedClock::FixedClock() {
    // 2004-04-11 00:05:22 UTC is 09:05:22 in Tokyo.
    now_ = platform::TimePoint(std::chrono::seconds(1081641922));
}

std::unique_ptr<platform::RegionalFormat> JapaneseFormat() {
    return std::move(platform::RegionalFormat::Create("ja_JP", "Asia/Tokyo")).value();
}

std::vector<std::string> SettingsLines(const std::string& save_dir,
                                       const std::string& cracked_dir) {
    return {"reserved", "server1", " 0 ",          "pop.example", "smtp.example",
            "account",  "secret",  "from@example", "to@example",  " 0 ",
            "10",       " 0 ",     " 0 ",          save_dir,      cracked_dir};
}

Settings WithScanPeriod(const std::string& line) {
    Settings settings;
    settings.scan_period = line;
    SetLineValues(settings);
    return settings;
}

RunContext MakeContext(const std::string& program_dir) {
    RunContext context;
    context.folders = ProgramLayout::InOne(program_dir);
    context.system_dir = kSystemConfigFolder;
    context.root_dir = RootOf(context.system_dir);
    context.charset = "UTF-8";
    return context;
}

std::string StoreIntegrity(const std::string& db_path) {
    auto db = platform::Database::Open(testing::SystemEnv(), db_path, false);
    if (!db.ok()) return db.status().message();
    auto check = (*db)->Prepare("PRAGMA integrity_check");
    if (!check.ok()) return check.status().message();
    auto row = (*check)->Step();
    if (!row.ok()) return row.status().message();
    return row.value() ? (*check)->ColumnText(0) : "no answer";
}

std::string SourcePath(const std::string& relative) {
    return std::string(NORV_SOURCE_DIR) + "/" + relative;
}

bool KernelRunsOrSaySkipped(platform::DigestKernel kernel) {
    if (platform::DigestKernelRuns(kernel)) return true;
    const char* name = platform::DigestKernelName(kernel);
    // Not gtest's "[  SKIPPED ]": ctest would take the whole test, failures and all, as skipped.
    std::printf(
        "[ NOT RUN  ] %s digest kernels (MD5 and SHA-256 lanes) skipped: this processor "
        "lacks %s\n",
        name, name);
    std::fflush(stdout);
    return false;
}

void RefuseIoUringEnter() {
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_enter, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
    struct sock_fprog program = {std::size(filter), filter};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        std::_Exit(3);
    }
}

}  // namespace norv::testing
