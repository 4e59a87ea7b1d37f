#include "platform/file_handle.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/udisks_open.h"

namespace rexmoor {

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.Release();
  }
  return *this;
}

void FileHandle::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

static Result OpenWith(const std::string& path, int flags, mode_t mode, FileHandle& out) {
  out.Close();
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return ResultFromErrno(errno);
  out = FileHandle(fd);
  return kSuccess;
}

namespace {

bool IsBlockDevicePath(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

}  // namespace

Result FileHandle::OpenReadOnly(const std::string& path, FileHandle& out) {
  ClearUdisksRefusal();
  const UdisksUse use = GetUdisksUse();
  if (use == UdisksUse::Always && IsBlockDevicePath(path)) return OpenThroughUdisks(path, out);
  const Result r = OpenWith(path, O_RDONLY, 0, out);
  if (r != kErrAccessDenied || use != UdisksUse::Fallback || !IsBlockDevicePath(path)) return r;
  // A device this user may not open: udisks2 may open it for them, after polkit asked. When it
  // cannot, the plain refusal stands, and the caller's message says how to get access.
  return OpenThroughUdisks(path, out) == kSuccess ? kSuccess : r;
}

Result FileHandle::OpenReadOnlyWithoutAsking(const std::string& path, FileHandle& out) {
  const Result r = OpenWith(path, O_RDONLY, 0, out);
  if (r != kErrAccessDenied && GetUdisksUse() != UdisksUse::Always) return r;
  return OpenKeptUdisksDescriptor(path, out) ? kSuccess : r;
}

Result FileHandle::OpenReadWrite(const std::string& path, FileHandle& out, bool truncate) {
  return OpenWith(path, O_RDWR | O_CREAT | (truncate ? O_TRUNC : 0), 0644, out);
}

Result FileHandle::CreateNew(const std::string& path, FileHandle& out) {
  Result r = OpenWith(path, O_RDWR | O_CREAT | O_EXCL, 0644, out);
  return r == kErrAlreadyExists ? kErrFileExists : r;
}

Result FileHandle::CreatePrivate(const std::string& path, FileHandle& out) {
  Result r = OpenWith(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600, out);
  return r == kErrAlreadyExists ? kErrFileExists : r;
}

Result FileHandle::OpenStateFile(const std::string& path, FileHandle& out, bool readOnly) {
  const int flags = (readOnly ? O_RDONLY : O_RDWR | O_CREAT) | O_NOFOLLOW | O_NONBLOCK;
  // O_NOFOLLOW makes a link fail with ELOOP, which reads as kErrStoppedOnSymlink.
  if (Result r = OpenWith(path, flags, 0644, out); r != kSuccess) return r;
  struct stat st {};
  if (::fstat(out.fd(), &st) != 0 || !S_ISREG(st.st_mode)) {
    out.Close();
    return kErrAccessDenied;
  }
  const int now = ::fcntl(out.fd(), F_GETFL);
  if (now >= 0) (void)::fcntl(out.fd(), F_SETFL, now & ~O_NONBLOCK);
  return kSuccess;
}

ssize_t FileHandle::Pread(void* buffer, std::size_t length, std::uint64_t offset) const {
  ssize_t n;
  do {
    n = ::pread(fd_, buffer, length, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  return n;
}

namespace {

// Moves length bytes through step(done) (a read or write of the rest, from byte done on) until
// all went: the errno's code when a step fails, atEnd when one moves nothing.
template <typename Step>
Result TransferAll(std::size_t length, Result atEnd, std::size_t* done, Step&& step) {
  std::size_t moved = 0;
  Result result = kSuccess;
  while (moved < length) {
    const ssize_t n = step(moved);
    if (n <= 0) {
      result = n < 0 ? ResultFromErrno(errno) : atEnd;
      break;
    }
    moved += static_cast<std::size_t>(n);
  }
  if (done != nullptr) *done = moved;
  return result;
}

}  // namespace

Result FileHandle::ReadFully(void* buffer, std::size_t length, std::uint64_t offset, std::size_t* done) const {
  auto* out = static_cast<std::uint8_t*>(buffer);
  return TransferAll(length, kErrReadFault, done,
                     [&](std::size_t at) { return Pread(out + at, length - at, offset + at); });
}

Result FileHandle::WriteAll(const void* buffer, std::size_t length, std::size_t* done) const {
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  return TransferAll(length, kErrDiskFull, done, [&](std::size_t at) { return Write(in + at, length - at); });
}

ssize_t FileHandle::Pwrite(const void* buffer, std::size_t length, std::uint64_t offset) const {
  ssize_t n;
  do {
    n = ::pwrite(fd_, buffer, length, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  return n;
}

ssize_t FileHandle::Read(void* buffer, std::size_t length) const {
  ssize_t n;
  do {
    n = ::read(fd_, buffer, length);
  } while (n < 0 && errno == EINTR);
  return n;
}

ssize_t FileHandle::Write(const void* buffer, std::size_t length) const {
  ssize_t n;
  do {
    n = ::write(fd_, buffer, length);
  } while (n < 0 && errno == EINTR);
  return n;
}

Result FileHandle::Size(std::uint64_t& bytes) const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return ResultFromErrno(errno);
  if (S_ISBLK(st.st_mode)) {
    std::uint64_t size = 0;
    if (::ioctl(fd_, BLKGETSIZE64, &size) != 0) return ResultFromErrno(errno);
    bytes = size;
    return kSuccess;
  }
  bytes = static_cast<std::uint64_t>(st.st_size);
  return kSuccess;
}

bool FileHandle::IsBlockDevice() const {
  struct stat st {};
  return ::fstat(fd_, &st) == 0 && S_ISBLK(st.st_mode);
}

Result FileHandle::ReopenDirect(FileHandle& out, std::uint32_t& blockSize) const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !S_ISBLK(st.st_mode)) return kErrInvalidParameter;
  int logical = 0;
  if (::ioctl(fd_, BLKSSZGET, &logical) != 0 || logical <= 0 || (logical & (logical - 1)) != 0)
    return kErrInvalidParameter;
  // The descriptor's own entry opens the very device it names, even one udisks2 handed over,
  // with a file position and flags of its own.
  const std::string path = "/proc/self/fd/" + std::to_string(fd_);
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return ResultFromErrno(errno);
  FileHandle opened(fd);
  struct stat again {};
  if (::fstat(fd, &again) != 0 || !S_ISBLK(again.st_mode) || again.st_rdev != st.st_rdev) return kErrInvalidParameter;
  out = std::move(opened);
  blockSize = static_cast<std::uint32_t>(logical);
  return kSuccess;
}

Result FileHandle::Sync() const {
  if (::fsync(fd_) != 0) return ResultFromErrno(errno);
  return kSuccess;
}

Result ReadPrefix(const FileHandle& file, std::uint64_t maxBytes, std::string& out) {
  out.clear();
  std::uint64_t size = 0;
  if (Result r = file.Size(size); r != kSuccess) return r;
  out.resize(static_cast<std::size_t>(size < maxBytes ? size : maxBytes));
  std::size_t done = 0;
  while (done < out.size()) {
    ssize_t n = file.Pread(out.data() + done, out.size() - done, done);
    if (n < 0) return ResultFromErrno(errno);
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  out.resize(done);
  return kSuccess;
}

Result WriteAll(const FileHandle& file, const void* buffer, std::size_t length, std::uint64_t offset) {
  const auto* p = static_cast<const std::uint8_t*>(buffer);
  while (length > 0) {
    ssize_t n = file.Pwrite(p, length, offset);
    if (n < 0) return ResultFromErrno(errno);
    if (n == 0) return kErrDiskFull;
    p += n;
    length -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return kSuccess;
}

}  // namespace rexmoor
