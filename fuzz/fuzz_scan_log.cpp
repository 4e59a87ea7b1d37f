#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "engine/scan_catalogue.h"
#include "engine/scan_log_index.h"

// Scan-log files left by an earlier run, possibly truncated or edited: the index, the folder
// records and the relation text. Whatever parses must format back to the bytes it came from.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> bytes(data, size);
  auto relations = rexmoor::ParseRelations(std::string_view(reinterpret_cast<const char*>(data), size), 1 << 16);
  if (rexmoor::ParseRelations(rexmoor::FormatRelations(relations)) != relations) __builtin_trap();

  const auto folders = rexmoor::ParseFolderInfo(bytes);
  for (const auto& folder : folders) (void)folder.Name();
  const auto folderBytes = rexmoor::FormatFolderInfo(folders);
  if (folderBytes.size() > size || !std::equal(folderBytes.begin(), folderBytes.end(), data)) __builtin_trap();

  const auto index = rexmoor::ParseScanIndex(bytes);
  for (const auto& entry : index.entries) {
    // Paths are stored UTF-16 and read back as UTF-8; a lone surrogate or a missing NUL must not
    // take the read past the field.
    (void)entry.ImagePath();
    (void)entry.FolderPath();
    (void)entry.Resume();
    (void)entry.ResumeValue(99);
  }
  if (!index.entries.empty()) {
    const auto indexBytes = rexmoor::FormatScanIndex(index.scanCounter, index.entries);
    if (indexBytes.size() > size || !std::equal(indexBytes.begin(), indexBytes.end(), data)) __builtin_trap();
  }
  return 0;
}
