// Where the clusters of a FAT volume lie when its boot sector cannot be trusted: the cluster size
// and the sector of cluster 2, either taken from a boot sector or inferred from two sub-folders
// whose first sectors were found on the medium (every sub-folder opens with a "." entry naming
// its own cluster).
#pragma once

#include <cstdint>
#include <optional>

namespace rexmoor {

// Sectors here are absolute on the medium, in the medium's sector size.
struct VolumeLayout {
  std::uint32_t sectorsPerCluster = 0;
  std::uint32_t dataAreaSector = 0;  // cluster 2, counted from baseSector
  std::uint64_t baseSector = 0;      // the volume's first sector
  // Sectors of the FAT12/16 root area in front of cluster 2 (cluster 0 stands for it).
  std::uint32_t rootSectors = 32;
  // Taken from a FAT12/16 boot sector: cluster numbers never have a high word.
  bool narrowClusters = false;

  std::uint64_t DataStart() const { return baseSector + dataAreaSector; }
  // The first sector of a cluster; cluster 0 is the root area. Nothing for cluster 1, or for a
  // cluster whose sector does not fit in 64 bits.
  std::optional<std::uint64_t> ClusterSector(std::uint32_t cluster) const;
  // The cluster that starts exactly at the sector.
  std::optional<std::uint32_t> ClusterStartingAt(std::uint64_t sector) const;
  // The cluster the sector lies in (nothing in front of the data area).
  std::optional<std::uint32_t> ClusterContaining(std::uint64_t sector) const;
  bool SameGeometry(const VolumeLayout& other) const {
    return sectorsPerCluster == other.sectorsPerCluster && dataAreaSector == other.dataAreaSector &&
           baseSector == other.baseSector;
  }
};

// One sub-folder's opening sector: the cluster its "." entry names and where it was found.
struct FolderAnchor {
  std::uint32_t cluster = 0;
  std::uint64_t sector = 0;
};

// The layout under which both anchors lie at their clusters' first sectors, with a cluster size
// of 1 to 128 sectors and cluster 2 at or after volumeStart. Nothing when the anchors name the
// same cluster, disagree in order, or fit no such layout.
std::optional<VolumeLayout> InferVolumeLayout(FolderAnchor a, FolderAnchor b, std::uint64_t volumeStart);

}  // namespace rexmoor
