// The settings-file reader on any bytes: no crash; a file that loads saves 15 lines that load
// back to the same record.
#include <cstdlib>

#include "config/settings.h"
#include "fuzz/fuzz_support.h"

namespace {
class NoTimers : public norv::AutoCheckTimers {
public:
    void StartAutoCheckTimers() override {}
    void StopAutoCheckTimers() override {}
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    norv::RunContext context;
    context.program_dir = norv::fuzz::Scratch();
    context.root_dir = "/";
    context.charset = "UTF-8";
    norv::fuzz::WriteInput("norvcfg.txt", data, size);
    norv::Settings settings;
    norv::SettingsEditState edit;
    NoTimers timers;
    if (!norv::LoadSettings(context, settings, edit, timers).ok()) return 0;
    if (!norv::SaveSettings(context, settings, edit, timers).ok()) return 0;
    norv::Settings again;
    norv::SettingsEditState edit_again;
    if (!norv::LoadSettings(context, again, edit_again, timers).ok()) std::abort();
    if (again.server_name != settings.server_name || again.save_dir != settings.save_dir ||
        edit_again.check2 != edit.check2 || again.reserved_line != settings.reserved_line) {
        std::abort();
    }
    return 0;
}
