#include "formats/fat_layout.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "formats/sector_size.h"
#include "formats/volume_detect.h"
#include "platform/byte_view.h"

namespace rexmoor {

namespace {

constexpr std::uint32_t kFat12EndOfChain = 0xFF8;
constexpr std::uint32_t kFat16EndOfChain = 0xFFF8;
constexpr std::uint32_t kFat32EndOfChain = 0x0FFFFFF8;
constexpr std::uint32_t kFat32EntryMask = 0x0FFFFFFF;


// Code page 850, bytes 0x80..0xFF.
constexpr std::array<std::uint16_t, 128> kCp850 = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0,
    0x00A9, 0x2563, 0x2551, 0x2557, 0x255D, 0x00A2, 0x00A5, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4,
    0x00F0, 0x00D0, 0x00CA, 0x00CB, 0x00C8, 0x0131, 0x00CD, 0x00CE,
    0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580,
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE,
    0x00DE, 0x00DA, 0x00DB, 0x00D9, 0x00FD, 0x00DD, 0x00AF, 0x00B4,
    0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8,
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0,
};

// The small letter of an accented capital, as a code page 850 byte (others unchanged).
std::uint8_t LowerCp850(std::uint8_t byte) {
  if (byte < 0x80) return byte;
  const std::uint16_t cp = kCp850[byte - 0x80];
  if (cp < 0x00C0 || cp > 0x00DE || cp == 0x00D7) return byte;
  for (std::size_t i = 0; i < kCp850.size(); ++i) {
    if (kCp850[i] == cp + 0x20) return static_cast<std::uint8_t>(0x80 + i);
  }
  return byte;
}

std::size_t TrimmedLength(std::span<const std::uint8_t> field) {
  std::size_t n = field.size();
  while (n > 0 && field[n - 1] == ' ') --n;
  return n;
}

void AppendShortPart(std::string& out, std::span<const std::uint8_t> field) {
  const std::size_t n = TrimmedLength(field);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t b = field[i];
    if (b >= 'A' && b <= 'Z') {
      out += static_cast<char>(b - 'A' + 'a');
    } else {
      AppendCp850(out, LowerCp850(b));
    }
  }
}

}  // namespace

std::optional<std::uint64_t> FatLayout::ClusterSector(std::uint64_t cluster) const {
  if (!IsValidCluster(cluster)) return std::nullopt;
  // maxCluster keeps this inside totalSectors, far from overflowing.
  return dataAreaSector + (cluster - kFirstCluster) * sectorsPerCluster;
}

Result ParseFatLayout(std::span<const std::uint8_t> bootSector, FatLayout& out) {
  ByteView v(bootSector);
  if (!v.Has(0, kBpbMinimumSize)) return kErrInvalidParameter;
  FatLayout l;
  l.bytesPerSector = *v.U16LE(kBpbBytesPerSector);
  l.sectorsPerCluster = *v.U8(kBpbSectorsPerCluster);
  if (!IsSupportedSectorSize(l.bytesPerSector) || !IsClusterSectorCount(l.sectorsPerCluster)) return kErrInvalidParameter;
  l.reservedSectors = *v.U16LE(kBpbReservedSectors);
  l.numberOfFats = *v.U8(kBpbNumberOfFats);
  l.rootEntries = *v.U16LE(kBpbRootEntries);
  const std::uint16_t total16 = *v.U16LE(kBpbTotalSectors16);
  l.totalSectors = total16 != 0 ? total16 : *v.U32LE(kBpbTotalSectors32);
  const std::uint16_t fatSize16 = *v.U16LE(kBpbFatSize16);
  const bool fat32Shape = fatSize16 == 0;
  l.fatSectors = fat32Shape ? *v.U32LE(kBpbFatSize32) : fatSize16;
  if (l.reservedSectors == 0 || l.numberOfFats == 0 || l.fatSectors == 0 || l.totalSectors == 0)
    return kErrInvalidParameter;

  // All terms are far below 2^64: 16-bit, 8-bit x 32-bit and 16-bit x 32 / 512.
  l.rootDirSectors =
      static_cast<std::uint32_t>((std::uint64_t{l.rootEntries} * 32 + l.bytesPerSector - 1) / l.bytesPerSector);
  l.fatStartSector = l.reservedSectors;
  const std::uint64_t fatsEnd = l.fatStartSector + std::uint64_t{l.numberOfFats} * l.fatSectors;
  l.rootDirSector = fatsEnd;
  l.dataAreaSector = fatsEnd + l.rootDirSectors;
  if (l.dataAreaSector >= l.totalSectors) return kErrInvalidParameter;
  const std::uint64_t clusters = (l.totalSectors - l.dataAreaSector) / l.sectorsPerCluster;
  if (clusters == 0) return kErrInvalidParameter;

  if (fat32Shape) {
    l.type = FatType::Fat32;
  } else if (clusters <= kFat12MaxClusters) {
    l.type = FatType::Fat12;
  } else if (clusters <= kFat16MaxClusters) {
    l.type = FatType::Fat16;
  } else {
    return kErrInvalidParameter;  // a 16-bit FAT cannot address that many clusters
  }
  // Cluster numbers above the FAT32 maximum cannot be named by any entry.
  l.clusterCount = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(clusters, kFat32MaxClusterNumber - kFirstCluster + 1));

  const std::uint64_t fatBytes = l.FatBytes();
  std::uint64_t entries = 0;
  switch (l.type) {
    case FatType::Fat12: entries = fatBytes * 2 / 3; break;
    case FatType::Fat16: entries = fatBytes / 2; break;
    case FatType::Fat32: entries = fatBytes / 4; break;
  }
  l.fatEntryCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(entries, 0xFFFFFFFFu));
  if (l.fatEntryCount <= kFirstCluster) return kErrInvalidParameter;
  l.maxCluster = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(std::uint64_t{l.clusterCount} + 1, std::uint64_t{l.fatEntryCount} - 1));

  if (l.IsFat32()) {
    l.rootCluster = *v.U32LE(kBpbRootCluster);
    if (!l.IsValidCluster(l.rootCluster)) return kErrInvalidParameter;
  } else {
    l.rootCluster = 0;
  }
  out = l;
  return kSuccess;
}

