#include "platform/status.h"

#include <cstring>

namespace norv {

Status Status::FromErrno(int err, const std::string& what) {
    return Error(err, what + ": " + std::strerror(err));
}

std::string Status::ToString() const {
    if (ok()) return {};
    return "エラー " + std::to_string(code_) + ": " + message_;
}

}  // namespace norv
