// The shown forms of a capability and an ACL on any bytes (the values the kernel keeps, or a
// record's): no crash, and one line of text that names each byte it cannot read.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/digest/fingerprint.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string raw(reinterpret_cast<const char*>(data), size);
    for (const std::string& shown :
         {norv::platform::ShownCapabilities(raw), norv::platform::ShownAcl(raw)}) {
        if (shown.find('\n') != std::string::npos || shown.find('\0') != std::string::npos) {
            std::abort();
        }
    }
    return 0;
}
