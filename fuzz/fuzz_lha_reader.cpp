// The LHA reader and extractor on damaged archives: no crash, no hang, and nothing is ever
// written outside the extraction folder.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "fuzz/fuzz_support.h"
#include "platform/fs/file_system.h"
#include "platform/lha/lha_archive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace fs = std::filesystem;
    const std::string archive = norv::fuzz::WriteInput("input.lzh", data, size);
    const std::string root = norv::fuzz::Scratch() + "/root";
    std::error_code ec;
    fs::remove_all(root, ec);
    fs::create_directories(root);
    norv::platform::Env& env = *norv::platform::Env::Default();
    auto entries = norv::platform::lha::ListArchive(env, archive);
    if (entries.ok()) {
        for (size_t i = 0; i < entries->size() && i < 4; ++i) {
            const std::string& path = (*entries)[i].path;
            if (!path.empty()) norv::platform::lha::RestoreEntryBelow(env, archive, path, root);
        }
    }
    // Everything extracted stays below the root: nothing but the input and the root beside it.
    for (const auto& e : fs::directory_iterator(norv::fuzz::Scratch())) {
        std::string n = e.path().filename().string();
        if (n != "input.lzh" && n != "root") std::abort();
    }
    return 0;
}
