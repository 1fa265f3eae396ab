// Accepting changes, deploy holds and the protected archive.
#include "app/wording/japanese_subjects.h"
#include "platform/base/notice_code.h"

namespace norv {

std::string_view JapaneseAcceptPattern(NoticeCode code) {
    switch (code) {
        default:
            return {};
    }
}

}  // namespace norv
