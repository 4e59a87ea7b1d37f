#include "formats/volume_detect.h"

#include <cerrno>
#include <cstring>

#include "formats/exfat_layout.h"
#include "platform/byte_view.h"

namespace rexmoor {

namespace {

// Boot-sector fields of the BitLocker test.
constexpr std::size_t kOemName = 3;  // 8 bytes

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

}  // namespace

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
    if (FindExfatLayout(bootArea)) return VolumeKind::Exfat;
  }
  if (bootArea.size() >= 2048 && IsExtSuperblock(bootArea.subspan(1024, 1024))) return VolumeKind::Ext;
  return VolumeKind::None;
}

const char* VolumeKindName(VolumeKind kind) {
  switch (kind) {
    case VolumeKind::Fat: return "FAT";
    case VolumeKind::Ntfs: return "NTFS";
    case VolumeKind::Ext: return "EXT";
    case VolumeKind::Exfat: return "EXFAT";
    case VolumeKind::None: break;
  }
  return "NONE";
}

Result ReadBootArea(const FileHandle& medium, std::uint64_t byteOffset, std::vector<std::uint8_t>& out) {
  out.assign(kBootAreaSize, 0);
  return medium.ReadFully(out.data(), kBootAreaSize, byteOffset);
}

}  // namespace rexmoor
