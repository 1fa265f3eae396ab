// Status and Result<T>: how every layer below the windows reports failure.
//
// A failed Status carries a kind from a closed set, which callers decide on, the raw number
// the failing library gave (errno, an SQLite code, a CURLcode, or one of our own below), which
// is only shown, and a Message (a code and its arguments) that names the file and the cause. Each C
// library's numbers are translated into kinds in one place: errno here, SQLite in database.cpp,
// curl in smtp.cpp, libarchive in platform/lha/. It is a cheap value; no exception crosses a
// library boundary. Result<T> holds either a value or a failed Status.
#pragma once

#include <cassert>
#include <string>
#include <utility>
#include <variant>

#include "platform/base/message.h"

namespace norv {

enum class ErrorKind {
    kNone,          // not a failure
    kNotFound,      // no such file, folder or entry, or not a folder where one was expected
    kLink,          // a symbolic link where none may be followed
    kPermission,    // the system refused access
    kRefused,       // norv refused: an unsafe path, an untrusted link, a header injection
    kExists,        // the name is taken
    kIo,            // reading, writing or flushing failed (a device error)
    kNoSpace,       // the disk or the user's quota is full, or the file would pass its largest size
    kTooManyFiles,  // the process or the system has no descriptor left
    kCorrupt,       // stored data is damaged (a CRC, a database that is not one)
    kFormat,        // a file's content is not in the expected form
    kCharset,       // text the character set cannot hold or read
    kBusy,          // someone else holds it (a run in progress, a locked database)
    kLimit,         // a fixed limit would be passed
    kNetwork,       // the mail server could not be reached or refused the mail
    kStopped,       // the run was asked to stop (a service told to end) and did, between files
    kUnsupported,   // the kernel or the file system cannot do it (no fanotify, no file handles)
};

// The kind of an errno value.
ErrorKind KindOfErrno(int err);

class Status {
  public:
    Status() = default;
    static Status Ok() { return Status(); }
    static Status Error(ErrorKind kind, int code, Message what) {
        Status s;
        s.kind_ = kind == ErrorKind::kNone ? ErrorKind::kIo : kind;  // a failure is never ok
        s.code_ = code;
        s.what_ = std::move(what);
        return s;
    }
    // A failure numbered by one of our own numbers (ErrorCode), whose kind each number names.
    // An errno is never passed here: its caller knows the kind and says it (above), or the
    // errno came from a failed call (FromErrno).
    static Status Error(int code, Message what);
    // An error from a failed system call: what, with the system's text for err as its cause,
    // numbered by errno.
    static Status FromErrno(int err, Message what);

    bool ok() const { return kind_ == ErrorKind::kNone; }
    ErrorKind kind() const { return kind_; }
    bool Is(ErrorKind kind) const { return kind_ == kind; }
    // The raw number, for the user's eyes only; decisions go by kind().
    int code() const { return code_; }
    // What failed, as a code and its arguments.
    const Message& what() const { return what_; }
    // What failed, in words (see Render).
    std::string message() const { return Render(what_); }
    // The numbered form shown to the user: kNumberedError with the number and the message.
    Message Numbered() const;
    std::string ToString() const { return ok() ? std::string() : Render(Numbered()); }

  private:
    ErrorKind kind_ = ErrorKind::kNone;
    int code_ = 0;
    Message what_;
};

// Our own error numbers, for failures that have no system number.
enum ErrorCode : int {
    kErrFormat = 1001,    // a file's content is not in the expected form
    kErrLimit = 1002,     // a fixed limit (100 rules) would be passed
    kErrCharset = 1003,   // a character the target character set cannot hold
    kErrBusy = 1004,      // a run is already in progress
    kErrArchive = 1005,   // the archiver reported a failure
    kErrMail = 1006,      // the mail could not be sent
    kErrDatabase = 1007,  // the database file is not ours
    kErrStopped = 1008,   // the run stopped on request before its end
};

template <typename T>
class Result {
  public:
    Result(T value) : v_(std::move(value)) {}  // NOLINT: implicit by design
    Result(Status status) : v_(std::move(status)) { assert(!std::get<Status>(v_).ok()); }  // NOLINT

    bool ok() const { return std::holds_alternative<T>(v_); }
    const Status& status() const {
        static const Status kOk;
        return ok() ? kOk : std::get<Status>(v_);
    }
    T& value() & { return std::get<T>(v_); }
    const T& value() const& { return std::get<T>(v_); }
    T&& value() && { return std::get<T>(std::move(v_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() { return value(); }

  private:
    std::variant<T, Status> v_;
};

#define NORV_RETURN_IF_ERROR(expr)                   \
    do {                                             \
        ::norv::Status norv_status_ = (expr);        \
        if (!norv_status_.ok()) return norv_status_; \
    } while (0)

}  // namespace norv
