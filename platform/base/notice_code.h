// NoticeCode: the closed set of messages the core can give a person. Each code names one thing
// that happened; its wording, with the places its arguments go, lives in the program's table
// (app/wording), never here. The codes are listed by subject, one list each, so that a subject's
// codes can be read together; NORV_NOTICE_CODES joins them into the one enum.
#pragma once

#include <cstdint>
#include <string_view>

// Shapes shared by every subject: a message and its cause, a numbered error.
#define NORV_BASE_NOTICES(X)                                                       \
    X(kWithCause)           /* {0}: {1} — a message, and the cause beneath it */ \
    X(kNumberedError)       /* {0} is the error's number, {1} its message */       \
    X(kBatchReadingGivenUp) /* io_uring failed mid-run; files are read one by one from now */

// The file system: listing, opening and trusting folders, files and links.
#define NORV_FS_NOTICES(X)

// Text files, character sets and dates.
#define NORV_TEXT_NOTICES(X)

// The LHA archive: writing it and restoring from it.
#define NORV_LHA_NOTICES(X)

// The mail server and the database.
#define NORV_MAIL_DB_NOTICES(X)

// The settings file, the rule file and the watched places.
#define NORV_CONFIG_NOTICES(X)                                                                    \
    X(kScanPeriodOutOfRange)   /* line 11's period is no minutes in range; {0} line, {1} most */  \
    X(kSettingsFileMissing)    /* {0} the settings file, not there */                             \
    X(kSettingsFileUnreadable) /* the settings file could not be read; {0} the cause */           \
    X(kSettingsFileShort)      /* {0} the settings file, {1} its lines, {2} the first missing */  \
    X(kFolderLineNotAbsolute)  /* {0} file, {1} line, {2} which folder, {3} the line: no "/" */   \
    X(kFolderLineHasNul)       /* {0} file, {1} line, {2} which folder: a NUL in the path */      \
    X(kFolderLineIsRoot)       /* {0} file, {1} line, {2} which folder, {3} the line: the root */ \
    X(kSaveFolder)             /* the folder of line 14, as the lines above name it */            \
    X(kCrackedFolder)          /* the folder of line 15, as the lines above name it */            \
    X(kSettingHasLineBreak)    /* not saved: {0} the settings file, {1} the line number */        \
    X(kSettingHasNul)          /* not saved: {0} the settings file, {1} the line number */        \
    X(kRuleFileUnreadable)     /* the rule file could not be read; {0} the cause */               \
    X(kRuleLineUnreadable)     /* skipped: {0} the rule file, {1} the line (no comma or end) */   \
    X(kRuleKindNotNumber)      /* skipped: {0} the rule file, {1} the line (kind not 16-bit) */   \
    X(kRulePathEmpty)          /* skipped: {0} the rule file, {1} the line */                     \
    X(kRulePathHasNul)         /* skipped: {0} the rule file, {1} the line */                     \
    X(kRulesBeyondCapacity)    /* {0} the rule file, {1} the most rules, {2} the first not run */ \
    X(kRuleFolderHasComma)     /* not added: {0} the folder, holding a comma or a line break */   \
    X(kTooManyRules)           /* not added: {0} the most rules, {1} the folder */                \
    X(kNotInAnyWatchedPlace)   /* {0} a path no rule covers */

