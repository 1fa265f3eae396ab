// The archiver's command-line parser on any text: no crash, and what it accepts has the two
// shapes and names an archive.
#include <cstdlib>
#include <string_view>

#include "platform/lha/archiver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view line(reinterpret_cast<const char*>(data), size);
    auto command = norv::platform::lha::ParseArchiverCommand(line);
    if (command.ok() && (command->archive.empty() || command->operand.empty())) std::abort();
    return 0;
}
