// Copies a range of sectors of a medium into an image file, block by block, with a progress
// callback that can stop the copy. The medium is only ever read. A mapfile in GNU ddrescue's
// format is kept beside the image ("IMAGE.map") while the copy runs, so that an interrupted or
// damaged copy can be continued; positions in it are bytes from the first copied sector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_handle.h"

namespace rexmoor {

class MediumReader;

// 0 continues; any other value stops the copy and becomes its result (kCancelled from a cancel).
using ImageProgressCallback = std::int32_t (*)(void* userData, std::int32_t percent, std::uint64_t sectorsDone,
                                               std::uint64_t sectorsTotal, std::int32_t secondsLeft);

// One stretch of the copied range: '+' copied, '-' unreadable (zeros in the image), '?' not yet tried.
struct ImageMapRange {
  std::uint64_t pos = 0;
  std::uint64_t size = 0;
  char status = '?';
  bool operator==(const ImageMapRange&) const = default;
};

// The state of every byte of the copied range, as contiguous ranges in order.
class ImageMap {
 public:
  void Reset(std::uint64_t totalBytes);
  // Sets the status of [pos, pos + size), which must lie within the range.
  void Mark(std::uint64_t pos, std::uint64_t size, char status);
  const std::vector<ImageMapRange>& Ranges() const { return ranges_; }
  std::uint64_t TotalBytes() const { return total_; }
  std::uint64_t BytesWith(char status) const;
  // Replaces the ranges after they were checked to cover [0, totalBytes) in order.
  void Assign(std::vector<ImageMapRange> ranges, std::uint64_t totalBytes);

 private:
  void SplitAt(std::uint64_t at);
  std::vector<ImageMapRange> ranges_;
  std::uint64_t total_ = 0;
};

// Mapfiles are small; these bound what a hostile one can make us read and hold.
inline constexpr std::uint64_t kMaxMapFileBytes = 64ull << 20;
inline constexpr std::size_t kMaxMapRanges = 1'000'000;

// The mapfile text: comment lines, the status line "current_pos  status  pass", the ranges.
std::string FormatImageMap(const ImageMap& map, std::uint64_t currentPos, char currentStatus);
// Reads a mapfile's text. Ranges must be in order, contiguous, cover exactly [0, totalBytes) and
// lie on sector boundaries; '*' and '/' (areas other tools left half tried) count as '?'.
// Returns 0 or kErrInvalidParameter with a one-line reason.
Result ParseImageMap(std::string_view text, std::uint64_t totalBytes, std::int32_t sectorSize, ImageMap& out,
                     std::string& error);
// "IMAGE.map".
std::string ImageMapPath(const std::string& imagePath);

// Reads length bytes of the source at a byte offset into buffer: 0, or a code when any of them
// could not be read. Replaceable so that tests can make chosen sectors unreadable.
using ImageSourceReader = std::function<Result(std::uint64_t offset, void* buffer, std::size_t length)>;

struct ImageCopyOptions {
  // Unreadable sectors become zeros and the copy goes on (else the first one ends it).
  bool skipBad = false;
  // Continues the copy the mapfile describes: only its '?' areas are read.
  bool resume = false;
  // Passes over the areas marked unreadable after the first pass, sector by sector; what reads
  // is written and marked copied.
  std::uint32_t retries = 0;
  // A run of unreadable bytes this long makes the copy check whether the source is still there
  // (its length, and a sector that read before), and again after every further run as long.
  std::uint64_t suspectRunBytes = 4ull << 20;
  // Bytes per transfer; rounded down to whole sectors (at least one).
  std::uint32_t blockBytes = 1u << 20;
  // Milliseconds between mapfile saves while copying.
  std::uint32_t mapSaveIntervalMs = 5000;
  // Millisecond ticks; TickCountMs when empty.
  std::function<std::uint32_t()> clock;
  // Reads the source; pread on the opened source when empty.
  ImageSourceReader reader;
};

struct ImageCopyJob {
  FileHandle source;
  std::shared_ptr<MediumReader> container;  // set when the source is a container: its disk is copied
  FileHandle target;
  std::string sourcePath;
  std::string imagePath;
  std::string mapPath;
  std::int32_t sectorSize = 512;  // until the geometry is read
  std::uint64_t firstSector = 0;
  std::uint64_t sectorCount = 0;  // 0: the whole medium, until resolved
  ImageProgressCallback progress = nullptr;
  void* userData = nullptr;
  ImageCopyOptions options;

  // What the copy found.
  ImageMap map;
  std::string error;                          // a one-line reason when Open or Run failed
  std::uint64_t failedSector = UINT64_MAX;    // the source sector a read fault stopped at
  std::uint64_t goneAt = UINT64_MAX;          // the byte (from the first copied sector) where the source went away
  std::uint64_t bytesCopiedThisRun = 0;
  std::uint32_t elapsedMs = 0;
  bool mapKept = false;                       // the mapfile stays beside the image

  std::uint64_t TotalBytes() const { return sectorCount * static_cast<std::uint64_t>(sectorSize); }
  // Unreadable stretches as source sector ranges (first, count), in order.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> BadSectorRanges() const;
  std::uint64_t BadSectorCount() const;
};

// The bytes an image of the range would take (sectorCount 0: to the end of the medium), without
// writing anything.
Result MeasureImageSource(const std::string& sourcePath, std::uint64_t firstSector, std::uint64_t sectorCount,
                          std::uint64_t& imageBytes, std::string& error);

// Opens the source read-only (sectorCount 0 takes the whole medium from firstSector on), then the
// image: created or truncated, or with options.resume reopened as it is after its mapfile was
// read and checked. An image that is the source itself is refused before anything is written.
Result OpenImageCopy(ImageCopyJob& job, const std::string& imagePath, const std::string& sourcePath,
                     std::uint64_t firstSector, std::uint64_t sectorCount, ImageProgressCallback progress,
                     void* userData, ImageCopyOptions options = {});
// The same for drive N of the drive list.
Result OpenImageCopy(ImageCopyJob& job, const std::string& imagePath, std::int32_t driveNumber,
                     std::uint64_t firstSector, std::uint64_t sectorCount, ImageProgressCallback progress,
                     void* userData, ImageCopyOptions options = {});

// Copies, then makes the retry passes. 0 when every sector was handled, kErrReadFault
// (failedSector set) when a sector could not be read without skipBad, kErrNotReady (goneAt set)
// when the source went away (a removed medium, or reads that all fail, ones that worked before
// too): what it could not give is left to be tried, not marked bad, so that a resumed copy reads
// it once the source is back. Another code when the image could not be written, or the
// callback's non-zero value. What was copied stays in the image either way.
Result RunImageCopy(ImageCopyJob& job);

// Closes the files; the mapfile is left as the run left it.
void CloseImageCopy(ImageCopyJob& job);

}  // namespace rexmoor
