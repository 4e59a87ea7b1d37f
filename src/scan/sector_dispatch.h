// How the deep scan's sweep routes one sector: an NTFS file record goes to the formatted NTFS
// engine, the opening sector of a FAT sub-folder and every other FAT directory sector to the
// formatted FAT engine, a sector holding an exFAT entry set to the formatted exFAT engine,
// anything else to the carver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace rexmoor {

enum class SweepSectorKind : std::uint8_t {
  NtfsFileRecord,      // "FILE" with the record size and an update sequence that fit
  FatFolderStart,      // "." and ".." entries
  FatDirectorySector,  // reads as directory entries throughout
  ExfatDirectory,      // holds a whole exFAT entry set whose checksum holds
  Other,
};

// The file record size the sweep assumes for a sector size: two sectors of 512 bytes, else one.
constexpr std::uint32_t SweepRecordSize(std::uint32_t sectorSize) {
  return sectorSize > 512 ? sectorSize : 2 * sectorSize;
}

// The kind of the sector at the start of the span (its length is the sector size). An NTFS
// record is judged by its header and the update sequence number at the end of its first 512
// bytes; a sector shorter than that is not one.
SweepSectorKind ClassifySweepSector(std::span<const std::uint8_t> sector, std::uint32_t recordSize);

}  // namespace rexmoor
