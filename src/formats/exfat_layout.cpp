#include "formats/exfat_layout.h"

#include <algorithm>
#include <cstring>

#include "platform/byte_view.h"

namespace rexmoor {

namespace {

constexpr std::size_t kBootSignatureOffset = 510;
constexpr std::size_t kPercentInUse = 112;
// The largest cluster exFAT allows: 32 MiB.
constexpr std::uint32_t kMaxClusterShift = 25;

}  // namespace

std::optional<std::uint64_t> ExfatLayout::ClusterSector(std::uint64_t cluster) const {
  if (!IsValidCluster(cluster)) return std::nullopt;
  return std::uint64_t{clusterHeapOffset} + (cluster - kExfatFirstCluster) * sectorsPerCluster;
}

std::uint64_t ExfatLayout::ActiveFatSector() const {
  const bool second = numberOfFats == 2 && (volumeFlags & 1) != 0;
  return std::uint64_t{fatOffset} + (second ? fatLength : 0);
}

bool IsExfatBootSector(std::span<const std::uint8_t> sector) {
  if (sector.size() < 512) return false;
  if (std::memcmp(sector.data() + kExfatFileSystemName, "EXFAT   ", 8) != 0) return false;
  if (sector[kBootSignatureOffset] != 0x55 || sector[kBootSignatureOffset + 1] != 0xAA) return false;
  for (std::size_t i = kExfatMustBeZero; i < kExfatPartitionOffset; ++i)
    if (sector[i] != 0) return false;
  return ParseExfatBootSector(sector).has_value();
}

std::optional<ExfatLayout> ParseExfatBootSector(std::span<const std::uint8_t> sector) {
  if (sector.size() < 512) return std::nullopt;
  if (std::memcmp(sector.data() + kExfatFileSystemName, "EXFAT   ", 8) != 0) return std::nullopt;
  const std::uint8_t* s = sector.data();
  const std::uint32_t sectorShift = s[kExfatBytesPerSectorShift];
  const std::uint32_t clusterShift = s[kExfatSectorsPerClusterShift];
  if (sectorShift < 9 || sectorShift > 12 || clusterShift > kMaxClusterShift - sectorShift) return std::nullopt;
  ExfatLayout l;
  l.bytesPerSector = 1u << sectorShift;
  l.sectorsPerCluster = 1u << clusterShift;
  l.volumeLength = LoadU64LE(s + kExfatVolumeLength);
  l.fatOffset = LoadU32LE(s + kExfatFatOffset);
  l.fatLength = LoadU32LE(s + kExfatFatLength);
  l.numberOfFats = s[kExfatNumberOfFats];
  l.clusterHeapOffset = LoadU32LE(s + kExfatClusterHeapOffset);
  l.clusterCount = LoadU32LE(s + kExfatClusterCount);
  l.rootCluster = LoadU32LE(s + kExfatFirstClusterOfRoot);
  l.volumeSerial = LoadU32LE(s + kExfatVolumeSerial);
  l.volumeFlags = LoadU16LE(s + kExfatVolumeFlags);
  if (l.numberOfFats != 1 && l.numberOfFats != 2) return std::nullopt;
  if (l.clusterCount == 0 || l.clusterCount > kExfatMaxClusterCount) return std::nullopt;
  // The FAT lies after both boot regions, the heap after every FAT, all inside the volume.
  if (l.fatOffset < 2 * kExfatBootRegionSectors || l.fatLength == 0) return std::nullopt;
  const std::uint64_t fatsEnd = std::uint64_t{l.fatOffset} + std::uint64_t{l.fatLength} * l.numberOfFats;
  if (l.clusterHeapOffset < fatsEnd) return std::nullopt;
  const std::uint64_t fatEntries = std::uint64_t{l.fatLength} * l.bytesPerSector / 4;
  if (fatEntries < std::uint64_t{l.clusterCount} + kExfatFirstCluster) return std::nullopt;
  if (l.volumeLength < l.clusterHeapOffset) return std::nullopt;
  if ((l.volumeLength - l.clusterHeapOffset) >> clusterShift < l.clusterCount) return std::nullopt;
  if (!l.IsValidCluster(l.rootCluster)) return std::nullopt;
  return l;
}

std::uint32_t ExfatBootChecksum(std::span<const std::uint8_t> elevenSectors, std::uint32_t bytesPerSector) {
  const std::size_t n = std::min<std::size_t>(elevenSectors.size(), std::size_t{11} * bytesPerSector);
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i == kExfatVolumeFlags || i == kExfatVolumeFlags + 1 || i == kPercentInUse) continue;
    sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + elevenSectors[i];
  }
  return sum;
}

