// ext2/3/4 on-disk structures as pure functions of bytes: the superblock, the group descriptors,
// inodes and directory blocks (live entries and the
// deleted ones left in the slack of their predecessors' record lengths). Extent-tree nodes are
// decoded by ext_extent_scan.h.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace rexmoor {

// The superblock lies 1024 bytes into the volume and is 1024 bytes long.
inline constexpr std::uint64_t kExtSuperblockOffset = 1024;
inline constexpr std::size_t kExtSuperblockSize = 1024;
inline constexpr std::uint32_t kExtRootInode = 2;
inline constexpr std::size_t kExtInodeBlockBytes = 60;  // i_block: extents, block map or inline data

// Feature bits the engine looks at.
inline constexpr std::uint32_t kExtCompatHasJournal = 0x0004;
inline constexpr std::uint32_t kExtIncompatCompression = 0x0001;
inline constexpr std::uint32_t kExtIncompatFiletype = 0x0002;
inline constexpr std::uint32_t kExtIncompatRecover = 0x0004;
inline constexpr std::uint32_t kExtIncompatJournalDev = 0x0008;
inline constexpr std::uint32_t kExtIncompatMetaBg = 0x0010;
inline constexpr std::uint32_t kExtIncompatExtents = 0x0040;
inline constexpr std::uint32_t kExtIncompat64bit = 0x0080;
inline constexpr std::uint32_t kExtIncompatMmp = 0x0100;
inline constexpr std::uint32_t kExtIncompatFlexBg = 0x0200;
inline constexpr std::uint32_t kExtIncompatEaInode = 0x0400;
inline constexpr std::uint32_t kExtIncompatDirData = 0x1000;
inline constexpr std::uint32_t kExtIncompatCsumSeed = 0x2000;
inline constexpr std::uint32_t kExtIncompatLargeDir = 0x4000;
inline constexpr std::uint32_t kExtIncompatInlineData = 0x8000;
inline constexpr std::uint32_t kExtIncompatEncrypt = 0x10000;
inline constexpr std::uint32_t kExtIncompatCasefold = 0x20000;
inline constexpr std::uint32_t kExtRoCompatHugeFile = 0x0008;
inline constexpr std::uint32_t kExtRoCompatGdtCsum = 0x0010;
inline constexpr std::uint32_t kExtRoCompatMetadataCsum = 0x0400;

// Inode flags.
inline constexpr std::uint32_t kExtFlagHugeFile = 0x40000;
inline constexpr std::uint32_t kExtFlagExtents = 0x80000;
inline constexpr std::uint32_t kExtFlagInlineData = 0x10000000;

// Group-descriptor flags.
inline constexpr std::uint16_t kExtGroupInodeUninit = 0x0001;
inline constexpr std::uint16_t kExtGroupBlockUninit = 0x0002;

// Why a superblock was not taken.
enum class ExtSuperStatus { Ok, NotExt, BadGeometry, Unsupported };

struct ExtSuperblock {
  std::uint32_t inodesCount = 0;
  std::uint64_t blocksCount = 0;
  std::uint32_t firstDataBlock = 0;
  std::uint32_t blockSize = 0;         // 1 KiB .. 64 KiB
  std::uint32_t blocksPerGroup = 0;
  std::uint32_t inodesPerGroup = 0;
  std::uint32_t inodeSize = 128;
  std::uint32_t firstInode = 11;
  std::uint32_t featureCompat = 0;
  std::uint32_t featureIncompat = 0;
  std::uint32_t featureRoCompat = 0;
  std::uint32_t descSize = 32;         // bytes per group descriptor
  std::uint32_t groupCount = 0;
  std::uint32_t journalInode = 0;
  std::uint32_t checksumSeed = 0;      // crc32c seed of the metadata checksums
  bool checksumOk = true;              // the superblock's own crc32c, when it has one
  std::string label;                   // s_volume_name, up to its first NUL
  std::array<std::uint8_t, 16> uuid{};

  bool Has64Bit() const { return (featureIncompat & kExtIncompat64bit) != 0; }
  bool HasMetadataCsum() const { return (featureRoCompat & kExtRoCompatMetadataCsum) != 0; }
  std::uint64_t GroupOfInode(std::uint32_t inode) const { return (inode - 1) / inodesPerGroup; }
};

