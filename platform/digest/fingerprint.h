// Fingerprint: everything norv measures of one watched file, taken through one open descriptor
// with one read of its content, and ExtendedFacts, what a record keeps of it beside fileinfo's
// length, time and MD5: SHA-256, type, permission bits (set-id and sticky included), owner,
// group, file capabilities, POSIX ACL, every other extended attribute and the inode flags.
//
// A new fact is added here and nowhere else in the measuring: a member of ExtendedFacts, its
// reading in FingerprintAt, its comparison in CompareFacts and its shown form in ShownFacts. The
// store keeps ExtendedFacts whole; the engine, the events and the response go through these.
//
// A fact that could not be read has no value (a `sha256` not measured, an empty optional): it is
// never a fingerprint, it is compared with nothing, and its absence alone never makes a file
// altered.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/batch_reader.h"
#include "platform/base/io_priority.h"
#include "platform/base/status.h"
#include "platform/digest/md5.h"
#include "platform/digest/md5_lanes.h"
#include "platform/digest/sha256_lanes.h"
#include "platform/fs/file_system.h"

namespace norv::platform {

// The extended attributes a fingerprint reads, and how much of one it keeps. The kernel holds a
// value to 64 KiB; a value over kMostKeptXattrBytes (an ACL of hundreds of entries that the
// file's owner, perhaps an attacker, gave it) is kept as kDigestedXattrMark and the SHA-256 of
// its bytes, so that a record's size stays bounded and a change still shows.
inline constexpr const char* kCapabilityXattr = "security.capability";
inline constexpr const char* kAclXattr = "system.posix_acl_access";
inline constexpr size_t kMostKeptXattrBytes = 4096;
inline constexpr char kDigestedXattrMark = '~';
// Every other extended attribute together is kept up to this many bytes (their encoded form,
// see ExtendedFacts::xattrs), beyond it as the mark and the digest of that form.
inline constexpr size_t kMostKeptOtherXattrBytes = 16384;
// The inode flags a fingerprint compares: those chattr sets (s u c S i a d A j t D T C x P F).
// The others (extents, inline data, encryption, verity) belong to the file system's own keeping.
inline constexpr uint32_t kComparedInodeFlags =
    0x0001'00FF | 0x0000'C000 | 0x0002'0000 | 0x0080'0000 | 0x0200'0000 | 0x6000'0000;
// Of those, the flags that forbid renaming, linking or writing the file: set on a restored file
// only once it stands in its place, and taken off one that is taken out.
inline constexpr uint32_t kLockingInodeFlags = 0x10 | 0x20;  // immutable, append-only

// The facts a record keeps beside fileinfo's columns. `capabilities` and `acl` hold the raw
// value of their extended attribute ("" for none).
struct ExtendedFacts {
    // 64 hexadecimal characters, or a sampled digest; not measured when not read.
    Sha256Digest sha256;
    EntryKind type = EntryKind::kMissing;  // kRegular or kSymlink
    uint32_t mode = 0;                     // permission bits with set-id and sticky (07777)
    uint32_t owner = 0;
    uint32_t group = 0;
    std::optional<std::string> capabilities;  // nullopt when not read
    std::optional<std::string> acl;           // nullopt when not read
    // Every extended attribute but those two, in every namespace root can read (user.*,
    // trusted.*, security.* with SELinux and SMACK labels): sorted by name, each as the name, a
    // NUL, its length in 4 bytes little-endian and its value; "" for none; digested past
    // kMostKeptOtherXattrBytes. nullopt when not read, or not recorded (an older record).
    std::optional<std::string> xattrs;
    // The inode flags (kComparedInodeFlags of them); 0 on a file system that has none, nullopt
    // when not read or not recorded.
    std::optional<uint32_t> inode_flags;
    bool operator==(const ExtendedFacts&) const = default;
};

// A fact a check can find changed: the content (its digests), the length and time (compared
// when the content was compared in part), and the extended facts.
enum class Fact {
    kContent,
    kSize,
    kTime,
    kType,
    kMode,
    kOwner,
    kGroup,
    kCapabilities,
    kAcl,
    kXattrs,
    kInodeFlags
};

// The name of a fact as the events, the log, the database and the cracked folder's index
// write it: "content", "size", "time", "type", "mode", "owner", "group", "capabilities", "acl",
// "xattrs", "flags".
std::string_view FactName(Fact fact);

// One fact a check found changed, with its value recorded and found as the events show them;
// no value where a side was not measured (a file that changed while it was read).
struct FactChange {
    Fact fact;
    std::optional<std::string> was;
    std::optional<std::string> now;
};

// The facts that differ between a record and a file now, in the order above. Content differs
// when the MD5s differ, or the SHA-256s where both were read; a digest sampled on one side only
// (a read that ran out of time) is no difference. A fact not read on either side is skipped.
// With `recorded` absent (a record made before the fingerprint was extended), only the MD5s.
// An MD5 absent on one side (a record that holds none, a file that kept changing while read)
// differs from any digest on the other. Content is shown with the digests' stored text
// (OptionalMd5Text).
std::vector<FactChange> CompareFacts(const std::optional<Md5Digest>& recorded_md5,
                                     const std::optional<ExtendedFacts>& recorded,
                                     const std::optional<Md5Digest>& md5, const ExtendedFacts& now);

// The value of one fact as the events, the log and the cracked folder's index show it: content
// as "sha256:<hex>" ("md5:<hex>" without a SHA-256), type "file" or "link", mode as four octal
// digits, owner and group as numbers, capabilities as libcap writes them ("cap_net_raw=ep"), an
// ACL in its short text form ("user::rw-,user:33:rwx,group::r--,mask::rwx,other::r--"), the
// other extended attributes as "name=value" joined by ',' (a value not plain text in hex, "0x.."),
// the inode flags as chattr's letters ("ia"); "" for none of them. Size and time are not among the
// extended facts: no value.
std::optional<std::string> ShownFact(Fact fact, std::string_view md5, const ExtendedFacts& facts);
std::string ShownCapabilities(std::string_view raw);
std::string ShownAcl(std::string_view raw);
std::string ShownXattrs(std::string_view encoded);
std::string ShownInodeFlags(uint32_t flags);
// The attributes in ExtendedFacts::xattrs' form, name and value, in their order; nothing for a
// digested or damaged form.
std::optional<std::vector<std::pair<std::string, std::string>>> DecodedXattrs(
    std::string_view encoded);

// One entry of an open folder measured and fingerprinted with a single open: a regular file by
// its content (facts from the opened file itself), a symbolic link by its target text. An
// entry that is gone, or is now a folder, FIFO, socket or device, has kind kMissing or kOther
// and no digest; a file that cannot be read has its MD5 not measured (blanks in Md5Text).
//
// A regular file over the hash budget has `content_whole` false and sampled digests (see
// kSampledDigestMark): its content was not fully hashed, so a change in the middle of it goes
// unseen, and a file hashed whole on one run and sampled on another (the time budget ran out)
// has two different digests with no change at all.
//
// A file held under a write lease by another process is waited for, at most the kernel's
// lease-break time (/proc/sys/fs/lease-break-time), and only once it is known to be a regular
// file: a FIFO or device is never opened in blocking mode.
//
// A file system mounted on the entry itself is measured only when MountGuard admits it; one
// another user mounted is neither read nor asked for its facts: the entry counts as a regular
// file that could not be read, and `cause` says why.
//
// The descriptor is looked at again once everything is read: a file whose size, times or
// attributes moved meanwhile has `changed_while_read`, and its digests are no fingerprint.
struct Fingerprint {
    FileFacts facts;
    Md5Digest md5;        // fileinfo's digest; not measured when it could not be read
    Sha256Digest sha256;  // from the same read
    bool content_whole = true;
    std::optional<std::string> capabilities;  // see ExtendedFacts; nullopt when not read
    std::optional<std::string> acl;
    std::optional<std::string> xattrs;
    std::optional<uint32_t> inode_flags;
    int capabilities_error = 0;  // why a fact was not read (an errno), for the log
    int acl_error = 0;
    int xattrs_error = 0;
    int inode_flags_error = 0;
    bool changed_while_read = false;
    Status cause;  // why the content could not be read, when more is known than that

