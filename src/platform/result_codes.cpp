#include "platform/result_codes.h"

#include <cerrno>
#include <cstring>

namespace rexmoor {

Result ResultFromErrno(int e) {
  switch (e) {
    case 0: return kSuccess;
    case ENOENT: return kErrFileNotFound;
    case ENOTDIR: return kErrPathNotFound;
    case EMFILE:
    case ENFILE: return kErrTooManyOpenFiles;
    case EACCES:
    case EPERM: return kErrAccessDenied;
    case EBADF: return kErrInvalidHandle;
    case ENOMEM: return kErrNotEnoughMemory;
    case EROFS: return kErrWriteProtect;
    case ENODEV:
    case ENXIO:
    case ENOMEDIUM:
    case ENOTCONN:
    case ESHUTDOWN: return kErrNotReady;
    case EBUSY:
    case ETXTBSY: return kErrSharingViolation;
    case ENOTSUP: return kErrNotSupported;
    case EEXIST: return kErrAlreadyExists;
    case EINVAL:
    case EFBIG:
    case EOVERFLOW:
    case ESPIPE: return kErrInvalidParameter;
    case EPIPE: return kErrBrokenPipe;
    case ENOSPC:
    case EDQUOT: return kErrDiskFull;
    case ENAMETOOLONG: return kErrFilenameTooLong;
    case ENOTEMPTY: return kErrDirNotEmpty;
    case EILSEQ: return kErrInvalidName;
    case ELOOP: return kErrStoppedOnSymlink;
    case EIO: return kErrIoDevice;
    default: return kErrGenFailure;
  }
}

namespace {

// The errno value whose system text describes a result code best; 0 for the conditions that are
// this program's own.
int ErrnoForResult(Result code) {
  switch (code) {
    case kErrFileNotFound: return ENOENT;
    case kErrPathNotFound:
    case kErrDirectory: return ENOTDIR;
    case kErrTooManyOpenFiles: return EMFILE;
    case kErrAccessDenied: return EACCES;
    case kErrInvalidHandle: return EBADF;
    case kErrNotEnoughMemory: return ENOMEM;
    case kErrWriteProtect: return EROFS;
    case kErrNotReady: return ENODEV;
    case kErrSharingViolation: return EBUSY;
    case kErrNotSupported: return ENOTSUP;
    case kErrFileExists:
    case kErrAlreadyExists: return EEXIST;
    case kErrInvalidParameter: return EINVAL;
    case kErrBrokenPipe: return EPIPE;
    case kErrDiskFull: return ENOSPC;
    case kErrDirNotEmpty: return ENOTEMPTY;
    case kErrFilenameTooLong: return ENAMETOOLONG;
    case kErrIoDevice:
    case kErrReadFault: return EIO;
    default: return 0;
  }
}

}  // namespace

std::string ResultMessage(Result code) {
  // The system's own wording, as any other program on this machine would show it; English
  // whatever the locale, like the rest of the per-file status texts.
  if (const int e = ErrnoForResult(code); e != 0) {
    if (const char* text = ::strerrordesc_np(e); text != nullptr) return text;
  }
  switch (code) {
    case kSuccess: return "Success";
    case kErrCrc: return "Data error (checksum mismatch)";
    case kErrClusterTooLarge: return "Cluster too large to write out";
    case kErrGenFailure: return "Operation failed";
    case kErrHandleEof: return "Unexpected end of data";
    case kErrInsufficientBuffer: return "Buffer too small";
    case kErrInvalidName: return "Invalid file name";
    case kErrStoppedOnSymlink: return "Is a symbolic link (not followed)";
    case kCancelled: return "Cancelled by the user";
    default: return "Error " + std::to_string(code);
  }
}

}  // namespace rexmoor
