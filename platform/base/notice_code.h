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
#define NORV_MAIL_DB_NOTICES(X)                                                                  \
    X(kSmtpCannotStartCurl)   /* libcurl could not be set up for a session */                    \
    X(kSmtpLineBreakInHeader) /* a recipient, sender, subject or server holds a line break */    \
    X(kSmtpNoServer)          /* no SMTP server is set */                                        \
    X(kSmtpNoRecipient)       /* no recipient is set */                                          \
    X(kSmtpAuthWithoutTls)    /* the server {0} asks for a login but offers no STARTTLS */       \
    X(kSmtpSendFailed)        /* sending through the server {0} failed; {1} why */               \
    X(kDatabaseCannotWrite)   /* the database {0} is not writable */                             \
    X(kDatabaseCannotOpen)    /* the database {0} could not be opened; {1} SQLite's text */      \
    X(kDatabaseFailed)        /* a statement on the database {0} failed; {1} why, {2} its SQL */ \
    X(kStoreCannotConnect)    /* the server {0} could not be reached or refused; {1} why */      \
    X(kStoreQueryFailed)      /* a query on the server {0} failed; {1} why */                    \
    X(kStoreSchemaMissing)    /* the server {0} has no fleet schema {1} the reader can read */   \
    X(kStoreSchemaTooOld)     /* the server {0} has schema version {1}; {2} is needed */

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
    X(kNotInAnyWatchedPlace)   /* {0} a path no rule covers */                                    \
    X(kNoRulesYet)             /* init found no rule: {0} the rule file, where to add one */

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
    X(kKeptChangingWhileRead)   /* a file kept changing while it was read */                     \
    X(kComparedInPart)          /* a file compared on part of its content only */                \
    X(kCannotCheck)             /* a place not seen, its records kept; {0} the cause */          \
    X(kHashedInPart)            /* a file's content hashed in part; {0} its size */              \
    X(kFactUnreadable)          /* {0} the fact not read, {1} the system's text */               \
    X(kCapabilityFact)          /* the file's capabilities, as kFactUnreadable names them */     \
    X(kAclFact)                 /* the file's ACL, as kFactUnreadable names it */                \
    X(kXattrsFact)              /* the file's other extended attributes */                       \
    X(kInodeFlagsFact)          /* the file's inode flags */                                     \
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
#define NORV_WATCH_NOTICES(X)                                                                      \
    X(kWatchEventsLost)        /* the kernel dropped events; {0}: max_queued_events */             \
    X(kWatchedFolderMoved)     /* a watched folder was moved away; {0}: its path */                \
    X(kWatchedFolderRemoved)   /* a folder with records under it was removed; {0}: its path */     \
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
#define NORV_WRITER_NOTICES(X)                                                                   \
    X(kCannotStartFanotify)   /* fanotify cannot be started (not root, an old kernel) */         \
    X(kCannotWatchOnFanotify) /* {0}: a folder whose file handle fanotify cannot have */         \
    X(kCannotMarkFileSystem)  /* {0}: a folder whose file system fanotify cannot mark */         \
    X(kCannotReadFanotify)    /* the fanotify queue cannot be read */                            \
    X(kWatchOnFanotify)       /* the watch runs on fanotify; {0} file systems marked */          \
    X(kWatchOnInotify) /* the watch runs on inotify, one watch a folder; {0} why not fanotify */ \
    X(kNoCgroupHierarchy)   /* no writable cgroup v2 hierarchy to run a command apart in */      \
    X(kCannotMakeCgroup)    /* the cgroup {0} cannot be made */                                  \
    X(kDeployWatchLost)     /* events were lost while the command ran: writers unknown */        \
    X(kWrittenByAnother)    /* {0} was written by another process than the command: {1} */       \
    X(kWriterNotSeen)       /* no write of the command's was seen to {0} */                      \
    X(kWriterUnknown)       /* {0} was written by a process gone before it could be read */      \
    X(kDeployNeedsFanotify) /* --yes needs fanotify and a cgroup; {0} why they are missing */

