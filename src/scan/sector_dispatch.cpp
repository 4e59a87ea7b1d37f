#include "scan/sector_dispatch.h"

#include <cstring>

#include "formats/exfat_dir_entry.h"
#include "formats/fat_dir_entry.h"
#include "platform/byte_view.h"

namespace rexmoor {

namespace {

bool LooksLikeFileRecord(std::span<const std::uint8_t> sector, std::uint32_t recordSize) {
  if (sector.size() < 512 || std::memcmp(sector.data(), "FILE", 4) != 0) return false;
  const std::uint8_t* s = sector.data();
  return LoadU32LE(s + 24) <= recordSize && LoadU32LE(s + 28) == recordSize &&
         LoadU16LE(s + 48) == LoadU16LE(s + 510);
}

}  // namespace

SweepSectorKind ClassifySweepSector(std::span<const std::uint8_t> sector, std::uint32_t recordSize) {
  if (LooksLikeFileRecord(sector, recordSize)) return SweepSectorKind::NtfsFileRecord;
  if (IsDotPair(sector)) return SweepSectorKind::FatFolderStart;
  if (IsFatDirectorySector(sector)) return SweepSectorKind::FatDirectorySector;
  if (HoldsExfatEntrySet(sector)) return SweepSectorKind::ExfatDirectory;
  return SweepSectorKind::Other;
}

}  // namespace rexmoor
