// Text files, character sets and dates.
#include "app/wording/japanese_subjects.h"
#include "platform/base/notice_code.h"

namespace norv {

std::string_view JapaneseTextPattern(NoticeCode code) {
    switch (code) {
        case NoticeCode::kCharsetUnusable:
            return "文字セット {0} は使えません: {1}";
        case NoticeCode::kCharsetCannotHold:
            return "文字 {0} は文字セット {1} で表せません";
        case NoticeCode::kCharsetUnreadableEither:
            return "UTF-8 としても cp932 としても読めないバイト列があります";
        case NoticeCode::kCharsetUnreadable:
            return "文字セット {0} として読めないバイト列があります";
        case NoticeCode::kCharsetUtf16Cut:
            return "UTF-16 の文字が途中で切れています";
        case NoticeCode::kCharsetLoneSurrogate:
            return "UTF-16 に対になっていないサロゲート {0} があります";
        case NoticeCode::kDateUnknownLocale:
            return "ロケール {0} は使えません (ICU にその地域のデータがありません)";
        case NoticeCode::kDateCannotMakeFormat:
            return "地域の日付形式を作れません: {0}";
        case NoticeCode::kTextKindFolder:
            return "フォルダ";
        case NoticeCode::kTextKindPipe:
            return "名前付きパイプ";
        case NoticeCode::kTextKindCharDevice:
            return "キャラクタデバイス";
        case NoticeCode::kTextKindBlockDevice:
            return "ブロックデバイス";
        case NoticeCode::kTextKindSocket:
            return "ソケット";
        case NoticeCode::kTextKindSpecial:
            return "特殊ファイル";
        case NoticeCode::kTextSizeBytes:
            return "{0} バイト";
        case NoticeCode::kTextSizeMiB:
            return "{0} MiB";
        case NoticeCode::kTextTooLarge:
            return "{0} は大きすぎるため読みません (上限 {1})";
        case NoticeCode::kTextCannotOpen:
            return "{0} を開けません";
        case NoticeCode::kTextRefusedToRead:
            return "{0} を読みません: {1}";
        case NoticeCode::kTextIsLink:
            return "{0} はシンボリックリンクのため読みません";
        case NoticeCode::kTextCannotStat:
            return "{0} を調べられません";
        case NoticeCode::kTextNotRegular:
            return "{0} は通常のファイルではないため読みません ({1})";
        case NoticeCode::kTextCannotRead:
            return "{0} を読めません";
        case NoticeCode::kTextLineError:
            return "{0} の {1} 行目: {2}";
        case NoticeCode::kTextCannotMakeTemp:
            return "{0} の一時ファイルを作れません";
        case NoticeCode::kTextAlreadyClosed:
            return "{0} はもう閉じています";
        case NoticeCode::kTextCannotSetMode:
            return "{0} の属性を設定できません";
        case NoticeCode::kTextCannotWrite:
            return "{0} に書き込めません";
        case NoticeCode::kTextNotYetClosed:
            return "{0} はまだ閉じていません";
        case NoticeCode::kTextCannotReplace:
            return "{0} を置き換えられません";
        default:
            return {};
    }
}

}  // namespace norv
