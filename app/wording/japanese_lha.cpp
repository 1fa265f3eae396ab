// The LHA archive: writing it and restoring from it.
#include "app/wording/japanese_subjects.h"
#include "platform/base/notice_code.h"

namespace norv {

std::string_view JapaneseLhaPattern(NoticeCode code) {
    switch (code) {
        case NoticeCode::kArchiveCannotRead:
            return "{0} を読めません";
        case NoticeCode::kArchiveFileShrank:
            return "{0} を最後まで読めません (読んでいる間に短くなりました)";
        case NoticeCode::kArchiveFileTooLarge:
            return "{0} は大きすぎて保存できません (LHA に入るのは 4 GiB - 1 バイトまでです)";
        case NoticeCode::kArchiveOutOfMemory:
            return "{0} を保存するためのメモリが足りません";
        case NoticeCode::kArchiveCannotSave:
            return "{0} を保存できません";
        case NoticeCode::kArchiveNeitherFileNorFolder:
            return "{0} はファイルでもフォルダでもありません";
        case NoticeCode::kArchiveCannotOpen:
            return "{0} を開けません: {1}";
        case NoticeCode::kArchiveDamaged:
            return "{0} は壊れています: {1}";
        case NoticeCode::kArchiveHeaderUnreadable:
            return "{0} の見出しを読めません";
        case NoticeCode::kArchiveEntryCut:
            return "{0} が途中で切れています";
        case NoticeCode::kArchiveUnknownFault:
            return "原因不明の読み取りエラー";
        case NoticeCode::kArchiveCannotExtract:
            return "{0} を展開できません";
        case NoticeCode::kArchiveReplacedAfterRestore:
            return "{0} に戻したファイルが直後に別のものと替えられました";
        case NoticeCode::kArchiveNoLinkTarget:
            return "{0} のリンク先がありません";
        case NoticeCode::kArchiveCannotRestoreOwner:
            return "{0} の所有者を戻せません";
        case NoticeCode::kArchiveCannotRemoveAcl:
            return "{0} の ACL を消せません";
        case NoticeCode::kArchiveFolderInTheWay:
            return "{0} はフォルダなので置き換えません";
        case NoticeCode::kArchiveWillNotOverwrite:
            return "{0} は既にあるため上書きしません";
        case NoticeCode::kArchiveCannotReplace:
            return "{0} を置き換えられません";
        case NoticeCode::kArchiveWayNotFolder:
            return "{0} はフォルダではない (シンボリックリンクなど) ため展開しません";
        case NoticeCode::kArchiveUnsafePath:
            return "{0} は展開しません (危険なパス)";
        case NoticeCode::kArchiveEntryMissing:
            return "{0} に {1} はありません";
        case NoticeCode::kArchiveCannotJournal:
            return "{0} に記録できません";
        case NoticeCode::kArchiveJournalTooLarge:
            return "{0} が大きすぎます";
        case NoticeCode::kArchiveCannotEmptyJournal:
            return "{0} を空にできません";
        default:
            return {};
    }
}

}  // namespace norv
