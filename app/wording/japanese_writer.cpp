// Who changed it: the watch on fanotify and the writer of a change.
#include "app/wording/japanese_subjects.h"
#include "platform/base/notice_code.h"

namespace norv {

std::string_view JapaneseWriterPattern(NoticeCode code) {
    switch (code) {
        default:
            return {};
    }
}

}  // namespace norv
