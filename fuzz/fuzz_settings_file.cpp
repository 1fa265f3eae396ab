// The settings-file reader on any bytes: no crash; a file that loads saves 15 lines that load
// back to the same record.
#include <cstdlib>

#include "config/settings.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    norv::RunContext context;
    context.folders = norv::ProgramLayout::InOne(norv::fuzz::Scratch());
    context.root_dir = "/";
    context.charset = "UTF-8";
    norv::fuzz::WriteInput("norvcfg.txt", data, size);
    norv::Settings settings;
    norv::LiveSwitches switches;
    if (!norv::LoadSettings(context, settings, switches).ok()) return 0;
    if (!norv::SaveSettings(context, settings, switches).ok()) return 0;
    norv::Settings again;
    norv::LiveSwitches switches_again;
    if (!norv::LoadSettings(context, again, switches_again).ok()) std::abort();
    if (again.server_name != settings.server_name || again.save_dir != settings.save_dir ||
        switches_again.auto_restore != switches.auto_restore ||
        again.reserved_line != settings.reserved_line) {
        std::abort();
    }
    return 0;
}
