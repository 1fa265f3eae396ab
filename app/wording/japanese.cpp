#include "app/wording/japanese.h"

#include "platform/base/notice_code.h"

namespace norv {

// One case per code, with no default: a code without words does not compile (-Werror=switch).
// The sections follow the subjects of notice_code.h.
std::string_view JapanesePattern(NoticeCode code) {
    switch (code) {
        case NoticeCode::kLiteral:
            return {};

        // Shapes shared by every subject.
        case NoticeCode::kWithCause:
            return "{0}: {1}";
        case NoticeCode::kNumberedError:
            return "エラー {0}: {1}";
        case NoticeCode::kBatchReadingGivenUp:
            return "io_uring で読めなくなったため、以後はファイルを一つずつ読みます";

            // The file system.

            // Text files, character sets and dates.

            // The LHA archive.

            // The mail server and the database.

            // The settings file, the rule file and the watched places.

            // Init and check.

            // The real-time watch.

            // Accepting changes, deploy holds and the protected archive.

            // Responses to a change.
    }
    return {};
}

}  // namespace norv
