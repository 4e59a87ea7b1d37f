// Compound documents (the container of Word, Excel and PowerPoint files before the XML
// packages): which application wrote one, and how long it is, from its header and the sectors
// its header points to. A document's own sectors are (1 << sector shift) bytes, 512 or 4096;
// document sector n lies (1 + n) document sectors after the header's first byte.
#pragma once

#include <cstdint>
#include <span>

#include "formats/file_type_id.h"

namespace rexmoor {
class CarvingContext;
}

namespace rexmoor::formats {

// Header layout (little-endian).
inline constexpr std::size_t kCfbSectorShift = 30;      // u16: 9 or 12
inline constexpr std::size_t kCfbFatSectors = 44;       // u32
inline constexpr std::size_t kCfbFirstDirSector = 48;   // u32
inline constexpr std::size_t kCfbMiniFatSectors = 64;   // u32
inline constexpr std::size_t kCfbFirstDifatSector = 68; // u32
inline constexpr std::size_t kCfbDifatSectors = 72;     // u32
inline constexpr std::size_t kCfbHeaderDifat = 76;      // 109 u32 FAT sector numbers
inline constexpr std::uint32_t kCfbHeaderDifatEntries = 109;
inline constexpr std::size_t kCfbDirEntrySize = 128;
inline constexpr std::size_t kCfbDirEntryNameLength = 64;  // u16, bytes including the NUL
inline constexpr std::size_t kCfbDirEntryClassId = 80;     // 16 bytes
inline constexpr std::uint32_t kCfbMaxRegularSector = 0xFFFFFFF9;  // above: chain ends and markers
inline constexpr std::uint32_t kCfbFreeSector = 0xFFFFFFFF;
// DIFAT sectors followed at most when measuring (far more than any document below the size cap).
inline constexpr std::uint32_t kCfbMaxDifatWalk = 2048;
inline constexpr std::uint64_t kCfbSizeCap = 0x7FFFFFF;

// The compound-file magic D0 CF 11 E0 A1 B1 1A E1, then CompoundSubtype.
FileTypeId CompoundTest(CarvingContext& ctx, std::span<const std::uint8_t> b);
// kTypeDoc, kTypeXls or kTypePpt from the first document sector's record signature, the root
// entry's class id or the stream names of the first directory sector (read relative to the
// context's cursorSector); kTypeOle when none decides or a read fails.
FileTypeId CompoundSubtype(const CarvingContext& ctx, std::span<const std::uint8_t> header);
// Length from the FAT: (FAT sectors × entries per FAT sector + 1 − free entries at the end of the
// last FAT sector) × document sector size, capped at 0x7FFFFFF. 0 when the header is out of range,
// the DIFAT chain ends early or a needed sector cannot be read (relative to fileStartSector).
std::uint64_t CompoundEstimate(const CarvingContext& ctx, std::span<const std::uint8_t> header);
// CompoundEstimate, or when it gives 0 a walk ending at the Word user-type text.
std::uint64_t CompoundExtent(CarvingContext& ctx, std::span<const std::uint8_t> header);

}  // namespace rexmoor::formats
