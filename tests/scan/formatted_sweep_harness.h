// The deep scan's sweep (scan/sector_sweep.h) over a whole medium, for tests of the formatted FAT
// and NTFS engines: the engines are opened on the image or drive partition and given catalogues
// (and the FAT engine its boot-sector seed), the sweep routes every sector to them as the deep
// scan does, then the finishing passes run. No carver takes part.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "device/sector_source.h"
#include "fat/pro_fat_recovery.h"
#include "ntfs/pro_ntfs_recovery.h"
#include "platform/result_codes.h"
#include "scan/sector_dispatch.h"
#include "scan/sector_sweep.h"

namespace rexmoor::fattest {

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
  std::uint64_t first = 0;
  std::uint64_t count = source.totalSectors;
  if (drive) {
    first = where.start;
    count = where.start >= source.totalSectors ? 0 : std::min(where.count, source.totalSectors - where.start);
  }
  SectorSweep sectorSweep(source, 512, first, count, SweepEngines{engines.fat, engines.ntfs, nullptr});
  SweepPosition position;
  position.rangeLength = count;
  std::uint64_t carved = 0;
  (void)sectorSweep.Run(position, count, nullptr, nullptr, carved);
  const SweepCounts& counts = sectorSweep.Counts();
  sweep.folderStarts = counts.fatFolderStarts;
  sweep.directorySectors = counts.fatDirectorySectors;
  sweep.fileRecords = counts.ntfsFileRecords;
  sweep.folderRecords = counts.ntfsFolderRecords;
  sweep.sectors = counts.sectorsDispatched;
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
