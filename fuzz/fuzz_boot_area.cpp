#include <cstddef>
#include <cstdint>
#include <span>

#include "formats/fat_layout.h"
#include "formats/ntfs_record.h"
#include "formats/volume_detect.h"

// The first sectors of a volume: classification, then the FAT and NTFS geometry decoders, whose
// results must describe a volume that can exist.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> bytes(data, size);
  (void)rexmoor::VolumeKindName(rexmoor::ClassifyBootArea(bytes));
  (void)rexmoor::IsFatBootSector(bytes);
  (void)rexmoor::IsNtfsBootSector(bytes);
  (void)rexmoor::IsBitLockerBootSector(bytes);
  (void)rexmoor::IsExtSuperblock(bytes);
  if (size > 1024) (void)rexmoor::IsExtSuperblock(bytes.subspan(1024));

  rexmoor::FatLayout layout;
  if (rexmoor::ParseFatLayout(bytes, layout) == rexmoor::kSuccess) {
    // A layout that passed the checks must keep every cluster it calls valid inside the volume.
    if (layout.ClusterBytes() == 0 || layout.dataAreaSector > layout.totalSectors) __builtin_trap();
    if (layout.maxCluster >= rexmoor::kFirstCluster) {
      auto last = layout.ClusterSector(layout.maxCluster);
      if (!last || *last + layout.sectorsPerCluster > layout.totalSectors) __builtin_trap();
      if (rexmoor::FatEntryOffset(layout.type, layout.maxCluster) + rexmoor::FatEntryWidth(layout.type) >
          layout.FatBytes())
        __builtin_trap();
    }
    if (layout.ClusterSector(layout.maxCluster + 1ull)) __builtin_trap();
    if (layout.IsFat32() && !layout.IsValidCluster(layout.rootCluster)) __builtin_trap();
  }
  if (auto geometry = rexmoor::ParseNtfsGeometry(bytes)) {
    if (geometry->ClusterBytes() == 0 || geometry->recordSize == 0) __builtin_trap();
  }
  return 0;
}
