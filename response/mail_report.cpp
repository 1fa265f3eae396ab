#include "response/mail_report.h"

#include "platform/base/notice_code.h"
#include "platform/mail/smtp.h"
#include "platform/text/text_file.h"

namespace norv {
namespace {
// The mail's fixed words, byte for byte: what its readers (and their filters) see.
namespace words {
constexpr const char* kSubjectHead = "NORV スキャンログ  ";
constexpr const char* kChecked = " V:";
constexpr const char* kAltered = " A:";
constexpr const char* kCreated = " C:";
constexpr const char* kDeleted = " D:";
constexpr const char* kLineEnd = "\r\n";
// Heads the lines that name who made each change, after the report.
constexpr const char* kWrittenBy = "書き込んだプロセス:";
// The body of a report whose log cannot be read: why, between these.
constexpr const char* kNoLogOpen = "(";
constexpr const char* kNoLogClose = ")";
}  // namespace words
}  // namespace

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
    return words::kSubjectHead + regional_.ShortDate(now) + " " + regional_.LongTime(now) +
           words::kChecked + std::to_string(counters_.checked) + words::kAltered +
           std::to_string(counters_.altered) + words::kCreated + std::to_string(counters_.created) +
           words::kDeleted + std::to_string(counters_.deleted);
}

std::string MailReport::Body() const {
    auto lines =
        platform::ReadTextLines(*context_.env, context_.LogPath(), context_.charset,
                                platform::kNoSizeLimit, platform::FileTrust::kAdministrator);
    if (!lines.ok()) {
        // The alert still goes out; the administrator learns why the log is missing, in the
        // mail itself.
        return words::kNoLogOpen + Render(lines.status().what()) + words::kNoLogClose +
               words::kLineEnd;
    }
    std::string body;
    for (const auto& line : lines.value()) body += line + words::kLineEnd;
    return body;
}

std::string MailReport::WrittenBySection(const std::vector<std::string>& written_by) {
    if (written_by.empty()) return {};
    std::string section = std::string(words::kLineEnd) + words::kWrittenBy + words::kLineEnd;
    for (const auto& line : written_by) section += line + words::kLineEnd;
    return section;
}

void MailReport::SendScanReport(const std::vector<std::string>& written_by) {
    Send(Body() + WrittenBySection(written_by));
}

void MailReport::SendWatchReport(const std::vector<std::string>& lines,
                                 const std::vector<std::string>& written_by) {
    std::string body;
    for (const auto& line : lines) body += line + words::kLineEnd;
    Send(body + WrittenBySection(written_by));
}

void MailReport::Send(const std::string& body) {
    Status sent = platform::SendMail(
        *context_.env, settings_.smtp_server, settings_.mail_to, settings_.mail_from, Subject(),
        body, "", platform::MailCredentials{settings_.mail_account, settings_.mail_password, ""});
    if (events_)
        events_->Action("", ResponseAction::kMail, sent.ok(),
                        sent.ok() ? Message(settings_.mail_to) : sent.what());
    if (!sent.ok()) {
        notices_.Notify({NoticeKind::kMailError, settings_.mail_to, sent,
                         Message(NoticeCode::kReportNotSent, {sent.what(), settings_.mail_to})});
    }
}

}  // namespace norv
