// The mail server and the database.
#include "app/wording/japanese_subjects.h"
#include "platform/base/notice_code.h"

namespace norv {

std::string_view JapaneseMailDbPattern(NoticeCode code) {
    switch (code) {
        default:
            return {};
    }
}

}  // namespace norv
