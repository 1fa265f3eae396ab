// Who changed it: the watch on fanotify and the writer of a change.
#include "app/wording/japanese_subjects.h"
#include "platform/base/notice_code.h"

namespace norv {

std::string_view JapaneseWriterPattern(NoticeCode code) {
    switch (code) {
        case NoticeCode::kCannotStartFanotify:
            return "fanotify を使えません";
        case NoticeCode::kCannotWatchOnFanotify:
            return "{0} を fanotify で監視できません";
        case NoticeCode::kCannotMarkFileSystem:
            return "{0} のファイルシステムを fanotify で監視できません";
        case NoticeCode::kCannotReadFanotify:
            return "ファイルシステムの変更を読めません";
        case NoticeCode::kWatchOnFanotify:
            return "リアルタイム監視は fanotify で動いています (ファイルシステム {0})";
        case NoticeCode::kWatchOnInotify:
            return "リアルタイム監視は inotify で動いています (フォルダごと): {0}";
        default:
            return {};
    }
}

}  // namespace norv