std::optional<ExfatLayout> ParseExfatBootRegion(std::span<const std::uint8_t> region) {
  if (region.size() < 512 || !IsExfatBootSector(region.first(512))) return std::nullopt;
  auto layout = ParseExfatBootSector(region.first(512));
  if (!layout) return std::nullopt;
  const std::size_t bps = layout->bytesPerSector;
  if (region.size() < kExfatBootRegionSectors * bps) return std::nullopt;
  const std::uint32_t sum = ExfatBootChecksum(region.first(11 * bps), layout->bytesPerSector);
  const std::uint8_t* check = region.data() + 11 * bps;
  for (std::size_t i = 0; i < bps; i += 4)
    if (LoadU32LE(check + i) != sum) return std::nullopt;
  return layout;
}

std::optional<ExfatLayout> FindExfatLayout(std::span<const std::uint8_t> bootArea) {
  if (bootArea.size() < 512) return std::nullopt;
  if (auto main = ParseExfatBootRegion(bootArea)) return main;
  // The backup region sits 12 sectors in; its sector size comes from its own boot sector.
  for (std::uint32_t bps = 512; bps <= 4096; bps *= 2) {
    const std::size_t at = std::size_t{kExfatBackupBootSector} * bps;
    if (at >= bootArea.size()) break;
    auto backup = ParseExfatBootRegion(bootArea.subspan(at));
    if (backup && backup->bytesPerSector == bps) {
      backup->fromBackup = true;
      return backup;
    }
  }
  // A region longer than the area cannot be checked; a sound boot sector is all there is to go on.
  if (IsExfatBootSector(bootArea.first(512))) {
    auto layout = ParseExfatBootSector(bootArea.first(512));
    if (layout && std::size_t{kExfatBootRegionSectors} * layout->bytesPerSector > bootArea.size()) return layout;
  }
  return std::nullopt;
}

std::uint32_t ExfatTableChecksum(std::span<const std::uint8_t> bytes) {
  std::uint32_t sum = 0;
  for (std::uint8_t b : bytes) sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + b;
  return sum;
}

bool ExfatUpcase::Load(std::span<const std::uint8_t> table) {
  if (table.size() < 2 || table.size() % 2 != 0) return false;
  std::vector<char16_t> map;
  map.reserve(0x10000);
  const std::size_t units = table.size() / 2;
  for (std::size_t i = 0; i < units && map.size() < 0x10000; ++i) {
    const std::uint16_t v = LoadU16LE(table.data() + 2 * i);
    if (v == 0xFFFF && i + 1 < units) {
      // A run of units that map to themselves.
      const std::size_t run = LoadU16LE(table.data() + 2 * (i + 1));
      ++i;
      for (std::size_t k = 0; k < run && map.size() < 0x10000; ++k) map.push_back(static_cast<char16_t>(map.size()));
      continue;
    }
    map.push_back(static_cast<char16_t>(v));
  }
  // A real table maps at least the ASCII letters.
  if (map.size() < 128 || map[u'a'] != u'A' || map[u'z'] != u'Z') return false;
  map_ = std::move(map);
  return true;
}

char16_t ExfatUpcase::Map(char16_t unit) const {
  if (!map_.empty()) return unit < map_.size() ? map_[unit] : unit;
  return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - 0x20) : unit;
}

}  // namespace rexmoor
