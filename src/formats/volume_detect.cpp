#include "formats/volume_detect.h"

#include <cerrno>
#include <cstring>

#include "platform/byte_view.h"

namespace rexmoor {

namespace {

// Boot-sector fields shared by the FAT and NTFS layouts.
constexpr std::size_t kOemName = 3;           // 8 bytes
constexpr std::size_t kBytesPerSector = 11;   // u16
constexpr std::size_t kSectorsPerCluster = 13;  // u8
constexpr std::size_t kReservedSectors = 14;  // u16
constexpr std::size_t kNumberOfFats = 16;     // u8
constexpr std::size_t kRootEntries = 17;      // u16
constexpr std::size_t kTotalSectors16 = 19;   // u16
constexpr std::size_t kFatSize16 = 22;        // u16
constexpr std::size_t kTotalSectors32 = 32;   // u32
constexpr std::size_t kFatSize32 = 36;        // u32
constexpr std::size_t kNtfsTotalSectors = 40;  // u64
constexpr std::size_t kFat32TypeString = 82;  // 8 bytes
constexpr std::size_t kSignature = 510;       // 0x55 0xAA

// ext superblock fields.
constexpr std::size_t kExtInodesCount = 0;
constexpr std::size_t kExtBlocksCount = 4;
constexpr std::size_t kExtFirstDataBlock = 20;
constexpr std::size_t kExtLogBlockSize = 24;
constexpr std::size_t kExtBlocksPerGroup = 32;
constexpr std::size_t kExtInodesPerGroup = 40;
constexpr std::size_t kExtMagic = 56;
constexpr std::size_t kExtFirstInode = 84;

bool BytesEqual(std::span<const std::uint8_t> s, std::size_t offset, const char* text, std::size_t length) {
  return offset <= s.size() && length <= s.size() - offset && std::memcmp(s.data() + offset, text, length) == 0;
}

bool HasBootSignature(const ByteView& v) { return v.U8(kSignature) == 0x55 && v.U8(kSignature + 1) == 0xAA; }

bool IsClusterSizeValue(std::uint8_t spc) {
  return spc != 0 && spc <= 128 && (spc & (spc - 1)) == 0;
}

}  // namespace

bool IsNtfsBootSector(std::span<const std::uint8_t> sector) {
  if (sector.size() < 512) return false;
  ByteView v(sector);
  if (!BytesEqual(sector, kOemName, "NTFS    ", 8)) return false;
  const std::uint16_t bps = *v.U16LE(kBytesPerSector);
  if (bps % 512 != 0) return false;
  if (*v.U16LE(kReservedSectors) != 0) return false;
  if (!IsClusterSizeValue(*v.U8(kSectorsPerCluster))) return false;
  if (*v.U64LE(kNtfsTotalSectors) == 0) return false;
  for (std::size_t off : {16, 17, 18, 19, 20, 22, 23, 32, 33, 34, 35})
    if (sector[off] != 0) return false;
  return HasBootSignature(v);
}

bool IsBitLockerBootSector(std::span<const std::uint8_t> sector) {
  if (sector.size() < 512) return false;
  if (BytesEqual(sector, kOemName, "-FVE-FS-", 8)) return true;
  std::uint8_t pattern[30];
  std::memset(pattern, 0x78, 8);
  std::memset(pattern + 8, 0xFF, 19);
  pattern[27] = 0x00;
  pattern[28] = 0x1F;
  pattern[29] = 0x2C;
  return std::memcmp(sector.data() + 480, pattern, sizeof(pattern)) == 0;
}

bool IsFatBootSector(std::span<const std::uint8_t> sector) {
  if (sector.size() < 512) return false;
  if (IsBitLockerBootSector(sector)) return false;
  ByteView v(sector);
  const std::uint16_t fat16 = *v.U16LE(kFatSize16);
  const std::uint32_t fatSize = fat16 != 0 ? fat16 : *v.U32LE(kFatSize32);
  const std::uint32_t total32 = *v.U32LE(kTotalSectors32);
  const std::uint16_t total16 = *v.U16LE(kTotalSectors16);
  const std::uint32_t totalSectors = total32 != 0 ? total32 : total16;
  const std::uint16_t bps = *v.U16LE(kBytesPerSector);
  const std::uint8_t spc = *v.U8(kSectorsPerCluster);
  if (bps == 0 || spc == 0 || bps % 512 != 0) return false;
  const std::uint8_t fats = *v.U8(kNumberOfFats);
  const std::uint32_t rootDirSectors = (std::uint32_t{*v.U16LE(kRootEntries)} * 32u) / bps;
  // Unsigned 32-bit arithmetic on purpose: a nonsense layout wraps to a huge count and is refused.
  const std::uint32_t clusterCount =
      (totalSectors - rootDirSectors - std::uint32_t{fats} * fatSize - std::uint32_t{*v.U16LE(kReservedSectors)}) / spc;
  if (clusterCount >= 0x0FFFFFF0u) return false;
  const bool signature = HasBootSignature(v);
  const bool fat1216 = fats != 0 && (total16 != 0 || total32 != 0) && IsClusterSizeValue(spc) && fat16 >= 1 && signature;
  const bool fat32 = BytesEqual(sector, kFat32TypeString, "FAT32   ", 8) && fats != 0 && total32 != 0 &&
                     IsClusterSizeValue(spc) && *v.U32LE(kFatSize32) >= 1 && signature;
  return fat1216 || fat32;
}

bool IsExtSuperblock(std::span<const std::uint8_t> superblock) {
  if (superblock.size() < 1024) return false;
  ByteView v(superblock);
  if (*v.U16LE(kExtMagic) != 0xEF53) return false;
  const std::uint32_t blocks = *v.U32LE(kExtBlocksCount);
  const std::uint32_t inodes = *v.U32LE(kExtInodesCount);
  const std::uint32_t blocksPerGroup = *v.U32LE(kExtBlocksPerGroup);
  const std::uint32_t inodesPerGroup = *v.U32LE(kExtInodesPerGroup);
  if (blocks == 0 || inodes == 0 || blocksPerGroup == 0 || inodesPerGroup == 0) return false;
  const std::uint32_t firstInode = *v.U32LE(kExtFirstInode);
  if (firstInode <= 2) return false;
  const std::uint32_t firstDataBlock = *v.U32LE(kExtFirstDataBlock);
  if ((blocks - firstDataBlock - 1) / blocksPerGroup + 1 != (inodes - 1) / inodesPerGroup + 1) return false;
  const std::uint32_t logBlockSize = *v.U32LE(kExtLogBlockSize);
  // A shift past 31 would be undefined; such a value is no 1 KiB block size.
  const bool oneKiB = logBlockSize == 0;
  if (firstDataBlock != (oneKiB ? 1u : 0u)) return false;
  return inodes > firstInode;
}

VolumeKind ClassifyBootArea(std::span<const std::uint8_t> bootArea) {
  if (bootArea.size() >= 512) {
    auto first = bootArea.first(512);
    if (IsNtfsBootSector(first)) return VolumeKind::Ntfs;
    if (IsFatBootSector(first)) return VolumeKind::Fat;
  }
  if (bootArea.size() >= 2048 && IsExtSuperblock(bootArea.subspan(1024, 1024))) return VolumeKind::Ext;
  return VolumeKind::None;
}

const char* VolumeKindName(VolumeKind kind) {
  switch (kind) {
    case VolumeKind::Fat: return "FAT";
    case VolumeKind::Ntfs: return "NTFS";
    case VolumeKind::Ext: return "EXT";
    case VolumeKind::None: break;
  }
  return "NONE";
}

Result ReadBootArea(const FileHandle& medium, std::uint64_t byteOffset, std::vector<std::uint8_t>& out) {
  out.assign(kBootAreaSize, 0);
  std::size_t done = 0;
  while (done < kBootAreaSize) {
    ssize_t n = medium.Pread(out.data() + done, kBootAreaSize - done, byteOffset + done);
    if (n < 0) return ResultFromErrno(errno);
    if (n == 0) return kErrReadFault;
    done += static_cast<std::size_t>(n);
  }
  return kSuccess;
}

}  // namespace rexmoor
