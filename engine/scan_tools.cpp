#include "engine/scan_tools.h"

namespace norv {

Status ScanTools::StopPoint() const {
    if (stop_requested == nullptr || !stop_requested->load()) return Status::Ok();
    return Status::Error(kErrStopped, "検査を途中で止めました (停止の指示)");
}

}  // namespace norv
