// Accepting reviewed changes: a change the administrator meant becomes the baseline, in the
// records and in the archive together, and nothing else that changed meanwhile does.
//
// The input is what the administrator reviewed: each change of the last check (ChangeList, read
// from the store) with the fingerprint it was shown with. Accept() re-measures every item now,
// through the folder its rule opens, name by name without following a link, and takes in only
// those still exactly as reviewed. An item that changed again, reappeared or vanished is refused
// with a message naming it and stays a change.
//
// The records and the archive change together or not at all. The new archive is written whole
// beside the old one and flushed; then one transaction writes the new rows and a marker naming
// that file (its name, device and inode); then the file is renamed into place, and the marker
// goes. A run killed before the transaction leaves the old pair; after it, the next command that
// takes the program folder's lock finishes the rename first (FinishInterruptedAccept, the
// prologue the acceptor gives the CommandRunner), so the new pair stands before anything reads
// the archive. docs/SECURITY.md says why this order.
//
// Core only: no Qt, the system through the Env, nothing waits for a person. The command line, the
// desktop and the tests drive the same class. One accept at a time: Accept() runs through the
// process's CommandRunner, refused while another command of the process runs and waiting its
// turn (bounded) for the program folder's lock while another process holds it. Not
// thread-safe; use from the thread that owns the store.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/rule_table.h"
#include "config/run_context.h"
#include "config/settings.h"
#include "engine/command_runner.h"
#include "engine/engine_hooks.h"
#include "engine/file_info_store.h"
#include "platform/base/env.h"
#include "platform/base/status.h"
#include "platform/digest/fingerprint.h"
#include "platform/text/regional_time.h"
#include "response/archive.h"

namespace norv {

// One change of the last check, as it was shown for review. Also the changes list's row.
using ReviewedChange = FileInfoStore::ListedChange;
// The last check's changes, and the baseline generation they were found against.
using ChangeList = FileInfoStore::ChangeList;

// An item not accepted, and why (the message names the file and the cause).
struct Refusal {
    std::string path;
    Message reason;
};

struct AcceptOutcome {
    std::vector<ReviewedChange> accepted;
    std::vector<Refusal> refused;
    bool all_accepted() const { return refused.empty(); }
};

// What a change did beyond its MD5, for review: every fact that differs between the baseline's
// record and the file as measured (CompareFacts, old and new as ShownFact shows them), and
// whether the file gained a set-id bit or capabilities. A created file gains whatever it has; a
// record with no facts of its own (made before they were kept) counts as having none.
struct ReviewedFacts {
    std::vector<platform::FactChange> changed;
    bool set_id_gained = false;
    bool capability_gained = false;  // capabilities given, or changed to others
};
ReviewedFacts FactsOfChange(const ReviewedChange& change);

// The changes of `list` at or below each of `paths` (a folder takes every change below it), in
// the list's order, each once. A path that matches no change is put in `unmatched`.
std::vector<ReviewedChange> SelectChanges(const ChangeList& list,
                                          const std::vector<std::string>& paths,
                                          std::vector<std::string>* unmatched);

class ChangeAcceptor {
  public:
    struct Options {
        // How long Accept() waits for another process's lock on the program folder.
        std::chrono::milliseconds lock_wait = std::chrono::seconds(60);
    };
    // Everything is lent and must outlive the acceptor. `events` may be null. The acceptor makes
    // FinishInterruptedAccept the prologue of every command `commands` runs.
    ChangeAcceptor(const RunContext& context, const Settings& settings, const RuleTable& rules,
                   FileInfoStore& store, ProtectedArchive& archive,
                   const platform::RegionalFormat& regional, EventSink* events,
                   CommandRunner& commands, Options options);
    ChangeAcceptor(const RunContext& context, const Settings& settings, const RuleTable& rules,
                   FileInfoStore& store, ProtectedArchive& archive,
                   const platform::RegionalFormat& regional, EventSink* events,
                   CommandRunner& commands)
        : ChangeAcceptor(context, settings, rules, store, archive, regional, events, commands,
                         Options()) {}
    ChangeAcceptor(const ChangeAcceptor&) = delete;
    ChangeAcceptor& operator=(const ChangeAcceptor&) = delete;

    // Accepts `items`, reviewed on the list of baseline generation `generation`, as `who`.
    // Fails (nothing accepted) when no check ran since the last init, the baseline was
    // initialised again since the list was made, the archive is missing or cannot be read, or
    // the records or the archive cannot be written; the message says why and what to do.
    // Otherwise each item is accepted or refused on its own; all accepted ones are taken in
    // together (one archive, one transaction), each an `accept` event.
    Result<AcceptOutcome> Accept(int64_t generation, const std::vector<ReviewedChange>& items,
                                 const std::string& who);

    // Finishes an accept a killed run left between its transaction and its rename, and removes
    // the temporary archives a killed run left before its transaction. For a caller that
    // already holds the program folder's lock: the CommandRunner runs it first in every
    // command. A failure says what is wrong and how to rebuild the archive.
    Status FinishInterruptedAccept();

    // The change list under the lock, once an interrupted accept is finished (for `changes`).
    Result<ChangeList> LoadChanges();

  private:
    Result<AcceptOutcome> AcceptLocked(int64_t generation, const std::vector<ReviewedChange>& items,
                                       const std::string& who);

    const RunContext& context_;
    const Settings& settings_;
    const RuleTable& rules_;
    FileInfoStore& store_;
    ProtectedArchive& archive_;
    const platform::RegionalFormat& regional_;
    EventSink* events_;
    CommandRunner& commands_;
    Options options_;
};

}  // namespace norv
