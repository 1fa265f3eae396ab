// MessageBoxSink: how the core shows a message to whoever drives it (the desktop program, the
// command-line tool or a test). Every call happens on the thread that runs the command.
#pragma once

#include <string>

namespace norv {

// A message box with an OK button only, captioned with the application's title. Returns when
// the user has closed it; the desktop program returns at once for what nobody started by hand
// (start-up, an automatic check) and shows the text later as a notice that waits for no one.
class MessageBoxSink {
  public:
    virtual ~MessageBoxSink() = default;
    virtual void ShowMessageBox(const std::string& text) = 0;
};

}  // namespace norv
