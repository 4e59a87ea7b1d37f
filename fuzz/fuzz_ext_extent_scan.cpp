#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "formats/ext_extent_scan.h"
#include "formats/ext_journal.h"

// Extent nodes in arbitrary bytes. The first 4 bytes give the volume's block count, the rest is a
// buffer of blocks (and its first 60 bytes an inode's extent root). Every extent or child taken
// must lie on the volume, in logical order.
namespace {

void Check(const rexmoor::ExtentNode& node, std::uint64_t volumeBlocks) {
  std::uint64_t next = 0;
  for (const auto& e : node.extents) {
    if (e.length == 0 || e.logical < next || e.physical == 0) __builtin_trap();
    if (volumeBlocks != 0 && (e.physical >= volumeBlocks || e.length > volumeBlocks - e.physical)) __builtin_trap();
    next = std::uint64_t{e.logical} + e.length;
  }
  for (const auto& x : node.indexes)
    if (x.child == 0 || (volumeBlocks != 0 && x.child >= volumeBlocks)) __builtin_trap();
  if (node.header.entries > node.header.max) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  std::uint32_t volumeBlocks = 0;
  std::memcpy(&volumeBlocks, data, 4);
  const std::span<const std::uint8_t> buffer(data + 4, size - 4);
  if (auto root = rexmoor::ParseExtentNode(buffer.first(std::min<std::size_t>(60, buffer.size())), volumeBlocks))
    Check(*root, volumeBlocks);
  (void)rexmoor::InodeMapsData(buffer.first(std::min<std::size_t>(256, buffer.size())));
  for (std::uint32_t blockSize : {1024u, 4096u}) {
    for (std::size_t off : rexmoor::FindExtentBlocks(buffer, blockSize, volumeBlocks)) {
      if (off % blockSize != 0 || buffer.size() - off < blockSize) __builtin_trap();
      const auto block = buffer.subspan(off, blockSize);
      const auto node = rexmoor::ParseExtentBlock(block, volumeBlocks);
      if (!node || node->header.entries == 0) __builtin_trap();
      Check(*node, volumeBlocks);
      if (!rexmoor::ExtentBlockChecksum(block, 0x12345678u, 12, 34)) __builtin_trap();
      (void)rexmoor::ExtentBlockBelongsTo(block, 0x12345678u, 12, 34);
    }
  }
  (void)rexmoor::ExtentBlockChecksum(buffer, 0, 1, 1);
  (void)rexmoor::ExtentBlockBelongsTo(buffer, 0, 1, 1);
  return 0;
}
