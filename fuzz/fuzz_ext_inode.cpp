#include <cstddef>
#include <cstdint>
#include <span>

#include "formats/ext_extent_scan.h"
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
    if (const auto node = rexmoor::ParseExtentNode(inode->block, 0))
      if (node->extents.size() + node->indexes.size() > 4 || node->header.depth > rexmoor::kMaxExtentDepth)
        __builtin_trap();
  }
  if (const auto node = rexmoor::ParseExtentNode(bytes, 1u << 20)) {
    if (12 + (node->extents.size() + node->indexes.size()) * 12 > size) __builtin_trap();
    for (const rexmoor::ExtentEntry& e : node->extents)
      if (e.length > 32768 || e.physical + e.length > (1u << 20)) __builtin_trap();
  }
  return 0;
}
