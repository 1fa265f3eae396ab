// Running the real command-line binary (or any program) from a test: its output captured in a
// file, a deadline past which it is killed, its exit status.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace norv::testing {

struct Outcome {
    int exit_code = -1;  // -1 when ended by a signal (or by the deadline)
    bool timed_out = false;
    std::string out;  // standard output and error together
};

// Polls `done` every few milliseconds until it holds (true) or `limit` passes (false).
bool Eventually(const std::function<bool()>& done,
                std::chrono::seconds limit = std::chrono::seconds(60));

// Starts `argv` with its standard output and error going to `out_file`.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& out_file);

// Waits for `pid` until `deadline`; kills it there. Reaps it either way.
Outcome Reap(pid_t pid, std::chrono::steady_clock::time_point deadline);

// Spawn and Reap with a time limit; `out` holds what the program wrote.
Outcome RunProcess(const std::vector<std::string>& argv, const std::string& out_file,
                   std::chrono::seconds limit = std::chrono::seconds(120));

// The norv-cli binary under test (from NORV_CLI), "" when the environment does not name it.
std::string CliBinary();

// norv-cli --dir `program_dir` `verb`, its output in `out_file`.
Outcome RunCli(const std::string& program_dir, const std::string& verb, const std::string& out_file,
               std::chrono::seconds limit = std::chrono::seconds(120));

}  // namespace norv::testing
