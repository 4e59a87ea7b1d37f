#include "formats/ext_extent_scan.h"

#include <array>

#include "formats/crc32c.h"
#include "platform/byte_view.h"

namespace rexmoor {
namespace {

// Header fields (ext4_extent_header).
constexpr std::size_t kMagicOffset = 0;       // le16 0xF30A
constexpr std::size_t kEntriesOffset = 2;     // le16 entries in use
constexpr std::size_t kMaxOffset = 4;         // le16 entry slots
constexpr std::size_t kDepthOffset = 6;       // le16 0 for a leaf
constexpr std::size_t kGenerationOffset = 8;  // le32
// Leaf entry (ext4_extent): le32 first logical block, le16 length, le16 start high, le32 start low.
// Index entry (ext4_extent_idx): le32 first logical block, le32 child low, le16 child high.

bool ValidBlockSize(std::size_t size) {
  return size >= 1024 && size <= 65536 && (size & (size - 1)) == 0;
}

std::optional<ExtentHeader> ReadHeader(std::span<const std::uint8_t> bytes) {
  const ByteView v(bytes);
  if (v.size() < kExtentHeaderSize || LoadU16LE(bytes.data() + kMagicOffset) != kExtentMagic) return std::nullopt;
  ExtentHeader h;
  h.entries = LoadU16LE(bytes.data() + kEntriesOffset);
  h.max = LoadU16LE(bytes.data() + kMaxOffset);
  h.depth = LoadU16LE(bytes.data() + kDepthOffset);
  h.generation = LoadU32LE(bytes.data() + kGenerationOffset);
  if (h.max == 0 || h.entries > h.max || h.depth > kMaxExtentDepth) return std::nullopt;
  if ((bytes.size() - kExtentHeaderSize) / kExtentEntrySize < h.max) return std::nullopt;
  return h;
}

// A block lies on the volume (block 0 never belongs to a file's tree or data).
bool OnVolume(std::uint64_t start, std::uint64_t count, std::uint64_t volumeBlocks) {
  if (start == 0) return false;
  if (volumeBlocks == 0) return true;
  return start < volumeBlocks && count <= volumeBlocks - start;
}

}  // namespace

std::optional<ExtentNode> ParseExtentNode(std::span<const std::uint8_t> bytes, std::uint64_t volumeBlocks) {
  const auto header = ReadHeader(bytes);
  if (!header) return std::nullopt;
  ExtentNode node;
  node.header = *header;
  std::uint64_t nextLogical = 0;  // entries must start at or after the end of the one before
  for (std::uint16_t i = 0; i < header->entries; ++i) {
    const std::uint8_t* e = bytes.data() + kExtentHeaderSize + i * kExtentEntrySize;
    const std::uint32_t logical = LoadU32LE(e);
    if (logical < nextLogical) return std::nullopt;
    if (header->depth == 0) {
      const std::uint16_t rawLength = LoadU16LE(e + 4);
      if (rawLength == 0) return std::nullopt;
      ExtentEntry x;
      x.logical = logical;
      x.uninitialized = rawLength > kExtentInitMaxLen;
      x.length = x.uninitialized ? rawLength - kExtentInitMaxLen : rawLength;
      x.physical = (static_cast<std::uint64_t>(LoadU16LE(e + 6)) << 32) | LoadU32LE(e + 8);
      if (!OnVolume(x.physical, x.length, volumeBlocks)) return std::nullopt;
      nextLogical = static_cast<std::uint64_t>(logical) + x.length;
      if (nextLogical > (std::uint64_t{1} << 32)) return std::nullopt;
      node.extents.push_back(x);
    } else {
      ExtentIndexEntry x;
      x.logical = logical;
      x.child = (static_cast<std::uint64_t>(LoadU16LE(e + 8)) << 32) | LoadU32LE(e + 4);
      if (!OnVolume(x.child, 1, volumeBlocks)) return std::nullopt;
      nextLogical = static_cast<std::uint64_t>(logical) + 1;
      node.indexes.push_back(x);
    }
  }
  return node;
}

std::optional<ExtentNode> ParseExtentBlock(std::span<const std::uint8_t> block, std::uint64_t volumeBlocks) {
  if (!ValidBlockSize(block.size())) return std::nullopt;
  const auto header = ReadHeader(block);
  // The kernel gives a tree block all the slots that fit; an empty one is never left behind.
  if (!header || header->max != (block.size() - kExtentHeaderSize) / kExtentEntrySize || header->entries == 0)
    return std::nullopt;
  return ParseExtentNode(block, volumeBlocks);
}

std::uint32_t ExtChecksumSeed(std::span<const std::uint8_t, 16> fsUuid) { return Crc32c(~0u, fsUuid); }

std::optional<std::uint32_t> ExtentBlockChecksum(std::span<const std::uint8_t> block, std::uint32_t fsSeed,
                                                 std::uint32_t inode, std::uint32_t generation) {
  const auto header = ReadHeader(block);
  if (!header) return std::nullopt;
  // The tail (le32 checksum) follows the last slot; it must fit in the block too.
  const std::size_t tail = kExtentHeaderSize + std::size_t{header->max} * kExtentEntrySize;
  if (!ByteView(block).Has(tail, 4)) return std::nullopt;
  std::array<std::uint8_t, 4> le{};
  auto put = [&le](std::uint32_t x) {
    for (int i = 0; i < 4; ++i) le[i] = static_cast<std::uint8_t>(x >> (8 * i));
    return std::span<const std::uint8_t>(le);
  };
  std::uint32_t crc = Crc32c(fsSeed, put(inode));
  crc = Crc32c(crc, put(generation));
  return Crc32c(crc, block.first(tail));
}

bool ExtentBlockBelongsTo(std::span<const std::uint8_t> block, std::uint32_t fsSeed, std::uint32_t inode,
                          std::uint32_t generation) {
  const auto expected = ExtentBlockChecksum(block, fsSeed, inode, generation);
  if (!expected) return false;
  const std::size_t tail = kExtentHeaderSize + std::size_t{LoadU16LE(block.data() + kMaxOffset)} * kExtentEntrySize;
  return LoadU32LE(block.data() + tail) == *expected;
}

std::vector<std::size_t> FindExtentBlocks(std::span<const std::uint8_t> buffer, std::uint32_t blockSize,
                                          std::uint64_t volumeBlocks) {
  std::vector<std::size_t> found;
  if (!ValidBlockSize(blockSize)) return found;
  for (std::size_t off = 0; buffer.size() - off >= blockSize; off += blockSize) {
    const std::uint8_t* p = buffer.data() + off;
    if (p[0] != (kExtentMagic & 0xFF) || p[1] != (kExtentMagic >> 8)) continue;  // the usual case: one compare
    if (ParseExtentBlock(buffer.subspan(off, blockSize), volumeBlocks)) found.push_back(off);
  }
  return found;
}

}  // namespace rexmoor
