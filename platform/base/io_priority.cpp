#include "platform/base/io_priority.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace norv::platform {

namespace {

// From linux/ioprio.h, which older kernel headers lack.
constexpr int kWhoProcess = 1;
constexpr int kClassShift = 13;
constexpr int kClassBestEffort = 2;
constexpr int kClassIdle = 3;
constexpr int kLowestBestEffortLevel = 7;

}  // namespace

std::optional<IoPriority> ParseIoPriority(std::string_view name) {
    if (name == "idle") return IoPriority::kIdle;
    if (name == "best-effort") return IoPriority::kBestEffort;
    return std::nullopt;
}

int IoPriorityValue(IoPriority priority) {
    switch (priority) {
        case IoPriority::kInherited:
            return 0;
        case IoPriority::kBestEffort:
            return kClassBestEffort << kClassShift | kLowestBestEffortLevel;
        case IoPriority::kIdle:
            return kClassIdle << kClassShift;
    }
    return 0;
}

int SetIoPriority(IoPriority priority) {
    if (priority == IoPriority::kInherited) return 0;
    // who 0: this thread; threads made after it inherit its priority.
    if (::syscall(SYS_ioprio_set, kWhoProcess, 0, IoPriorityValue(priority)) != 0) return errno;
    return 0;
}

}  // namespace norv::platform
