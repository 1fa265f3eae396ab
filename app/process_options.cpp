#include "app/process_options.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <string_view>

#include "platform/base/batch_reader.h"
#include "platform/digest/digest_lanes.h"
#include "platform/text/text_file.h"

namespace norv {
namespace {

std::string UserName(uid_t uid) {
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::string buffer(16384, '\0');
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return found->pw_name;
    }
    return std::to_string(uid);
}

std::string AcceptingUser(platform::Env& env) {
    if (const char* sudo = std::getenv("SUDO_USER"); sudo != nullptr && *sudo != '\0') {
        return sudo;
    }
    // The login uid the kernel keeps through su and sudo; unset (4294967295) for a daemon.
    auto text = platform::ReadFileBytes(env, "/proc/self/loginuid", 32);
    if (text.ok()) {
        char* end = nullptr;
        const unsigned long long uid = std::strtoull(text->c_str(), &end, 10);
        if (end != text->c_str() && uid < 4294967295ULL) return UserName(static_cast<uid_t>(uid));
    }
    return UserName(getuid());
}

}  // namespace

ProcessOptions ReadProcessOptions(platform::Env& env) {
    ProcessOptions options;
    options.user = AcceptingUser(env);
    if (const char* fanotify = std::getenv("NORV_FANOTIFY")) {
        options.fanotify = std::string_view(fanotify) != "off";
    }
    // What the variables ask for that this machine cannot give is said once, here.
    const char* io = std::getenv("NORV_IO");
    const std::string io_name = io != nullptr ? io : "";
    const std::optional<platform::IoPath> path = platform::ParseIoPath(io_name);
    if (!path) {
        std::cerr << "norv: NORV_IO=" << io_name
                  << ": unknown (plain or uring); choosing by the kernel\n";
    } else if (*path == platform::IoPath::kUring &&
               std::string_view(platform::ChosenIoName(*path)) != "uring") {
        std::cerr << "norv: NORV_IO=uring: io_uring unavailable; using plain reads\n";
    }
    options.reading.io = path.value_or(platform::IoPath::kAuto);
    const char* kernel = std::getenv("NORV_DIGEST_KERNEL");
    if (kernel != nullptr && *kernel != '\0') {
        options.reading.digest_kernel = kernel;
        const std::optional<platform::DigestKernel> named = platform::DigestKernelNamed(kernel);
        const char* best = platform::DigestKernelName(platform::ChosenDigestKernel());
        if (!named) {
            std::cerr << "norv: NORV_DIGEST_KERNEL=" << kernel
                      << ": unknown (avx512, avx2 or portable); using " << best << "\n";
        } else if (!platform::DigestKernelRuns(*named)) {
            std::cerr << "norv: NORV_DIGEST_KERNEL=" << kernel
                      << ": this processor lacks it; using " << best << "\n";
        }
    }
    return options;
}

}  // namespace norv
