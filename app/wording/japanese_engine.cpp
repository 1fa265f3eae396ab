// Init and check: the engine, its walk of the rules and its records.
#include "app/wording/japanese_subjects.h"
#include "platform/base/notice_code.h"

namespace norv {

std::string_view JapaneseEnginePattern(NoticeCode code) {
    switch (code) {
        case NoticeCode::kRuleKindUnknown:
            return "ルール {0} ({1}) の種別 {2} は 0 (ファイル)、1 (フォルダ)、3 "
                   "(フォルダとサブフォルダ) のどれでもありません";
        case NoticeCode::kRulePathMissing:
            return "ルール {0} ({1}) のパスがありません";
        case NoticeCode::kFileRuleOnFolder:
            return "ルール {0} ({1}) はフォルダですが、種別が 0 (ファイル) です";
        case NoticeCode::kFolderRuleOnFile:
            return "ルール {0} ({1}) はフォルダではありませんが、種別が {2} (フォルダ) です";
        case NoticeCode::kRulesOverlap:
            return "ルール {0} ({1}) はルール {2} ({3}) "
                   "と同じファイルを検査します。変更は二度数えられます";
        case NoticeCode::kFingerprintExtended:
            return "検査する項目を増やしました: MD5 に加えて SHA-256、種類、アクセス権 "
                   "(setuid・setgid・"
                   "スティッキーを含む)、所有者、グループ、ケーパビリティ、ACL "
                   "を比べます。記録済みのファイル"
                   "には、変わっていなければこの実行で記録し、変更とは報告しません";
        case NoticeCode::kRuleNotInBaseline:
            return "このルールはまだ記録にありません。norv-cli init (データベースの初期化) "
                   "で記録に入れてください";
        case NoticeCode::kMoreUnseenPlaces:
            return "ほかに {0} か所を検査できません";
        case NoticeCode::kMissedFilesBack:
            return "この初期化の間に見えなかったファイルが、いまはあります "
                   "(検査中に移された可能性があります)";
        case NoticeCode::kRecordsOutsideRules:
            return "どのルールにも含まれなくなった {0} 個のファイルの記録を除きました";
        case NoticeCode::kRecordedFilesNotFound:
            return "前回の記録にあった {0} 個のファイルがこの初期化では見つかりません "
                   "(新しい記録には入りません)";
        case NoticeCode::kKeptChangingWhileRead:
            return "読んでいる間に変わり続けました";
        case NoticeCode::kComparedInPart:
            return "内容の一部のみ比較 "
                   "(記録は先頭と末尾のみ検査したもの。長さ、時刻、属性は同じです)";
        case NoticeCode::kCannotCheck:
            return "検査できません: {0} (記録はそのまま残し、削除とはみなしません)";
        case NoticeCode::kHashedInPart:
            return "内容の一部のみ検査 (サイズ {0} バイト、先頭と末尾のみ)";
        case NoticeCode::kFactUnreadable:
            return "{0} を読めません: {1} "
                   "(読めないファイルでは比べず、変更とはみなしません。この実行では一度だけ記します"
                   ")";
        case NoticeCode::kCapabilityFact:
            return "ケーパビリティ (security.capability)";
        case NoticeCode::kAclFact:
            return "ACL (system.posix_acl_access)";
        case NoticeCode::kXattrsFact:
            return "拡張属性 (user.*・trusted.*・security.*)";
        case NoticeCode::kInodeFlagsFact:
            return "属性フラグ (chattr)";
        case NoticeCode::kContentUnreadable:
            return "内容を読めません";
        case NoticeCode::kFolderMeasuredElsewhere:
            return "ルール {0} のこのフォルダは、ルール {1} が {2} "
                   "として検査したフォルダと同じです "
                   "(リンクなどで同じフォルダに届きます)。ファイルは一度だけ、{2} の下で検査します";
        case NoticeCode::kFileMeasuredAsFile:
            return "ルール {0} のこのファイルは、ルール {1} が {2} "
                   "として検査したファイルと同じです "
                   "(リンクなどで同じフォルダに届きます)。ファイルは一度だけ、{2} として検査します";
        case NoticeCode::kFileMeasuredInFolder:
            return "ルール {0} のこのファイルは、ルール {1} が {2} "
                   "として検査したフォルダにあります "
                   "(リンクなどで同じフォルダに届きます)。ファイルは一度だけ、{2} の下で検査します";
        case NoticeCode::kSaidOfPlace:
            return "{0}: {1}";
        case NoticeCode::kNotOurFileinfoTable:
            return "データベース {0} には正しい fileinfo "
                   "表がありません。このファイルには手を加えません";
        case NoticeCode::kNotOurFingerprintTable:
            return "データベース {0} の fingerprint "
                   "表の形が違います。このファイルには手を加えません";
        case NoticeCode::kAcceptMarkUnreadable:
            return "データベース {0} の受け入れの印が読めません: {1}";
        case NoticeCode::kStoppedOnRequest:
            return "検査を途中で止めました (停止の指示)";
        case NoticeCode::kRunInProgress:
            return "スキャン中のため実行できません。スキャンの終了を待ってください";
        case NoticeCode::kCannotCreateLog:
            return "ログファイル {0} を作れません";
        case NoticeCode::kCannotOpenLog:
            return "ログファイル {0} を開けません";
        case NoticeCode::kLogFileRefused:
            return "ログファイル {0}";
        case NoticeCode::kCannotWriteLog:
            return "ログファイル {0} に書き込めません";
        case NoticeCode::kLogNotOpen:
            return "ログファイル {0} は開いていません";
        default:
            return {};
    }
}

}  // namespace norv
