// Shapes shared by every subject: a message and its cause, a numbered error.
#include "app/wording/japanese_subjects.h"
#include "platform/base/notice_code.h"

namespace norv {

std::string_view JapaneseBasePattern(NoticeCode code) {
    switch (code) {
        case NoticeCode::kWithCause:
            return "{0}: {1}";
        case NoticeCode::kNumberedError:
            return "エラー {0}: {1}";
        case NoticeCode::kBatchReadingGivenUp:
            return "io_uring で読めなくなったため、以後はファイルを一つずつ読みます";
        default:
            return {};
    }
}

}  // namespace norv
