// The state the format recognisers share while a file is recognised and measured: the medium,
// where the candidate file begins, the progress figures, the transport-stream bookkeeping and the
// walk buffer. It is passed to every header test and extent rule that needs it, never fetched:
// the carving engine owns the one its deep scans carve with, and a caller that only recognises
// (a file-system engine checking a deleted file's content, identify) makes its own. Callers fill
// in the medium and progress fields before each use (CarveAtSector and CheckSignatureByExtension
// do it for their callers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "device/sector_source.h"
#include "engine/file_recovery_parse.h"

namespace rexmoor {

// Bytes of one extent-walk read.
inline constexpr std::size_t kWalkChunkBytes = 0x10000;
// Bytes kept in front of each walk chunk: the tail of the previous chunk, so that a footer split
// by a chunk boundary is still found.
inline constexpr std::size_t kWalkSeamBytes = 64;

// Transport streams already carved in this scan, as inclusive (first, last) sector pairs, so that
// a stream is reported once even where its packets line up with a sector start again.
class TsExtentList {
 public:
  struct Extent {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
  };

  void Add(std::uint64_t first, std::uint64_t last);
  // Whether the sector lies inside any recorded extent (bounds included).
  bool Contains(std::uint64_t sector) const;
  void Clear() { extents_.clear(); }
  std::size_t size() const { return extents_.size(); }
  const std::vector<Extent>& extents() const { return extents_; }

 private:
  std::vector<Extent> extents_;
};

// The deep sweep's progress figure at weight 90: 10 at its start, 100 when every sector is done
// (the finishing passes and the final report at 100 % follow).
inline std::int32_t SweepProgressFigure(std::uint64_t sectorsDone, std::uint64_t sectorsTotal) {
  if (sectorsTotal == 0) return 10;
  const std::uint64_t done = sectorsDone < sectorsTotal ? sectorsDone : sectorsTotal;
  // done <= total, so the product cannot overflow for any medium of fewer than 2^57 sectors.
  const std::uint64_t share = done > (UINT64_MAX / 90) ? 90 : done * 90 / sectorsTotal;
  return static_cast<std::int32_t>(10 + share);
}

class CarvingContext {
 public:
  CarvingContext() = default;
  CarvingContext(const CarvingContext&) = delete;
  CarvingContext& operator=(const CarvingContext&) = delete;

  // Medium of the file being recognised or measured.
  std::int32_t sectorSize = 512;              // S, bytes per sector
  const SectorSource* source = nullptr;       // not owned; the calling engine's source
  std::uint64_t fileStartSector = 0;          // absolute sector where the candidate file begins
  std::uint64_t cursorSector = 0;             // sector being examined; advanced by the stop scan

  // The deep scan's figures at the time of the call, passed through to the progress callback.
  std::uint64_t sectorsDoneBase = 0;
  std::uint64_t sectorsTotal = 0;
  std::int32_t secondsLeft = -1;
  std::uint64_t filesFound = 0;

  // Progress reporting during extent walks (set with SetProgress from an engine's SetCallbacks).
  ScanProgressCallback progressCallback = nullptr;
  void* userData = nullptr;
  std::int32_t weight = 100;
  std::int32_t lastCallbackResult = 0;  // of the latest callback; cleared before each extent rule

  // How the latest extent rule came to its length; reset before each extent rule.
  enum class ExtentBasis : std::uint8_t {
    kRule,       // the type's footer or size-field rule: the end is an estimate
    kStructure,  // the file's own structure, walked to its last byte
    kFallback,   // the structure broke off, so the footer rule measured it: an estimate
    kRejected,   // the structure showed the header to be a chance match: not a file
  };
  ExtentBasis extentBasis = ExtentBasis::kRule;
  // Off: files are measured by the footer and size-field rules alone, as where a structure breaks
  // off (for comparing the two and for testing those rules).
  bool structureWalks = true;
  // Set while a walk's stop scan tests the sectors of the file it measures: raw MPEG audio frames
  // then start no file (they stand inside video streams and containers at sector starts), and text
  // is not looked for (text stops no file).
  bool stopScan = false;
  // Off while the sweep is inside a container it looks into: printable bytes there are the
  // container's content, not text files.
  bool carveText = true;

  // Transport-stream strictness: while set, a stream packet sector is a new stream only when the
  // sector before it does not continue a packet grid and it lies in no carved stream.
  bool tsStreamMode = true;
  // Set while a 192-byte-packet stream is measured: its own PAT packets do not end it.
  bool mtsInProgress = false;

  // Emptied by the deep-scan orchestrator when a deep scan starts.
  TsExtentList tsExtents;

  // Sectors of the medium already in memory (the sweep's read block): reads of the walks that
  // fall inside are copied from here instead of being read again. Not owned; cleared by whoever
  // set it before the memory goes.
  struct MediumWindow {
    const std::uint8_t* data = nullptr;
    std::uint64_t firstSector = 0;
    std::uint64_t sectors = 0;
  } window;

  // What an engine's SetCallbacks stores here, for the walks' progress reports.
  void SetProgress(ScanProgressCallback callback, void* data, std::int32_t progressWeight) {
    progressCallback = callback;
    userData = data;
    weight = progressWeight;
  }

  // Back to the state of a new context (the walk buffer is kept).
  void ResetState();

  // The walk buffer: kWalkSeamBytes of seam followed by kWalkChunkBytes of chunk, made on first
  // use and kept as long as the context. Empty when it cannot be allocated; extent walks then
  // measure the header sector only.
  std::span<std::uint8_t> Scratch();
  // The buffer of the structure walks' reads (kStructureBytes: a 64 KiB view and the sectors its
  // ends share), made on first use like Scratch().
  std::span<std::uint8_t> StructureBuffer();

  static constexpr std::size_t kScratchBytes = kWalkSeamBytes + kWalkChunkBytes;
  static constexpr std::size_t kStructureBytes = kWalkChunkBytes + 2 * 4096;

 private:
  std::unique_ptr<std::uint8_t[]> scratch_;
  std::unique_ptr<std::uint8_t[]> structure_;
};

}  // namespace rexmoor
