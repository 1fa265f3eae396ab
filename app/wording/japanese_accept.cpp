// Accepting changes, deploy holds and the protected archive.
#include "app/wording/japanese_subjects.h"
#include "platform/base/notice_code.h"

namespace norv {

std::string_view JapaneseAcceptPattern(NoticeCode code) {
    switch (code) {
        case NoticeCode::kNoRuleCovers:
            return "どのルールの対象でもありません";
        case NoticeCode::kReappearedAfterReview:
            return "削除を確かめたあとに、ふたたび現れました";
        case NoticeCode::kVanishedAfterReview:
            return "確かめたあとに、なくなりました";
        case NoticeCode::kNoLongerFileOrLink:
            return "ファイルでもリンクでもないものに変わりました";
        case NoticeCode::kChangedWhileRead:
            return "読んでいる間に変わりました";
        case NoticeCode::kTooLargeToAccept:
            return "大きすぎて内容を全部は読めません (受け入れられません)";
        case NoticeCode::kNotMeasuredAtReview:
            return "確かめたときに内容を測れていません";
        case NoticeCode::kChangedAgainAfterReview:
            return "確かめたあとに、また変わりました";
        case NoticeCode::kAlreadyInBaseline:
            return "すでに基準に入っています";
        case NoticeCode::kNotInBaseline:
            return "基準にありません";
        case NoticeCode::kBaselineChangedSinceList:
            return "基準が一覧を作ったあとに変わりました";
        case NoticeCode::kCannotPlaceAcceptedArchive:
            return "{0} を受け入れた版に置き換えられません";
        case NoticeCode::kAcceptedArchiveMissing:
            return "受け入れた変更の新しいアーカイブが見つからず、{0} "
                   "は基準と合っていない可能性があります。"
                   "norv-cli archive でアーカイブを作り直してください";
        case NoticeCode::kNoCheckSinceInit:
            return "初期化のあと、検査を最後まで終えていません。norv-cli check で"
                   "検査し、変更を確かめてから受け入れてください (何も受け入れていません)";
        case NoticeCode::kBaselineInitialisedAgain:
            return "一覧を作ったあとに基準が初期化し直されました。もう一度検査し、"
                   "変更を確かめてから受け入れてください (何も受け入れていません)";
        case NoticeCode::kArchiveMissingForAccept:
            return "アーカイブ {0} がありません。基準は変えていません。norv-cli archive "
                   "でアーカイブを作り直してから、もう一度受け入れてください";
        case NoticeCode::kItemNotAccepted:
            return "{0}: {1}";
        case NoticeCode::kNotInLastChangeList:
            return "最後の検査の変更一覧にこの内容ではありません (受け入れ済みか、その後の検査で"
                   "変わりました)";
        case NoticeCode::kCannotCheckItem:
            return "検査できません: {0}";
        case NoticeCode::kLeftAsChange:
            return "{0} (変更のまま残します)";
        case NoticeCode::kKeptChangingWhileAccepted:
            return "受け入れる間にファイルが変わり続けました。もう一度検査し、"
                   "変更を確かめてから受け入れてください (何も受け入れていません)";
        case NoticeCode::kCannotCarryOverForAccept:
            return "{0}\n基準は変えていません。norv-cli archive "
                   "でアーカイブを作り直してから、もう一度受け入れてください";
        case NoticeCode::kHoldNotRegularFile:
            return "通常のファイルではありません";
        case NoticeCode::kHoldOwnerNotRoot:
            return "所有者 (uid {0}) が root ではありません";
        case NoticeCode::kHoldOwnerNotUser:
            return "所有者 (uid {0}) が uid {1} ではありません";
        case NoticeCode::kHoldModeNotPrivate:
            return "アクセス権が {0} です (0600 のみ有効)";
        case NoticeCode::kHoldTooLarge:
            return "大きすぎます";
        case NoticeCode::kHoldMalformed:
            return "保留の記録の形式が正しくありません: {0}";
        case NoticeCode::kHoldLastLineUnended:
            return "最後の行が改行で終わっていません";
        case NoticeCode::kHoldHeaderWrong:
            return "1 行目が {0} ではありません";
        case NoticeCode::kHoldLineWithoutEquals:
            return "= のない行があります";
        case NoticeCode::kHoldFieldMissing:
            return "pid、started、expires のいずれかがありません";
        case NoticeCode::kCannotReadHold:
            return "{0} を読めません";
        case NoticeCode::kHoldUnopenedIgnored:
            return "{0} (保留の記録を無視します)";
        case NoticeCode::kHoldIgnored:
            return "{0} は{1}。保留の記録として無視します";
        case NoticeCode::kHoldUnreadable:
            return "読めません ({0})";
        case NoticeCode::kHoldExpired:
            return "保留 (pid {0}) は期限を過ぎたため終わりました";
        case NoticeCode::kHoldHolderGone:
            return "保留を持つプロセス (pid {0}) がもうないため、保留は終わりました";
        case NoticeCode::kHoldEndedResponseResumes:
            return "{0}。変更への対応を再開します";
        case NoticeCode::kCannotHoldNewline:
            return "{0} は改行を含むため保留できません";
        case NoticeCode::kCannotCreateHold:
            return "{0} を作れません";
        case NoticeCode::kCannotPlaceHold:
            return "{0} を置けません";
        case NoticeCode::kAnotherDeployHolds:
            return "別の配置が保留中です (pid {0}, {1})";
        case NoticeCode::kHoldRecordInTheWay:
            return "{0} が既にあり、保留の記録として使えません: {1}";
        case NoticeCode::kHoldPlacementRaced:
            return "{0} を置けません (競合しました)";
        case NoticeCode::kCannotRemoveHold:
            return "{0} を削除できません";
        case NoticeCode::kArchiveFailed:
            return "LHA 圧縮エラー\n{0}";
        case NoticeCode::kRestoreFailed:
            return "LHA 上書きディリクトリ付解凍エラー\n{0}";
        case NoticeCode::kArchiveNextLine:
            return "{0}\n{1}";
        case NoticeCode::kRuleNotArchived:
            return "ルール {0} ({1}): {2}";
        case NoticeCode::kRulePartsNotArchived:
            return "ルール {0} ({1}) のうち {2} か所を保存できません (ほかは保存しました):\n{3}";
        case NoticeCode::kMorePartsNotArchived:
            return "ほか {0} か所";
        case NoticeCode::kRuleEarlierKept:
            return "このルールは以前に保存した版 ({0} ファイル) をアーカイブに残しました";
        case NoticeCode::kRuleNotInEarlier:
            return "このルールは以前のアーカイブにもないため、自動復旧できません";
        case NoticeCode::kPartsEarlierKept:
            return "これらは以前に保存した版をアーカイブに残しました";
        case NoticeCode::kPartsNotInEarlier:
            return "これらは以前のアーカイブにもないため、自動復旧できません";
        case NoticeCode::kSomePartsEarlierKept:
            return "うち {0} か所は以前に保存した版をアーカイブに残しました (ほか {1} "
                   "か所は以前のアーカイブにもないため、自動復旧できません)";
        case NoticeCode::kEarlierArchiveStands:
            return "以前のアーカイブ {0} "
                   "はそのままです "
                   "(今回は何も保存していません。復旧は以前のアーカイブから行います)";
        case NoticeCode::kEarlierArchiveUnchanged:
            return "以前のアーカイブ {0} はそのままです";
        case NoticeCode::kNoArchiveMade:
            return "アーカイブは作りませんでした";
        case NoticeCode::kCannotCarryOverEarlier:
            return "以前のアーカイブから引き継げません: {0}";
        case NoticeCode::kArchiveRebuilt:
            return "アーカイブ {0} を作り直しました (今回保存できたものと、"
                   "上に挙げたものの以前に保存した版を収めています)";
        case NoticeCode::kArchiveRebuiltSomeLost:
            return "アーカイブ {0} を作り直しました (今回保存できたものと、"
                   "上に挙げたもののうち以前に保存した版があるものを収めています。以前の版もないも"
                   "のは自動復旧できません)";
        case NoticeCode::kNothingSavedNoArchive:
            return "保存できたファイルがないため、アーカイブは作りませんでした "
                   "(自動復旧はできません)";
        case NoticeCode::kPartialArchiveMade:
            return "以前のアーカイブがないため、保存できたファイルだけでアーカイブ {0} "
                   "を作りました (上に挙げたものは自動復旧できません)";
        case NoticeCode::kArchiveNotMadeBecause:
            return "アーカイブは作りませんでした: {0}";
        case NoticeCode::kCannotRemoveArchive:
            return "{0} を削除できません: {1}";
        default:
            return {};
    }
}

}  // namespace norv
