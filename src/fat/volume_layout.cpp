#include "fat/volume_layout.h"

#include <limits>

#include "formats/fat_layout.h"
#include "formats/sector_size.h"

namespace rexmoor {

std::optional<std::uint64_t> VolumeLayout::ClusterSector(std::uint32_t cluster) const {
  if (cluster == 0) {
    if (DataStart() < rootSectors) return std::nullopt;
    return DataStart() - rootSectors;
  }
  if (cluster < kFirstCluster || sectorsPerCluster == 0) return std::nullopt;
  const std::uint64_t offset = std::uint64_t{cluster - kFirstCluster} * sectorsPerCluster;
  if (offset > std::numeric_limits<std::uint64_t>::max() - DataStart()) return std::nullopt;
  return DataStart() + offset;
}

std::optional<std::uint32_t> VolumeLayout::ClusterStartingAt(std::uint64_t sector) const {
  if (sectorsPerCluster == 0 || sector < DataStart()) return std::nullopt;
  const std::uint64_t relative = sector - DataStart();
  if (relative % sectorsPerCluster != 0) return std::nullopt;
  const std::uint64_t cluster = relative / sectorsPerCluster + kFirstCluster;
  if (cluster > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  return static_cast<std::uint32_t>(cluster);
}

std::optional<std::uint32_t> VolumeLayout::ClusterContaining(std::uint64_t sector) const {
  if (sectorsPerCluster == 0 || sector < DataStart()) return std::nullopt;
  const std::uint64_t cluster = (sector - DataStart()) / sectorsPerCluster + kFirstCluster;
  if (cluster > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  return static_cast<std::uint32_t>(cluster);
}

std::optional<VolumeLayout> InferVolumeLayout(FolderAnchor a, FolderAnchor b, std::uint64_t volumeStart) {
  if (a.cluster == b.cluster || a.cluster < kFirstCluster || b.cluster < kFirstCluster) return std::nullopt;
  // The higher cluster lies at the higher sector.
  const FolderAnchor high = a.cluster > b.cluster ? a : b;
  const FolderAnchor low = a.cluster > b.cluster ? b : a;
  if (high.sector <= low.sector) return std::nullopt;
  const std::uint64_t sectors = high.sector - low.sector;
  const std::uint64_t clusters = high.cluster - low.cluster;
  if (sectors % clusters != 0) return std::nullopt;
  const std::uint64_t spc = sectors / clusters;
  if (spc > 128 || !IsClusterSectorCount(static_cast<std::uint32_t>(spc))) return std::nullopt;
  const std::uint64_t before = spc * (low.cluster - kFirstCluster);
  if (before > low.sector) return std::nullopt;
  const std::uint64_t start = low.sector - before;
  if (start < volumeStart || start - volumeStart > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  VolumeLayout layout;
  layout.sectorsPerCluster = static_cast<std::uint32_t>(spc);
  layout.dataAreaSector = static_cast<std::uint32_t>(start - volumeStart);
  layout.baseSector = volumeStart;
  return layout;
}

}  // namespace rexmoor
