// The directory walk and the single-file step: find the files a rule covers and measure them.
//
// On POSIX a folder is listed once; its subfolders (real folders, never links to them) are
// walked first, depth first and in listing order, then its files. Regular files are
// fingerprinted by content and symbolic links by their target text; FIFOs, sockets and devices
// are never opened. Nothing is hidden: names beginning with a dot are monitored like any other.
#include <cerrno>

#include "engine/digest_pipeline.h"
#include "engine/scan_engine.h"
#include "platform/md5.h"

namespace norv {

using platform::EntryKind;

namespace {

bool IsMonitoredFile(const platform::FileFacts& facts) {
    return facts.kind == EntryKind::kRegular || facts.kind == EntryKind::kSymlink;
}

}  // namespace

std::string FileDigest(const std::string& path, EntryKind kind) {
    return kind == EntryKind::kSymlink ? platform::Md5OfSymlink(path) : platform::Md5OfFile(path);
}

Status ScanEngine::WalkDirectory(const std::string& path, int16_t flag) {
    // Fingerprints are computed ahead on worker threads unless automatic restore is on: a
    // restore may change files that are already queued, and results must be those of a walk
    // that measures each file just before recording it.
    if (digest_workers_ == 0 || state_.edit.check2 != 0) return WalkSerially(path, flag);
    DigestPipeline pipeline(path, flag, digest_workers_);
    auto idle = [this] { hooks_.observer.YieldToEvents(); };
    for (;;) {
        DigestPipeline::Item item = pipeline.Next(idle);
        if (item.end) return Status::Ok();
        if (!item.failure.ok()) return item.failure;
        hooks_.observer.YieldToEvents();
        NORV_RETURN_IF_ERROR(
            RecordFile(item.dir, item.name, item.facts.size, item.facts.mtime, item.digest));
    }
}

Status ScanEngine::WalkSerially(const std::string& path, int16_t flag) {
    std::string dir = path;
    if (dir.empty() || dir.back() != platform::kSeparator) dir += platform::kSeparator;

    auto listing = platform::ListDirectory(dir);
    if (!listing.ok()) {
        // A folder that is not there lists as empty; its recorded files then count as deleted.
        int code = listing.status().code();
        if (code == ENOENT || code == ENOTDIR) return Status::Ok();
        return listing.status();
    }
    std::vector<std::string> subdirectories;
    std::vector<const platform::DirEntry*> files;
    for (const auto& entry : listing.value()) {
        if (entry.kind == EntryKind::kDirectory) {
            subdirectories.push_back(dir + entry.name);
        } else if (entry.kind == EntryKind::kRegular || entry.kind == EntryKind::kSymlink) {
            files.push_back(&entry);
        }
    }
    if (flag == RULE_TREE) {
        for (const auto& sub : subdirectories) NORV_RETURN_IF_ERROR(WalkSerially(sub, flag));
    }
    for (const auto* entry : files) {
        auto facts = platform::LStat(dir + entry->name);
        if (!facts.ok()) return facts.status();
        // Gone (or no longer a file) since the listing: a normal race, the file counts as not
        // seen.
        if (!IsMonitoredFile(*facts)) continue;
        NORV_RETURN_IF_ERROR(FingerprintAndRecord(dir, entry->name, *facts));
    }
    return Status::Ok();
}

Status ScanEngine::FingerprintAndRecord(const std::string& dir, const std::string& name,
                                        const platform::FileFacts& facts) {
    const std::string path = dir + name;
    hooks_.observer.YieldToEvents();
    std::string digest = FileDigest(path, facts.kind);
    return RecordFile(dir, name, facts.size, facts.mtime, digest);
}

Status ScanEngine::CheckSingleFile(const std::string& path) {
    auto facts = platform::LStat(path);
    if (!facts.ok()) return facts.status();
    if (IsMonitoredFile(*facts)) return FingerprintAndRecord(path, "", *facts);
    ++state_.counters.deleted;
    return ReportChange(kChangeDeleted, "Deleted: ", path);
}

}  // namespace norv
