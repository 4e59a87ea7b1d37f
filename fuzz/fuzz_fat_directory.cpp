#include <cstddef>
#include <cstdint>
#include <span>

#include "formats/fat_dir_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> bytes(data, size);
  (void)rexmoor::IsFatDirectorySector(bytes);
  (void)rexmoor::IsPlausibleDirEntry(bytes);
  (void)rexmoor::DecodeFatTimes(bytes);
  return 0;
}
