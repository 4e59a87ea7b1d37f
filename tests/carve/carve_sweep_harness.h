// The deep scan's sweep as the carver sees it, for tests that need a whole medium carved: the
// image is read 64 KiB at a time and every sector of each buffer is offered to the carving step,
// which says how many sectors to move on. A carved file that reaches past the buffer makes the
// sweep skip those sectors of the following buffers too, clipped to the end of the swept range;
// a cancelled step leaves the position at the sector being carved, where a resumed scan restarts.
// Sectors the deep scan hands to the file-system engines (directory sectors, NTFS records) go to
// the carver here as well; it recognises no file in them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "carve/file_type_recovery.h"
#include "device/sector_source.h"
#include "platform/result_codes.h"

namespace rexmoor::carvetest {

inline constexpr std::uint32_t kSweepBufferBytes = 0x10000;

struct SweepOptions {
  std::int32_t sectorSize = 512;
  std::uint16_t sourceTag = 'C';
  // Open the engine on the image first (OpenImageFile); false sweeps with the engine as it is.
  bool openEngine = true;
  // The swept range, clipped to the image.
  std::uint64_t rangeStart = 0;
  std::uint64_t rangeLength = std::numeric_limits<std::uint64_t>::max();
  // Keep the number of every sector offered to the carving step.
  bool recordOffered = false;
};

// One carving step that did not answer "nothing here" (87).
struct SweepStep {
  std::uint64_t sector = 0;
  Result result = kSuccess;
  std::uint64_t advance = 1;
};

struct SweepReport {
  Result openResult = kSuccess;
  Result result = kSuccess;            // 0, a read or open error, or kCancelled
  std::vector<SweepStep> steps;        // carved files and the cancelled step, in sweep order
  std::vector<std::uint64_t> offered;  // with recordOffered
  std::uint64_t sectorsOffered = 0;
  std::uint64_t sectorsDone = 0;
  std::uint64_t sectorsTotal = 0;
  std::uint64_t position = 0;          // within the range, where the sweep stopped
  std::uint64_t filesFound = 0;
  std::uint64_t buffersRead = 0;
};

// One buffer of n sectors at absolute sector first: offers each sector in turn and returns the
// overshoot, the sectors past the buffer that the last advance covers, or minus the sectors from
// a cancelled step to the end of the buffer.
inline std::int64_t DispatchSweepBuffer(CFileTypeRecovery& engine, const std::uint8_t* buffer, std::uint64_t n,
                                        std::uint64_t sectorsArrived, std::uint64_t first, std::int32_t sectorSize,
                                        SweepReport& report, bool recordOffered) {
  const auto s = static_cast<std::uint64_t>(sectorSize);
  std::uint64_t i = 0;
  while (i < sectorsArrived) {
    std::uint64_t advance = 1;
    const std::span<const std::uint8_t> sector(buffer + i * s, s);
    ++report.sectorsOffered;
    if (recordOffered) report.offered.push_back(first + i);
    const Result r = engine.CarveStep(sectorSize, sector, first + i, report.sectorsDone, report.sectorsTotal, -1,
                                      advance, report.filesFound);
    if (r != kErrInvalidParameter) report.steps.push_back({first + i, r, advance});
    if (r == kCancelled) {
      report.result = kCancelled;
      return -static_cast<std::int64_t>(n - i);
    }
    i += advance;
  }
  return i > n ? static_cast<std::int64_t>(i - n) : 0;
}

inline SweepReport SweepImage(CFileTypeRecovery& engine, const std::string& imagePath,
                              const SweepOptions& options = {}) {
  SweepReport report;
  const std::int32_t sectorSize = options.sectorSize;
  if (sectorSize <= 0 || kSweepBufferBytes % static_cast<std::uint32_t>(sectorSize) != 0) {
    report.result = kErrInvalidParameter;
    return report;
  }
  if (options.openEngine) {
    report.openResult = engine.OpenImageFile(imagePath, options.sourceTag);
    if (report.openResult != kSuccess) {
      report.result = report.openResult;
      return report;
    }
  }
  SectorSource source;
  if (Result r = OpenImageSource(imagePath, source); r != kSuccess) {
    report.result = r;
    return report;
  }
  std::uint64_t bytes = 0;
  (void)source.handle.Size(bytes);
  source.totalSectors = bytes / static_cast<std::uint64_t>(sectorSize);

  const std::uint64_t rangeStart = std::min(options.rangeStart, source.totalSectors);
  const std::uint64_t rangeLength = std::min(options.rangeLength, source.totalSectors - rangeStart);
  report.sectorsTotal = rangeLength;
  const std::uint64_t bufferSectors = kSweepBufferBytes / static_cast<std::uint32_t>(sectorSize);
  std::vector<std::uint8_t> buffer(kSweepBufferBytes);

  std::uint64_t position = 0;
  while (position < rangeLength) {
    const std::uint64_t n = std::min(bufferSectors, rangeLength - position);
    const std::uint64_t first = rangeStart + position;
    std::uint32_t got = 0;
    (void)ReadSectors(static_cast<std::int32_t>(n), source, buffer.data(), first, sectorSize, &got);
    ++report.buffersRead;
    std::int64_t overshoot = 0;
    if (got > 0)
      overshoot = DispatchSweepBuffer(engine, buffer.data(), n, got, first, sectorSize, report, options.recordOffered);
    const std::uint64_t left = rangeLength - position;
    const std::uint64_t moved = static_cast<std::uint64_t>(static_cast<std::int64_t>(n) + overshoot);
    position += moved;
    report.sectorsDone += std::min(moved, left);
    if (report.result == kCancelled) break;
  }
  report.position = std::min(position, rangeLength);
  CloseSource(source);
  return report;
}

}  // namespace rexmoor::carvetest
