#include "app/process_options.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

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
    const char* io = std::getenv("NORV_IO");
    options.reading.io = platform::ParseIoPath(io != nullptr ? io : "");
    const char* kernel = std::getenv("NORV_DIGEST_KERNEL");
    if (kernel != nullptr) options.reading.digest_kernel = kernel;
    return options;
}

}  // namespace norv
