// AutoCheckTimers: the front end's automatic-check timers (on the desktop, the scan-period timer
// and the display timer), switched together after the settings are loaded or saved.
#pragma once

namespace norv {

class AutoCheckTimers {
  public:
    virtual ~AutoCheckTimers() = default;
    virtual void StartAutoCheckTimers() = 0;
    virtual void StopAutoCheckTimers() = 0;
};

}  // namespace norv
