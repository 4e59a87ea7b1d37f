// The first FAT of an opened volume as the quick FAT engine reads it: a window of at most
// kFatWindowBytes moved over the table as entries are asked for, the chain rule for deleted data,
// and the cluster use map built from it.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "engine/cluster_use_map.h"
#include "formats/fat_layout.h"
#include "platform/result_codes.h"

namespace rexmoor {

// The cache of the first FAT: one window of at most this many bytes.
inline constexpr std::size_t kFatWindowBytes = 0x1000000;

class FatTable {
 public:
  // Reads count volume sectors at a volume sector; outRead gets the whole sectors that arrived.
  using VolumeReader = std::function<Result(std::uint64_t sector, std::uint32_t count, std::uint8_t* buffer,
                                            std::uint32_t* outRead)>;

  // Sizes the window for the layout (8 when it cannot be had) and loads its first part; a FAT
  // that cannot be read now is tried again entry by entry.
  Result Reset(const FatLayout& layout, std::uint64_t volumeSectors, VolumeReader reader);
  void Release();

  // The entry of a cluster.
  Result ReadEntry(std::uint32_t cluster, std::uint32_t& entry);
  // The cluster after c in a file's data, or 0 when there is none: the FAT's link, else, where
  // the entry was cleared, c + 1 when that cluster's entry is clear too.
  std::uint32_t NextClusterOf(std::uint32_t cluster);
  // Marks every cluster the FAT shows in use (and every cluster a link names). A partial cluster
  // at the end counts, so that the sweep also covers the volume's last sectors.
  Result BuildUseMap(ClusterUseMap& map);

 private:
  Result LoadWindow(std::uint64_t firstFatSector);

  const FatLayout* layout_ = nullptr;
  std::uint64_t volumeSectors_ = 0;
  VolumeReader read_;
  std::vector<std::uint8_t> window_;
  std::uint64_t windowStartSector_ = 0;  // FAT-relative sector of the window's first byte
  std::size_t windowBytes_ = 0;          // bytes of the window that hold FAT data
};

}  // namespace rexmoor
