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
#define NORV_CONFIG_NOTICES(X)

// Init and check: the engine, its walk of the rules and its records.
#define NORV_ENGINE_NOTICES(X)

// The real-time watch.
#define NORV_WATCH_NOTICES(X)

// Who changed it: the watch on fanotify and the writer of a change.
#define NORV_WRITER_NOTICES(X)                                                           \
    X(kCannotStartFanotify)   /* fanotify cannot be started (not root, an old kernel) */ \
    X(kCannotWatchOnFanotify) /* {0}: a folder whose file handle fanotify cannot have */ \
    X(kCannotMarkFileSystem)  /* {0}: a folder whose file system fanotify cannot mark */ \
    X(kCannotReadFanotify)    /* the fanotify queue cannot be read */                    \
    X(kWatchOnFanotify)       /* the watch runs on fanotify; {0} file systems marked */  \
    X(kWatchOnInotify) /* the watch runs on inotify, one watch a folder; {0} why not fanotify */

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
