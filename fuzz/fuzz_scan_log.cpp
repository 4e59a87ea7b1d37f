#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "engine/scan_catalogue.h"
#include "engine/scan_log_index.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> bytes(data, size);
  auto relations = rexmoor::ParseRelations(std::string_view(reinterpret_cast<const char*>(data), size), 1 << 16);
  // What was parsed formats back into text that parses to the same map.
  if (rexmoor::ParseRelations(rexmoor::FormatRelations(relations)) != relations) __builtin_trap();
  (void)rexmoor::ParseFolderInfo(bytes);
  (void)rexmoor::ParseScanIndex(bytes);
  return 0;
}
