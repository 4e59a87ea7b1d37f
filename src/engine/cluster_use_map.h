// Which clusters of a volume are in use, one bit per cluster, and the runs of free sectors the
// deep scan sweeps (an engine's GetNextFreeRange).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/result_codes.h"

namespace rexmoor {

class ClusterUseMap {
 public:
  // Bit k stands for cluster firstCluster + k, whose first sector is dataStart + k * sectorsPerCluster
  // (volume sectors); volumeSectors bounds every range handed out. 8 when the map cannot be had.
  Result Reset(std::uint64_t clusters, std::uint64_t firstCluster, std::uint64_t dataStart,
               std::uint64_t sectorsPerCluster, std::uint64_t volumeSectors);
  // Takes the bits as read from the volume (bit k of byte k / 8); clusters beyond them count free.
  void AssignBits(std::vector<std::uint8_t> bits, std::uint64_t clusters);
  void Clear();

  void MarkUsed(std::uint64_t cluster);
  bool IsUsed(std::uint64_t cluster) const;
  bool Built() const { return built_; }
  void SetBuilt() { built_ = true; }
  std::uint64_t Clusters() const { return clusters_; }

  // The first run of free sectors at or after *start: *start and *length get it (length 0 and
  // *start at the end when there is none). 0 before the map was built, else 1.
  std::int32_t NextFreeRange(std::uint64_t* start, std::uint64_t* length) const;

 private:
  bool Bit(std::uint64_t k) const { return (bits_[k / 8] & (1u << (k % 8))) != 0; }

  std::vector<std::uint8_t> bits_;
  std::uint64_t clusters_ = 0;
  std::uint64_t firstCluster_ = 0;
  std::uint64_t dataStart_ = 0;
  std::uint64_t sectorsPerCluster_ = 1;
  std::uint64_t volumeSectors_ = 0;
  bool built_ = false;
};

}  // namespace rexmoor
