#include "response/mail_report.h"

#include "platform/mail/smtp.h"
#include "platform/text/text_file.h"

namespace norv {

MailReport::MailReport(const RunContext& context, const Settings& settings,
                       const ScanCounters& counters, const platform::Clock& clock,
                       const platform::RegionalFormat& regional, NoticeSink& notices)
    : context_(context),
      settings_(settings),
      counters_(counters),
      clock_(clock),
      regional_(regional),
      notices_(notices) {}

std::string MailReport::Subject() const {
    const platform::TimePoint now = clock_.Now();
    return "NORV スキャンログ  " + regional_.ShortDate(now) + " " + regional_.LongTime(now) +
           " V:" + std::to_string(counters_.checked) + " A:" + std::to_string(counters_.altered) +
           " C:" + std::to_string(counters_.created) + " D:" + std::to_string(counters_.deleted);
}

std::string MailReport::Body() const {
    auto lines =
        platform::ReadTextLines(*context_.env, context_.LogPath(), context_.charset,
                                platform::kNoSizeLimit, platform::FileTrust::kAdministrator);
    if (!lines.ok()) {
        // The alert still goes out; the administrator learns why the log is missing.
        return "(" + lines.status().message() + ")\r\n";
    }
    std::string body;
    for (const auto& line : lines.value()) body += line + "\r\n";
    return body;
}

void MailReport::SendScanReport() { Send(Body()); }

void MailReport::SendWatchReport(const std::vector<std::string>& lines) {
    std::string body;
    for (const auto& line : lines) body += line + "\r\n";
    Send(body);
}

void MailReport::Send(const std::string& body) {
    Status sent = platform::SendMail(
        *context_.env, settings_.smtp_server, settings_.mail_to, settings_.mail_from, Subject(),
        body, "", platform::MailCredentials{settings_.mail_account, settings_.mail_password, ""});
    if (events_)
        events_->Action("", ResponseAction::kMail, sent.ok(),
                        sent.ok() ? settings_.mail_to : sent.message());
    if (!sent.ok()) {
        notices_.Notify({NoticeKind::kMailError, settings_.mail_to, sent,
                         "mail send error 001:" + sent.message() + settings_.mail_to});
    }
}

}  // namespace norv
