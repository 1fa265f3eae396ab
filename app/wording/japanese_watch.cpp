// The real-time watch.
#include "app/wording/japanese_subjects.h"
#include "platform/base/notice_code.h"

namespace norv {

std::string_view JapaneseWatchPattern(NoticeCode code) {
    switch (code) {
        case NoticeCode::kWatchEventsLost:
            return "変更の知らせが多すぎて一部が失われました (fs.inotify.max_queued_events = "
                   "{0})。全体を検査します";
        case NoticeCode::kWatchedFolderMoved:
            return "{0} が移動されました。全体を検査します";
        case NoticeCode::kWatchedFolderRemoved:
            return "{0} が削除されました。全体を検査します";
        case NoticeCode::kTooManyNewFolders:
            return "監視を待つ新しいフォルダが {0} を超えました。全体を検査します";
        case NoticeCode::kTooManyPendingFiles:
            return "確認を待つファイルが {0} を超えました。全体を検査します";
        case NoticeCode::kFullCheckFor:
            return "{0}。全体を検査します";
        case NoticeCode::kRecordedFirstCutShort:
            return "記録済みのファイルの先行確認を {0} 件で打ち切りました (上限 {1} ミリ秒または "
                   "{2} 件)。残りは続く全体検査で確認します";
        case NoticeCode::kWatchEventsFailed:
            return "{0} (監視をやり直し、全体を検査します)";
        case NoticeCode::kHoldEndedFullCheck:
            return "保留が終わりました。保留中に見つけた変更に対応するため、全体を検査します";
        case NoticeCode::kFoldersBelowNotWatched:
            return "{0} (この先のフォルダはリアルタイムでは監視しません)";
        case NoticeCode::kOverWatchLimit:
            return "{0} "
                   "個のフォルダをリアルタイムで監視できません。変更は次の全体検査で見つけます。"
                   "fs.inotify.max_user_watches (今は {1}) を {2} 以上にしてください (sysctl -w "
                   "fs.inotify.max_user_watches={2})";
        case NoticeCode::kFolderTooDeep:
            return "{0}: {1} 階層より深いフォルダはリアルタイムでは監視しません "
                   "(全体検査で検査します)";
        case NoticeCode::kFolderNotWatchedFor:
            return "{0} (このフォルダはリアルタイムでは監視しません)";
        case NoticeCode::kFolderNotWatched:
            return "監視していないフォルダです";
        case NoticeCode::kWatchedFolderLost:
            return "監視の途中のフォルダが失われました";
        case NoticeCode::kWatchedFolderReplaced:
            return "{0} が別のフォルダに置き換えられました。全体を検査します";
        case NoticeCode::kNotTheWatchedFolder:
            return "{0} は監視しているフォルダではありません";
        case NoticeCode::kCannotWatchInside:
            return "{0} の中を監視できません。全体を検査します";
        case NoticeCode::kRestoreRetriesGivenUp:
            return "{0} の復旧に {1} "
                   "回失敗したため、やり直しをやめました。次の全体検査で確認します";
        case NoticeCode::kWatchedFileNotChecked:
            return "検査できません: {0}";
        case NoticeCode::kWatchedFileUnreadable:
            return "内容を読めません";
        default:
            return {};
    }
}

}  // namespace norv
