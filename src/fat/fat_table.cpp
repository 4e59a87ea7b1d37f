#include "fat/fat_table.h"

#include <algorithm>
#include <new>

namespace rexmoor {

Result FatTable::Reset(const FatLayout& layout, std::uint64_t volumeSectors, VolumeReader reader) {
  Release();
  layout_ = &layout;
  volumeSectors_ = volumeSectors;
  read_ = std::move(reader);
  // The window never needs to be larger than the FAT.
  const std::uint64_t windowBytes = std::min<std::uint64_t>(kFatWindowBytes, layout.FatBytes());
  try {
    window_.assign(static_cast<std::size_t>(windowBytes), 0);
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  (void)LoadWindow(0);
  return kSuccess;
}

void FatTable::Release() {
  window_.clear();
  window_.shrink_to_fit();
  windowBytes_ = 0;
  windowStartSector_ = 0;
}

Result FatTable::LoadWindow(std::uint64_t firstFatSector) {
  windowBytes_ = 0;
  windowStartSector_ = firstFatSector;
  if (layout_ == nullptr || window_.empty() || firstFatSector >= layout_->fatSectors) return kErrInvalidParameter;
  const std::uint64_t absolute = layout_->fatStartSector + firstFatSector;
  if (absolute >= volumeSectors_) return kErrInvalidParameter;
  std::uint64_t count = window_.size() / layout_->bytesPerSector;
  count = std::min(count, layout_->fatSectors - firstFatSector);
  count = std::min(count, volumeSectors_ - absolute);
  std::uint32_t got = 0;
  const Result r = read_(absolute, static_cast<std::uint32_t>(count), window_.data(), &got);
  windowBytes_ = static_cast<std::size_t>(got) * layout_->bytesPerSector;
  if (got == 0) return r != kSuccess ? r : kErrReadFault;
  return kSuccess;
}

Result FatTable::ReadEntry(std::uint32_t cluster, std::uint32_t& entry) {
  entry = 0;
  if (layout_ == nullptr || !read_) return kErrInvalidHandle;
  if (cluster >= layout_->fatEntryCount) return kErrInvalidParameter;
  const std::uint64_t offset = FatEntryOffset(layout_->type, cluster);
  const std::size_t width = FatEntryWidth(layout_->type);
  auto inWindow = [&] {
    const std::uint64_t start = windowStartSector_ * layout_->bytesPerSector;
    return offset >= start && offset - start <= windowBytes_ && width <= windowBytes_ - (offset - start);
  };
  if (!inWindow()) {
    const Result r = LoadWindow(offset / layout_->bytesPerSector);
    if (!inWindow()) return r != kSuccess ? r : kErrReadFault;
  }
  const std::uint64_t at = offset - windowStartSector_ * layout_->bytesPerSector;
  const auto value = DecodeFatEntry(layout_->type, cluster, std::span<const std::uint8_t>(window_.data() + at, width));
  if (!value) return kErrReadFault;
  entry = *value;
  return kSuccess;
}

std::uint32_t FatTable::NextClusterOf(std::uint32_t cluster) {
  std::uint32_t entry = 0;
  if (ReadEntry(cluster, entry) != kSuccess) entry = 0;
  if (entry == 0) {
    // A cleared entry: deleted data is taken to run on into the next cluster while that one is
    // free too.
    const std::uint64_t next = std::uint64_t{cluster} + 1;
    if (!layout_->IsValidCluster(next)) return 0;
    std::uint32_t nextEntry = 0;
    if (ReadEntry(static_cast<std::uint32_t>(next), nextEntry) != kSuccess) nextEntry = 0;
    return nextEntry == 0 ? static_cast<std::uint32_t>(next) : 0;
  }
  if (IsEndOfChain(layout_->type, entry) || !layout_->IsValidCluster(entry)) return 0;
  return entry;
}

Result FatTable::BuildUseMap(ClusterUseMap& map) {
  if (layout_ == nullptr) return kErrInvalidHandle;
  const FatLayout& layout = *layout_;
  const std::uint64_t dataSectors = layout.totalSectors - layout.dataAreaSector;
  std::uint64_t clusters = (dataSectors + layout.sectorsPerCluster - 1) / layout.sectorsPerCluster;
  clusters = std::min<std::uint64_t>(clusters, kFat32MaxClusterNumber);
  if (Result r = map.Reset(clusters, kFirstCluster, layout.dataAreaSector, layout.sectorsPerCluster, volumeSectors_);
      r != kSuccess)
    return r;
  const std::uint64_t last = std::min<std::uint64_t>(layout.maxCluster, clusters + 1);
  for (std::uint64_t i = kFirstCluster; i <= last; ++i) {
    std::uint32_t entry = 0;
    if (ReadEntry(static_cast<std::uint32_t>(i), entry) != kSuccess || entry == 0) continue;
    map.MarkUsed(i);
    // A link names a cluster in use as well; links that name no cluster are ignored.
    if (!IsEndOfChain(layout.type, entry) && layout.IsValidCluster(entry)) map.MarkUsed(entry);
  }
  map.SetBuilt();
  return kSuccess;
}

}  // namespace rexmoor
