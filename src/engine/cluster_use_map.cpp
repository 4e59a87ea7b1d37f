#include "engine/cluster_use_map.h"

#include <algorithm>
#include <new>

namespace rexmoor {

Result ClusterUseMap::Reset(std::uint64_t clusters, std::uint64_t firstCluster, std::uint64_t dataStart,
                            std::uint64_t sectorsPerCluster, std::uint64_t volumeSectors) {
  Clear();
  firstCluster_ = firstCluster;
  dataStart_ = dataStart;
  sectorsPerCluster_ = std::max<std::uint64_t>(1, sectorsPerCluster);
  volumeSectors_ = volumeSectors;
  try {
    bits_.assign(static_cast<std::size_t>((clusters + 7) / 8), 0);
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  clusters_ = clusters;
  return kSuccess;
}

void ClusterUseMap::AssignBits(std::vector<std::uint8_t> bits, std::uint64_t clusters) {
  bits_ = std::move(bits);
  clusters_ = std::min<std::uint64_t>(clusters, std::uint64_t{bits_.size()} * 8);
}

void ClusterUseMap::Clear() {
  bits_.clear();
  clusters_ = 0;
  built_ = false;
}

void ClusterUseMap::MarkUsed(std::uint64_t cluster) {
  if (cluster < firstCluster_) return;
  const std::uint64_t k = cluster - firstCluster_;
  if (k < clusters_) bits_[k / 8] |= static_cast<std::uint8_t>(1u << (k % 8));
}

bool ClusterUseMap::IsUsed(std::uint64_t cluster) const {
  if (!built_ || cluster < firstCluster_) return false;
  const std::uint64_t k = cluster - firstCluster_;
  return k < clusters_ && Bit(k);
}

std::int32_t ClusterUseMap::NextFreeRange(std::uint64_t* start, std::uint64_t* length) const {
  if (start == nullptr || length == nullptr || !built_) return 0;
  *length = 0;
  if (*start >= volumeSectors_) {
    *start = volumeSectors_;
    return 1;
  }
  const std::uint64_t spc = sectorsPerCluster_;
  const std::uint64_t relative = *start > dataStart_ ? *start - dataStart_ : 0;
  std::uint64_t k = relative / spc;
  std::uint64_t within = relative % spc;
  const std::uint64_t from = k;
  while (k < clusters_) {
    if (k % 8 == 0 && bits_[k / 8] == 0xFF) {
      k += 8;
      continue;
    }
    if (!Bit(k)) break;
    ++k;
  }
  if (k != from) within = 0;  // a later run starts at its cluster's first sector
  if (k >= clusters_) {
    *start = std::max(*start, std::min(volumeSectors_, dataStart_ + clusters_ * spc));
    return 1;
  }
  std::uint64_t end = k;
  while (end < clusters_ && !Bit(end)) ++end;
  const std::uint64_t first = dataStart_ + k * spc + within;
  if (first >= volumeSectors_) {
    *start = volumeSectors_;
    return 1;
  }
  *start = first;
  *length = std::min((end - k) * spc - within, volumeSectors_ - first);
  return 1;
}

}  // namespace rexmoor
