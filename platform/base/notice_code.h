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
#define NORV_FS_NOTICES(X)                                                                         \
    X(kCannotListFolder)      /* {0} is a folder that could not be listed */                       \
    X(kCannotReadFacts)       /* the facts (stat) of {0} could not be read */                      \
    X(kCannotReadFolderFacts) /* the facts of the folder holding {0} could not be read */          \
    X(kCannotOpen)            /* {0} could not be opened */                                        \
    X(kCannotRead)            /* {0} could not be read */                                          \
    X(kCannotWrite)           /* {0} could not be written */                                       \
    X(kCannotCreate)          /* {0} could not be created */                                       \
    X(kCannotExamine)         /* {0}, a file norv writes, could not be looked at */                \
    X(kNamedFile)             /* {0}: what the file is (the log file), {1} the message */          \
    X(kOwnerNotRoot)          /* a folder's owner, uid {0}, is not root */                         \
    X(kWritableByAnyone)      /* anyone may write a folder */                                      \
    X(kWritableByGroup)       /* group gid {0} may write a folder */                               \
    X(kFolderOnWayNotTrusted) /* {0} not followed: folder {1} on the way is {2} */                 \
    X(kLinkOnWayNotTrusted)   /* {0} not followed: link {1} on its way is owned by uid {2} */      \
    X(kOwnFolderNotTrusted)   /* folder {0} not used, {1} why; {2} is the command that fixes it */ \
    X(kFileNotRegular)        /* {0} is no regular file, so it is not used */                      \
    X(kFileOwnerNotRoot)      /* {0} is owned by uid {1}, not root, so it is not used */           \
    X(kFileWritableByOthers)  /* {0} may be written by other users, so it is not used */           \
    X(kFileHasOtherNames)     /* {0} has hard links a write would change too, so it is not used */ \
    X(kFileFactsUnreadable)   /* the facts of {0} could not be read, so it is not used */          \
    X(kFuseMountUserUnknown)  /* why a mount is refused: a FUSE mount of no known user */          \
    X(kMountedByOtherUid)     /* why a mount is refused: user uid {0} mounted it */                \
    X(kMountedByOtherUser)    /* why a mount is refused: user {0} (a name) mounted it */           \
    X(kMountNotInTable)       /* why a mount is refused: the mount table does not show it */       \
    X(kMountNotEntered)       /* {0} is a mount point not entered; {1} why */                      \
    X(kMountedOnEntry)        /* a file system is mounted on {0}, which is not asked anything */   \
    X(kMovedDuringCheck)      /* folder {0} was moved away while it was being checked */           \
    X(kCannotStartWatching)   /* inotify could not be started */                                   \
    X(kWatchInstancesAtLimit) /* inotify instances are at their limit {0} */                       \
    X(kCannotReadChanges)     /* reading inotify's events failed */                                \
    X(kCannotWatchFolder)     /* folder {0} could not be watched */                                \
    X(kWatchesAtLimit)        /* inotify watches are at their limit {0} */                         \
    X(kProgramFolderBusy)     /* another norv holds the program folder's lock {0} */               \
    X(kCannotLock)            /* the lock file {0} could not be locked */

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
#define NORV_WATCH_NOTICES(X)                                                                      \
    X(kWatchEventsLost)        /* the kernel dropped events; {0}: max_queued_events */             \
    X(kWatchedFolderMoved)     /* a watched folder was moved away; {0}: its path */                \
    X(kTooManyNewFolders)      /* more new folders wait for a watch than {0} */                    \
    X(kTooManyPendingFiles)    /* more files wait for their check than {0} */                      \
    X(kFullCheckFor)           /* {0}: why a full check runs (a watched folder out of reach) */    \
    X(kRecordedFirstCutShort)  /* recorded files first: stopped at {0}, bounds {1} ms, {2} */      \
    X(kWatchEventsFailed)      /* the events' reader failed, {0}: its error; watch restarted */    \
    X(kHoldEndedFullCheck)     /* a hold ended: the changes it left alone need a full check */     \
    X(kFoldersBelowNotWatched) /* {0}: why a part of a tree cannot be watched */                   \
    X(kOverWatchLimit)         /* {0} folders past max_user_watches {1}; {2}: the value advised */ \
    X(kFolderTooDeep)          /* {0}: a folder deeper than {1} levels, left unwatched */          \
    X(kFolderNotWatchedFor)    /* {0}: why one folder cannot be watched */                         \
    X(kFolderNotWatched)       /* an event's folder is not watched (any more) */                   \
    X(kWatchedFolderLost)      /* a folder on the way to a watched one is no longer watched */     \
    X(kWatchedFolderReplaced)  /* {0}: a watched folder replaced by another one */                 \
    X(kNotTheWatchedFolder)    /* {0} is not the folder the watch was set on */                    \
    X(kCannotWatchInside)      /* {0}: a new folder whose inside cannot all be watched */          \
    X(kRestoreRetriesGivenUp)  /* {0}: a restore failed {1} times, not tried again */              \
    X(kWatchedFileNotChecked)  /* a file an event named cannot be checked; {0}: why */             \
    X(kWatchedFileUnreadable)  /* its content cannot be read */

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
