// Result codes shared by every layer. Engines return signed 32-bit codes with the classic
// numbering so that stored logs, callbacks and front ends all speak the same language.
#pragma once

#include <cstdint>
#include <string>

namespace rexmoor {

using Result = std::int32_t;

inline constexpr Result kSuccess = 0;
inline constexpr Result kErrFileNotFound = 2;
inline constexpr Result kErrPathNotFound = 3;
inline constexpr Result kErrTooManyOpenFiles = 4;
inline constexpr Result kErrAccessDenied = 5;
inline constexpr Result kErrInvalidHandle = 6;
inline constexpr Result kErrNotEnoughMemory = 8;
inline constexpr Result kErrWriteProtect = 19;
inline constexpr Result kErrNotReady = 21;
inline constexpr Result kErrCrc = 23;
inline constexpr Result kErrClusterTooLarge = 29;  // a cluster too large to write out
inline constexpr Result kErrReadFault = 30;
inline constexpr Result kErrGenFailure = 31;
inline constexpr Result kErrSharingViolation = 32;
inline constexpr Result kErrHandleEof = 38;
// A recovered file whose data ended before its recorded size: what was found is kept.
inline constexpr Result kErrIncomplete = kErrHandleEof;
inline constexpr Result kErrNotSupported = 50;
inline constexpr Result kErrFileExists = 80;
inline constexpr Result kErrInvalidParameter = 87;
inline constexpr Result kErrBrokenPipe = 109;
inline constexpr Result kErrDiskFull = 112;
inline constexpr Result kErrInsufficientBuffer = 122;
inline constexpr Result kErrInvalidName = 123;
inline constexpr Result kErrDirNotEmpty = 145;
inline constexpr Result kErrAlreadyExists = 183;
inline constexpr Result kErrFilenameTooLong = 206;
inline constexpr Result kErrDirectory = 267;          // something other than a folder where one must be
inline constexpr Result kErrStoppedOnSymlink = 681;   // a symbolic link where none may be followed
inline constexpr Result kErrIoDevice = 1117;
inline constexpr Result kCancelled = -9527;

// Maps a POSIX errno value to the nearest result code (unknown values become kErrGenFailure).
Result ResultFromErrno(int errnoValue);

// The system's text for a result code ("No space left on device"), shown to the user next to a
// file that failed; codes of this program's own conditions have texts of their own.
std::string ResultMessage(Result code);

}  // namespace rexmoor
