// The watch's source of the kernel's events: fanotify where the kernel, the privilege and every
// watched file system allow it, inotify otherwise; the log says which runs, and why not fanotify.
#include "engine/change_watcher.h"
#include "platform/base/notice_code.h"

namespace norv {

Result<std::unique_ptr<platform::FolderEventSource>> ChangeWatcher::OpenEvents() {
    platform::EventSourceOptions source;
    source.most_queued_bytes = options_.most_queued_event_bytes;
    source.try_fanotify = options_.try_fanotify && !fanotify_refused_;
    source.fanotify = options_.fanotify_calls;
    Message why_not;
    auto events = platform::OpenFolderEventSource(engine_.env(), source, &why_not);
    if (!events.ok()) return events;
    statistics_.events_source = std::string((*events)->name());
    // Said when fanotify was tried and refused; the fall back after a file system it cannot mark
    // says so itself.
    if (!why_not.empty()) {
        fanotify_refused_ = true;
        notices_.Notify({NoticeKind::kWatchError, "", Status::Ok(),
                         Message(NoticeCode::kWatchOnInotify, {why_not})});
    }
    return events;
}

void ChangeWatcher::FallBackToInotify() {
    fanotify_refused_ = true;
    platform::EventSourceOptions source;
    source.most_queued_bytes = options_.most_queued_event_bytes;
    source.try_fanotify = false;
    auto events = platform::OpenFolderEventSource(engine_.env(), source, nullptr);
    if (!events.ok()) {
        // Without events until a restart: the step starts a reader again, after a full check.
        notices_.Notify({NoticeKind::kWatchError, "", events.status(), events.status().what()});
        events_.reset();
        folders_.clear();
        return;
    }
    notices_.Notify({NoticeKind::kWatchError, "", Status::Ok(),
                     Message(NoticeCode::kWatchOnInotify, {fanotify_refusal_})});
    events_ = std::move(events).value();
    statistics_.events_source = std::string(events_->name());
    folders_.clear();
    fanotify_unsupported_seen_ = false;
    SetWatches();
}

}  // namespace norv
