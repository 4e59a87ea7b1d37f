// RAII wrapper over a POSIX descriptor. Media are only ever opened read-only; output files
// (recovered data, logs, images) are opened for writing through the separate factory.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/result_codes.h"

namespace rexmoor {

class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(int fd) : fd_(fd) {}
  ~FileHandle() { Close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  FileHandle(FileHandle&& other) noexcept : fd_(other.Release()) {}
  FileHandle& operator=(FileHandle&& other) noexcept;

  // Opens a medium (drive, partition, image) read-only. A block device this user may not open is
  // asked of udisks2, which may have polkit ask for a password (see udisks_open.h).
  static Result OpenReadOnly(const std::string& path, FileHandle& out);
  // The same without asking anyone: for listings, which must not bring up a password dialog for
  // every drive. A device udisks2 opened before is opened again.
  static Result OpenReadOnlyWithoutAsking(const std::string& path, FileHandle& out);
  // Opens (creating when missing) a file for reading and writing; never used for media.
  static Result OpenReadWrite(const std::string& path, FileHandle& out, bool truncate = false);
  // Creates a new file for writing; fails with kErrFileExists when it already exists.
  static Result CreateNew(const std::string& path, FileHandle& out);
  // Creates a new file only this user may read (mode 0600); never follows a link at the path.
  static Result CreatePrivate(const std::string& path, FileHandle& out);
  // Opens a file the program keeps its own state in (scan logs, their index), creating it when
  // missing unless readOnly. Never through a link, and only a regular file: a pipe planted at the
  // path would otherwise block the open for ever. kErrStoppedOnSymlink for a link,
  // kErrAccessDenied for anything else that is not a regular file.
  static Result OpenStateFile(const std::string& path, FileHandle& out, bool readOnly = false);

  bool IsValid() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Close();

  // Positional reads and writes: no shared file position. Each returns the bytes moved or -1
  // with errno set, exactly like pread/pwrite (EINTR is retried).
  ssize_t Pread(void* buffer, std::size_t length, std::uint64_t offset) const;
  // Reads exactly length bytes at offset: 30 when the file ends first, the errno's code when a
  // read fails. done (when given) gets the bytes that arrived.
  Result ReadFully(void* buffer, std::size_t length, std::uint64_t offset, std::size_t* done = nullptr) const;
  // Writes all length bytes at the descriptor's position: 112 when the medium takes no more.
  Result WriteAll(const void* buffer, std::size_t length, std::size_t* done = nullptr) const;
  ssize_t Pwrite(const void* buffer, std::size_t length, std::uint64_t offset) const;
  // Sequential reads and writes at the descriptor's own position (image copying).
  ssize_t Read(void* buffer, std::size_t length) const;
  ssize_t Write(const void* buffer, std::size_t length) const;

  // Size in bytes of a regular file or a block device.
  Result Size(std::uint64_t& bytes) const;
  bool IsBlockDevice() const;
  // The same block device opened once more, read-only and with O_DIRECT: reads go past the
  // system's cache, and each must be aligned to blockSize (the device's logical block size) in
  // its offset, length and buffer. Fails for anything but a block device.
  Result ReopenDirect(FileHandle& out, std::uint32_t& blockSize) const;
  // Flushes what the system caches for this descriptor to the medium.
  Result Sync() const;

 private:
  int fd_ = -1;
};

// Reads a file from its start, at most maxBytes (a stored file is never trusted to be small).
Result ReadPrefix(const FileHandle& file, std::uint64_t maxBytes, std::string& out);

// Writes the whole buffer at the offset (retrying short writes); 0 or a result code.
Result WriteAll(const FileHandle& file, const void* buffer, std::size_t length, std::uint64_t offset);

}  // namespace rexmoor
