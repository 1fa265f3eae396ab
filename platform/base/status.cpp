#include "platform/base/status.h"

#include <cassert>
#include <cerrno>
#include <cstring>

#include "platform/base/notice_code.h"

namespace norv {

ErrorKind KindOfErrno(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
            return ErrorKind::kNotFound;
        case ELOOP:
            return ErrorKind::kLink;
        case EACCES:
        case EPERM:
        case EROFS:
            return ErrorKind::kPermission;
        case EEXIST:
            return ErrorKind::kExists;
        case EBUSY:
        case EAGAIN:
            return ErrorKind::kBusy;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return ErrorKind::kNoSpace;
        case EMFILE:
        case ENFILE:
            return ErrorKind::kTooManyFiles;
        default:
            return ErrorKind::kIo;
    }
}

namespace {

ErrorKind KindOfOwnCode(int code) {
    switch (code) {
        case kErrFormat:
            return ErrorKind::kFormat;
        case kErrLimit:
            return ErrorKind::kLimit;
        case kErrCharset:
            return ErrorKind::kCharset;
        case kErrBusy:
            return ErrorKind::kBusy;
        case kErrArchive:
            return ErrorKind::kCorrupt;
        case kErrMail:
            return ErrorKind::kNetwork;
        case kErrDatabase:
            return ErrorKind::kFormat;
        case kErrStopped:
            return ErrorKind::kStopped;
        default:
            return ErrorKind::kIo;
    }
}

}  // namespace

Status Status::Error(int code, Message what) {
    assert(code >= kErrFormat && "an errno needs its kind: Error(kind, code, what)");
    return Error(KindOfOwnCode(code), code, std::move(what));
}

Status Status::FromErrno(int err, Message what) {
    return Error(
        KindOfErrno(err), err,
        Message(NoticeCode::kWithCause, {std::move(what), std::string(std::strerror(err))}));
}

Message Status::Numbered() const {
    return Message(NoticeCode::kNumberedError, {std::to_string(code_), what_});
}

}  // namespace norv
