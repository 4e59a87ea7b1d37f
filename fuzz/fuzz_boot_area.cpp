#include <cstddef>
#include <cstdint>
#include <span>

#include "formats/volume_detect.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> bytes(data, size);
  (void)rexmoor::ClassifyBootArea(bytes);
  (void)rexmoor::IsFatBootSector(bytes);
  (void)rexmoor::IsNtfsBootSector(bytes);
  (void)rexmoor::IsExtSuperblock(bytes);
  return 0;
}