    // A regular file whose content could not be read: it has no fingerprint.
    bool unreadable() const { return facts.kind == EntryKind::kRegular && !md5.measured(); }
    // fileinfo's digest as stored: its hexadecimal (or sampled digest), 32 blanks for a file or
    // link that could not be read, "" for an entry with no content (gone, a folder, a FIFO).
    std::string Md5Text() const;
    ExtendedFacts Extended() const;
};

// `stop`, when given and set, cuts a long read short: the digest is then not measured, and the
// caller, which asked for the stop, must not record it. `pause`, when given, is called between the
// blocks of the content (see ContentRead).
// Everything goes through the Env the folder was opened through.
Fingerprint FingerprintAt(const DirectoryHandle& folder, const std::string& name,
                          const std::atomic<bool>* stop = nullptr,
                          const HashBudget& budget = kDefaultHashBudget,
                          const std::function<void()>* pause = nullptr);

// How the digest workers read and hash files: chosen where the process starts (from NORV_IO and
// NORV_DIGEST_KERNEL) and passed down.
struct ReadOptions {
    IoPath io = IoPath::kAuto;
    std::string digest_kernel;  // a kernel forced by name (ChosenDigestKernel); empty: none
    // The I/O priority of a rule's walk and digest workers (norv-cli --io-priority): the bulk of
    // a check's reading, while the run's thread (the database, restores) keeps the process's.
    IoPriority io_priority = IoPriority::kInherited;
    // Files each digest worker opens and reads in one batch (BatchFilesFor the rule's device).
    size_t batch_files = BatchReader::kDefaultFiles;
};

// Fingerprints several files at once on one thread (a digest worker): each file's content is
// read a block at a time, and the MD5s of up to width() files hashed together in the lanes of
// Md5Lanes. Where Sha256Lanes has lanes too (AVX-512; AVX2 without the SHA instructions or
// forced) their SHA-256s are hashed together as well, each block given to both; otherwise each
// file's SHA-256 is taken on one stream as it is read. Each file is measured as FingerprintAt
// measures it: the same open, facts, budget, stop and second look; only the digest arithmetic is
// shared, and a file that fails or changes size leaves its lanes without disturbing the others. A
// file's `done` is called, on the thread that calls Add, AddQueued or Step, once it is measured.
//
// Batched opening (`io` other than kPlain, for a caller that calls AddQueued): where the Env of
// the first folder given hands out a batch reader (Env::NewBatchReader) and the folder is opened
// through that Env, Add only queues the file,
// up to most_queued() of them; AddQueued() then opens, looks at and reads every queued file in one
// batch and moves the oldest into a lane. A small file read whole there is hashed from the
// batch's bytes; any other goes on as Add would take it, with the descriptor the batch opened
// or, when the batch could not open it, opened afresh. Attributes and the second look are asked
// through the descriptor as FingerprintAt asks them. The folder and name given to Add must then
// stay valid until the file's `done`.
class FingerprintLanes {
  public:
    using Done = std::function<void(Fingerprint&&)>;
    static constexpr size_t kBlockBytes = 64 * 1024;

