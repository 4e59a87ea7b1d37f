// Memory and file-layout facts a deep scan's sweep works with: the holes of a sparse image, how
// much memory the system has to spare, and the large buffers the sweep reads its pages into.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/file_handle.h"

namespace rexmoor {

// Holes of a sparse image file: stretches that read as zeros with no data behind them.
// Whether the regular file has a hole anywhere (false when it is no regular file or the file
// system cannot tell).
bool FileHasHole(const FileHandle& file);
// Whether [offset, offset + length) of the file lies wholly in a hole. False whenever the file
// system cannot tell.
bool WhollyInHole(const FileHandle& file, std::uint64_t offset, std::uint64_t length);

// The memory the system could give the page cache without swapping (MemAvailable), in bytes; 0
// when it cannot tell.
std::uint64_t AvailableMemoryBytes();

// Anonymous memory for a large buffer that is filled again and again (a sweep's pages): aligned to
// 2 MiB and asked to be backed by huge pages, so that filling it the first time costs a fault per
// 2 MiB rather than one per 4 KiB, and reading it fewer TLB misses. Null when the memory could not
// be had; FreeLargeBuffer takes the same size back.
std::uint8_t* AllocateLargeBuffer(std::size_t bytes);
void FreeLargeBuffer(std::uint8_t* at, std::size_t bytes);

// For a short-lived process that builds large lists again and again (the list of finds, once to
// count it and once to search it): memory given back to the allocator is kept for the next list,
// instead of being returned to the system and faulted in afresh, page by page.
void KeepFreedMemoryForReuse();

// A read-only stretch of zeros whose page tables are filled at once (all of it one page of zeros):
// what a page lying in a hole is looked at through, without reading it. Data is null when the
// memory could not be had.
class SharedZeros {
 public:
  explicit SharedZeros(std::size_t bytes);
  ~SharedZeros();
  SharedZeros(const SharedZeros&) = delete;
  SharedZeros& operator=(const SharedZeros&) = delete;
  const std::uint8_t* Data() const { return data_; }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t bytes_ = 0;
};

}  // namespace rexmoor
