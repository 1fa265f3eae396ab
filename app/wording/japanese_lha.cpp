// The LHA archive: writing it and restoring from it.
#include "app/wording/japanese_subjects.h"
#include "platform/base/notice_code.h"

namespace norv {

std::string_view JapaneseLhaPattern(NoticeCode code) {
    switch (code) {
        default:
            return {};
    }
}

}  // namespace norv
