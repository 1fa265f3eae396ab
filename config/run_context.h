// RunContext: the process-wide facts fixed once at start-up and read everywhere after.
//
// env is the system as norv reaches it: every file-system call of the core goes through it. It
// is the system's unless the owner of the context put another there (a test's); the context does
// not own it.
//
// folders say where the program's files are: a program folder (--dir, or the executable's own
// folder) holds every one of them; an installed package keeps each kind where the system keeps
// it. On POSIX the counterpart of the Windows directory is /etc and the root of the system is
// "/"; the default save and cracked folders lie under /var/lib/norv.
#pragma once

#include <memory>
#include <string>

#include "platform/base/env.h"
#include "platform/db/database.h"
#include "platform/digest/fingerprint.h"
#include "platform/fs/file_system.h"

namespace norv {

inline constexpr const char* kSettingsFileName = "norvcfg.txt";
inline constexpr const char* kRuleFileName = "user_rule.txt";
inline constexpr const char* kLogFileName = "norv.log";
inline constexpr const char* kDatabaseFileName = "norv.db";
inline constexpr const char* kLockFileName = "norv.lock";
// The system's configuration folder: its root is where the default save and cracked folders go.
inline constexpr const char* kSystemConfigFolder = "/etc";
inline constexpr const char* kDefaultSaveFolder = "var/lib/norv/save";
inline constexpr const char* kDefaultCrackedFolder = "var/lib/norv/cracked";

// The folders of the program's files. Each is held to the same trust as the files in it.
struct ProgramLayout {
    std::string config;   // settings and rules
    std::string state;    // database, hold record, restore journal
    std::string logs;     // scan log, events and their sequence
    std::string runtime;  // the lock
    std::string data;     // help pages

    // Every file in one folder, the layout of a program folder.
    static ProgramLayout InOne(const std::string& dir) { return {dir, dir, dir, dir, dir}; }
    // Where an installed package keeps each kind: /etc/norv, /var/lib/norv, /var/log/norv,
    // /run/norv, /usr/share/norv.
    static ProgramLayout OfTheSystem() {
        return {"/etc/norv", "/var/lib/norv", "/var/log/norv", "/run/norv", "/usr/share/norv"};
    }
    bool InOneFolder() const {
        return state == config && logs == config && runtime == config && data == config;
    }
};

struct RunContext {
    platform::Env* env = platform::Env::Default();
    ProgramLayout folders;
    std::string system_dir;
    std::string root_dir;
    // Character set of the text files; empty means the system's.
    std::string charset;
    // How the digest workers read and hash files (chosen at start-up).
    platform::ReadOptions reading;
    // The one connection to the file-information database, open for the life of the process.
    std::unique_ptr<platform::Database> db_conn;

    std::string SettingsPath() const {
        return platform::JoinPath(folders.config, kSettingsFileName);
    }
    std::string RulesPath() const { return platform::JoinPath(folders.config, kRuleFileName); }
    std::string LogPath() const { return platform::JoinPath(folders.logs, kLogFileName); }
    std::string DatabasePath() const {
        return platform::JoinPath(folders.state, kDatabaseFileName);
    }
    std::string LockPath() const { return platform::JoinPath(folders.runtime, kLockFileName); }
};

// system_dir up to and including its first separator; empty when it holds none.
std::string RootOf(const std::string& system_dir);

}  // namespace norv
