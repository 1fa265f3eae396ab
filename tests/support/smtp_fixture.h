// Starts the test SMTP server (tests/support/smtp_server.py under Debian's python3 with
// aiosmtpd) on a free loopback port, and stops it again.
#pragma once

#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace norv::testing {

struct ReceivedMail {
    std::string sender;
    std::vector<std::string> recipients;
    std::string login;
    bool tls = false;  // it came inside TLS
    std::string subject;
    std::string body;
    std::string raw;
};

enum class SmtpMode {
    kPlain,         // no authentication, no STARTTLS
    kAuth,          // requires AUTH and offers no STARTTLS: a password would come in clear
    kStartTls,      // offers STARTTLS (a self-signed certificate) and requires AUTH, only inside it
    kStartTlsOpen,  // offers STARTTLS with that certificate and no AUTH
};

class SmtpServer {
  public:
    explicit SmtpServer(bool require_auth = false)
        : SmtpServer(require_auth ? SmtpMode::kAuth : SmtpMode::kPlain) {}
    explicit SmtpServer(SmtpMode mode);
    ~SmtpServer();
    SmtpServer(const SmtpServer&) = delete;
    SmtpServer& operator=(const SmtpServer&) = delete;

    bool started() const { return port_ != 0; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    // The self-signed certificate of the STARTTLS modes, for a client to trust.
    std::string certificate() const { return out_ / "cert.pem"; }
    std::vector<ReceivedMail> Received() const;
    // Every login and password the server was sent through AUTH, "login\tpassword", good or bad.
    std::vector<std::string> AuthAttempts() const;
    // How many connections greeted the server (EHLO), and how many of them ended with QUIT.
    int Sessions() const;
    int SessionsQuit() const;

  private:
    TempDir out_;
    int port_ = 0;
    int pid_ = -1;
    int stdin_fd_ = -1;
};

// A loopback port nothing listens on.
int UnusedPort();

}  // namespace norv::testing
