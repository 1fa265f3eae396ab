// The small interfaces through which the core reports to whoever drives it: the desktop
// windows, the command-line tool or a test. Every call happens on the thread that runs the
// command.
#pragma once

#include <string>

namespace norv {

// A message box with an OK button only, captioned with the application's title. Returns when
// the user has closed it.
class MessageBoxSink {
  public:
    virtual ~MessageBoxSink() = default;
    virtual void ShowMessageBox(const std::string& text) = 0;
};

// The main window's automatic-check timers (the scan-period timer and the display timer),
// switched together by loading and saving the settings.
class AutoCheckTimers {
  public:
    virtual ~AutoCheckTimers() = default;
    virtual void StartAutoCheckTimers() = 0;
    virtual void StopAutoCheckTimers() = 0;
};

}  // namespace norv
