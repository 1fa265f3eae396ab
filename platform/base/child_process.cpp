#include "platform/base/child_process.h"

#include <sys/wait.h>

#include <cerrno>

namespace norv::platform {

std::optional<int> WaitForChild(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return std::nullopt;
    }
    return status;
}

bool WaitForChildToEnd(pid_t child) {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT) < 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

}  // namespace norv::platform
