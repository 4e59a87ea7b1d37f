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

// A File entry (live or deleted) with a secondary count a set can have, followed by a Stream
// Extension entry of the same state: what every whole set in the sector starts with. Most sectors
// fail this on their first bytes, so the checksum is computed only for the few that pass.
bool MayHoldExfatSet(std::span<const std::uint8_t> sector) {
  const std::size_t n = sector.size() / kExfatEntrySize;
  const std::uint8_t* s = sector.data();
  for (std::size_t i = 0; i + 1 < n; ++i) {
    const std::uint8_t type = s[i * kExfatEntrySize];
    if ((type & 0x7F) != (kExfatTypeFile & 0x7F)) continue;
    const std::uint8_t secondaries = s[i * kExfatEntrySize + 1];
    const std::uint8_t stream = (kExfatTypeStream & 0x7F) | (type & kExfatInUse);
    if (secondaries >= 2 && secondaries < kExfatMaxSetEntries && s[(i + 1) * kExfatEntrySize] == stream) return true;
  }
  return false;
}

}  // namespace

SweepSectorKind ClassifySweepSector(std::span<const std::uint8_t> sector, std::uint32_t recordSize) {
  if (LooksLikeFileRecord(sector, recordSize)) return SweepSectorKind::NtfsFileRecord;
  if (IsDotPair(sector)) return SweepSectorKind::FatFolderStart;
  if (IsFatDirectorySector(sector)) return SweepSectorKind::FatDirectorySector;
  if (MayHoldExfatSet(sector) && HoldsExfatEntrySet(sector)) return SweepSectorKind::ExfatDirectory;
  return SweepSectorKind::Other;
}

}  // namespace rexmoor
