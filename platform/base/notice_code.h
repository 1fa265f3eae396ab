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
#define NORV_WRITER_NOTICES(X)

// Accepting changes, deploy holds and the protected archive.
#define NORV_ACCEPT_NOTICES(X)

// Responses to a change: quarantine, restore, the cracked folder, events and mail.
#define NORV_RESPONSE_NOTICES(X)                                                                   \
    X(kNothingSaved)          /* no archive: a changed file cannot be restored */                  \
    X(kCannotQuarantine)      /* {0} cannot be moved into the cracked folder and stays; {1} why */ \
    X(kSuspectNotRegular)     /* {0} is no longer a regular file */                                \
    X(kSuspectUnreadable)     /* {0} cannot be opened or read */                                   \
    X(kSuspectGoneSinceCheck) /* {0} is gone since the check found it */                           \
    X(kSuspectLinkGone)       /* the link {0} is no longer there */                                \
    X(kSuspectReplacedSinceCheck) /* {0} is another file than the check measured */                \
    X(kSpecialReplacedSinceCheck) /* the FIFO, socket or device {0} was replaced since */          \
    X(kCannotMakeCopyEntry)       /* the copy {0} cannot be made in the cracked folder */          \
    X(kNoFreeCopyName)  /* the cracked folder {0} has no free name left for a copy of {1} */       \
    X(kCannotIndexCopy) /* copy {0} not indexed: {1} path, {2} size, {3} MD5, {4} why */           \
    X(kSuspectReplacedWhileCopied) /* {0} was replaced while copied; {1} the copy */               \
    X(kCannotRemoveSuspect)        /* {0} stays though copied; {1} the copy */                     \
    X(kQuarantineCopyLimit) /* the run's copies are used up: later files go without a copy */      \
    X(kRemovedUnlisted)     /* the index's bound: {0} files removed without a line */              \
    X(kRemovedUncopied)     /* the copy bound: {0} files removed without a copy */                 \
    X(kRemovedUncopiedSomeUnlisted) /* as kRemovedUncopied, {1} of the {0} without a line */       \
    X(kTakenFilesKeptUncopied)      /* the copy bound: {0} files in taken folders kept, root's */  \
    X(kRemovedAndKept)              /* {0} the files removed, then {1} those kept */               \
    X(kRestoreOutlasted) /* something is put at {0} again and again: restore given up; {1} why */  \
    X(kCannotTakeOutWhatStands)   /* what stands at {0} cannot be moved away; {1} why */           \
    X(kCannotMoveFolderToCracked) /* the folder at {0} cannot be moved into the cracked folder */  \
    X(kCannotWriteCrackedIndex)   /* the cracked folder's index cannot be written; {0} why */      \
    X(kCannotIndexTakenEntry) /* the index line of {0}, in a folder taken out, is lost; {1} why */ \
    X(kTakenFolderPartsLeft)  /* {0}: {1} parts left, past {2} items, {3} levels, at {4} */        \
    X(kEvidenceUnreadable)    /* an item of the evidence cannot be read */                         \
    X(kTakenItemNotRemoved)   /* a FIFO, socket or device in a taken folder cannot be removed */   \
    X(kTakenItemNotMadeRoots) /* an item in a taken folder cannot be made root's */                \
    X(kTakenItemOwnerUnchanged)       /* a folder's owner and mode stay as they were though set */ \
    X(kTakenFolderUnlisted)           /* a folder taken out cannot be listed */                    \
    X(kTakenItemReplaced)             /* an item in a taken folder was replaced after the look */  \
    X(kCannotMakeFreshCopy)           /* the fresh copy of {0} cannot be made */                   \
    X(kCannotReplaceWithFreshCopy)    /* {0} cannot be replaced by its fresh copy */               \
    X(kCannotWriteEvidence)           /* the copy {0} cannot be written */                         \
    X(kCannotReadBackCopy)            /* the copy {0} cannot be read back */                       \
    X(kCopyDiffers)                   /* the copy {0} does not read back as the file */            \
    X(kCannotRemoveRestoredAttribute) /* {0} the restored file, {1} the attribute left on it */    \
    X(kCannotPutBackAttribute)        /* {0} the restored file, {1} the attribute not set */       \
    X(kCannotPutBackMode)             /* {0} the restored file, its mode not set */                \
    X(kCannotPutBackOwner)            /* {0} the restored file, its owner not set */               \
    X(kAclDigestedNotPutBack)         /* {0}'s ACL, recorded as a digest alone, is not put back */ \
    X(kPrivilegesWithheld) /* {0} came back with other content: no set-id bits, no capabilities */ \
    X(kCapabilitiesDigestedNotPutBack) /* {0}'s capabilities, a digest alone, not put back */      \
    X(kCannotWriteEvents)              /* the events file {0} cannot be written; {1} why */        \
    X(kReportNotSent) /* the report's mail was not sent; {0} why, {1} the recipients */

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