// Decodes the 1024 bytes of a superblock. Unsupported means a readable ext volume with an
// incompatible feature whose data this parser cannot follow (compression, a journal device, ...).
ExtSuperStatus ParseExtSuperblock(std::span<const std::uint8_t> bytes, ExtSuperblock& out);
// "EXT2", "EXT3" or "EXT4" by the volume's features.
const char* ExtVariantName(const ExtSuperblock& sb);
// The block holding the first group descriptor.
inline std::uint64_t ExtDescriptorBlock(const ExtSuperblock& sb) { return std::uint64_t{sb.firstDataBlock} + 1; }

struct ExtGroupDesc {
  std::uint64_t blockBitmap = 0;
  std::uint64_t inodeBitmap = 0;
  std::uint64_t inodeTable = 0;
  std::uint16_t flags = 0;
  std::uint32_t itableUnused = 0;  // inodes at the table's end never used (with group checksums)
};

// Decodes the descriptors of the first groups held by bytes (at most sb.groupCount). A
// descriptor whose tables lie outside the volume is kept with zeros there (its group is skipped).
std::vector<ExtGroupDesc> ParseExtGroupDescs(std::span<const std::uint8_t> bytes, const ExtSuperblock& sb);

struct ExtInode {
  std::uint16_t mode = 0;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::uint64_t size = 0;
  std::int64_t atime = 0, ctime = 0, mtime = 0, crtime = 0;  // Unix seconds with the extra epoch bits
  std::uint32_t atimeNs = 0, ctimeNs = 0, mtimeNs = 0, crtimeNs = 0;
  bool hasCrtime = false;
  std::uint32_t dtime = 0;
  std::uint16_t links = 0;
  std::uint64_t blocks = 0;  // i_blocks as stored (512-byte units unless HUGE_FILE)
  std::uint32_t flags = 0;
  std::uint32_t generation = 0;
  std::uint64_t fileAcl = 0;
  std::array<std::uint8_t, kExtInodeBlockBytes> block{};
  std::span<const std::uint8_t> extraArea;  // the in-inode xattr area, a view into the bytes parsed

  bool IsDir() const { return (mode & 0xF000) == 0x4000; }
  bool IsRegular() const { return (mode & 0xF000) == 0x8000; }
  bool IsSymlink() const { return (mode & 0xF000) == 0xA000; }
  bool UsesExtents() const { return (flags & kExtFlagExtents) != 0; }
  bool HasInlineData() const { return (flags & kExtFlagInlineData) != 0; }
};

// Decodes one inode of inodeSize bytes (at least 128).
std::optional<ExtInode> ParseExtInode(std::span<const std::uint8_t> bytes, std::uint32_t inodeSize);

// Whether the inode's i_block still says where data lies: an extent header with entries, or a
// non-zero block pointer.
bool ExtInodeHoldsBlocks(const ExtInode& inode);

// The bytes of system.data in an inode's in-inode xattr area (the part of inline data past
// i_block's 60 bytes); empty when there is none.
std::span<const std::uint8_t> ExtInlineDataXattr(const ExtInode& inode);

// --- directories ------------------------------------------------------------------------------

inline constexpr std::size_t kExtDirEntryHeader = 8;

struct ExtDirEntry {
  std::uint32_t inode = 0;
  std::uint8_t fileType = 0;  // 2 folder, 1 regular file, 7 symlink, ...
  std::string name;
  std::uint32_t offset = 0;   // within the block
  bool deleted = false;       // found in slack, or a live-looking entry with inode 0
};

// Walks one directory block (or i_block's inline entries when inlineStart says where they begin):
// the live entries in rec_len order and, in the slack behind each, the old entries a deletion
// merged into it. Entries naming an inode above inodesCount are not taken. The metadata_csum tail
// and htree nodes read as empty entries and give nothing. "." and ".." are left out.
std::vector<ExtDirEntry> ParseExtDirBlock(std::span<const std::uint8_t> block, std::uint32_t inodesCount,
                                          bool hasFileType);

}  // namespace rexmoor