    // `kernel_forced`: see DigestLanes.
    FingerprintLanes(DigestKernel kernel, const std::atomic<bool>* stop,
                     const HashBudget& budget = kDefaultHashBudget, IoPath io = IoPath::kPlain,
                     bool kernel_forced = false, size_t batch_files = BatchReader::kDefaultFiles);
    ~FingerprintLanes();  // closes the files still in hand, whose `done` is never called
    FingerprintLanes(const FingerprintLanes&) = delete;
    FingerprintLanes& operator=(const FingerprintLanes&) = delete;

    // How many files Add queues at most for one batch.
    size_t most_queued() const { return batch_files_; }

    DigestKernel kernel() const { return lanes_.kernel(); }
    bool full() const { return in_hand_ == lanes_.width(); }
    bool empty() const { return in_hand_ == 0; }
    // Files queued for a batch and not yet in a lane; whether the oldest was opened already.
    size_t queued() const { return queue_.size(); }
    bool queue_opened() const { return !queue_.empty() && queue_.front().opened; }

    // Begins measuring the entry `name` of `folder` (not full(), and with batched opening fewer
    // than most_queued() queued). An entry with no content to read in the lanes (not a regular
    // file, unreadable, over the budget) is done at once.
    void Add(const DirectoryHandle& folder, const std::string& name, Done done);
    // The oldest queued file into a lane (not full()), the queue opened first when it was not.
    void AddQueued();
    // Reads the next block of every file that wants one and hashes; returns once some file is
    // done or wants its next block.
    void Step();
    // Called once, when the batch reader fails mid-run (its files then go the one-file way), on
    // the thread that calls AddQueued, before any file of that batch is done.
    void OnReaderFailure(std::function<void(const Status&)> said) {
        on_reader_failure_ = std::move(said);
    }

