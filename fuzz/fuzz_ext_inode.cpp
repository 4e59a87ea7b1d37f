#include <cstddef>
#include <cstdint>
#include <span>

#include "formats/ext_layout.h"

// One damaged inode (128 or 256 bytes, or as long as the input) and the extent-tree nodes in it
// and in the input taken as a tree block; the inline data's system.data attribute.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> bytes(data, size);
  for (std::uint32_t inodeSize : {128u, 256u, 1024u}) {
    const auto inode = rexmoor::ParseExtInode(bytes, inodeSize);
    if (!inode) continue;
    (void)rexmoor::ExtInodeHoldsBlocks(*inode);
    const std::span<const std::uint8_t> inlineData = rexmoor::ExtInlineDataXattr(*inode);
    if (!inlineData.empty() && (inlineData.data() < data || inlineData.data() + inlineData.size() > data + size))
      __builtin_trap();
    if (const auto node = rexmoor::ParseExtExtentNode(inode->block))
      if (node->entries.size() > 4 || node->depth > rexmoor::kExtMaxExtentDepth) __builtin_trap();
  }
  if (const auto node = rexmoor::ParseExtExtentNode(bytes)) {
    if (12 + node->entries.size() * 12 > size) __builtin_trap();
    for (const rexmoor::ExtExtentEntry& e : node->entries)
      if (node->depth == 0 && e.length > 32768) __builtin_trap();
  }
  return 0;
}
