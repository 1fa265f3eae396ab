// The commands of the command-line tool, one file each under app/cli/commands/. cli.cpp reads
// the arguments, starts the application and calls the one asked for; each returns the exit
// status (kExitUnchanged, kExitChanged, kExitFailure or, for deploy, its command's).
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "app/application.h"
#include "app/cli/terminal.h"
#include "response/accept.h"

namespace norv::cli {

// show: the settings and the rules.
void PrintConfiguration(std::ostream& out, const Application& app);

// init, check or update (`command`), and what it found: 1 when a change, or a part not seen,
// needs the administrator's eyes (init and check).
int RunScanCommand(Application& app, const std::string& command, Terminal& terminal,
                   std::ostream& human, std::ostream& err);

// archive: builds a new archive; 0 when one now stands, with its path on `out`.
int RunArchive(Application& app, Terminal& terminal, std::ostream& out, std::ostream& err);

// changes: the last check's changes, one line each, or with `json` one object each.
int RunChanges(Application& app, bool json, std::ostream& out, std::ostream& err);

// One change as `changes` and deploy show it: kind, path, size, time, old and new MD5, then each
// other fact that changed ("mode 0644 -> 4755", a value "" when empty, "-" when not read) and
// "set-id gained" or "capability gained" where the file gained them, by tabs.
void PrintChange(const Application& app, const ReviewedChange& change, std::ostream& out);

// accept: accepts every change (`all`) or those under `paths`: 0 when every one was, 1 when some
// were refused (or a path matched none), 2 on error.
int RunAccept(Application& app, bool all, const std::vector<std::string>& paths, std::ostream& out,
              std::ostream& err);

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

// deploy: a site's update under protection (see deploy.cpp).
int RunDeploy(Application& app, const DeployOptions& options, Console console, Terminal& terminal,
              std::ostream& out, std::ostream& err);

// service: runs the timed checks on a started application until a stop signal.
int RunService(Application& app, std::ostream& out, std::ostream& err);

// watch (and service --watch, with `periodic`): real-time protection until a stop signal.
int RunWatch(Application& app, std::ostream& out, std::ostream& err, bool periodic);

// `json` with every character that could hide in or reorder a line written as \uXXXX
// (changes --json, fleet --json).
std::string HiddenEscaped(std::string_view json);

struct FleetOptions {
    std::string report;  // status, silent, seal, changes, or file
    std::string db;      // a libpq connection string; "" takes PGSERVICE, PGHOST... as libpq does
    std::string since;   // a duration ago (24h) or a time; "" for the report's own
    std::string period = "1h";  // silent: the period of a host whose service named none
    bool json = false;
    bool once = false;  // file: file what the inbox holds, then end
};

// fleet: a report of the fleet's store, needing no program folder: 0, or 1 when silent hosts,
// broken seals or changes were found; 2 on error (the server and the cause named); 64 for a
// value the command line or the server could not read. `fleet file` files the inbox into the
// store, until stopped (or, with `once`, until the inbox is empty): 0, or 2 on error.
int RunFleet(const FleetOptions& options, std::ostream& out, std::ostream& err);

}  // namespace norv::cli
