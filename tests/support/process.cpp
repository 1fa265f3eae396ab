#include "tests/support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "tests/support/test_support.h"

namespace norv::testing {

pid_t Spawn(const std::vector<std::string>& argv, const std::string& out_file) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        int out = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
            ::close(out);
        }
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

Outcome Reap(pid_t pid, std::chrono::steady_clock::time_point deadline) {
    Outcome outcome;
    int status = 0;
    for (;;) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0) return outcome;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            outcome.timed_out = true;
            return outcome;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (WIFEXITED(status)) outcome.exit_code = WEXITSTATUS(status);
    return outcome;
}

Outcome RunProcess(const std::vector<std::string>& argv, const std::string& out_file,
                   std::chrono::seconds limit) {
    pid_t pid = Spawn(argv, out_file);
    if (pid < 0) return {};
    Outcome outcome = Reap(pid, std::chrono::steady_clock::now() + limit);
    outcome.out = ReadAll(out_file);
    return outcome;
}

std::string CliBinary() {
    const char* cli = std::getenv("NORV_CLI");
    return cli ? cli : "";
}

Outcome RunCli(const std::string& program_dir, const std::string& verb, const std::string& out_file,
               std::chrono::seconds limit) {
    return RunProcess({CliBinary(), "--dir", program_dir, verb}, out_file, limit);
}

bool Eventually(const std::function<bool()>& done, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace norv::testing
