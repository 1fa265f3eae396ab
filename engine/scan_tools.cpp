#include "engine/scan_tools.h"

#include "platform/base/notice_code.h"

namespace norv {

Status ScanTools::StopPoint() const {
    if (stop_requested == nullptr || !stop_requested->load()) return Status::Ok();
    return Status::Error(kErrStopped, Message(NoticeCode::kStoppedOnRequest));
}

}  // namespace norv
