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
        case NoticeCode::kNoCgroupHierarchy:
            return "書き込める cgroup v2 の階層がありません";
        case NoticeCode::kCannotMakeCgroup:
            return "cgroup {0} を作れません";
        case NoticeCode::kDeployWatchLost:
            return "コマンドの実行中に変更の通知があふれ、書き込んだプロセスが分かりません";
        case NoticeCode::kWrittenByAnother:
            return "{0} はコマンド以外のプロセスが書き込みました: {1}";
        case NoticeCode::kWriterNotSeen:
            return "{0} へのコマンドの書き込みを確認できませんでした";
        case NoticeCode::kWriterUnknown:
            return "{0} に書き込んだプロセスは読み取る前に終了しました";
        case NoticeCode::kDeployNeedsFanotify:
            return "--yes にはコマンドの書き込みを見分けるための fanotify と cgroup が要ります "
                   "({0})。"
                   "変更は確認のために残します";
        default:
            return {};
    }
}

}  // namespace norv
