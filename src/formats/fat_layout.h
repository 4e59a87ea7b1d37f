// The geometry of a FAT12/16/32 volume as its boot sector describes it, decoded by a pure
// function that refuses anything a real volume cannot have, plus the decoding of single FAT
// entries and of short names. Every engine that walks a FAT volume builds on these, so that no
// number from the medium reaches an offset computation unchecked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/result_codes.h"

namespace rexmoor {

// Boot sector (BIOS parameter block) fields, little-endian.
inline constexpr std::size_t kBpbBytesPerSector = 11;    // u16: 512, 1024, 2048 or 4096
inline constexpr std::size_t kBpbSectorsPerCluster = 13; // u8: power of two, 1..128
inline constexpr std::size_t kBpbReservedSectors = 14;   // u16: sectors in front of the first FAT
inline constexpr std::size_t kBpbNumberOfFats = 16;      // u8
inline constexpr std::size_t kBpbRootEntries = 17;       // u16: FAT12/16 root directory entries
inline constexpr std::size_t kBpbTotalSectors16 = 19;    // u16: 0 when the 32-bit field is used
inline constexpr std::size_t kBpbFatSize16 = 22;         // u16: sectors per FAT, 0 on FAT32
inline constexpr std::size_t kBpbTotalSectors32 = 32;    // u32
inline constexpr std::size_t kBpbFatSize32 = 36;         // u32: sectors per FAT (FAT32)
inline constexpr std::size_t kBpbRootCluster = 44;       // u32: first cluster of the root (FAT32)
inline constexpr std::size_t kBpbFat32TypeString = 82;  // 8 bytes: "FAT32   " on FAT32
inline constexpr std::size_t kBootSignature = 510;       // 0x55 0xAA
inline constexpr std::size_t kBpbMinimumSize = 512;

// Cluster-count limits of the FAT standard: fewer than 4,085 clusters is FAT12, fewer than
// 65,525 FAT16, anything else FAT32.
inline constexpr std::uint64_t kFat12MaxClusters = 4084;
inline constexpr std::uint64_t kFat16MaxClusters = 65524;
// Highest cluster number a FAT32 entry can name (0x0FFFFFF7 marks a bad cluster).
inline constexpr std::uint32_t kFat32MaxClusterNumber = 0x0FFFFFF6;
// Clusters are numbered from 2; entries 0 and 1 are reserved.
inline constexpr std::uint32_t kFirstCluster = 2;

enum class FatType : std::uint8_t { Fat12 = 12, Fat16 = 16, Fat32 = 32 };

struct FatLayout {
  FatType type = FatType::Fat16;
  std::uint32_t bytesPerSector = 0;
  std::uint32_t sectorsPerCluster = 0;
  std::uint32_t reservedSectors = 0;
  std::uint32_t numberOfFats = 0;
  std::uint32_t fatSectors = 0;        // sectors of one FAT
  std::uint32_t rootEntries = 0;       // FAT12/16
  std::uint32_t rootDirSectors = 0;    // FAT12/16: ceil(rootEntries * 32 / bytesPerSector)
  std::uint64_t totalSectors = 0;      // as the boot sector says (16-bit field, else 32-bit)
  // Volume-relative sectors.
  std::uint64_t fatStartSector = 0;    // the first FAT
  std::uint64_t rootDirSector = 0;     // FAT12/16: the fixed root directory
  std::uint64_t dataAreaSector = 0;    // cluster 2
  std::uint32_t rootCluster = 0;       // FAT32: from the boot sector; FAT12/16: 0
  // Whole clusters in the data area, by the standard's formula.
  std::uint32_t clusterCount = 0;
  // Entries the FAT itself has room for (entries 0 and 1 included).
  std::uint32_t fatEntryCount = 0;
  // Highest cluster that has both a place in the data area and an entry in the FAT.
  std::uint32_t maxCluster = 0;

  bool IsFat32() const { return type == FatType::Fat32; }
  std::uint32_t ClusterBytes() const { return bytesPerSector * sectorsPerCluster; }
  bool IsValidCluster(std::uint64_t cluster) const { return cluster >= kFirstCluster && cluster <= maxCluster; }
  // Volume-relative first sector of a cluster; nothing for a cluster outside the volume.
  std::optional<std::uint64_t> ClusterSector(std::uint64_t cluster) const;
  std::uint64_t FatBytes() const { return std::uint64_t{fatSectors} * bytesPerSector; }
};

// Decodes and checks a boot sector. 87 (and out untouched) unless: bytes per sector is 512, 1024,
// 2048 or 4096; sectors per cluster a power of two up to 128; at least one reserved sector and
// one FAT of at least one sector; the data area starts inside the volume and holds at least one
// cluster; a FAT32 root cluster lies inside the volume.
//
// The FAT type follows the standard's cluster-count rule. A boot sector whose 16-bit FAT size is
// 0 has nowhere else to keep its FAT size than the FAT32 field, so it is FAT32 whatever its
// cluster count (as Linux reads it); FAT32 needs a 32-bit FAT size and a root cluster either way.
// Whether a boot sector is a FAT boot sector (the detection rule; the layout it describes may
// still be refused by ParseFatLayout when its sizes do not add up).
bool IsFatBootSector(std::span<const std::uint8_t> sector);

Result ParseFatLayout(std::span<const std::uint8_t> bootSector, FatLayout& out);

// Byte offset of a cluster's entry inside the FAT and the bytes to read there (2 for FAT12 and
// FAT16, 4 for FAT32).
std::uint64_t FatEntryOffset(FatType type, std::uint32_t cluster);
std::size_t FatEntryWidth(FatType type);
// The entry of a cluster from the bytes at FatEntryOffset (at least FatEntryWidth of them):
// 12 bits for FAT12 (odd clusters in the high bits), 16 for FAT16, the low 28 bits for FAT32.
std::optional<std::uint32_t> DecodeFatEntry(FatType type, std::uint32_t cluster, std::span<const std::uint8_t> bytes);
// 0xFF8.., 0xFFF8.., 0x0FFFFFF8.. mark the last cluster of a chain.
bool IsEndOfChain(FatType type, std::uint32_t entry);

// A short (8.3) name field in UTF-8: trailing spaces removed, bytes from 0x80 read as code page
// 850 (what DOS and mtools write), capitals lowered (A-Z and the accented ones: CAFÉ is café). A first byte 0x05 stands for 0xE5; a first byte
// 0xE5 marks a deleted entry and becomes "!". withExtension adds "." and the extension when the
// extension field does not start with a space.
std::string DecodeShortName(std::span<const std::uint8_t> nameField, bool withExtension);
// One code page 850 byte as UTF-8.
void AppendCp850(std::string& out, std::uint8_t byte);
// Whether a byte from 0x80 is a letter in code page 850 (the accented Latin letters DOS and
// mtools write into short names); box-drawing, currency and other symbols are not.
bool IsCp850Letter(std::uint8_t byte);

}  // namespace rexmoor
