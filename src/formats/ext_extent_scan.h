// ext4 extent-tree nodes found by their bytes alone. A deleted file's extent tree is zeroed in its
// inode, but the tree's leaf and index blocks stay in free space; with metadata_csum each block's
// tail checksum names the (inode, generation) it belonged to, which ties a stray leaf to its file.
// All fields are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace rexmoor {

inline constexpr std::uint16_t kExtentMagic = 0xF30A;
inline constexpr std::size_t kExtentHeaderSize = 12;
inline constexpr std::size_t kExtentEntrySize = 12;
inline constexpr std::uint16_t kMaxExtentDepth = 5;
// An extent longer than this is an uninitialised (preallocated) one; its length is ee_len - this.
inline constexpr std::uint16_t kExtentInitMaxLen = 32768;

struct ExtentHeader {
  std::uint16_t entries = 0;
  std::uint16_t max = 0;
  std::uint16_t depth = 0;
  std::uint32_t generation = 0;
};

// One leaf entry: logical blocks [logical, logical + length) lie at [physical, physical + length).
struct ExtentEntry {
  std::uint32_t logical = 0;
  std::uint64_t physical = 0;
  std::uint32_t length = 0;
  bool uninitialized = false;  // allocated but reads as zeros
};

// One index entry: the subtree for logical blocks from `logical` on lies in block `child`.
struct ExtentIndexEntry {
  std::uint32_t logical = 0;
  std::uint64_t child = 0;
};

struct ExtentNode {
  ExtentHeader header;
  std::vector<ExtentEntry> extents;      // depth 0
  std::vector<ExtentIndexEntry> indexes;  // depth > 0
};

// Parses an extent node held in `bytes` (the 60-byte i_block area of an inode, or a whole tree
// block). The node is taken when the magic matches, entries <= max, max fits in the bytes (and, for
// a whole block, equals what the block size gives, as the kernel writes it), depth <= 5, entries
// are sorted by logical block without overlap, no extent is empty, and every physical block lies
// below volumeBlocks (0: not checked). Nothing otherwise.
std::optional<ExtentNode> ParseExtentNode(std::span<const std::uint8_t> bytes, std::uint64_t volumeBlocks);

// The same for one whole file-system block: max must be (blockSize - 12) / 12.
std::optional<ExtentNode> ParseExtentBlock(std::span<const std::uint8_t> block, std::uint64_t volumeBlocks);

// ext4's checksum seed: crc32c(~0, fs uuid), or s_checksum_seed when the csum_seed feature is set.
std::uint32_t ExtChecksumSeed(std::span<const std::uint8_t, 16> fsUuid);

// The tail checksum an extent block of (inode, generation) must carry under metadata_csum:
// crc32c over the header and the `max` entry slots, chained from the per-inode seed
// crc32c(crc32c(fsSeed, inode), generation). Nothing when the block has no valid header.
std::optional<std::uint32_t> ExtentBlockChecksum(std::span<const std::uint8_t> block, std::uint32_t fsSeed,
                                                 std::uint32_t inode, std::uint32_t generation);

// True when the block is an extent block whose stored tail checksum is that of (inode, generation).
bool ExtentBlockBelongsTo(std::span<const std::uint8_t> block, std::uint32_t fsSeed, std::uint32_t inode,
                          std::uint32_t generation);

// Offsets (multiples of blockSize) of the blocks in `buffer` that parse as extent tree blocks.
std::vector<std::size_t> FindExtentBlocks(std::span<const std::uint8_t> buffer, std::uint32_t blockSize,
                                          std::uint64_t volumeBlocks);

}  // namespace rexmoor