// Init and check: the engine, its walk of the rules and its records.
#define NORV_ENGINE_NOTICES(X)                                                                   \
    X(kRuleKindUnknown)         /* {0} rule number, {1} its path, {2} its kind: not 0, 1 or 3 */ \
    X(kRulePathMissing)         /* {0} rule number, {1} its path: not there */                   \
    X(kFileRuleOnFolder)        /* {0} rule number, {1} its path: a folder, kind 0 */            \
    X(kFolderRuleOnFile)        /* {0} rule number, {1} its path, {2} its kind: not a folder */  \
    X(kRulesOverlap)            /* rule {0} ({1}) and earlier rule {2} ({3}) share files */      \
    X(kFingerprintExtended)     /* the records now get the extended fingerprint (news) */        \
    X(kRuleNotInBaseline)       /* the rule was added since the last init */                     \
    X(kMoreUnseenPlaces)        /* {0} more places not seen than the log lists */                \
    X(kMissedFilesBack)         /* files an init did not see are there again */                  \
    X(kRecordsOutsideRules)     /* {0} records no rule covers any more were dropped */           \
    X(kRecordedFilesNotFound)   /* {0} files of the previous baseline not found by this init */  \
    X(kChangedWhileRead)        /* a file kept changing while it was read */                     \
    X(kComparedInPart)          /* a file compared on part of its content only */                \
    X(kCannotCheck)             /* a place not seen, its records kept; {0} the cause */          \
    X(kHashedInPart)            /* a file's content hashed in part; {0} its size */              \
    X(kFactUnreadable)          /* {0} the fact not read, {1} the system's text */               \
    X(kCapabilityFact)          /* the file's capabilities, as kFactUnreadable names them */     \
    X(kAclFact)                 /* the file's ACL, as kFactUnreadable names it */                \
    X(kContentUnreadable)       /* a file's content could not be read, cause unknown */          \
    X(kFolderMeasuredElsewhere) /* rule {0}'s folder is rule {1}'s folder {2} */                 \
    X(kFileMeasuredAsFile)      /* rule {0}'s file is rule {1}'s single file {2} */              \
    X(kFileMeasuredInFolder)    /* rule {0}'s file is in rule {1}'s folder {2} */                \
    X(kSaidOfPlace)             /* {0} a place, {1} what is said of it */                        \
    X(kNotOurFileinfoTable)     /* {0} a database whose fileinfo table is not ours */            \
    X(kNotOurFingerprintTable)  /* {0} a database whose fingerprint table is not ours */         \
    X(kAcceptMarkUnreadable)    /* {0} the database, {1} the accept marker as stored */          \
    X(kStoppedOnRequest)        /* the run was asked to stop and did */                          \
    X(kRunInProgress)           /* a command refused: a run is in progress */                    \
    X(kCannotCreateLog)         /* {0} the log file */                                           \
    X(kCannotOpenLog)           /* {0} the log file, opened to append */                         \
    X(kLogFileRefused)          /* the log file may not be written; {0} why */                   \
    X(kCannotWriteLog)          /* {0} the log file */                                           \
    X(kLogNotOpen)              /* {0} the log file, written while closed */

// The real-time watch.
#define NORV_WATCH_NOTICES(X)

// Who changed it: the watch on fanotify and the writer of a change.
#define NORV_WRITER_NOTICES(X)

// Accepting changes, deploy holds and the protected archive.
#define NORV_ACCEPT_NOTICES(X)

// Responses to a change: quarantine, restore, the cracked folder, events and mail.
#define NORV_RESPONSE_NOTICES(X)

#define NORV_NOTICE_CODES(X) \
    NORV_BASE_NOTICES(X)     \
    NORV_FS_NOTICES(X)       \
    NORV_TEXT_NOTICES(X)     \
    NORV_LHA_NOTICES(X)      \
    NORV_MAIL_DB_NOTICES(X)  \
    NORV_CONFIG_NOTICES(X)   \
    NORV_ENGINE_NOTICES(X)   \
    NORV_WATCH_NOTICES(X)    \
    NORV_WRITER_NOTICES(X)   \
    NORV_ACCEPT_NOTICES(X)   \
    NORV_RESPONSE_NOTICES(X)

namespace norv {

enum class NoticeCode : std::uint16_t {
    kLiteral,  // not a message: a name, a number or a system's own text, shown as it is
#define NORV_NOTICE_ENUM(name) name,
    NORV_NOTICE_CODES(NORV_NOTICE_ENUM)
#undef NORV_NOTICE_ENUM
};

// The code's name in the source ("kWithCause"), for tests and for a program without a table.
std::string_view NoticeCodeName(NoticeCode code);

}  // namespace norv
