// The Japanese words of each subject's codes, one file per subject as notice_code.h lists them.
// Each returns an empty view for a code that is not its own.
#pragma once

#include <string_view>

#include "platform/base/message.h"

namespace norv {

std::string_view JapaneseBasePattern(NoticeCode code);
std::string_view JapaneseFsPattern(NoticeCode code);
std::string_view JapaneseTextPattern(NoticeCode code);
std::string_view JapaneseLhaPattern(NoticeCode code);
std::string_view JapaneseMailDbPattern(NoticeCode code);
std::string_view JapaneseConfigPattern(NoticeCode code);
std::string_view JapaneseEnginePattern(NoticeCode code);
std::string_view JapaneseWatchPattern(NoticeCode code);
std::string_view JapaneseWriterPattern(NoticeCode code);
std::string_view JapaneseAcceptPattern(NoticeCode code);
std::string_view JapaneseResponsePattern(NoticeCode code);

}  // namespace norv
