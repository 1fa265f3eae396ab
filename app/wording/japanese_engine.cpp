// Init and check: the engine, its walk of the rules and its records.
#include "app/wording/japanese_subjects.h"
#include "platform/base/notice_code.h"

namespace norv {

std::string_view JapaneseEnginePattern(NoticeCode code) {
    switch (code) {
        default:
            return {};
    }
}

}  // namespace norv
