// Times `norv-cli init` and `norv-cli check` on a generated tree and prints the figures.
//
//   norv-bench [--files N] [--dirs N] [--runs N] [--keep FOLDER]
//
// The tree is seeded, so every run sees the same files: N files of 1-16 KiB spread over nested
// folders whose names mix Japanese, apostrophes and commas. The check runs after 1 % of the files
// were altered. Each figure is the median of the runs; peak memory is the child's maximum RSS.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Sample {
    double seconds;
    long peak_kib;
    int exit_code;
};

Sample RunCli(const std::string& cli, const std::string& program, const char* verb) {
    std::fflush(stdout);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        std::freopen("/dev/null", "w", stdout);
        ::execl(cli.c_str(), cli.c_str(), "--dir", program.c_str(), verb,
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return {seconds, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

Sample Median(std::vector<Sample> samples) {
    std::sort(samples.begin(), samples.end(),
              [](const Sample& a, const Sample& b) { return a.seconds < b.seconds; });
    return samples[samples.size() / 2];
}

void Print(const char* what, const Sample& s, long files, double megabytes) {
    std::printf("%-6s %8.3f s  %10.0f files/s  %8.1f MB/s  peak %6.1f MiB  (exit %d)\n", what,
                s.seconds, static_cast<double>(files) / s.seconds, megabytes / s.seconds,
                static_cast<double>(s.peak_kib) / 1024.0, s.exit_code);
}

}  // namespace

int main(int argc, char** argv) {
    long files = 100000;
    int dirs = 2000;
    int runs = 3;
    std::string keep;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--files")
            files = std::atol(argv[i + 1]);
        else if (a == "--dirs")
            dirs = std::atoi(argv[i + 1]);
        else if (a == "--runs")
            runs = std::atoi(argv[i + 1]);
        else if (a == "--keep")
            keep = argv[i + 1];
    }
    fs::path self = fs::canonical("/proc/self/exe").parent_path();
    std::string cli = (self.parent_path() / "app/cli/norv-cli").string();
    fs::path root = keep.empty()
                        ? fs::temp_directory_path() / ("norv-bench-" + std::to_string(::getpid()))
                        : fs::path(keep);
    fs::path tree = root / "tree";
    fs::path program = root / "program";
    fs::create_directories(program);

    std::mt19937_64 rng(20261207);
    const char* names[] = {"data", "日本語", "it's", "a,b", "ログ", "img"};
    std::vector<fs::path> folders;
    for (int d = 0; d < dirs; ++d) {
        fs::path parent = folders.empty() || d % 10 == 0 ? tree : folders[rng() % folders.size()];
        if (parent.string().size() > 3000) parent = tree;
        folders.push_back(parent / (std::string(names[d % 6]) + std::to_string(d)));
    }
    double megabytes = 0;
    std::vector<fs::path> all_files;
    if (!fs::exists(tree)) {
        for (const auto& f : folders) fs::create_directories(f);
        std::string buffer(16384, 'x');
        for (long i = 0; i < files; ++i) {
            for (auto& c : buffer) c = static_cast<char>('a' + rng() % 26);
            size_t size = 1024 + rng() % (16384 - 1024);
            fs::path path = folders[static_cast<size_t>(i) % folders.size()] /
                            ("f" + std::to_string(i) + ".dat");
            std::ofstream(path, std::ios::binary)
                .write(buffer.data(), static_cast<std::streamsize>(size));
        }
    }
    for (const auto& e : fs::recursive_directory_iterator(tree)) {
        if (e.is_regular_file()) {
            all_files.push_back(e.path());
            megabytes += static_cast<double>(e.file_size()) / 1e6;
        }
    }
    std::ofstream(program / "norvcfg.txt", std::ios::binary)
        << "bench\r\nbench\r\n 0 \r\n\r\n\r\n\r\n\r\n\r\n\r\n 0 \r\n10\r\n 0 \r\n 0 \r\n"
        << (root / "save").string() << "\r\n"
        << (root / "cracked").string() << "\r\n";
    std::ofstream(program / "user_rule.txt", std::ios::binary)
        << "<rule>" << tree.string() << ",3</rule>\r\n";

    std::printf("tree: %zu files, %.0f MB, %d folders; %d runs each, medians\n", all_files.size(),
                megabytes, dirs, runs);
    // Warm the cache once so every run measures the same thing.
    RunCli(cli, program, "init");
    std::vector<Sample> init, check;
    for (int r = 0; r < runs; ++r) init.push_back(RunCli(cli, program, "init"));
    for (size_t i = 0; i < all_files.size(); i += 100) {
        std::ofstream(all_files[i], std::ios::binary | std::ios::app) << "tampered";
    }
    for (int r = 0; r < runs; ++r) check.push_back(RunCli(cli, program, "check"));
    long count = static_cast<long>(all_files.size());
    Print("init", Median(init), count, megabytes);
    Print("check", Median(check), count, megabytes);
    if (keep.empty()) fs::remove_all(root);
    return 0;
}
