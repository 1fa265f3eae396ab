#include "tests/support/smtp_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#ifndef NORV_SOURCE_DIR
#error "NORV_SOURCE_DIR must name the source tree"
#endif

namespace norv::testing {

SmtpServer::SmtpServer(SmtpMode mode) {
    int to_child[2], from_child[2];
    // Close-on-exec: a process the test starts later must not hold the server's stdin open.
    if (::pipe2(to_child, O_CLOEXEC) != 0 || ::pipe2(from_child, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(to_child[0], 0);
        ::dup2(from_child[1], 1);
        ::close(to_child[1]);
        ::close(from_child[0]);
        std::string script = std::string(NORV_SOURCE_DIR) + "/tests/support/smtp_server.py";
        const char* mode_name = mode == SmtpMode::kAuth           ? "auth"
                                : mode == SmtpMode::kStartTls     ? "starttls"
                                : mode == SmtpMode::kStartTlsOpen ? "starttls-open"
                                                                  : "plain";
        // Named by its full path in argv[0] too: Python looks a bare "python3" up in PATH for
        // sys.executable, which would then be another installation's.
        ::execl("/usr/bin/python3", "/usr/bin/python3", script.c_str(), out_.path().c_str(),
                mode_name, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(to_child[0]);
    ::close(from_child[1]);
    stdin_fd_ = to_child[1];
    std::string line;
    char c;
    while (::read(from_child[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(from_child[0]);
    port_ = line.empty() ? 0 : std::stoi(line);
}

SmtpServer::~SmtpServer() {
    if (stdin_fd_ >= 0) ::close(stdin_fd_);
    if (pid_ > 0) {
        int status;
        ::waitpid(pid_, &status, 0);
    }
}

std::vector<ReceivedMail> SmtpServer::Received() const {
    std::vector<ReceivedMail> mails;
    for (int n = 0;; ++n) {
        std::string base = out_ / std::to_string(n);
        if (!std::filesystem::exists(base + ".raw")) break;
        ReceivedMail mail;
        std::ifstream envelope(base + ".envelope");
        std::getline(envelope, mail.sender);
        for (std::string line; std::getline(envelope, line);) {
            if (line.rfind("auth:", 0) == 0) {
                mail.login = line.substr(5);
            } else if (line.rfind("tls:", 0) == 0) {
                mail.tls = line == "tls:1";
            } else {
                mail.recipients.push_back(line);
            }
        }
        mail.subject = ReadAll(base + ".subject");
        mail.body = ReadAll(base + ".body");
        mail.raw = ReadAll(base + ".raw");
        mails.push_back(std::move(mail));
    }
    return mails;
}

std::vector<std::string> SmtpServer::AuthAttempts() const {
    std::vector<std::string> attempts;
    std::ifstream in(out_ / "auth_attempts");
    for (std::string line; std::getline(in, line);) attempts.push_back(line);
    return attempts;
}

namespace {
// The numbers of the connections that logged `what` in the server's sessions file.
std::set<std::string> SessionsThat(const std::string& file, const std::string& what) {
    std::set<std::string> numbers;
    std::ifstream in(file);
    for (std::string number, said; in >> number >> said;) {
        if (said == what) numbers.insert(number);
    }
    return numbers;
}
}  // namespace

int SmtpServer::Sessions() const {
    return static_cast<int>(SessionsThat(out_ / "sessions", "ehlo").size());
}

int SmtpServer::SessionsQuit() const {
    return static_cast<int>(SessionsThat(out_ / "sessions", "quit").size());
}

int UnusedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);  // nothing listens there now
    return ntohs(addr.sin_port);
}

}  // namespace norv::testing
