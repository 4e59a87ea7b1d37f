// Boot-area classification: which file system, if any, a partition or image starts with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "device/sector_source.h"
#include "formats/fat_layout.h"
#include "formats/ntfs_record.h"

namespace rexmoor {

enum class VolumeKind : std::int32_t { Fat = 2, Ntfs = 3, Ext = 4, None = 5, Exfat = 6 };

// Bytes read at the start of a volume to classify it.
inline constexpr std::size_t kBootAreaSize = 0x4000;

bool IsBitLockerBootSector(std::span<const std::uint8_t> sector);
// The 1,024-byte superblock found at byte 1,024 of an ext volume.
bool IsExtSuperblock(std::span<const std::uint8_t> superblock);

// Classifies a 16 KiB boot area: NTFS, then FAT, then exFAT, then ext, else none.
VolumeKind ClassifyBootArea(std::span<const std::uint8_t> bootArea);
const char* VolumeKindName(VolumeKind kind);

// Reads the 16 KiB boot area at byteOffset of an open medium. A short read is a failure.
Result ReadBootArea(const FileHandle& medium, std::uint64_t byteOffset, std::vector<std::uint8_t>& out);

}  // namespace rexmoor