// Accepting changes, deploy holds and the protected archive.
#define NORV_ACCEPT_NOTICES(X)                                                                     \
    X(kNoRuleCovers)               /* no rule covers the path asked for */                         \
    X(kReappearedAfterReview)      /* a file reviewed as deleted is there again */                 \
    X(kVanishedAfterReview)        /* the file reviewed is gone */                                 \
    X(kNoLongerFileOrLink)         /* the name now holds neither a file nor a link */              \
    X(kChangedWhileRead)           /* the file changed while it was read */                        \
    X(kTooLargeToAccept)           /* the file is too large to be read whole */                    \
    X(kNotMeasuredAtReview)        /* the change was listed without its content measured */        \
    X(kChangedAgainAfterReview)    /* the file changed again since it was reviewed */              \
    X(kAlreadyInBaseline)          /* a created file is in the baseline already */                 \
    X(kNotInBaseline)              /* the changed file is not in the baseline */                   \
    X(kBaselineChangedSinceList)   /* the baseline changed since the list was made */              \
    X(kCannotPlaceAcceptedArchive) /* the accepted archive cannot replace {0}, the archive */      \
    X(kAcceptedArchiveMissing)     /* the accepted archive is gone; {0} is the archive */          \
    X(kNoCheckSinceInit)           /* no check ended since the last init: nothing accepted */      \
    X(kBaselineInitialisedAgain)   /* the baseline was initialised again: nothing accepted */      \
    X(kArchiveMissingForAccept)    /* {0}, the archive, is missing: nothing accepted */            \
    X(kItemNotAccepted)            /* {0} the path shown, {1} why it is not accepted */            \
    X(kNotInLastChangeList)        /* the item is not, as reviewed, in the last check's changes */ \
    X(kCannotCheckItem)            /* the item cannot be measured; {0} the cause */                \
    X(kLeftAsChange)               /* {0} why, and the item stays a change */                      \
    X(kKeptChangingWhileAccepted)  /* files kept changing while the archive was written */         \
    X(kCannotCarryOverForAccept)   /* {0} the archive's failure: nothing accepted */               \
    X(kHoldNotRegularFile)         /* the hold record is not a regular file */                     \
    X(kHoldOwnerNotRoot)           /* the hold record's owner, uid {0}, is not root */             \
    X(kHoldOwnerNotUser)      /* the hold record's owner, uid {0}, is not the running uid {1} */   \
    X(kHoldModeNotPrivate)    /* the hold record's mode {0} is not 0600 */                         \
    X(kHoldTooLarge)          /* the hold record is larger than it may be */                       \
    X(kHoldMalformed)         /* the hold record is not in its form; {0} what is wrong */          \
    X(kHoldLastLineUnended)   /* the hold record's last line has no line end */                    \
    X(kHoldHeaderWrong)       /* the hold record's first line is not {0} */                        \
    X(kHoldLineWithoutEquals) /* a line of the hold record has no = */                             \
    X(kHoldFieldMissing)      /* pid, started or expires is missing from the hold record */        \
    X(kCannotReadHold)        /* {0}, the hold record, cannot be read */                           \
    X(kHoldUnopenedIgnored)   /* {0} why the hold record could not be opened; it is ignored */     \
    X(kHoldIgnored)           /* {0} the hold record, {1} why it is ignored */                     \
    X(kHoldUnreadable)        /* the hold record cannot be read; {0} the cause */                  \
    X(kHoldExpired)           /* the hold of process {0} ended at its expiry */                    \
    X(kHoldHolderGone)        /* the hold's process {0} is gone, so the hold ended */              \
    X(kHoldEndedResponseResumes) /* {0} how the hold ended; changes are answered again */          \
    X(kCannotHoldNewline)        /* {0}, a rule path, holds a line break and cannot be held */     \
    X(kCannotCreateHold)         /* {0}, the hold record, cannot be created */                     \
    X(kCannotPlaceHold)          /* {0}, the hold record, cannot be put in place */                \
    X(kAnotherDeployHolds)       /* another deploy holds: {0} its process, {1} the record */       \
    X(kHoldRecordInTheWay)       /* {0}, a record that does not count, is in the way; {1} why */   \
    X(kHoldPlacementRaced)       /* {0}, the hold record, could not be placed: others raced */     \
    X(kCannotRemoveHold)         /* {0}, the hold record, cannot be removed */                     \
    X(kArchiveFailed)        /* the archiver's title for building, then {0} on the next line */    \
    X(kRestoreFailed)        /* the archiver's title for restoring, then {0} on the next line */   \
    X(kArchiveNextLine)      /* {0}, then {1} on the next line, in an archive's notice */          \
    X(kRuleNotArchived)      /* rule {0}, path {1}, not archived; {2} the cause */                 \
    X(kRulePartsNotArchived) /* {2} parts of rule {0} ({1}) not archived; {3} their lines */       \
    X(kMorePartsNotArchived) /* {0} more parts not archived */                                     \
    X(kRuleEarlierKept)      /* the rule's earlier version, {0} files, stays in the archive */     \
    X(kRuleNotInEarlier)     /* the rule is not in the earlier archive either */                   \
    X(kPartsEarlierKept)     /* the parts' earlier versions stay in the archive */                 \
    X(kPartsNotInEarlier)    /* the parts are not in the earlier archive either */                 \
    X(kSomePartsEarlierKept) /* {0} parts kept their earlier version, {1} had none */              \
    X(kEarlierArchiveStands) /* {0}, the earlier archive, stays as it was: nothing saved now */    \
    X(kEarlierArchiveUnchanged) /* {0}, the earlier archive, stays as it was */                    \
    X(kNoArchiveMade)           /* no archive was made */                                          \
    X(kCannotCarryOverEarlier) /* the earlier archive's entries cannot be copied; {0} the cause */ \
    X(kArchiveRebuilt) /* {0}, the archive, has what was saved and the rest's earlier versions */  \
    X(kArchiveRebuiltSomeLost) /* {0}, the archive, has what was saved; some of the rest lost */   \
    X(kNothingSavedNoArchive)  /* nothing could be saved and there is no earlier archive */        \
    X(kPartialArchiveMade)     /* {0}, the archive, holds only what could be saved */              \
    X(kArchiveNotMadeBecause)  /* no archive was made; {0} the cause */                            \
    X(kCannotRemoveArchive)    /* {0}, the archive, cannot be removed; {1} the system's text */

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
    X(kXattrsDigestedNotPutBack)       /* {0}'s other attributes, a digest alone, not put back */  \
    X(kCannotPutBackInodeFlags)        /* {0} the restored file, its inode flags not set */        \
    X(kCannotMoveBack) /* the file moved to {0} cannot be moved back to {1}; restored instead */   \
    X(kMovedBackNotAsRecorded) /* what was moved back to {0} is not the file as recorded */        \
    X(kPlaceReplaced) /* {0} is another folder or file than the one recorded: not put back */      \
    X(kPlaceAcceptedByInit) /* a folder's or special file's own change is taken in by an init */   \
    X(kCannotRemakeSpecialFile) /* the FIFO, socket or device {0} cannot be made again */          \
    X(kSpecialFileSwapped)      /* {0} was replaced while its owner and mode were put back */      \
    X(kCannotWriteEvents)       /* the events file {0} cannot be written; {1} why */               \
    X(kCannotSaveEventSequence) /* the events' sequence cannot be kept in {0}; {1} why */          \
    X(kReportNotSent)           /* the report's mail was not sent; {0} why, {1} the recipients */

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
