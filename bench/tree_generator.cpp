// Writes a seeded tree for the benchmark, the same tree for the same arguments.
//
//   norv-treegen FOLDER small FILES FOLDERS   FILES files of 1-16 KiB in FOLDERS nested folders
//                                              (names with Japanese, apostrophes and commas)
//   norv-treegen FOLDER big COUNT MIB          COUNT files of MIB MiB each
//   norv-treegen FOLDER empty FILES FOLDERS    FILES empty files
//   norv-treegen FOLDER mutate PERCENT         appends to that share of the files, seeded
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> Folders(const fs::path& root, int count, std::mt19937_64& rng) {
    const char* names[] = {"data", "日本語", "it's", "a,b", "ログ", "img"};
    std::vector<fs::path> folders;
    for (int d = 0; d < count; ++d) {
        fs::path parent = folders.empty() || d % 10 == 0 ? root : folders[rng() % folders.size()];
        if (parent.string().size() > 2000) parent = root;
        folders.push_back(parent / (std::string(names[d % 6]) + std::to_string(d)));
        fs::create_directories(folders.back());
    }
    return folders;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: norv-treegen FOLDER small|big|empty|mutate ...\n");
        return 2;
    }
    fs::path root = argv[1];
    std::string kind = argv[2];
    std::mt19937_64 rng(20261207);
    if (kind == "small" || kind == "empty") {
        long files = std::atol(argv[3]);
        int dirs = argc > 4 ? std::atoi(argv[4]) : 2000;
        auto folders = Folders(root, dirs, rng);
        std::string buffer(16384, 'x');
        for (long i = 0; i < files; ++i) {
            fs::path path = folders[static_cast<size_t>(i) % folders.size()] /
                            ("f" + std::to_string(i) + ".dat");
            std::ofstream out(path, std::ios::binary);
            if (kind == "small") {
                for (auto& c : buffer) c = static_cast<char>('a' + rng() % 26);
                out.write(buffer.data(),
                          static_cast<std::streamsize>(1024 + rng() % (16384 - 1024)));
            }
        }
    } else if (kind == "big") {
        int count = std::atoi(argv[3]);
        long mib = argc > 4 ? std::atol(argv[4]) : 64;
        fs::create_directories(root);
        std::string block(1 << 20, '\0');
        for (auto& c : block) c = static_cast<char>(rng());
        for (int i = 0; i < count; ++i) {
            std::ofstream out(root / ("big" + std::to_string(i) + ".bin"), std::ios::binary);
            for (long m = 0; m < mib; ++m) {
                block[static_cast<size_t>(m % 1024)] = static_cast<char>(i);  // every file differs
                out.write(block.data(), static_cast<std::streamsize>(block.size()));
            }
        }
    } else if (kind == "mutate") {
        int percent = std::atoi(argv[3]);
        std::vector<fs::path> files;
        for (const auto& e : fs::recursive_directory_iterator(root)) {
            if (e.is_regular_file()) files.push_back(e.path());
        }
        std::sort(files.begin(), files.end());
        std::shuffle(files.begin(), files.end(), rng);
        files.resize(files.size() * static_cast<size_t>(percent) / 100);
        for (const auto& f : files)
            std::ofstream(f, std::ios::binary | std::ios::app) << "tampered";
        std::printf("%zu files altered\n", files.size());
    } else {
        return 2;
    }
    return 0;
}
