// Tampers with watched files and times how long the watch takes to put them back.
//
//   norv-watch-probe latency FILE REPEATS   overwrites FILE REPEATS times, each time waiting
//                                           until its first content is back; prints p50, p95,
//                                           p99 and the longest wait in milliseconds
//   norv-watch-probe burst FOLDER COUNT     overwrites the first COUNT files below FOLDER (in
//                                           name order) as fast as it can, then waits until
//                                           every one holds its first content again
//   norv-watch-probe rewrite FILE SECONDS   an attacker's pace: overwrites FILE every 50 ms
//                                           for SECONDS, reading it every millisecond between
//                                           writes; prints the share of reads that found it
//                                           defaced
//   norv-watch-probe flood FILE COUNT       creates COUNT new files beside FILE's folder (in a
//                                           folder "flood-N"), overwrites FILE, and prints how
//                                           long FILE took to come back
//
// A wait that passes 30 s is reported as a failure (exit status 1).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void Write(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Polls until every file holds its expected content; false after 30 s.
bool WaitRestored(const std::vector<fs::path>& files, const std::vector<std::string>& expected) {
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    size_t done = 0;
    while (done < files.size()) {
        if (Read(files[done]) == expected[done]) {
            ++done;
            continue;
        }
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr,
                     "usage: norv-watch-probe latency FILE REPEATS | burst FOLDER COUNT | rewrite "
                     "FILE SECONDS | "
                     "flood FILE COUNT\n");
        return 2;
    }
    const std::string mode = argv[1];
    // Content no earlier run can have left behind: every write is a change.
    const std::string nonce =
        std::to_string(std::chrono::system_clock::now().time_since_epoch().count());
    const fs::path target = argv[2];
    const long count = std::atol(argv[3]);
    if (mode == "latency") {
        const std::vector<fs::path> files = {target};
        const std::vector<std::string> original = {Read(target)};
        std::vector<double> waits;
        for (long i = 0; i < count; ++i) {
            const auto start = Clock::now();
            Write(target, "defaced " + nonce + " " + std::to_string(i) + "\n");
            if (!WaitRestored(files, original)) {
                std::fprintf(stderr, "not restored within 30 s (round %ld)\n", i);
                return 1;
            }
            waits.push_back(Ms(Clock::now() - start));
        }
        std::sort(waits.begin(), waits.end());
        auto at = [&](double q) {
            return waits[std::min(waits.size() - 1,
                                  static_cast<size_t>(q * static_cast<double>(waits.size())))];
        };
        std::printf(
            "restore latency over %ld overwrites: p50 %.0f ms  p95 %.0f ms  p99 %.0f ms  "
            "max %.0f ms\n",
            count, at(0.50), at(0.95), at(0.99), waits.back());
        return 0;
    }
    if (mode == "burst") {
        std::vector<fs::path> files;
        for (const auto& entry : fs::recursive_directory_iterator(target)) {
            if (entry.is_regular_file()) files.push_back(entry.path());
        }
        std::sort(files.begin(), files.end());
        files.resize(std::min(files.size(), static_cast<size_t>(count)));
        std::vector<std::string> original;
        for (const auto& f : files) original.push_back(Read(f));
        const auto start = Clock::now();
        for (const auto& f : files) Write(f, "defaced in a burst " + nonce + "\n");
        const double written = Ms(Clock::now() - start);
        if (!WaitRestored(files, original)) {
            std::fprintf(stderr, "not every file restored within 30 s\n");
            return 1;
        }
        std::printf(
            "burst: %zu files overwritten in %.0f ms, all restored %.0f ms after the "
            "first write\n",
            files.size(), written, Ms(Clock::now() - start));
        return 0;
    }
    if (mode == "rewrite") {
        const std::string original = Read(target);
        const auto end = Clock::now() + std::chrono::seconds(count);
        long reads = 0, defaced = 0, writes = 0;
        while (Clock::now() < end) {
            Write(target, "defaced " + nonce + "\n");
            ++writes;
            const auto next = Clock::now() + std::chrono::milliseconds(50);
            while (Clock::now() < next) {
                ++reads;
                if (Read(target) != original) ++defaced;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        std::printf(
            "rewritten every 50 ms for %ld s (%ld writes): defaced in %.1f %% of %ld "
            "reads\n",
            count, writes, 100.0 * static_cast<double>(defaced) / static_cast<double>(reads),
            reads);
        Write(target, original);  // leaves it as found, whatever the watch did
        return WaitRestored({target}, {original}) ? 0 : 1;
    }
    if (mode == "flood") {
        const std::vector<std::string> original = {Read(target)};
        const fs::path flood = target.parent_path().parent_path() / ("flood-" + nonce);
        fs::create_directory(flood);
        const auto start = Clock::now();
        for (long i = 0; i < count; ++i) Write(flood / ("f" + std::to_string(i)), "x");
        const auto defaced = Clock::now();
        Write(target, "defaced behind a flood " + nonce + "\n");
        if (!WaitRestored({target}, original)) {
            std::fprintf(stderr, "not restored within 30 s\n");
            return 1;
        }
        std::printf("flood: %ld new files in %.0f ms, then the page defaced: back after %.0f ms\n",
                    count, Ms(defaced - start), Ms(Clock::now() - defaced));
        return 0;
    }
    std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
    return 2;
}
