#include "formats/ext_layout.h"

#include <algorithm>

#include "formats/crc32c.h"
#include "formats/ext_extent_scan.h"
#include "platform/byte_view.h"

namespace rexmoor {

namespace {

// Superblock fields (offset, size).
constexpr std::size_t kSbInodesCount = 0;       // u32
constexpr std::size_t kSbBlocksCountLo = 4;     // u32
constexpr std::size_t kSbFirstDataBlock = 20;   // u32
constexpr std::size_t kSbLogBlockSize = 24;     // u32, block size = 1024 << n
constexpr std::size_t kSbBlocksPerGroup = 32;   // u32
constexpr std::size_t kSbInodesPerGroup = 40;   // u32
constexpr std::size_t kSbMagic = 56;            // u16, 0xEF53
constexpr std::size_t kSbRevLevel = 76;         // u32, 0: 128-byte inodes, first inode 11
constexpr std::size_t kSbFirstIno = 84;         // u32
constexpr std::size_t kSbInodeSize = 88;        // u16
constexpr std::size_t kSbFeatureCompat = 92;    // u32
constexpr std::size_t kSbFeatureIncompat = 96;  // u32
constexpr std::size_t kSbFeatureRoCompat = 100; // u32
constexpr std::size_t kSbUuid = 104;            // 16 bytes
constexpr std::size_t kSbVolumeName = 120;      // 16 bytes
constexpr std::size_t kSbJournalInum = 224;     // u32
constexpr std::size_t kSbDescSize = 254;        // u16, with 64bit
constexpr std::size_t kSbBlocksCountHi = 336;   // u32, with 64bit
constexpr std::size_t kSbChecksumSeed = 624;    // u32, with csum_seed
constexpr std::size_t kSbChecksum = 1020;       // u32, crc32c of the 1020 bytes before it

// Group descriptor fields.
constexpr std::size_t kGdBlockBitmapLo = 0;
constexpr std::size_t kGdInodeBitmapLo = 4;
constexpr std::size_t kGdInodeTableLo = 8;
constexpr std::size_t kGdFlags = 18;
constexpr std::size_t kGdItableUnusedLo = 28;
constexpr std::size_t kGdItableUnusedHi = 50;
constexpr std::size_t kGdBlockBitmapHi = 32;
constexpr std::size_t kGdInodeBitmapHi = 36;
constexpr std::size_t kGdInodeTableHi = 40;

// Inode fields.
constexpr std::size_t kInMode = 0;
constexpr std::size_t kInUidLo = 2;
constexpr std::size_t kInSizeLo = 4;
constexpr std::size_t kInAtime = 8;
constexpr std::size_t kInCtime = 12;
constexpr std::size_t kInMtime = 16;
constexpr std::size_t kInDtime = 20;
constexpr std::size_t kInGidLo = 24;
constexpr std::size_t kInLinks = 26;
constexpr std::size_t kInBlocksLo = 28;
constexpr std::size_t kInFlags = 32;
constexpr std::size_t kInBlock = 40;
constexpr std::size_t kInGeneration = 100;
constexpr std::size_t kInFileAclLo = 104;
constexpr std::size_t kInSizeHi = 108;
constexpr std::size_t kInBlocksHi = 116;
constexpr std::size_t kInFileAclHi = 118;
constexpr std::size_t kInUidHi = 120;
constexpr std::size_t kInGidHi = 122;
constexpr std::size_t kInExtraIsize = 128;
constexpr std::size_t kInCtimeExtra = 132;
constexpr std::size_t kInMtimeExtra = 136;
constexpr std::size_t kInAtimeExtra = 140;
constexpr std::size_t kInCrtime = 144;
constexpr std::size_t kInCrtimeExtra = 148;
constexpr std::size_t kGoodOldInodeSize = 128;

// In-inode extended attributes.
constexpr std::uint32_t kXattrMagic = 0xEA020000;
constexpr std::uint8_t kXattrIndexSystem = 7;

// Incompatible features whose data this reader can follow; any other one is refused.
constexpr std::uint32_t kReadableIncompat =
    kExtIncompatFiletype | kExtIncompatRecover | kExtIncompatMetaBg | kExtIncompatExtents | kExtIncompat64bit |
    kExtIncompatMmp | kExtIncompatFlexBg | kExtIncompatEaInode | kExtIncompatCsumSeed | kExtIncompatLargeDir |
    kExtIncompatInlineData | kExtIncompatCasefold | kExtIncompatDirData;

// Seconds with the two epoch bits of an _extra field (the rest of it is nanoseconds).
std::int64_t WithEpoch(std::uint32_t base, std::uint32_t extra) {
  return static_cast<std::int64_t>(static_cast<std::int32_t>(base)) + (static_cast<std::int64_t>(extra & 3) << 32);
}

bool PlausibleName(std::span<const std::uint8_t> name) {
  if (name.empty()) return false;
  for (std::uint8_t c : name)
    if (c == 0 || c == '/' || c < 0x20 || c == 0x7F) return false;
  if (name.size() == 1 && name[0] == '.') return false;
  if (name.size() == 2 && name[0] == '.' && name[1] == '.') return false;
  return true;
}

}  // namespace

ExtSuperStatus ParseExtSuperblock(std::span<const std::uint8_t> bytes, ExtSuperblock& out) {
  ByteView v(bytes);
  if (!v.Has(0, kExtSuperblockSize) || *v.U16LE(kSbMagic) != 0xEF53) return ExtSuperStatus::NotExt;
  ExtSuperblock sb;
  sb.inodesCount = *v.U32LE(kSbInodesCount);
  sb.firstDataBlock = *v.U32LE(kSbFirstDataBlock);
  const std::uint32_t logBlock = *v.U32LE(kSbLogBlockSize);
  sb.blocksPerGroup = *v.U32LE(kSbBlocksPerGroup);
  sb.inodesPerGroup = *v.U32LE(kSbInodesPerGroup);
  sb.featureCompat = *v.U32LE(kSbFeatureCompat);
  sb.featureIncompat = *v.U32LE(kSbFeatureIncompat);
  sb.featureRoCompat = *v.U32LE(kSbFeatureRoCompat);
  // The block size is whitelisted before anything is computed from it.
  if (logBlock > 6) return ExtSuperStatus::BadGeometry;
  sb.blockSize = 1024u << logBlock;
  sb.blocksCount = *v.U32LE(kSbBlocksCountLo);
  if (sb.Has64Bit()) sb.blocksCount |= std::uint64_t{*v.U32LE(kSbBlocksCountHi)} << 32;
  if (*v.U32LE(kSbRevLevel) != 0) {
    sb.firstInode = *v.U32LE(kSbFirstIno);
    sb.inodeSize = *v.U16LE(kSbInodeSize);
  }
  if (sb.inodeSize < kGoodOldInodeSize || sb.inodeSize > sb.blockSize || (sb.inodeSize & (sb.inodeSize - 1)) != 0)
    return ExtSuperStatus::BadGeometry;
  if (sb.blocksCount == 0 || sb.inodesCount == 0 || sb.blocksPerGroup == 0 || sb.inodesPerGroup == 0 ||
      sb.firstInode <= kExtRootInode || sb.firstInode >= sb.inodesCount)
    return ExtSuperStatus::BadGeometry;
  // A group's bitmap is one block: no more blocks or inodes per group than it has bits.
  if (sb.blocksPerGroup > 8 * sb.blockSize || sb.inodesPerGroup > 8 * sb.blockSize) return ExtSuperStatus::BadGeometry;
  if (sb.firstDataBlock != (sb.blockSize == 1024 ? 1u : 0u) || sb.firstDataBlock >= sb.blocksCount)
    return ExtSuperStatus::BadGeometry;
  const std::uint64_t groups = (sb.blocksCount - sb.firstDataBlock + sb.blocksPerGroup - 1) / sb.blocksPerGroup;
  if (groups == 0 || groups > UINT32_MAX || groups * sb.inodesPerGroup < sb.inodesCount) return ExtSuperStatus::BadGeometry;
  sb.groupCount = static_cast<std::uint32_t>(groups);
  sb.descSize = 32;
  if (sb.Has64Bit()) {
    const std::uint32_t desc = *v.U16LE(kSbDescSize);
    if (desc < 64 || desc > 1024 || (desc & (desc - 1)) != 0) return ExtSuperStatus::BadGeometry;
    sb.descSize = desc;
  }
  sb.journalInode = *v.U32LE(kSbJournalInum);
  std::copy_n(bytes.begin() + kSbUuid, 16, sb.uuid.begin());
  for (std::size_t k = 0; k < 16 && bytes[kSbVolumeName + k] != 0; ++k)
    sb.label.push_back(static_cast<char>(bytes[kSbVolumeName + k]));
  if (sb.HasMetadataCsum()) {
    // A bad checksum is noted, never a reason to refuse: the rest may still be sound.
    sb.checksumOk = Crc32c(~0u, bytes.first(kSbChecksum)) == *v.U32LE(kSbChecksum);
    sb.checksumSeed = (sb.featureIncompat & kExtIncompatCsumSeed) != 0 ? *v.U32LE(kSbChecksumSeed)
                                                                       : Crc32c(~0u, sb.uuid);
  }
  out = sb;
  if ((sb.featureIncompat & ~kReadableIncompat) != 0) return ExtSuperStatus::Unsupported;
  return ExtSuperStatus::Ok;
}

const char* ExtVariantName(const ExtSuperblock& sb) {
  constexpr std::uint32_t kExt4Incompat = kExtIncompatExtents | kExtIncompat64bit | kExtIncompatFlexBg |
                                          kExtIncompatInlineData | kExtIncompatMmp | kExtIncompatCsumSeed |
                                          kExtIncompatLargeDir | kExtIncompatEaInode | kExtIncompatEncrypt |
                                          kExtIncompatCasefold;
  constexpr std::uint32_t kExt4RoCompat = kExtRoCompatHugeFile | kExtRoCompatGdtCsum | kExtRoCompatMetadataCsum |
                                          0x0020 /* dir_nlink */ | 0x0040 /* extra_isize */;
  if ((sb.featureIncompat & kExt4Incompat) != 0 || (sb.featureRoCompat & kExt4RoCompat) != 0) return "EXT4";
  if ((sb.featureCompat & kExtCompatHasJournal) != 0) return "EXT3";
  return "EXT2";
}

std::vector<ExtGroupDesc> ParseExtGroupDescs(std::span<const std::uint8_t> bytes, const ExtSuperblock& sb) {
  std::vector<ExtGroupDesc> out;
  if (sb.descSize == 0) return out;
  const std::size_t count = std::min<std::size_t>(sb.groupCount, bytes.size() / sb.descSize);
  out.reserve(count);
  const bool wide = sb.Has64Bit() && sb.descSize >= 64;
  auto inside = [&sb](std::uint64_t block) { return block != 0 && block < sb.blocksCount ? block : 0; };
  for (std::size_t g = 0; g < count; ++g) {
    ByteView v(bytes.subspan(g * sb.descSize, sb.descSize));
    ExtGroupDesc d;
    d.blockBitmap = *v.U32LE(kGdBlockBitmapLo);
    d.inodeBitmap = *v.U32LE(kGdInodeBitmapLo);
    d.inodeTable = *v.U32LE(kGdInodeTableLo);
    d.flags = *v.U16LE(kGdFlags);
    d.itableUnused = *v.U16LE(kGdItableUnusedLo);
    if (wide) {
      d.blockBitmap |= std::uint64_t{*v.U32LE(kGdBlockBitmapHi)} << 32;
      d.inodeBitmap |= std::uint64_t{*v.U32LE(kGdInodeBitmapHi)} << 32;
      d.inodeTable |= std::uint64_t{*v.U32LE(kGdInodeTableHi)} << 32;
      d.itableUnused |= std::uint32_t{*v.U16LE(kGdItableUnusedHi)} << 16;
    }
    d.blockBitmap = inside(d.blockBitmap);
    d.inodeBitmap = inside(d.inodeBitmap);
    d.inodeTable = inside(d.inodeTable);
    out.push_back(d);
  }
  return out;
}

std::optional<ExtInode> ParseExtInode(std::span<const std::uint8_t> bytes, std::uint32_t inodeSize) {
  if (inodeSize < kGoodOldInodeSize || bytes.size() < inodeSize) return std::nullopt;
  bytes = bytes.first(inodeSize);
  ByteView v(bytes);
  ExtInode n;
  n.mode = *v.U16LE(kInMode);
  n.uid = *v.U16LE(kInUidLo) | (std::uint32_t{*v.U16LE(kInUidHi)} << 16);
  n.gid = *v.U16LE(kInGidLo) | (std::uint32_t{*v.U16LE(kInGidHi)} << 16);
  n.size = *v.U32LE(kInSizeLo) | (std::uint64_t{*v.U32LE(kInSizeHi)} << 32);
  n.dtime = *v.U32LE(kInDtime);
  n.links = *v.U16LE(kInLinks);
  n.blocks = *v.U32LE(kInBlocksLo) | (std::uint64_t{*v.U16LE(kInBlocksHi)} << 32);
  n.flags = *v.U32LE(kInFlags);
  n.generation = *v.U32LE(kInGeneration);
  n.fileAcl = *v.U32LE(kInFileAclLo) | (std::uint64_t{*v.U16LE(kInFileAclHi)} << 32);
  std::copy_n(bytes.begin() + kInBlock, kExtInodeBlockBytes, n.block.begin());
  std::uint32_t extra = 0;
  if (inodeSize > kGoodOldInodeSize) {
    extra = *v.U16LE(kInExtraIsize);
    // An extra size that does not fit the inode is taken as none.
    if (extra > inodeSize - kGoodOldInodeSize || extra % 4 != 0) extra = 0;
  }
  auto field = [&](std::size_t offset) -> std::uint32_t {
    return offset + 4 <= kGoodOldInodeSize + extra ? *v.U32LE(offset) : 0;
  };
  n.atime = WithEpoch(*v.U32LE(kInAtime), field(kInAtimeExtra));
  n.ctime = WithEpoch(*v.U32LE(kInCtime), field(kInCtimeExtra));
  n.mtime = WithEpoch(*v.U32LE(kInMtime), field(kInMtimeExtra));
  n.atimeNs = field(kInAtimeExtra) >> 2;
  n.ctimeNs = field(kInCtimeExtra) >> 2;
  n.mtimeNs = field(kInMtimeExtra) >> 2;
  if (kInCrtime + 4 <= kGoodOldInodeSize + extra) {
    n.hasCrtime = true;
    n.crtime = WithEpoch(field(kInCrtime), field(kInCrtimeExtra));
    n.crtimeNs = field(kInCrtimeExtra) >> 2;
  }
  // Nanoseconds past a second are not nanoseconds: dropped.
  for (std::uint32_t* ns : {&n.atimeNs, &n.ctimeNs, &n.mtimeNs, &n.crtimeNs})
    if (*ns > 999999999) *ns = 0;
  if (inodeSize > kGoodOldInodeSize && extra > 0) n.extraArea = bytes.subspan(kGoodOldInodeSize + extra);
  return n;
}

bool ExtInodeHoldsBlocks(const ExtInode& inode) {
  if (inode.HasInlineData()) return false;
  if (inode.UsesExtents()) {
    const std::optional<ExtentNode> node = ParseExtentNode(inode.block, 0);
    return node && node->header.entries != 0;
  }
  for (std::size_t k = 0; k < 15; ++k)
    if (LoadU32LE(inode.block.data() + 4 * k) != 0) return true;
  return false;
}

std::span<const std::uint8_t> ExtInlineDataXattr(const ExtInode& inode) {
  ByteView area(inode.extraArea);
  if (area.U32LE(0).value_or(0) != kXattrMagic) return {};
  const std::span<const std::uint8_t> entries = area.From(4);
  ByteView e(entries);
  for (std::size_t at = 0; e.Has(at, 16);) {
    const std::uint8_t nameLen = *e.U8(at);
    const std::uint8_t index = *e.U8(at + 1);
    if (nameLen == 0 && index == 0 && *e.U16LE(at + 2) == 0 && *e.U32LE(at + 4) == 0) break;
    const std::uint16_t valueOffset = *e.U16LE(at + 2);
    const std::uint32_t valueInode = *e.U32LE(at + 4);
    const std::uint32_t valueSize = *e.U32LE(at + 8);
    const std::optional<std::span<const std::uint8_t>> name = e.Sub(at + 16, nameLen);
    if (!name) break;
    if (index == kXattrIndexSystem && nameLen == 4 && std::equal(name->begin(), name->end(), "data") &&
        valueInode == 0)
      return e.Sub(valueOffset, valueSize).value_or(std::span<const std::uint8_t>());
    at += (16 + std::size_t{nameLen} + 3) & ~std::size_t{3};
  }
  return {};
}

std::vector<ExtDirEntry> ParseExtDirBlock(std::span<const std::uint8_t> block, std::uint32_t inodesCount,
                                          bool hasFileType) {
  std::vector<ExtDirEntry> out;
  ByteView v(block);
  const std::size_t size = block.size();
  auto recLen = [size](std::uint16_t stored) -> std::size_t {
    // 64 KiB blocks store a whole-block record length as 65535 or 0.
    if (size == 65536 && (stored == 65535 || stored == 0)) return 65536;
    return stored;
  };
  auto header = [&](std::size_t at, std::uint32_t& inode, std::size_t& length, std::size_t& nameLen,
                    std::uint8_t& type) {
    inode = *v.U32LE(at);
    length = recLen(*v.U16LE(at + 4));
    nameLen = hasFileType ? *v.U8(at + 6) : *v.U16LE(at + 6) & 0xFF;
    type = hasFileType ? *v.U8(at + 7) : 0;
  };
  auto take = [&](std::size_t at, std::uint32_t inode, std::size_t nameLen, std::uint8_t type, bool deleted) {
    const std::span<const std::uint8_t> name = block.subspan(at + kExtDirEntryHeader, nameLen);
    if (!PlausibleName(name)) return false;
    ExtDirEntry e;
    e.inode = inode;
    e.fileType = type;
    e.name.assign(name.begin(), name.end());
    e.offset = static_cast<std::uint32_t>(at);
    e.deleted = deleted;
    out.push_back(std::move(e));
    return true;
  };
  for (std::size_t at = 0; v.Has(at, kExtDirEntryHeader);) {
    std::uint32_t inode = 0;
    std::size_t length = 0;
    std::size_t nameLen = 0;
    std::uint8_t type = 0;
    header(at, inode, length, nameLen, type);
    if (length < kExtDirEntryHeader || length % 4 != 0 || length > size - at) break;
    std::size_t used = kExtDirEntryHeader;
    if (nameLen > 0 && nameLen <= length - kExtDirEntryHeader) {
      used = (kExtDirEntryHeader + nameLen + 3) & ~std::size_t{3};
      // An entry with inode 0 is one deleted while first in its block: its name stays, its
      // inode number does not.
      if (inode <= inodesCount) (void)take(at, inode, nameLen, type, inode == 0);
    }
    // The slack behind the entry: entries merged into it when they were deleted, each still
    // whole up to where the next one began.
    const std::size_t end = at + length;
    for (std::size_t p = at + used; p + kExtDirEntryHeader + 1 <= end; p += 4) {
      std::uint32_t oldInode = 0;
      std::size_t oldLength = 0;
      std::size_t oldNameLen = 0;
      std::uint8_t oldType = 0;
      header(p, oldInode, oldLength, oldNameLen, oldType);
      if (oldInode == 0 || oldInode > inodesCount || oldNameLen == 0) continue;
      if (oldLength < kExtDirEntryHeader + oldNameLen || oldLength % 4 != 0 || oldLength > end - p) continue;
      if (hasFileType && (oldType == 0 || oldType > 7)) continue;
      if (take(p, oldInode, oldNameLen, oldType, true))
        p += ((kExtDirEntryHeader + oldNameLen + 3) & ~std::size_t{3}) - 4;
    }
    at = end;
  }
  return out;
}

}  // namespace rexmoor
