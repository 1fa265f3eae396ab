// The file system: listing, opening and trusting folders, files and links.
#include "app/wording/japanese_subjects.h"
#include "platform/base/notice_code.h"

namespace norv {

std::string_view JapaneseFsPattern(NoticeCode code) {
    switch (code) {
        default:
            return {};
    }
}

}  // namespace norv