  private:
    struct File {
        Env* env = nullptr;
        int fd = -1;            // -1: the lane is free
        bool batch_fd = false;  // opened by the batch reader, which closes it
        struct stat st {};
        std::optional<std::vector<char>> whole;  // read whole in a batch: its bytes
        bool fed = false;                        // ... given to the lanes
        Fingerprint result;
        std::optional<ContentRead> read;
        Sha256Digester sha256;     // when the SHA-256 is not taken in lanes
        std::vector<char> buffer;  // the block the lanes are hashing
        Done done;
    };
    struct Queued {
        const DirectoryHandle* folder;
        const std::string* name;
        Done done;
        bool opened = false;
        BatchReader::Result result;
    };
    // SHA-256 has lanes too (as many as MD5): lane l of both is the same file's.
    bool sha256_in_lanes() const { return sha256_lanes_.width() > 1; }
    void AddOpen(Env& env, int fd, const struct stat& st, Fingerprint result, Done done,
                 std::optional<std::vector<char>> whole, bool batch_fd = false);
    void OpenQueue();
    void Finish(int lane, ContentDigest content);

    Md5Lanes lanes_;
    Sha256Lanes sha256_lanes_;
    IoPath io_;
    size_t batch_files_;
    std::unique_ptr<BatchReader> reader_;
    bool reader_tried_;  // true when batches are not wanted
    std::function<void(const Status&)> on_reader_failure_;
    bool reader_failure_said_ = false;
    std::deque<Queued> queue_;
    const std::atomic<bool>* stop_;
    HashBudget budget_;
    File files_[Md5Lanes::kMostLanes];  // one per lane
    int in_hand_ = 0;
};

// The capabilities, ACL, other extended attributes and inode flags of the open file `fd`, as
// FingerprintAt reads them. Each value is
// bounded (kMostKeptXattrBytes); a fact not read has no value and its errno in `*_error`.
struct XattrFacts {
    std::optional<std::string> capabilities, acl, others;
    std::optional<uint32_t> inode_flags;
    int capabilities_error = 0, acl_error = 0, others_error = 0, inode_flags_error = 0;
};
XattrFacts ReadXattrFacts(Env& env, int fd);

// The extended facts of the open file `fd` (regular, or an O_PATH descriptor of a link) as they
// are now: what a restore set, or what the evidence had.
ExtendedFacts ExtendedFactsOf(Env& env, int fd, const struct stat& st);

// A folder, FIFO, socket or device as a record keeps it: its kind ("folder", "fifo", "socket",
// "char-device 1:3", "block-device 8:0") and its facts, without content. A folder's are read
// through its descriptor, attributes and flags included (its default ACL is one of the other
// attributes); a special file is never opened, so of it only the mode, owner and group are read.
struct PlaceFacts {
    std::string kind;
    ExtendedFacts facts;
    // Not a fact compared: a restore puts the recorded facts back only on the very entry
    // recorded, never on another one moved to its place.
    FileIdentity identity;
    bool operator==(const PlaceFacts&) const = default;
};
inline constexpr const char* kFolderKind = "folder";
// The kind of a folder or special file; "" for a regular file or a link.
std::string PlaceKind(const struct stat& st);
// The facts of the open folder `fd`, which `path` names in a failure.
Result<PlaceFacts> FolderFactsOf(Env& env, int fd, const std::string& path);
// The facts of the entry `name` of `folder`, looked at without following it; kind "" when it is
// not a FIFO, socket or device (any more).
Result<PlaceFacts> SpecialFactsAt(const DirectoryHandle& folder, const std::string& name,
                                  const std::string& path);
// The facts that differ between a place's record and the place now: its kind, shown as the type,
// then the others as CompareFacts finds them.
std::vector<FactChange> ComparePlaces(const PlaceFacts& recorded, const PlaceFacts& now);

}  // namespace norv::platform
