// Whether every text of a window can be read: used by the window tests and by the screenshot
// tool, which runs on a real X server with a window manager.
#pragma once

#include <QWidget>
#include <string>
#include <vector>

namespace norv::testing {

// Every control under `root` whose text does not fit inside it, that crosses its frame, or that
// covers a neighbour, as "name: why". Hidden controls and texts the user types are left out.
std::vector<std::string> ClippedControls(QWidget* root);

}  // namespace norv::testing