std::uint64_t FatEntryOffset(FatType type, std::uint32_t cluster) {
  const std::uint64_t n = cluster;
  switch (type) {
    case FatType::Fat12: return n + n / 2;
    case FatType::Fat16: return n * 2;
    case FatType::Fat32: return n * 4;
  }
  return 0;
}

std::size_t FatEntryWidth(FatType type) { return type == FatType::Fat32 ? 4 : 2; }

std::optional<std::uint32_t> DecodeFatEntry(FatType type, std::uint32_t cluster, std::span<const std::uint8_t> bytes) {
  ByteView v(bytes);
  switch (type) {
    case FatType::Fat12: {
      auto pair = v.U16LE(0);
      if (!pair) return std::nullopt;
      return (cluster & 1) != 0 ? static_cast<std::uint32_t>(*pair >> 4) : static_cast<std::uint32_t>(*pair & 0x0FFF);
    }
    case FatType::Fat16: {
      auto value = v.U16LE(0);
      if (!value) return std::nullopt;
      return *value;
    }
    case FatType::Fat32: {
      auto value = v.U32LE(0);
      if (!value) return std::nullopt;
      return *value & kFat32EntryMask;  // the top four bits are reserved
    }
  }
  return std::nullopt;
}

bool IsEndOfChain(FatType type, std::uint32_t entry) {
  switch (type) {
    case FatType::Fat12: return entry >= kFat12EndOfChain;
    case FatType::Fat16: return entry >= kFat16EndOfChain;
    case FatType::Fat32: return (entry & kFat32EntryMask) >= kFat32EndOfChain;
  }
  return true;
}

void AppendCp850(std::string& out, std::uint8_t byte) {
  if (byte < 0x80) {
    out += static_cast<char>(byte);
    return;
  }
  const std::uint16_t cp = kCp850[byte - 0x80];
  if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool IsCp850Letter(std::uint8_t byte) {
  if (byte < 0x80) return false;
  const std::uint16_t cp = kCp850[byte - 0x80];
  // The Latin-1 letters (without the multiplication and division signs) and the dotless i.
  return (cp >= 0x00C0 && cp <= 0x00FF && cp != 0x00D7 && cp != 0x00F7) || cp == 0x0131;
}

std::string DecodeShortName(std::span<const std::uint8_t> nameField, bool withExtension) {
  std::string out;
  if (nameField.size() < 11) return out;
  std::array<std::uint8_t, 8> base{};
  for (std::size_t i = 0; i < base.size(); ++i) base[i] = nameField[i];
  bool deleted = false;
  if (base[0] == 0xE5) {
    deleted = true;
  } else if (base[0] == 0x05) {
    base[0] = 0xE5;  // a real first character 0xE5 is stored as 0x05
  }
  if (deleted) {
    out += '!';
    AppendShortPart(out, std::span<const std::uint8_t>(base).subspan(1));
  } else {
    AppendShortPart(out, base);
  }
  if (withExtension && nameField[8] != ' ') {
    out += '.';
    AppendShortPart(out, nameField.subspan(8, 3));
  }
  return out;
}

bool IsFatBootSector(std::span<const std::uint8_t> sector) {
  if (sector.size() < kBpbMinimumSize) return false;
  if (IsBitLockerBootSector(sector)) return false;
  ByteView v(sector);
  const std::uint16_t fat16 = *v.U16LE(kBpbFatSize16);
  const std::uint32_t fatSize = fat16 != 0 ? fat16 : *v.U32LE(kBpbFatSize32);
  const std::uint32_t total32 = *v.U32LE(kBpbTotalSectors32);
  const std::uint16_t total16 = *v.U16LE(kBpbTotalSectors16);
  const std::uint32_t totalSectors = total32 != 0 ? total32 : total16;
  const std::uint16_t bps = *v.U16LE(kBpbBytesPerSector);
  const std::uint8_t spc = *v.U8(kBpbSectorsPerCluster);
  if (!IsSupportedSectorSize(bps) || spc == 0) return false;
  const std::uint8_t fats = *v.U8(kBpbNumberOfFats);
  const std::uint32_t rootDirSectors = (std::uint32_t{*v.U16LE(kBpbRootEntries)} * 32u) / bps;
  // Unsigned 32-bit arithmetic on purpose: a nonsense layout wraps to a huge count and is refused.
  const std::uint32_t clusterCount =
      (totalSectors - rootDirSectors - std::uint32_t{fats} * fatSize - std::uint32_t{*v.U16LE(kBpbReservedSectors)}) /
      spc;
  if (clusterCount >= 0x0FFFFFF0u) return false;
  const bool signature = v.U8(kBootSignature) == 0x55 && v.U8(kBootSignature + 1) == 0xAA;
  const bool fat1216 =
      fats != 0 && (total16 != 0 || total32 != 0) && IsClusterSectorCount(spc) && fat16 >= 1 && signature;
  const bool fat32 = std::memcmp(sector.data() + kBpbFat32TypeString, "FAT32   ", 8) == 0 && fats != 0 &&
                     total32 != 0 && IsClusterSectorCount(spc) && *v.U32LE(kBpbFatSize32) >= 1 && signature;
  return fat1216 || fat32;
}

}  // namespace rexmoor
