// The deep scan's sweep as the formatted FAT engine sees it, for tests that need a whole medium
// handed to its intake: the engine is opened on the image and given a catalogue and its boot-
// sector seed, the image is read 64 KiB at a time, every sector is classified as the sweep does
// (an NTFS record first, then a folder start, then a directory sector) and the FAT ones are handed
// to TakeFolderStart or TakeDirectorySector in ascending order; then FinishSweep.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "device/sector_source.h"
#include "fat/pro_fat_recovery.h"
#include "platform/result_codes.h"
#include "scan/sector_dispatch.h"

namespace rexmoor::fattest {

inline constexpr std::uint32_t kSweepBufferBytes = 0x10000;

struct FormattedSweep {
  Result open = kSuccess;
  Result begin = kSuccess;
  Result prepare = kSuccess;
  Result finish = kSuccess;
  std::uint64_t folderStarts = 0;
  std::uint64_t directorySectors = 0;
  std::uint64_t fileRecords = 0;  // NTFS records the sweep would hand elsewhere
  std::uint64_t sectors = 0;
};

// Hands every FAT sector of the span's sectors (at absolute sector first) to the engine.
inline void DispatchFatSectors(CProfessionalFatRecovery& engine, std::span<const std::uint8_t> buffer,
                               std::uint64_t first, std::uint32_t sectorSize, FormattedSweep& sweep) {
  const std::uint32_t recordSize = SweepRecordSize(sectorSize);
  for (std::size_t i = 0; (i + 1) * sectorSize <= buffer.size(); ++i) {
    const std::span<const std::uint8_t> sector = buffer.subspan(i * sectorSize, sectorSize);
    ++sweep.sectors;
    switch (ClassifySweepSector(sector, recordSize)) {
      case SweepSectorKind::NtfsFileRecord: ++sweep.fileRecords; break;
      case SweepSectorKind::FatFolderStart:
        ++sweep.folderStarts;
        engine.TakeFolderStart(sector, first + i);
        break;
      case SweepSectorKind::FatDirectorySector:
        ++sweep.directorySectors;
        engine.TakeDirectorySector(sector, first + i);
        break;
      case SweepSectorKind::Other: break;
    }
  }
}

// Opens the engine on the image, sweeps it whole and (unless told not to) finishes.
inline FormattedSweep SweepFormattedFat(CProfessionalFatRecovery& engine, const std::string& imagePath,
                                        bool finish = true, std::uint16_t sourceTag = 'F') {
  FormattedSweep sweep;
  sweep.open = engine.OpenImageFile(imagePath, sourceTag);
  if (sweep.open != kSuccess) return sweep;
  sweep.begin = engine.BeginFormattedCatalogue(nullptr);
  sweep.prepare = engine.PrepareSweep();
  SectorSource source;
  if (OpenImageSource(imagePath, source) != kSuccess) {
    sweep.open = kErrFileNotFound;
    return sweep;
  }
  std::uint64_t bytes = 0;
  (void)source.handle.Size(bytes);
  const std::uint32_t sectorSize = 512;
  source.totalSectors = bytes / sectorSize;
  std::vector<std::uint8_t> buffer(kSweepBufferBytes);
  const std::uint64_t perBuffer = kSweepBufferBytes / sectorSize;
  for (std::uint64_t at = 0; at < source.totalSectors; at += perBuffer) {
    const std::uint64_t n = std::min(perBuffer, source.totalSectors - at);
    std::uint32_t got = 0;
    (void)ReadSectors(static_cast<std::int32_t>(n), source, buffer.data(), at, sectorSize, &got);
    if (got > 0) DispatchFatSectors(engine, std::span(buffer.data(), std::size_t{got} * sectorSize), at, sectorSize, sweep);
  }
  CloseSource(source);
  if (finish) sweep.finish = engine.FinishSweep();
  return sweep;
}

}  // namespace rexmoor::fattest
