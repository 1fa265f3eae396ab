// The look every window shares: one face for Latin and Japanese alike, and frame titles set in
// from the frame's corner.
#pragma once

#include <QString>

namespace norv::gui {

// Sets the application's font to the first installed Japanese gothic face that also carries
// Latin letters and digits, so a date or a count beside Japanese text comes from the same face,
// keeping the platform's point size; and sets the application style. Returns the family chosen,
// empty when none is installed (the platform's default face then stays).
QString UseInterfaceLook();

}  // namespace norv::gui
