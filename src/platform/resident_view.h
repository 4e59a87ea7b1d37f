// A read-only view of a stretch of an image file that is wholly in the page cache, read where it
// lies instead of copied out. A deep scan of an image read a moment ago (by the quick scan, by
// the last scan, or because it is small) spends as long copying it as looking at it; the view
// saves the copy.
//
// Only pages already in memory are mapped, so touching the view needs no reading and no read
// can fail. A file cut short while it is mapped is the one way a touch can still fault: the
// pages it lost then read as zeros, and Damaged says so, as a short read would have.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/file_handle.h"

namespace rexmoor {

class ResidentView {
 public:
  ResidentView() = default;
  ~ResidentView() { Unmap(); }
  ResidentView(const ResidentView&) = delete;
  ResidentView& operator=(const ResidentView&) = delete;

  // Maps length bytes at offset of the regular file when offset is a multiple of the system page,
  // the stretch lies within the file and every page of it is in memory. False (nothing mapped)
  // otherwise: the caller reads it instead.
  bool Map(const FileHandle& file, std::uint64_t offset, std::size_t length);
  void Unmap();

  const std::uint8_t* Data() const { return data_; }
  std::size_t Length() const { return length_; }
  // Part of the view lost its file while mapped; zeros stand where it was.
  bool Damaged() const;

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t length_ = 0;
  std::size_t mapped_ = 0;  // whole system pages
  int slot_ = -1;           // where the fault handler finds this view
};

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
