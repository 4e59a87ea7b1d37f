// The sector sizes Rexmoor reads volumes and media in. Geometry outside this set is refused before
// any offset is computed from it; boot-sector detection and decoding use the same set, so that a
// volume is never detected and then refused.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rexmoor {

constexpr bool IsSupportedSectorSize(std::int64_t sectorSize) {
  return sectorSize == 512 || sectorSize == 1024 || sectorSize == 2048 || sectorSize == 4096;
}
inline constexpr std::size_t kMaxSectorSize = 4096;

// Sectors per cluster as boot sectors give them: a power of two up to 128.
constexpr bool IsClusterSectorCount(std::uint32_t value) {
  return value != 0 && value <= 128 && (value & (value - 1)) == 0;
}

}  // namespace rexmoor
