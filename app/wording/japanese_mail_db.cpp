// The mail server and the database.
#include "app/wording/japanese_subjects.h"
#include "platform/base/notice_code.h"

namespace norv {

std::string_view JapaneseMailDbPattern(NoticeCode code) {
    switch (code) {
        case NoticeCode::kSmtpCannotStartCurl:
            return "libcurl を初期化できません";
        case NoticeCode::kSmtpLineBreakInHeader:
            return "改行を含む宛先・送信者・件名・サーバ名は使えません";
        case NoticeCode::kSmtpNoServer:
            return "SMTP サーバが設定されていません";
        case NoticeCode::kSmtpNoRecipient:
            return "受信者が設定されていません";
        case NoticeCode::kSmtpAuthWithoutTls:
            return "({0}) サーバは認証 (AUTH) を示しますが STARTTLS "
                   "で暗号化できないため、送信をやめました "
                   "(パスワードを暗号化せずに送ることはしません) ";
        case NoticeCode::kSmtpSendFailed:
            return "({0}) {1} ";
        case NoticeCode::kDatabaseCannotWrite:
            return "データベース {0} に書き込めません";
        case NoticeCode::kDatabaseCannotOpen:
            return "データベース {0} を開けません: {1}";
        case NoticeCode::kDatabaseFailed:
            return "データベース {0}: {1} ({2})";
        case NoticeCode::kStoreCannotConnect:
            return "データベースサーバ {0} に接続できません: {1}";
        case NoticeCode::kStoreQueryFailed:
            return "データベースサーバ {0}: {1}";
        case NoticeCode::kStoreSchemaMissing:
            return "データベースサーバ {0} にスキーマ {1} がありません (schema.sql を読み込み、"
                   "norv_fleet_reader に読ませてください)";
        case NoticeCode::kStoreSchemaTooOld:
            return "データベースサーバ {0} のスキーマは版 {1} です。版 {2} が要ります "
                   "(新しい schema.sql を読み込んでください)";
        default:
            return {};
    }
}

}  // namespace norv
