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
#define NORV_TEXT_NOTICES(X)                                                                       \
    X(kCharsetUnusable)         /* {0} is a character set ICU cannot open; {1} ICU's error name */ \
    X(kCharsetCannotHold)       /* the character {0} (U+XXXX) has no place in the set {1} */       \
    X(kCharsetUnreadableEither) /* bytes that are neither UTF-8 nor cp932 */                       \
    X(kCharsetUnreadable)       /* bytes the set {0} does not define */                            \
    X(kCharsetUtf16Cut)         /* UTF-16 text with an odd byte count */                           \
    X(kCharsetLoneSurrogate)    /* UTF-16 surrogate {0} (U+XXXX) without its partner */            \
    X(kDateUnknownLocale)       /* the locale {0} has no data in ICU */                            \
    X(kDateCannotMakeFormat)    /* ICU made no date format for the locale {0} */                   \
    X(kTextKindFolder)          /* what stands at a path instead of a file: a folder */            \
    X(kTextKindPipe)            /* ... a named pipe */                                             \
    X(kTextKindCharDevice)      /* ... a character device */                                       \
    X(kTextKindBlockDevice)     /* ... a block device */                                           \
    X(kTextKindSocket)          /* ... a socket */                                                 \
    X(kTextKindSpecial)         /* ... another special file */                                     \
    X(kTextSizeBytes)           /* a size of {0} bytes */                                          \
    X(kTextSizeMiB)             /* a size of {0} MiB */                                            \
    X(kTextTooLarge)            /* {0} is not read, being larger than {1} (a size) */              \
    X(kTextCannotOpen)          /* {0} could not be opened */                                      \
    X(kTextRefusedToRead)       /* {0} is not read; {1} why (its folder's failure) */              \
    X(kTextIsLink)              /* {0} is a symbolic link and is not read */                       \
    X(kTextCannotStat)          /* fstat of {0} failed */                                          \
    X(kTextNotRegular)          /* {0} is no regular file and is not read; {1} what it is */       \
    X(kTextCannotRead)          /* reading {0} failed */                                           \
    X(kTextLineError)           /* line {1} of the file {0} failed; {2} why */                     \
    X(kTextCannotMakeTemp)      /* the temporary file beside {0} could not be made */              \
    X(kTextAlreadyClosed)       /* {0} was written through a file already closed */                \
    X(kTextCannotSetMode)       /* the mode of the temporary file {0} could not be set */          \
    X(kTextCannotWrite)         /* writing or flushing {0} failed */                               \
    X(kTextNotYetClosed)        /* the temporary file {0} was published before it was closed */    \
    X(kTextCannotReplace)       /* renaming the new file onto {0} failed */

// The LHA archive: writing it and restoring from it.
#define NORV_LHA_NOTICES(X)                                                                    \
    X(kArchiveCannotRead)           /* reading {0} (a file to archive, an archive) failed */   \
    X(kArchiveFileShrank)           /* {0} got shorter while it was archived */                \
    X(kArchiveFileTooLarge)         /* {0} is 4 GiB or more, more than an entry holds */       \
    X(kArchiveOutOfMemory)          /* no memory to archive {0} */                             \
    X(kArchiveCannotSave)           /* {0} could not be archived (it is gone) */               \
    X(kArchiveNeitherFileNorFolder) /* {0}, to archive, is no file and no folder */            \
    X(kArchiveCannotOpen)           /* the archive {0} could not be opened; {1} why */         \
    X(kArchiveDamaged)              /* the archive {0} is damaged; {1} what libarchive said */ \
    X(kArchiveHeaderUnreadable)     /* the header of the entry {0} could not be read */        \
    X(kArchiveEntryCut)             /* the entry {0} ends before its data does */              \
    X(kArchiveUnknownFault)         /* libarchive failed without saying why */                 \
    X(kArchiveCannotExtract)        /* the file {0} could not be written back */               \
    X(kArchiveReplacedAfterRestore) /* {0}, just restored, was swapped for another file */     \
    X(kArchiveNoLinkTarget)         /* the link entry for {0} holds no target */               \
    X(kArchiveCannotRestoreOwner)   /* the owner of the restored {0} could not be set */       \
    X(kArchiveCannotRemoveAcl)      /* the inherited ACL of the restored {0} could not go */   \
    X(kArchiveFolderInTheWay)       /* a folder stands at {0}: not replaced */                 \
    X(kArchiveWillNotOverwrite)     /* a file stands at {0}: not overwritten */                \
    X(kArchiveCannotReplace)        /* putting the restored file at {0} failed */              \
    X(kArchiveWayNotFolder)         /* {0}, on the way to a restore, is no folder (a link) */  \
    X(kArchiveUnsafePath)           /* the stored path {0} could leave its place: refused */   \
    X(kArchiveEntryMissing)         /* the archive {0} holds no entry {1} */                   \
    X(kArchiveCannotJournal)        /* the restore journal {0} could not be written */         \
    X(kArchiveJournalTooLarge)      /* the restore journal {0} is too large to read */         \
    X(kArchiveCannotEmptyJournal)   /* the restore journal {0} could not be emptied */

// The mail server and the database.
#define NORV_MAIL_DB_NOTICES(X)                                                               \
    X(kSmtpCannotStartCurl)   /* libcurl could not be set up for a session */                 \
    X(kSmtpLineBreakInHeader) /* a recipient, sender, subject or server holds a line break */ \
    X(kSmtpNoServer)          /* no SMTP server is set */                                     \
    X(kSmtpNoRecipient)       /* no recipient is set */                                       \
    X(kSmtpAuthWithoutTls)    /* the server {0} asks for a login but offers no STARTTLS */    \
    X(kSmtpSendFailed)        /* sending through the server {0} failed; {1} why */            \
    X(kDatabaseCannotWrite)   /* the database {0} is not writable */                          \
    X(kDatabaseCannotOpen)    /* the database {0} could not be opened; {1} SQLite's text */   \
    X(kDatabaseFailed)        /* a statement on the database {0} failed; {1} why, {2} its SQL */

// The settings file, the rule file and the watched places.
#define NORV_CONFIG_NOTICES(X)

// Init and check: the engine, its walk of the rules and its records.
#define NORV_ENGINE_NOTICES(X)

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
