#include "platform/result_codes.h"

#include <cerrno>

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
    case ENOMEDIUM: return kErrNotReady;
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

std::string ResultMessage(Result code) {
  switch (code) {
    case kSuccess: return "The operation completed successfully.";
    case kErrFileNotFound: return "The system cannot find the file specified.";
    case kErrPathNotFound: return "The system cannot find the path specified.";
    case kErrTooManyOpenFiles: return "The system cannot open the file.";
    case kErrAccessDenied: return "Access is denied.";
    case kErrInvalidHandle: return "The handle is invalid.";
    case kErrNotEnoughMemory: return "Not enough memory resources are available to process this command.";
    case kErrWriteProtect: return "The media is write protected.";
    case kErrNotReady: return "The device is not ready.";
    case kErrCrc: return "Data error (cyclic redundancy check).";
    case kErrClusterTooLarge: return "The system cannot write to the specified device.";
    case kErrReadFault: return "The system cannot read from the specified device.";
    case kErrGenFailure: return "A device attached to the system is not functioning.";
    case kErrSharingViolation: return "The process cannot access the file because it is being used by another process.";
    case kErrHandleEof: return "Reached the end of the file.";
    case kErrNotSupported: return "The request is not supported.";
    case kErrFileExists: return "The file exists.";
    case kErrInvalidParameter: return "The parameter is incorrect.";
    case kErrBrokenPipe: return "The pipe has been ended.";
    case kErrDiskFull: return "There is not enough space on the disk.";
    case kErrInsufficientBuffer: return "The data area passed to a system call is too small.";
    case kErrInvalidName: return "The filename, directory name, or volume label syntax is incorrect.";
    case kErrDirNotEmpty: return "The directory is not empty.";
    case kErrAlreadyExists: return "Cannot create a file when that file already exists.";
    case kErrFilenameTooLong: return "The filename or extension is too long.";
    case kErrDirectory: return "The directory name is invalid.";
    case kErrStoppedOnSymlink: return "The create operation stopped after reaching a symbolic link.";
    case kErrIoDevice: return "The request could not be performed because of an I/O device error.";
    case kCancelled: return "The operation was cancelled by the user.";
    default: return "Unknown error " + std::to_string(code) + ".";
  }
}

}  // namespace rexmoor
