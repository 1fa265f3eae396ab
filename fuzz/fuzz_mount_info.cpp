// A line of the mount table (or of the table of user mounts), whose paths and source names other
// users choose: no crash, and a line understood as FUSE says who mounted it only from its own
// super options; a user mount names its user only from a "user=" option.
#include <cstdlib>
#include <string_view>

#include "platform/fs/file_system.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    auto facts = norv::platform::ParseMountInfoLine(line);
    if (facts && facts->fuse_user && line.find("user_id=") == std::string_view::npos) std::abort();
    auto user_mount = norv::platform::ParseUserMountLine(line);
    if (user_mount && line.find("user=") == std::string_view::npos) std::abort();
    return 0;
}
