// `norv-cli deploy`: a site's update under protection.
//
//   norv-cli deploy [--rule PATH]... [--yes] [--hold-minutes N] -- COMMAND [ARG...]
//
// Holds the response for the named rules (every rule when none is named) in every running norv,
// runs COMMAND, checks, prints the changes under the held rules and accepts them (with --yes at
// once, otherwise after a yes typed on the terminal; with neither, none), and ends the hold. A
// COMMAND that fails accepts nothing: the hold ends first and a check follows, so the response
// acts on its changes as on any other (with automatic restore on, the site goes back to its
// baseline), and the message says so before. A deploy killed midway leaves its hold to end by
// itself, once norv sees its process gone.
//
// Exit status: COMMAND's when it failed (128 + the signal when one ended it); otherwise the
// accept's: 0 all accepted, 1 some refused or none accepted, 2 an error.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "app/application.h"
#include "response/accept.h"

namespace norv::cli {

struct DeployOptions {
    std::vector<std::string> rules;  // empty: every rule
    bool yes = false;
    int64_t hold_minutes = kDefaultHoldMinutes;
    std::vector<std::string> command;
};

// Where a question is answered: `in`, when `terminal` says a person is there.
struct Console {
    std::istream& in;
    bool terminal;
};

// One change as `changes` and deploy show it: kind, path, size, time, old and new MD5, then each
// other fact that changed ("mode 0644 -> 4755", a value "" when empty, "-" when not read) and
// "set-id gained" or "capability gained" where the file gained them, by tabs.
void PrintChange(const Application& app, const ReviewedChange& change, std::ostream& out);

int RunDeploy(Application& app, const DeployOptions& options, Console console, std::ostream& out,
              std::ostream& err);

}  // namespace norv::cli
