// MeasuredPlaces: where one run measured the files of each folder, by the folder's identity.
//
// A rule that reaches a folder again under another path (through a link) measures its files
// once, under the first path; the place reached again is "left out": its records are kept,
// neither reported deleted nor carried into a new baseline. The walk claims folders from its
// own thread: every member is behind one mutex.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/fs/file_system.h"
#include "platform/fs/tree_walk.h"

namespace norv {

class MeasuredPlaces {
  public:
    // Where a folder's (or a single-file rule's file's) files were measured.
    struct Measured {
        std::string path;  // a folder's ending in the separator
        size_t rule = 0;   // from 0
        bool recursive = false;
    };
    // A place left out, and the rule being walked when it was.
    struct MeasuredElsewhere {
        Measured measured;
        bool whole = false;  // its subfolders too
    };

    // Forgets everything: a run begins.
    void Clear();
    // Rule `index` is walked now; `reached_again_later` when a later rule may reach the same
    // folders (the last rule's are remembered by no one).
    void BeginRule(size_t index, bool reached_again_later);

    // The walk's question for a folder it opened (TreeWalk::Options::take): all of it when first
    // met or met under the same path, else what an earlier rule did not measure.
    platform::TreeWalk::Options::Take ClaimFolder(const platform::FileIdentity& folder,
                                                  const std::string& path, bool recursive);
    // A single-file rule's file at `path` (`dir` its folder, ending in the separator): left out
    // when an earlier rule measured that folder under another path. Returns whether it was.
    bool LeaveOutIfFolderMeasured(const platform::FileIdentity& folder, const std::string& dir,
                                  const std::string& path);
    // The single-file rule's file `name` of `folder`, measured now at `path`.
    void RememberSingleFile(const platform::FileIdentity& folder, const std::string& name,
                            const std::string& path);
    bool HasSingleFiles() const;
    // A file a walk met at `path`: left out when a single-file rule measured it under another
    // path. Returns whether it was.
    bool LeaveOutIfSingleFileMeasured(const platform::FileIdentity& folder, const std::string& name,
                                      const std::string& path);

    // What was left out at `place` exactly, with the rule being walked now.
    std::optional<std::pair<MeasuredElsewhere, size_t>> LeftOutAt(const std::string& place) const;
    // Whether `path` is a place left out, a file in one, or below one left out whole.
    bool IsMeasuredElsewhere(const std::string& path) const;

  private:
    mutable std::mutex mutex_;
    std::map<platform::FileIdentity, Measured> folders_;
    std::map<std::string, MeasuredElsewhere> measured_elsewhere_;
    // Files single-file rules measured, by their folder and name: a later rule that reaches the
    // folder through a link leaves them out.
    std::map<std::pair<platform::FileIdentity, std::string>, Measured> single_files_;
    size_t current_rule_ = 0;
    bool remember_ = false;  // a later rule may reach the same folders
};

}  // namespace norv
