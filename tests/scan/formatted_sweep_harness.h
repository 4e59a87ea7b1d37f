// The deep scan's sweep as the formatted FAT and NTFS engines see it, for tests that need a whole
// medium handed to their intake: the engines are opened on the image and given catalogues (and
// the FAT engine its boot-sector seed), the image is read 64 KiB at a time, every sector is
// classified as the sweep does (an NTFS file record first, then a FAT folder start, then a FAT
// directory sector) and handed on in ascending order; then the finishing passes. An NTFS record
// that runs past the buffer is read whole on its own; folder records are not handed on.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "device/sector_source.h"
#include "fat/pro_fat_recovery.h"
#include "ntfs/pro_ntfs_recovery.h"
#include "platform/byte_view.h"
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
  std::uint64_t fileRecords = 0;    // NTFS file records handed on
  std::uint64_t folderRecords = 0;  // NTFS folder records passed over
  std::uint64_t sectors = 0;
};

struct SweepEngines {
  CProfessionalFatRecovery* fat = nullptr;
  CProfessionalNtfsRecovery* ntfs = nullptr;
};

// One buffer of sectors at absolute sector first.
inline void DispatchSweepBuffer(SweepEngines engines, const SectorSource& source, std::span<const std::uint8_t> buffer,
                                std::uint64_t first, std::uint32_t sectorSize, FormattedSweep& sweep) {
  const std::uint32_t recordSize = SweepRecordSize(sectorSize);
  std::vector<std::uint8_t> straddling;
  for (std::size_t i = 0; (i + 1) * sectorSize <= buffer.size(); ++i) {
    const std::span<const std::uint8_t> sector = buffer.subspan(i * sectorSize, sectorSize);
    ++sweep.sectors;
    switch (ClassifySweepSector(sector, recordSize)) {
      case SweepSectorKind::NtfsFileRecord: {
        if ((LoadU16LE(sector.data() + 22) & 0x02) != 0) {
          ++sweep.folderRecords;
          break;
        }
        ++sweep.fileRecords;
        if (engines.ntfs == nullptr) break;
        std::span<const std::uint8_t> record = buffer.subspan(i * sectorSize);
        if (record.size() < recordSize) {
          straddling.assign(8192, 0);
          std::uint32_t got = 0;
          (void)ReadSectors(static_cast<std::int32_t>(8192 / sectorSize), source, straddling.data(), first + i,
                            static_cast<std::int32_t>(sectorSize), &got);
          record = std::span<const std::uint8_t>(straddling);
        }
        (void)engines.ntfs->TakeFileRecord(record.first(recordSize), first + i);
        break;
      }
      case SweepSectorKind::FatFolderStart:
        ++sweep.folderStarts;
        if (engines.fat != nullptr) engines.fat->TakeFolderStart(sector, first + i);
        break;
      case SweepSectorKind::FatDirectorySector:
        ++sweep.directorySectors;
        if (engines.fat != nullptr) engines.fat->TakeDirectorySector(sector, first + i);
        break;
      case SweepSectorKind::Other: break;
    }
  }
}

// Where the sweep runs: an image file opened whole, or a partition of a drive (drive number,
// first sector and length, as the deep scan of a partition opens its engines).
struct SweepSource {
  std::string imagePath;
  std::int32_t drive = -1;
  std::uint64_t start = 0;
  std::uint64_t count = 0;
};

// Opens the engines on the source, sweeps it whole and (unless told not to) finishes.
inline FormattedSweep SweepFormatted(SweepEngines engines, const SweepSource& where, bool finish = true,
                                     std::uint16_t sourceTag = 'F') {
  FormattedSweep sweep;
  const bool drive = where.drive >= 0;
  auto open = [&](IFileRecoveryParse& engine) {
    return drive ? engine.OpenDisk(where.drive, where.start, where.count, sourceTag)
                 : engine.OpenImageFile(where.imagePath, sourceTag);
  };
  if (engines.fat != nullptr) {
    sweep.open = open(*engines.fat);
    if (sweep.open != kSuccess) return sweep;
    sweep.begin = engines.fat->BeginFormattedCatalogue(nullptr);
    sweep.prepare = engines.fat->PrepareSweep();
  }
  if (engines.ntfs != nullptr) {
    sweep.open = open(*engines.ntfs);
    if (sweep.open != kSuccess) return sweep;
    sweep.begin = engines.ntfs->BeginNtfsCatalogue(nullptr);
  }
  SectorSource source;
  const Result opened = drive ? OpenDriveSource(source, where.drive) : OpenImageSource(where.imagePath, source);
  if (opened != kSuccess) {
    sweep.open = opened;
    return sweep;
  }
  const std::uint32_t sectorSize = 512;
  std::uint64_t first = 0;
  std::uint64_t end = 0;
  if (drive) {
    first = where.start;
    end = std::min(where.start + where.count, source.totalSectors);
  } else {
    std::uint64_t bytes = 0;
    (void)source.handle.Size(bytes);
    source.totalSectors = bytes / sectorSize;
    end = source.totalSectors;
  }
  std::vector<std::uint8_t> buffer(kSweepBufferBytes);
  const std::uint64_t perBuffer = kSweepBufferBytes / sectorSize;
  for (std::uint64_t at = first; at < end; at += perBuffer) {
    const std::uint64_t n = std::min(perBuffer, end - at);
    std::uint32_t got = 0;
    (void)ReadSectors(static_cast<std::int32_t>(n), source, buffer.data(), at, sectorSize, &got);
    if (got > 0)
      DispatchSweepBuffer(engines, source, std::span(buffer.data(), std::size_t{got} * sectorSize), at, sectorSize,
                          sweep);
  }
  CloseSource(source);
  if (finish) {
    if (engines.fat != nullptr) sweep.finish = engines.fat->FinishSweep();
    if (engines.ntfs != nullptr) sweep.finish = engines.ntfs->FinishNtfsSweep();
  }
  return sweep;
}

inline FormattedSweep SweepFormattedFat(CProfessionalFatRecovery& engine, const std::string& imagePath,
                                        bool finish = true) {
  return SweepFormatted(SweepEngines{&engine, nullptr}, SweepSource{imagePath}, finish);
}

inline FormattedSweep SweepFormattedNtfs(CProfessionalNtfsRecovery& engine, const std::string& imagePath,
                                         bool finish = true) {
  return SweepFormatted(SweepEngines{nullptr, &engine}, SweepSource{imagePath}, finish);
}

}  // namespace rexmoor::fattest
