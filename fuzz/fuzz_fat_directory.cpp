#include <cstddef>
#include <cstdint>
#include <span>

#include "formats/fat_dir_entry.h"
#include "formats/fat_layout.h"

// A directory cluster as found on a damaged volume: every entry decoded as a short entry, a
// long-name part and a name, and the whole judged as a directory sector.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> bytes(data, size);
  (void)rexmoor::IsFatDirectorySector(bytes);
  for (std::size_t at = 0; at < size; at += rexmoor::kDirEntrySize) {
    auto entry = bytes.subspan(at);
    (void)rexmoor::IsPlausibleDirEntry(entry);
    (void)rexmoor::ShortNameHasBadChar(entry);
    (void)rexmoor::IsDotPair(entry);
    (void)rexmoor::DecodeFatTimes(entry);
    (void)rexmoor::DecodeLfnEntry(entry);
    auto decoded = rexmoor::DecodeDirEntry(entry);
    if (!decoded) {
      if (entry.size() >= rexmoor::kDirEntrySize) __builtin_trap();
      break;
    }
    (void)rexmoor::LfnChecksum(std::span<const std::uint8_t, rexmoor::kShortNameLength>(decoded->shortName));
    (void)rexmoor::DecodeShortName(decoded->shortName, true);
    (void)rexmoor::DecodeShortName(entry.first(std::min<std::size_t>(entry.size(), 8)), false);
  }
  // FAT entries of every width over the same bytes, as a chain walk reads them.
  for (rexmoor::FatType type : {rexmoor::FatType::Fat12, rexmoor::FatType::Fat16, rexmoor::FatType::Fat32}) {
    for (std::uint32_t cluster = 0; cluster < 64; ++cluster) {
      const std::uint64_t offset = rexmoor::FatEntryOffset(type, cluster);
      if (offset >= size) break;
      if (auto value = rexmoor::DecodeFatEntry(type, cluster, bytes.subspan(offset)))
        (void)rexmoor::IsEndOfChain(type, *value);
    }
  }
  return 0;
}
