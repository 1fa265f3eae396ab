// MailReport: mails the report of a check, its subject the date, time and the four counts and
// its body the closed scan log.
//
// Reads the settings record of the last load (server, sender, recipient, account), the counters
// and the log at the moment of the call. A failure is shown as "mail send error 001:" followed by
// the reason and the recipient; nothing is retried and nothing is written to the log.
#pragma once

#include <string>
#include <vector>

#include "config/notice.h"
#include "config/run_context.h"
#include "config/settings.h"
#include "engine/engine_hooks.h"
#include "engine/scan_state.h"
#include "platform/mail/smtp.h"
#include "platform/text/regional_time.h"

namespace norv {

class MailReport : public ScanReportMailer {
  public:
    MailReport(const RunContext& context, const Settings& settings, const ScanCounters& counters,
               const platform::Clock& clock, const platform::RegionalFormat& regional,
               NoticeSink& notices);

    void SendScanReport(const std::vector<std::string>& written_by) override;
    void SendWatchReport(const std::vector<std::string>& lines,
                         const std::vector<std::string>& written_by) override;

    // "NORV スキャンログ  " date " " time " V:" checked " A:" altered " C:" created " D:" deleted
    std::string Subject() const;
    // Every line of the log followed by CR LF; a log that cannot be read says so instead.
    std::string Body() const;
    // After the report's own lines: a blank line, "書き込んだプロセス:", then each of
    // `written_by`; nothing when it is empty.
    static std::string WrittenBySection(const std::vector<std::string>& written_by);
    // Where each mail is reported, sent or failed (action "mail"); null for nowhere.
    void SetEventSink(EventSink* events) { events_ = events; }

  private:
    const RunContext& context_;
    const Settings& settings_;
    const ScanCounters& counters_;
    const platform::Clock& clock_;
    const platform::RegionalFormat& regional_;
    NoticeSink& notices_;
    EventSink* events_ = nullptr;

    void Send(const std::string& body);
};

}  // namespace norv
