#include "app/wording/japanese.h"

#include "app/wording/japanese_subjects.h"

namespace norv {

// Each subject's table answers only for its own codes; a code no table words renders as its
// name, and the wording test fails for it.
std::string_view JapanesePattern(NoticeCode code) {
    static constexpr std::string_view (*kSubjects[])(NoticeCode) = {
        &JapaneseBasePattern,   &JapaneseFsPattern,      &JapaneseTextPattern,
        &JapaneseLhaPattern,    &JapaneseMailDbPattern,  &JapaneseConfigPattern,
        &JapaneseEnginePattern, &JapaneseWatchPattern,   &JapaneseWriterPattern,
        &JapaneseAcceptPattern, &JapaneseResponsePattern};
    for (auto subject : kSubjects) {
        if (std::string_view pattern = subject(code); !pattern.empty()) return pattern;
    }
    return {};
}

}  // namespace norv
