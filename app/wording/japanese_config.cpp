// The settings file, the rule file and the watched places.
#include "app/wording/japanese_subjects.h"
#include "platform/base/notice_code.h"

namespace norv {

std::string_view JapaneseConfigPattern(NoticeCode code) {
    switch (code) {
        case NoticeCode::kScanPeriodOutOfRange:
            return "設定 11 行目の検査周期 \"{0}\" は 0 より大きく {1} 以下 (1 年まで) "
                   "の分数ではありません";
        case NoticeCode::kSettingsFileMissing:
            return "設定ファイル {0} がありません";
        case NoticeCode::kSettingsFileUnreadable:
            return "設定ファイル {0}";
        case NoticeCode::kSettingsFileShort:
            return "設定ファイル {0} は 15 行必要ですが {1} 行しかありません ({2} "
                   "行目以降がありません)";
        case NoticeCode::kFolderLineNotAbsolute:
            return "設定ファイル {0} の {1} 行目: {2} \"{3}\" は / "
                   "で始まるフォルダのパスではありません";
        case NoticeCode::kFolderLineHasNul:
            return "設定ファイル {0} の {1} 行目: {2}はパスに NUL 文字を含むため使えません";
        case NoticeCode::kFolderLineIsRoot:
            return "設定ファイル {0} の {1} 行目: {2}にルートフォルダ \"{3}\" は使えません";
        case NoticeCode::kSaveFolder:
            return "保存フォルダ";
        case NoticeCode::kCrackedFolder:
            return "クラックされたファイルの保存フォルダ";
        case NoticeCode::kSettingHasLineBreak:
            return "設定ファイル {0} の {1} 行目に改行を含む値は保存できません";
        case NoticeCode::kSettingHasNul:
            return "設定ファイル {0} の {1} 行目に NUL 文字を含む値は保存できません";
        case NoticeCode::kRuleFileUnreadable:
            return "ルールファイル {0}";
        case NoticeCode::kRuleLineUnreadable:
            return "ルールファイル {0} の {1} 行目 は読めないため無視します (カンマか </rule> "
                   "がありません)";
        case NoticeCode::kRuleKindNotNumber:
            return "ルールファイル {0} の {1} 行目 の種別は -32768 から 32767 "
                   "の整数でないため無視します";
        case NoticeCode::kRulePathEmpty:
            return "ルールファイル {0} の {1} 行目 はパスが空のため無視します";
        case NoticeCode::kRulePathHasNul:
            return "ルールファイル {0} の {1} 行目 はパスに NUL 文字を含むため無視します";
        case NoticeCode::kRulesBeyondCapacity:
            return "ルールファイル {0} には {1} を超えるルールがあります。{2} "
                   "番目以降は検査しませんが、ファイルには残します";
        case NoticeCode::kRuleFolderHasComma:
            return "カンマや改行を含むフォルダは登録できません: {0}";
        case NoticeCode::kTooManyRules:
            return "ルールは {0} 個までです。追加できません: {1}";
        case NoticeCode::kNotInAnyWatchedPlace:
            return "{0} はどの監視対象にも含まれません";
        case NoticeCode::kNoRulesYet:
            return "監視するフォルダはまだありません。ルールファイル {0} に "
                   "<rule>パス,種別</rule> の行 (種別: 0 ファイル、1 フォルダ、3 "
                   "フォルダとその下のすべて) を書き足すか、デスクトップの norv のメニュー 編集 "
                   "の 設定 で 新規 ボタンから追加して、もう一度 init を実行してください";
        default:
            return {};
    }
}

}  // namespace norv
