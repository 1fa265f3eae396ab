// Responses to a change: quarantine, restore, the cracked folder, events and mail.
#include "app/wording/japanese_subjects.h"
#include "platform/base/notice_code.h"

namespace norv {

std::string_view JapaneseResponsePattern(NoticeCode code) {
    switch (code) {
        case NoticeCode::kNothingSaved:
            return "ファイルが保存されていませんので復旧できません";
        case NoticeCode::kCannotQuarantine:
            return "改ざんされたファイル {0} をクラックフォルダへ移せません "
                   "(ファイルはそのままです): {1}";
        case NoticeCode::kSuspectNotRegular:
            return "{0} は通常のファイルではありません";
        case NoticeCode::kSuspectUnreadable:
            return "{0} を読めません";
        case NoticeCode::kSuspectGoneSinceCheck:
            return "{0} は検査の後でなくなりました";
        case NoticeCode::kSuspectLinkGone:
            return "{0} がありません";
        case NoticeCode::kSuspectReplacedSinceCheck:
            return "{0} は検査の後で別のファイルに置き換えられました";
        case NoticeCode::kSpecialReplacedSinceCheck:
            return "{0} は検査の後で別のものに置き換えられました";
        case NoticeCode::kCannotMakeCopyEntry:
            return "{0} を作れません";
        case NoticeCode::kNoFreeCopyName:
            return "{0} に {1} のコピーの空き名がありません";
        case NoticeCode::kCannotIndexCopy:
            return "クラックフォルダの一覧に {0} を書けません ({1} サイズ {2} MD5 {3}): {4}";
        case NoticeCode::kSuspectReplacedWhileCopied:
            return "{0} はコピーの間に置き換えられました (コピーは {1} にあります)";
        case NoticeCode::kCannotRemoveSuspect:
            return "{0} を削除できません (コピーは {1} にあります)";
        case NoticeCode::kQuarantineCopyLimit:
            return "このチェックでクラックフォルダへ移したファイルが上限に達しました。"
                   "これ以降のファイルはコピーせずに削除し、一覧とチェックの終わりの集計にのみ記し"
                   "ます";
        case NoticeCode::kRemovedUnlisted:
            return "クラックフォルダの一覧が上限に達したため、{0} 個を一覧に記さずに削除しました";
        case NoticeCode::kRemovedUncopied:
            return "クラックフォルダへのコピーが上限に達したため、{0} "
                   "個のファイルをコピーせずに削除しました";
        case NoticeCode::kRemovedUncopiedSomeUnlisted:
            return "クラックフォルダへのコピーが上限に達したため、{0} "
                   "個のファイルをコピーせずに削除しました (うち {1} 個は一覧にも記していません)";
        case NoticeCode::kTakenFilesKeptUncopied:
            return "クラックフォルダへのコピーが上限に達したため、取り出したフォルダの中の {0} "
                   "個のファイルはコピーせずに root のものにして残しました";
        case NoticeCode::kRemovedAndKept:
            return "{0}。{1}";
        case NoticeCode::kRestoreOutlasted:
            return "{0} に何度も別のものが置かれるため復旧をやめました (攻撃の可能性があります): "
                   "{1}";
        case NoticeCode::kCannotTakeOutWhatStands:
            return "{0} に置かれたものをクラックフォルダへ移せません: {1}";
        case NoticeCode::kCannotMoveFolderToCracked:
            return "{0} をクラックフォルダへ移せません";
        case NoticeCode::kCannotWriteCrackedIndex:
            return "クラックフォルダの一覧を書けません: {0}";
        case NoticeCode::kCannotIndexTakenEntry:
            return "クラックフォルダの一覧に {0} を書けません: {1}";
        case NoticeCode::kTakenFolderPartsLeft:
            return "{0} に置かれたフォルダの {1} か所は、上限 ({2} 個、{3} 階層) "
                   "を超えたか読めないため、移したときのまま {4} に残しました "
                   "(理由は一覧にあります)";
        case NoticeCode::kEvidenceUnreadable:
            return "読めません";
        case NoticeCode::kTakenItemNotRemoved:
            return "削除できません";
        case NoticeCode::kTakenItemNotMadeRoots:
            return "root のものにできません";
        case NoticeCode::kTakenItemOwnerUnchanged:
            return "root のものにできません (所有者とモードが変わりません)";
        case NoticeCode::kTakenFolderUnlisted:
            return "中を読めません";
        case NoticeCode::kTakenItemReplaced:
            return "見た後で別のものに置き換えられました";
        case NoticeCode::kCannotMakeFreshCopy:
            return "{0} のコピーを作れません";
        case NoticeCode::kCannotReplaceWithFreshCopy:
            return "{0} を置き換えられません";
        case NoticeCode::kCannotWriteEvidence:
            return "{0} に書き込めません";
        case NoticeCode::kCannotReadBackCopy:
            return "{0} を読めません";
        case NoticeCode::kCopyDiffers:
            return "{0} の内容が元のファイルと一致しません";
        case NoticeCode::kCannotRemoveRestoredAttribute:
            return "{0} の {1} を消せません";
        case NoticeCode::kCannotPutBackAttribute:
            return "{0} の {1} を戻せません";
        case NoticeCode::kCannotPutBackMode:
            return "{0} のアクセス権を戻せません";
        case NoticeCode::kCannotPutBackOwner:
            return "{0} の所有者を戻せません";
        case NoticeCode::kAclDigestedNotPutBack:
            return "{0} の ACL は大きすぎて記録が要約だけのため戻せません "
                   "(アクセス権のみ戻しました)";
        case NoticeCode::kPrivilegesWithheld:
            return "{0} は記録と違う内容で戻したため、setuid・setgid "
                   "とケーパビリティは戻していません";
        case NoticeCode::kCapabilitiesDigestedNotPutBack:
            return "{0} のケーパビリティは記録が要約だけのため戻せません";
        case NoticeCode::kXattrsDigestedNotPutBack:
            return "{0} の拡張属性は大きすぎて記録が要約だけのため戻せません";
        case NoticeCode::kCannotPutBackInodeFlags:
            return "{0} の属性フラグ (chattr) を戻せません";
        case NoticeCode::kCannotMoveBack:
            return "{0} に移されたファイルを {1} に戻せないため、保存分から戻します";
        case NoticeCode::kMovedBackNotAsRecorded:
            return "{0} に戻したファイルが記録と違うため、取り出して保存分から戻します";
        case NoticeCode::kPlaceReplaced:
            return "{0} は記録したものとは別のフォルダ・ファイルに置き換えられているため、"
                   "記録の所有者とアクセス権を戻していません";
        case NoticeCode::kPlaceAcceptedByInit:
            return "フォルダ・FIFO・ソケット・デバイス自身の変更は、初期化で記録し直してください";
        case NoticeCode::kCannotRemakeSpecialFile:
            return "{0} (FIFO・ソケット・デバイス) を作り直せません";
        case NoticeCode::kSpecialFileSwapped:
            return "{0} は所有者とアクセス権を戻す間に置き換えられたため、戻していません";
        case NoticeCode::kCannotWriteEvents:
            return "イベントファイル {0} に書けません: {1}";
        case NoticeCode::kCannotSaveEventSequence:
            return "イベントの通し番号を {0} に保存できません (番号は続けて振ります): {1}";
        case NoticeCode::kReportNotSent:
            return "mail send error 001:{0}{1}";
        default:
            return {};
    }
}

}  // namespace norv
