#include "engine/measured_places.h"

namespace norv {

void MeasuredPlaces::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    folders_.clear();
    single_files_.clear();
    measured_elsewhere_.clear();
}

void MeasuredPlaces::BeginRule(size_t index, bool reached_again_later) {
    std::lock_guard<std::mutex> lock(mutex_);
    current_rule_ = index;
    remember_ = reached_again_later;
}

platform::TreeWalk::Options::Take MeasuredPlaces::ClaimFolder(const platform::FileIdentity& folder,
                                                              const std::string& path,
                                                              bool recursive) {
    using Take = platform::TreeWalk::Options::Take;
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = folders_.find(folder);
    if (found == folders_.end()) {
        if (remember_) folders_.emplace(folder, Measured{path, current_rule_, recursive});
        return Take::kAll;
    }
    // The same path gives the same records: a folder that two rules name is walked by both.
    if (found->second.path == path) {
        found->second.recursive = found->second.recursive || recursive;
        return Take::kAll;
    }
    // Walked with its subfolders before: they were measured too.
    const bool whole = found->second.recursive;
    measured_elsewhere_.emplace(path, MeasuredElsewhere{found->second, whole});
    return whole ? Take::kNothing : Take::kSubfoldersOnly;
}

bool MeasuredPlaces::LeaveOutIfFolderMeasured(const platform::FileIdentity& folder,
                                              const std::string& dir, const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = folders_.find(folder);
    if (found == folders_.end() || found->second.path == dir) return false;
    measured_elsewhere_.emplace(path, MeasuredElsewhere{found->second, false});
    return true;
}

void MeasuredPlaces::RememberSingleFile(const platform::FileIdentity& folder,
                                        const std::string& name, const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!remember_) return;
    single_files_.emplace(std::make_pair(folder, name), Measured{path, current_rule_, false});
}

bool MeasuredPlaces::HasSingleFiles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !single_files_.empty();
}

bool MeasuredPlaces::LeaveOutIfSingleFileMeasured(const platform::FileIdentity& folder,
                                                  const std::string& name,
                                                  const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = single_files_.find(std::make_pair(folder, name));
    if (found == single_files_.end() || found->second.path == path) return false;
    measured_elsewhere_.emplace(path, MeasuredElsewhere{found->second, false});
    return true;
}

std::optional<std::pair<MeasuredPlaces::MeasuredElsewhere, size_t>> MeasuredPlaces::LeftOutAt(
    const std::string& place) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = measured_elsewhere_.find(place);
    if (found == measured_elsewhere_.end()) return std::nullopt;
    return std::make_pair(found->second, current_rule_);
}

bool MeasuredPlaces::IsMeasuredElsewhere(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (measured_elsewhere_.empty()) return false;
    if (measured_elsewhere_.count(path) != 0) return true;  // a single-file rule's file
    const size_t last = path.rfind(platform::kSeparator);
    if (last != std::string::npos && measured_elsewhere_.count(path.substr(0, last + 1)) != 0)
        return true;
    // Or below a folder left out with its subfolders.
    for (size_t slash = path.find(platform::kSeparator); slash != std::string::npos;
         slash = path.find(platform::kSeparator, slash + 1)) {
        auto found = measured_elsewhere_.find(path.substr(0, slash + 1));
        if (found != measured_elsewhere_.end() && found->second.whole) return true;
    }
    return false;
}

}  // namespace norv
