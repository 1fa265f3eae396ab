// The scan log's display of file names on any bytes: one line, no control character, and the
// log line written for it is exactly one line.
#include <cstdlib>
#include <string>

#include "engine/scan_log.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string name(reinterpret_cast<const char*>(data), size);
    std::string shown = norv::DisplayPath(name);
    for (unsigned char c : shown) {
        if (c < 0x20 || c == 0x7F) std::abort();
    }
    if (shown.find("\xE2\x80\xA8") != std::string::npos) std::abort();  // line separator
    norv::ScanLog log;
    const std::string path = norv::fuzz::Scratch() + "/norv.log";
    if (!log.Open(*norv::platform::Env::Default(), path, "UTF-8", "server", "date").ok()) {
        std::abort();
    }
    if (!log.ChangeLine(norv::ChangeKind::kAltered, name).ok()) std::abort();
    log.CloseKeepingLines();
    FILE* f = std::fopen(path.c_str(), "rb");
    int lines = 0;
    for (int c; (c = std::fgetc(f)) != EOF;) lines += c == '\n';
    std::fclose(f);
    if (lines != 7) std::abort();  // six header lines and the change line
    return 0;
}
