// `norv-cli show`: the settings and the rules, as the program folder holds them.
#include <ostream>

#include "app/cli/commands/commands.h"

namespace norv::cli {

void PrintConfiguration(std::ostream& out, const Application& app) {
    const Settings& s = app.settings();
    const ProgramLayout& folders = app.context().folders;
    if (folders.InOneFolder()) {
        out << "プログラムフォルダ: " << Shown(folders.config) << "\n";
    } else {
        out << "設定フォルダ: " << Shown(folders.config) << "\n"
            << "データベースのフォルダ: " << Shown(folders.state) << "\n"
            << "ログフォルダ: " << Shown(folders.logs) << "\n";
    }
    out << "サーバ名: " << Shown(s.server_name) << "\n"
        << "メールでアラートを送る: " << SwitchState(s.mail_alert) << "\n"
        << "SMTP: " << Shown(s.smtp_server) << "\n"
        << "送信者: " << Shown(s.mail_from) << "\n"
        << "受信者: " << Shown(s.mail_to) << "\n"
        << "自動検査を行う: " << SwitchState(s.auto_check) << "\n"
        << "検査周期分: " << Shown(s.scan_period) << "\n"
        << "改ざんがなくてもメールを送る: " << app.switches().mail_always << "\n"
        << "自動で復旧する: " << app.switches().auto_restore << "\n"
        << "保存ディレクトリ: " << Shown(s.save_dir) << "\n"
        << "クラックされたファイルの保存: " << Shown(s.cracked_dir) << "\n"
        << "ルール (" << app.rules().rule_count() << "):\n";
    for (const Rule& rule : app.rules().rules) {
        out << "  " << RuleKindNumber(rule.kind) << "  " << Shown(rule.path) << "\n";
    }
}

}  // namespace norv::cli
