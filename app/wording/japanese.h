// The program's words: every message the core gives a person, in Japanese, in one table.
#pragma once

#include <string_view>

#include "platform/base/message.h"

namespace norv {

// The pattern of a code in Japanese ({0}..{9} where its arguments go).
std::string_view JapanesePattern(NoticeCode code);

// Installs the Japanese table for Render(); each program calls it once at start-up.
inline void UseJapaneseWording() { InstallWording(&JapanesePattern); }

}  // namespace norv
