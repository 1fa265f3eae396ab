// The file system: listing, opening and trusting folders, files and links.
#include "app/wording/japanese_subjects.h"
#include "platform/base/notice_code.h"

namespace norv {

std::string_view JapaneseFsPattern(NoticeCode code) {
    switch (code) {
        case NoticeCode::kCannotListFolder:
            return "{0} を一覧できません";
        case NoticeCode::kCannotReadFacts:
            return "{0} の情報を読めません";
        case NoticeCode::kCannotReadFolderFacts:
            return "{0} のフォルダの情報を読めません";
        case NoticeCode::kCannotOpen:
            return "{0} を開けません";
        case NoticeCode::kCannotRead:
            return "{0} を読めません";
        case NoticeCode::kCannotWrite:
            return "{0} に書き込めません";
        case NoticeCode::kCannotCreate:
            return "{0} を作れません";
        case NoticeCode::kCannotExamine:
            return "{0} を調べられません";
        case NoticeCode::kNamedFile:
            return "{0}{1}";
        case NoticeCode::kOwnerNotRoot:
            return "所有者 (uid {0}) が root ではない";
        case NoticeCode::kWritableByAnyone:
            return "誰でも書き込める";
        case NoticeCode::kWritableByGroup:
            return "グループ (gid {0}) が書き込める";
        case NoticeCode::kFolderOnWayNotTrusted:
            return "{0} の途中のフォルダ {1} は{2}ため辿りません";
        case NoticeCode::kLinkOnWayNotTrusted:
            return "{0} の途中のシンボリックリンク {1} は所有者 (uid {2}) が root "
                   "ではないため辿りません";
        case NoticeCode::kOwnFolderNotTrusted:
            return "フォルダ {0} は{1}ため使いません。{2} {0} で直してください";
        case NoticeCode::kFileNotRegular:
            return "{0} は通常のファイルではないため使いません";
        case NoticeCode::kFileOwnerNotRoot:
            return "{0} の所有者 (uid {1}) が root ではないため使いません。chown root {0} "
                   "で直してください";
        case NoticeCode::kFileWritableByOthers:
            return "{0} は他のユーザーも書き込めるため使いません。chmod go-w {0} で直してください";
        case NoticeCode::kFileHasOtherNames:
            return "{0} にはほかの名前 (ハードリンク) "
                   "があり、書くとそのファイルも変わるため使いません。"
                   "ほかの名前を消してください";
        case NoticeCode::kFileFactsUnreadable:
            return "{0} の情報を読めないため使いません";
        case NoticeCode::kFuseMountUserUnknown:
            return "マウントしたユーザーの分からない FUSE ファイルシステムの";
        case NoticeCode::kMountedByOtherUid:
            return "他のユーザー (uid {0}) がマウントしたファイルシステムの";
        case NoticeCode::kMountedByOtherUser:
            return "他のユーザー ({0}) がマウントしたファイルシステムの";
        case NoticeCode::kMountNotInTable:
            return "マウント表 (/proc/self/mountinfo) で確かめられないファイルシステムの";
        case NoticeCode::kMountNotEntered:
            return "{0} は{1}ため入りません";
        case NoticeCode::kMountedOnEntry:
            return "{0} にはファイルシステムがマウントされています (問い合わせません)";
        case NoticeCode::kMovedDuringCheck:
            return "{0} は検査の途中で移されました";
        case NoticeCode::kCannotStartWatching:
            return "フォルダの監視を始められません";
        case NoticeCode::kWatchInstancesAtLimit:
            return "監視の数が上限 (fs.inotify.max_user_instances = {0}) に達しています";
        case NoticeCode::kCannotReadChanges:
            return "フォルダの変更を読めません";
        case NoticeCode::kCannotWatchFolder:
            return "{0} を監視できません";
        case NoticeCode::kWatchesAtLimit:
            return "監視できるフォルダの数が上限 (fs.inotify.max_user_watches = {0}) "
                   "に達しています";
        case NoticeCode::kProgramFolderBusy:
            return "別の norv がこのプログラムフォルダで実行中です ({0})。終わるのを待ってください";
        case NoticeCode::kCannotLock:
            return "{0} をロックできません";
        default:
            return {};
    }
}

}  // namespace norv
