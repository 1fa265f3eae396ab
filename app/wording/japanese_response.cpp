// Responses to a change: quarantine, restore, the cracked folder, events and mail.
#include "app/wording/japanese_subjects.h"
#include "platform/base/notice_code.h"

namespace norv {

std::string_view JapaneseResponsePattern(NoticeCode code) {
    switch (code) {
        default:
            return {};
    }
}

}  // namespace norv
