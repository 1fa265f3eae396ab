#include "response/deploy_watch.h"

#include <chrono>

#include "config/watched_place.h"
#include "engine/writer_json.h"
#include "platform/base/notice_code.h"

namespace norv {

Result<std::unique_ptr<DeployWatch>> DeployWatch::Start(platform::Env& env, const RuleTable& rules,
                                                        const std::vector<std::string>& held,
                                                        const platform::CommandCgroup& cgroup) {
    platform::EventSourceOptions options;
    options.fanotify_only = true;
    auto source = platform::OpenFolderEventSource(env, options, nullptr);
    if (!source.ok()) return source.status();
    auto watch = std::unique_ptr<DeployWatch>(
        new DeployWatch(env, rules, cgroup, std::move(source).value()));
    // Each held rule's folder marks its file system.
    for (const Rule& rule : rules.rules) {
        bool named = held.empty();
        for (const std::string& path : held) named = named || path == rule.path;
        if (!named) continue;
        auto resolved = platform::ResolveAdministratorPath(env, rule.path);
        if (!resolved.ok()) return resolved.status();
        std::shared_ptr<platform::DirectoryHandle> folder = resolved->parent;
        if (rule.kind != RuleKind::kFile) {
            auto opened = platform::OpenResolvedDirectory(resolved.value(), rule.path);
            if (!opened.ok()) return opened.status();
            folder = std::move(opened).value();
        }
        auto marked = watch->source_->Watch(*folder, rule.path);
        if (!marked.ok()) return marked.status();
    }
    watch->thread_ = std::thread([raw = watch.get()] { raw->Run(); });
    return watch;
}

DeployWatch::~DeployWatch() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
}

void DeployWatch::Run() {
    std::vector<platform::FolderEvent> events;
    std::optional<std::chrono::steady_clock::time_point> give_up;
    for (;;) {
        events.clear();
        Status waited = source_->Wait(std::chrono::milliseconds(50), events);
        if (!waited.ok()) {
            lost_ = true;
            return;
        }
        for (const pid_t pid : cgroup_.Processes(kMostMembers)) {
            if (members_.size() < kMostMembers) members_.insert(pid);
        }
        for (const platform::FolderEvent& event : events) Note(event);
        // Once stopping, every event the kernel queued until then is taken; a file system too
        // busy to let that happen within kStopWithin leaves the writers unknown.
        if (stopping_) {
            if (events.empty() && source_->Drained()) return;
            const auto now = env_.SteadyNow();
            if (!give_up) give_up = now + kStopWithin;
            if (now > *give_up) {
                lost_ = true;
                return;
            }
        }
    }
}

void DeployWatch::Note(const platform::FolderEvent& event) {
    if (event.kinds & platform::FolderEvent::kOverflow) {
        lost_ = true;
        return;
    }
    if (event.folder_key.empty() || event.name.empty()) return;  // a folder's own event
    const std::string key = event.folder_key + '\0' + event.name;
    auto found = entries_.find(key);
    if (found == entries_.end()) {
        if (entries_.size() >= kMostEntries) {
            lost_ = true;
            return;
        }
        found = entries_.emplace(key, Entry()).first;
    }
    Entry& entry = found->second;
    const platform::Writer* writer = event.writer.get();
    if (writer == nullptr) {
        entry.unknown = true;
    } else if (writer->exited) {
        if (members_.count(writer->process.pid) != 0) {
            entry.own = true;
        } else {
            entry.unknown = true;
        }
    } else if (cgroup_.Holds(writer->cgroup)) {
        entry.own = true;
        if (members_.size() < kMostMembers) members_.insert(writer->process.pid);
    } else if (!entry.stranger) {
        entry.stranger = event.writer;
    }
}

void DeployWatch::Stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
}

std::optional<Message> DeployWatch::NotOwn(const std::string& path) const {
    if (lost_) return Message(NoticeCode::kDeployWatchLost);
    const Message not_seen(NoticeCode::kWriterNotSeen, {path});
    auto place = OpenWatchedPlace(env_, rules_, path);
    if (!place.ok() || place->relative.empty()) return not_seen;
    auto folder = OpenHoldingFolder(place.value());
    if (!folder.ok()) return not_seen;
    auto key = platform::FolderHandleKey(**folder, path);
    if (!key.ok()) return not_seen;
    auto found = entries_.find(key.value() + '\0' + place->relative.back());
    if (found == entries_.end()) return not_seen;
    const Entry& entry = found->second;
    if (entry.stranger) {
        return Message(NoticeCode::kWrittenByAnother, {path, WriterSummary(*entry.stranger)});
    }
    if (entry.unknown) return Message(NoticeCode::kWriterUnknown, {path});
    if (!entry.own) return not_seen;
    return std::nullopt;
}

}  // namespace norv
