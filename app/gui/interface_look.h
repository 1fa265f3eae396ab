// The look every window shares: one proportional face for Latin and Japanese alike (the settings
// window's mail fields alone take a monospaced one), frame titles set in from the frame's corner,
// and Qt's own texts (dialog buttons and the like) in Japanese.
#pragma once

#include <QString>

namespace norv::gui {

// Sets the application's font to the first installed Japanese gothic face that also carries
// Latin letters and digits, so a date or a count beside Japanese text comes from the same face,
// keeping the platform's point size; sets the application style; and installs Qt's Japanese
// translation where one is installed. Returns the family chosen, empty when none is installed
// (the platform's default face then stays).
QString UseInterfaceLook();

}  // namespace norv::gui
