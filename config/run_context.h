// RunContext: the process-wide facts fixed once at start-up and read everywhere after.
//
// env is the system as norv reaches it: every file-system call of the core goes through it. It
// is the system's unless the owner of the context put another there (a test's); the context does
// not own it.
//
// program_dir is the folder that holds every file of the program (settings, rules, database,
// log, help). On POSIX the counterpart of the Windows directory is /etc and the root of the
// system is "/"; the default save and cracked folders lie under /var/lib/norv.
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

struct RunContext {
    platform::Env* env = platform::Env::Default();
    std::string program_dir;
    std::string system_dir;
    std::string root_dir;
    // Character set of the text files; empty means the system's.
    std::string charset;
    // How the digest workers read and hash files (chosen at start-up).
    platform::ReadOptions reading;
    // The one connection to the file-information database, open for the life of the process.
    std::unique_ptr<platform::Database> db_conn;

    std::string SettingsPath() const { return platform::JoinPath(program_dir, kSettingsFileName); }
    std::string RulesPath() const { return platform::JoinPath(program_dir, kRuleFileName); }
    std::string LogPath() const { return platform::JoinPath(program_dir, kLogFileName); }
    std::string DatabasePath() const { return platform::JoinPath(program_dir, kDatabaseFileName); }
    std::string LockPath() const { return platform::JoinPath(program_dir, kLockFileName); }
};

// system_dir up to and including its first separator; empty when it holds none.
std::string RootOf(const std::string& system_dir);

}  // namespace norv
