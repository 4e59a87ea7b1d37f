#include "ext/fast_ext_recovery.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "engine/file_digest.h"
#include "formats/crc32c.h"
#include "platform/byte_view.h"

namespace rexmoor {

namespace {

// A file's data is read in pieces of this size (or one block, when blocks are larger).
constexpr std::uint64_t kDataPieceBytes = 1 << 20;
// Group descriptors of more bytes than this are not read.
constexpr std::uint64_t kMaxDescriptorBytes = 64ull << 20;
// No file is taken to have more pieces than this.
constexpr std::size_t kMaxPieces = 1u << 20;
// The engine reads in 512-byte sectors; every block size is a multiple of it.
constexpr std::uint32_t kExtSectorBytes = 512;
// Free space read looking for extent-tree blocks, and the blocks kept.
constexpr std::uint64_t kMaxLeafScanBytes = 256ull << 20;
constexpr std::size_t kMaxFreeLeaves = 16384;
constexpr std::size_t kExtMaxBlockSize = 65536;

// Pieces in file order, none over another: the first claim on a file block holds.
std::vector<CFastExtRecovery::Piece> InFileOrder(std::vector<CFastExtRecovery::Piece> pieces) {
  using Piece = CFastExtRecovery::Piece;
  std::stable_sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) { return a.logical < b.logical; });
  std::vector<Piece> kept;
  std::uint64_t next = 0;
  for (Piece p : pieces) {
    if (p.logical + p.length <= next) continue;
    if (p.logical < next) {
      const std::uint64_t skip = next - p.logical;
      p.logical += skip;
      p.physical += skip;
      p.length -= static_cast<std::uint32_t>(skip);
    }
    next = p.logical + p.length;
    kept.push_back(p);
  }
  return kept;
}

}  // namespace

CFastExtRecovery::CFastExtRecovery() = default;
CFastExtRecovery::~CFastExtRecovery() = default;

void CFastExtRecovery::ReleaseVolume() {
  groups_.clear();
  blockBitmap_.clear();
  inodeBitmap_.clear();
  bitmapBlocks_ = 0;
  tableBlock_.clear();
  tableBlockNumber_ = UINT64_MAX;
  journalPieces_.clear();
  journal_.reset();
  journalTried_ = false;
  copiesBlock_ = UINT64_MAX;
  copies_.clear();
  freeLeaves_.clear();
  extentBlocksIndexed_ = false;
  useMap_.Clear();
}

// --- opening --------------------------------------------------------------------------------------

Result CFastExtRecovery::Scan(const char* logName) {
  if (logName == nullptr && !IsOpen() && openError_ != kSuccess) return openError_;
  return CVolumeRecoveryBase::Scan(logName);
}

Result CFastExtRecovery::Prepare(const VolumeOpening& volume) {
  openError_ = PrepareVolume(volume);
  return openError_;
}

Result CFastExtRecovery::PrepareVolume(const VolumeOpening& volume) {
  ExtSuperblock sb;
  const std::span<const std::uint8_t> boot(volume.boot);
  switch (ParseExtSuperblock(boot.subspan(kExtSuperblockOffset, kExtSuperblockSize), sb)) {
    case ExtSuperStatus::Ok: break;
    // An ext volume with a feature whose data cannot be followed (compression, an external
    // journal device, meta_bg, encryption) is named as such rather than read wrongly.
    case ExtSuperStatus::Unsupported: return kErrNotSupported;
    default: return kErrInvalidParameter;
  }
  if (Result r = PlaceVolume(kExtSectorBytes, volume); r != kSuccess) return r;
  sb_ = sb;
  const std::uint64_t descBytes = std::uint64_t{sb_.groupCount} * sb_.descSize;
  if (descBytes > kMaxDescriptorBytes) return kErrInvalidParameter;
  std::vector<std::uint8_t> descs;
  try {
    descs.assign(static_cast<std::size_t>((descBytes + sb_.blockSize - 1) / sb_.blockSize * sb_.blockSize), 0);
    tableBlock_.assign(sb_.blockSize, 0);
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  MarkOpen();
  std::uint32_t got = 0;
  (void)ReadBlocks(ExtDescriptorBlock(sb_), static_cast<std::uint32_t>(descs.size() / sb_.blockSize), descs.data(),
                   &got);
  if (got == 0) {
    Reset();
    return kErrReadFault;
  }
  descs.resize(std::uint64_t{got} * sb_.blockSize);
  groups_ = ParseExtGroupDescs(descs, sb_);
  tableBlockNumber_ = UINT64_MAX;
  LoadBitmaps();
  return kSuccess;
}

Result CFastExtRecovery::ReadBlocks(std::uint64_t block, std::uint32_t count, std::uint8_t* buffer,
                                    std::uint32_t* got) {
  if (got != nullptr) *got = 0;
  if (block >= sb_.blocksCount || count > sb_.blocksCount - block) return kErrInvalidParameter;
  const std::uint32_t perBlock = sb_.blockSize / kExtSectorBytes;
  std::uint32_t sectors = 0;
  const Result r = ReadVolume(SectorOfBlock(block), count * perBlock, buffer, &sectors);
  if (got != nullptr) *got = sectors / perBlock;
  return r;
}

void CFastExtRecovery::LoadBitmaps() {
  blockBitmap_.clear();
  inodeBitmap_.clear();
  bitmapBlocks_ = 0;
  const std::uint64_t blocks = sb_.blocksCount - sb_.firstDataBlock;
  if (sb_.blocksPerGroup % 8 != 0 || sb_.inodesPerGroup % 8 != 0 || groups_.size() != sb_.groupCount) return;
  if ((blocks + 7) / 8 > kExtMaxBitmapBytes || (std::uint64_t{sb_.inodesCount} + 7) / 8 > kExtMaxBitmapBytes) return;
  std::vector<std::uint8_t> blockBits;
  std::vector<std::uint8_t> inodeBits;
  std::vector<std::uint8_t> one;
  try {
    blockBits.assign(static_cast<std::size_t>(std::uint64_t{sb_.groupCount} * sb_.blocksPerGroup / 8), 0);
    inodeBits.assign(static_cast<std::size_t>(std::uint64_t{sb_.groupCount} * sb_.inodesPerGroup / 8), 0);
    one.assign(sb_.blockSize, 0);
  } catch (const std::bad_alloc&) {
    return;
  }
  const bool groupChecksums = (sb_.featureRoCompat & (kExtRoCompatGdtCsum | kExtRoCompatMetadataCsum)) != 0;
  for (std::size_t g = 0; g < groups_.size(); ++g) {
    const ExtGroupDesc& d = groups_[g];
    // An uninitialised bitmap was never written: its group's blocks (or inodes) are free.
    if (d.blockBitmap != 0 && !(groupChecksums && (d.flags & kExtGroupBlockUninit) != 0)) {
      std::uint32_t got = 0;
      if (ReadBlocks(d.blockBitmap, 1, one.data(), &got) != kSuccess || got != 1) return;
      std::memcpy(blockBits.data() + g * (sb_.blocksPerGroup / 8), one.data(), sb_.blocksPerGroup / 8);
    }
    if (d.inodeBitmap != 0 && !(groupChecksums && (d.flags & kExtGroupInodeUninit) != 0)) {
      std::uint32_t got = 0;
      if (ReadBlocks(d.inodeBitmap, 1, one.data(), &got) != kSuccess || got != 1) return;
      std::memcpy(inodeBits.data() + g * (sb_.inodesPerGroup / 8), one.data(), sb_.inodesPerGroup / 8);
    }
  }
  blockBitmap_ = std::move(blockBits);
  inodeBitmap_ = std::move(inodeBits);
  bitmapBlocks_ = blocks;
}

bool CFastExtRecovery::BlockInUse(std::uint64_t block) const {
  if (block < sb_.firstDataBlock) return true;
  const std::uint64_t k = block - sb_.firstDataBlock;
  return k < bitmapBlocks_ && (blockBitmap_[k / 8] & (1u << (k % 8))) != 0;
}

bool CFastExtRecovery::InodeInUse(std::uint32_t inode) const {
  if (inode == 0) return false;
  // Without the bitmaps the inode's own link count and deletion time decide.
  if (inodeBitmap_.empty()) return true;
  const std::uint64_t k = inode - 1;
  return k / 8 < inodeBitmap_.size() && (inodeBitmap_[k / 8] & (1u << (k % 8))) != 0;
}

// --- inodes -----------------------------------------------------------------------------------------

bool CFastExtRecovery::InodeLocation(std::uint32_t inode, std::uint64_t& block, std::uint32_t& offset) const {
  if (!IsOpen() || inode == 0 || inode > sb_.inodesCount) return false;
  const std::uint64_t group = (inode - 1) / sb_.inodesPerGroup;
  if (group >= groups_.size() || groups_[group].inodeTable == 0) return false;
  const std::uint64_t at = std::uint64_t{(inode - 1) % sb_.inodesPerGroup} * sb_.inodeSize;
  block = groups_[group].inodeTable + at / sb_.blockSize;
  offset = static_cast<std::uint32_t>(at % sb_.blockSize);
  return block < sb_.blocksCount;
}

bool CFastExtRecovery::ReadRawInode(std::uint32_t inode, std::vector<std::uint8_t>& out, std::uint64_t* byteOffset) {
  std::uint64_t block = 0;
  std::uint32_t offset = 0;
  if (!InodeLocation(inode, block, offset)) return false;
  if (block != tableBlockNumber_) {
    std::uint32_t got = 0;
    tableBlockNumber_ = UINT64_MAX;
    if (ReadBlocks(block, 1, tableBlock_.data(), &got) != kSuccess || got != 1) return false;
    tableBlockNumber_ = block;
  }
  out.assign(tableBlock_.begin() + static_cast<std::ptrdiff_t>(offset),
             tableBlock_.begin() + static_cast<std::ptrdiff_t>(offset + sb_.inodeSize));
  if (byteOffset != nullptr) *byteOffset = block * sb_.blockSize + offset;
  return true;
}

std::optional<ExtInode> CFastExtRecovery::ReadInode(std::uint32_t inode) {
  std::vector<std::uint8_t> raw;
  if (!ReadRawInode(inode, raw)) return std::nullopt;
  std::optional<ExtInode> parsed = ParseExtInode(raw, sb_.inodeSize);
  // The extra area is a view into raw, which goes out of scope here.
  if (parsed) parsed->extraArea = {};
  return parsed;
}

// --- block maps -------------------------------------------------------------------------------------

std::vector<CFastExtRecovery::Piece> CFastExtRecovery::MapInode(const ExtInode& inode, std::uint64_t maxBlocks) {
  std::vector<Piece> out;
  if (inode.HasInlineData() || maxBlocks == 0) return out;
  if (inode.UsesExtents()) {
    const std::optional<ExtentNode> root = ParseExtentNode(inode.block, sb_.blocksCount);
    if (!root) return out;
    // A sound tree has fewer nodes than the volume has blocks.
    std::uint32_t nodesLeft = static_cast<std::uint32_t>(std::min<std::uint64_t>(kExtMaxMapBlocks, sb_.blocksCount));
    WalkExtentNode(*root, maxBlocks, nodesLeft, out);
  } else {
    std::uint64_t logical = 0;
    std::uint32_t blocksLeft = static_cast<std::uint32_t>(std::min<std::uint64_t>(kExtMaxMapBlocks, sb_.blocksCount));
    for (std::size_t k = 0; k < 12 && logical < maxBlocks; ++k, ++logical) {
      const std::uint32_t block = LoadU32LE(inode.block.data() + 4 * k);
      if (block == 0 || block >= sb_.blocksCount) continue;
      if (!out.empty() && out.back().logical + out.back().length == logical &&
          out.back().physical + out.back().length == block && !out.back().zeros) {
        ++out.back().length;
      } else {
        out.push_back(Piece{logical, block, 1, false});
      }
    }
    for (std::uint32_t level = 1; level <= 3 && logical < maxBlocks; ++level)
      WalkIndirect(LoadU32LE(inode.block.data() + 4 * (11 + level)), level, logical, maxBlocks, blocksLeft, out);
  }
  return InFileOrder(std::move(out));
}

void CFastExtRecovery::WalkExtentNode(const ExtentNode& node, std::uint64_t maxBlocks, std::uint32_t& nodesLeft,
                                      std::vector<Piece>& out) {
  // The parser has put every extent and child on the volume, in order.
  for (const ExtentEntry& e : node.extents) {
    if (out.size() >= kMaxPieces) return;
    if (e.logical >= maxBlocks) continue;
    const std::uint64_t length = std::min<std::uint64_t>(e.length, maxBlocks - e.logical);
    out.push_back(Piece{e.logical, e.physical, static_cast<std::uint32_t>(length), e.uninitialized});
  }
  std::vector<std::uint8_t> child;
  for (const ExtentIndexEntry& e : node.indexes) {
    if (e.logical >= maxBlocks || nodesLeft == 0 || out.size() >= kMaxPieces) return;
    --nodesLeft;
    child.assign(sb_.blockSize, 0);
    std::uint32_t got = 0;
    if (ReadBlocks(e.child, 1, child.data(), &got) != kSuccess || got != 1) continue;
    // Each level down is one shallower: a child that says otherwise (a loop) is not followed.
    const std::optional<ExtentNode> next = ParseExtentBlock(child, sb_.blocksCount);
    if (next && next->header.depth + 1 == node.header.depth) WalkExtentNode(*next, maxBlocks, nodesLeft, out);
  }
}

void CFastExtRecovery::WalkIndirect(std::uint64_t block, std::uint32_t level, std::uint64_t& logical,
                                    std::uint64_t maxBlocks, std::uint32_t& blocksLeft, std::vector<Piece>& out) {
  const std::uint64_t perBlock = sb_.blockSize / 4;
  std::uint64_t span = 1;
  for (std::uint32_t k = 0; k < level; ++k) span *= perBlock;
  if (block == 0 || block >= sb_.blocksCount || blocksLeft == 0) {
    // A hole (or a pointer that leads nowhere) covers everything below it.
    logical += span;
    return;
  }
  --blocksLeft;
  std::vector<std::uint8_t> pointers(sb_.blockSize);
  std::uint32_t got = 0;
  if (ReadBlocks(block, 1, pointers.data(), &got) != kSuccess || got != 1) {
    logical += span;
    return;
  }
  for (std::uint64_t k = 0; k < perBlock && logical < maxBlocks && out.size() < kMaxPieces; ++k) {
    const std::uint32_t target = LoadU32LE(pointers.data() + 4 * k);
    if (level > 1) {
      WalkIndirect(target, level - 1, logical, maxBlocks, blocksLeft, out);
      continue;
    }
    if (target != 0 && target < sb_.blocksCount && out.size() < kMaxPieces) {
      if (!out.empty() && out.back().logical + out.back().length == logical &&
          out.back().physical + out.back().length == target) {
        ++out.back().length;
      } else {
        out.push_back(Piece{logical, target, 1, false});
      }
    }
    ++logical;
  }
}

CFastExtRecovery::InodeData CFastExtRecovery::DataOf(std::uint32_t inode, const ExtInode& now, bool live) {
  InodeData data;
  data.inode = now;
  const auto blocksFor = [this](const ExtInode& n) { return (n.size + sb_.blockSize - 1) / sb_.blockSize; };
  if (now.HasInlineData() || (live && now.size == 0)) {
    data.source = ExtDataSource::Inode;
    return data;
  }
  if (ExtInodeHoldsBlocks(now)) {
    data.pieces = MapInode(now, blocksFor(now));
    if (!data.pieces.empty()) data.source = ExtDataSource::Inode;
    return data;
  }
  if (live) return data;
  if (std::optional<ExtInode> older = OlderInodeCopy(inode, now)) {
    data.inode = *older;
    data.pieces = MapInode(*older, blocksFor(*older));
    if (!data.pieces.empty()) {
      data.source = ExtDataSource::Journal;
      return data;
    }
  }
  data.inode = now;
  data.pieces = LeafPieces(inode, now.generation);
  if (!data.pieces.empty()) {
    // The deleted inode's size is gone: the file ends with its last block.
    data.inode.size = (data.pieces.back().logical + data.pieces.back().length) * sb_.blockSize;
    data.source = ExtDataSource::ExtentLeaf;
  }
  return data;
}

void CFastExtRecovery::IndexFreeExtentBlocks() {
  extentBlocksIndexed_ = true;
  freeLeaves_.clear();
  // A whole tree block's slots fill it up to its checksum.
  leafCoveredBytes_ = static_cast<std::uint32_t>(kExtentHeaderSize + (sb_.blockSize - kExtentHeaderSize) /
                                                                          kExtentEntrySize * kExtentEntrySize);
  if (!sb_.HasMetadataCsum() || bitmapBlocks_ == 0) return;
  std::vector<std::uint8_t> buffer;
  try {
    buffer.resize(static_cast<std::size_t>(std::max<std::uint64_t>(kDataPieceBytes, sb_.blockSize)));
  } catch (const std::bad_alloc&) {
    return;
  }
  const std::uint64_t chunk = buffer.size() / sb_.blockSize;
  std::uint64_t budget = kMaxLeafScanBytes / sb_.blockSize;
  std::size_t piecesKept = 0;
  for (std::uint64_t b = sb_.firstDataBlock; b < sb_.blocksCount && budget > 0;) {
    const std::uint64_t k = b - sb_.firstDataBlock;
    // Whole bytes of used blocks are passed over at once.
    if (k % 8 == 0 && k / 8 < blockBitmap_.size() && blockBitmap_[k / 8] == 0xFF) {
      b += 8;
      continue;
    }
    if (BlockInUse(b)) {
      ++b;
      continue;
    }
    std::uint64_t n = 1;
    while (n < chunk && n < budget && b + n < sb_.blocksCount && !BlockInUse(b + n)) ++n;
    std::uint32_t got = 0;
    (void)ReadBlocks(b, static_cast<std::uint32_t>(n), buffer.data(), &got);
    const auto read = std::span<const std::uint8_t>(buffer).first(std::size_t{got} * sb_.blockSize);
    for (std::size_t at : FindExtentBlocks(read, sb_.blockSize, sb_.blocksCount)) {
      if (freeLeaves_.size() >= kMaxFreeLeaves || piecesKept >= kMaxPieces) return;
      const std::span<const std::uint8_t> block = read.subspan(at, sb_.blockSize);
      // Leaves hold the extents; an index block of the same tree leads only to them.
      const std::optional<ExtentNode> node = ParseExtentBlock(block, sb_.blocksCount);
      if (!node || node->header.depth != 0 || leafCoveredBytes_ + 4 > block.size()) continue;
      FreeLeaf leaf;
      leaf.stored = LoadU32LE(block.data() + leafCoveredBytes_);
      leaf.coveredCrc = Crc32c(0, block.first(leafCoveredBytes_));
      for (const ExtentEntry& x : node->extents) leaf.pieces.push_back(Piece{x.logical, x.physical, x.length, x.uninitialized});
      piecesKept += leaf.pieces.size();
      freeLeaves_.push_back(std::move(leaf));
    }
    budget -= n;
    b += n;
  }
}

std::vector<CFastExtRecovery::Piece> CFastExtRecovery::LeafPieces(std::uint32_t inode, std::uint32_t generation) {
  std::vector<Piece> out;
  if (!sb_.HasMetadataCsum()) return out;
  if (!extentBlocksIndexed_) IndexFreeExtentBlocks();
  if (freeLeaves_.empty()) return out;
  // The inode's seed, then as many zeros as a leaf's checksum covers.
  std::array<std::uint8_t, 8> seedBytes{};
  for (int k = 0; k < 4; ++k) {
    seedBytes[k] = static_cast<std::uint8_t>(inode >> (8 * k));
    seedBytes[4 + k] = static_cast<std::uint8_t>(generation >> (8 * k));
  }
  const std::uint32_t seed = Crc32c(sb_.checksumSeed, seedBytes);
  static const std::vector<std::uint8_t> zeros(kExtMaxBlockSize, 0);
  const std::uint32_t shifted = Crc32c(seed, std::span(zeros).first(leafCoveredBytes_));
  for (const FreeLeaf& leaf : freeLeaves_) {
    if (leaf.stored != (shifted ^ leaf.coveredCrc)) continue;
    for (const Piece& p : leaf.pieces)
      if (out.size() < kMaxPieces) out.push_back(p);
  }
  return InFileOrder(std::move(out));
}

std::optional<ExtInode> CFastExtRecovery::OlderCopyBeforeReuse(std::uint32_t inode, std::uint32_t generationNow,
                                                               bool folder) {
  const JournalIndex* journal = Journal();
  std::uint64_t block = 0;
  std::uint32_t offset = 0;
  if (journal == nullptr || !InodeLocation(inode, block, offset)) return std::nullopt;
  if (block != copiesBlock_) {
    copies_ = JournalBlockCopies(*journal, journalReader_, block);
    copiesBlock_ = block;
  }
  for (const JournalBlockContent& copy : copies_) {
    if (copy.bytes.size() != sb_.blockSize) continue;
    std::optional<ExtInode> parsed =
        ParseExtInode(std::span(copy.bytes).subspan(offset, sb_.inodeSize), sb_.inodeSize);
    if (!parsed || parsed->generation == generationNow || (folder ? !parsed->IsDir() : !parsed->IsRegular()) ||
        !ExtInodeHoldsBlocks(*parsed))
      continue;
    parsed->extraArea = {};
    return parsed;
  }
  return std::nullopt;
}

const JournalIndex* CFastExtRecovery::Journal() {
  if (journalTried_) return journal_ ? &*journal_ : nullptr;
  journalTried_ = true;
  if ((sb_.featureCompat & kExtCompatHasJournal) == 0 || sb_.journalInode == 0 ||
      (sb_.featureIncompat & kExtIncompatJournalDev) != 0)
    return nullptr;
  const std::optional<ExtInode> inode = ReadInode(sb_.journalInode);
  if (!inode) return nullptr;
  const std::uint64_t blocks = inode->size / sb_.blockSize;
  journalPieces_ = MapInode(*inode, blocks);
  if (journalPieces_.empty()) return nullptr;
  // Journal block k is file block k of the journal inode.
  journalReader_ = [this](std::uint64_t k, std::span<std::uint8_t> out) {
    if (out.size() != sb_.blockSize) return false;
    const auto it = std::upper_bound(journalPieces_.begin(), journalPieces_.end(), k,
                                     [](std::uint64_t key, const Piece& p) { return key < p.logical; });
    if (it == journalPieces_.begin()) return false;
    const Piece& piece = *std::prev(it);
    if (k - piece.logical >= piece.length || piece.zeros) return false;
    std::uint32_t got = 0;
    return ReadBlocks(piece.physical + (k - piece.logical), 1, out.data(), &got) == kSuccess && got == 1;
  };
  journal_ = BuildJournalIndex(journalReader_, blocks, sb_.blockSize);
  return journal_ ? &*journal_ : nullptr;
}

std::optional<ExtInode> CFastExtRecovery::OlderInodeCopy(std::uint32_t inode, const ExtInode& now) {
  const JournalIndex* journal = Journal();
  std::uint64_t block = 0;
  std::uint32_t offset = 0;
  if (journal == nullptr || !InodeLocation(inode, block, offset)) return std::nullopt;
  // The newest copy in which the inode, of the same generation, still maps its data.
  const std::optional<JournalInodeCopy> copy =
      FindJournalInodeCopy(*journal, journalReader_, block, offset, sb_.inodeSize, now.generation);
  if (!copy) return std::nullopt;
  std::optional<ExtInode> parsed = ParseExtInode(copy->inode, sb_.inodeSize);
  if (parsed) parsed->extraArea = {};
  return parsed;
}

// --- reading data -------------------------------------------------------------------------------------

Result CFastExtRecovery::ReadPieces(const std::vector<Piece>& pieces, std::uint64_t size, const ItemDataSink& sink) {
  const std::uint64_t bs = sb_.blockSize;
  std::vector<std::uint8_t> buffer;
  try {
    buffer.resize(static_cast<std::size_t>(std::max<std::uint64_t>(kDataPieceBytes, bs)));
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  const std::uint64_t chunkBlocks = buffer.size() / bs;
  std::uint64_t done = 0;
  // Zeros up to file byte `until` (a hole, an unwritten extent, the sparse tail).
  const auto zeros = [&](std::uint64_t until) -> Result {
    std::fill(buffer.begin(), buffer.end(), std::uint8_t{0});
    while (done < until) {
      const std::uint64_t bytes = std::min<std::uint64_t>(until - done, buffer.size());
      NoteZeroFill(done, bytes);
      done += bytes;
      if (Result verdict = sink(buffer.data(), static_cast<std::size_t>(bytes), kSuccess); verdict != kSuccess)
        return verdict;
    }
    return kSuccess;
  };
  for (const Piece& piece : pieces) {
    if (done >= size) break;
    if (Result r = zeros(std::min(size, piece.logical * bs)); r != kSuccess) return r;
    if (piece.zeros) {
      if (Result r = zeros(std::min(size, (piece.logical + piece.length) * bs)); r != kSuccess) return r;
      continue;
    }
    for (std::uint64_t k = 0; k < piece.length && done < size;) {
      const std::uint64_t count = std::min<std::uint64_t>({piece.length - k, chunkBlocks, (size - done + bs - 1) / bs});
      std::uint32_t got = 0;
      const Result read = ReadBlocks(piece.physical + k, static_cast<std::uint32_t>(count), buffer.data(), &got);
      const std::uint64_t bytes = std::min<std::uint64_t>(std::uint64_t{got} * bs, size - done);
      if (bytes == 0 && read == kSuccess) return kErrReadFault;
      if (bytes != 0) {
        NoteDataRead(done, ImageByteOf(SectorOfBlock(piece.physical + k)), bytes);
        done += bytes;
        if (Result verdict = sink(buffer.data(), static_cast<std::size_t>(bytes), read); verdict != kSuccess)
          return verdict;
      }
      if (read != kSuccess) return read;
      k += count;
    }
  }
  return zeros(size);
}

Result CFastExtRecovery::ReadAll(const ExtInode& inode, const std::vector<Piece>& pieces, std::uint64_t maxBytes,
                                 std::vector<std::uint8_t>& out) {
  out.clear();
  const std::uint64_t size = std::min(inode.size, maxBytes);
  try {
    out.reserve(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  return ReadPieces(pieces, size, [&out](const std::uint8_t* data, std::size_t length, Result) {
    out.insert(out.end(), data, data + length);
    return kSuccess;
  });
}

Result CFastExtRecovery::ReadItemData(const FoundFileRecord& record, std::uint64_t size, const ItemDataSink& sink) {
  if (!IsOpen()) return kErrInvalidHandle;
  const std::uint32_t number = record.objectNumber;
  // Nothing says where a deleted file's data lay: zeros would pass for it.
  if (ExtDataSourceOf(record) == ExtDataSource::None) return kErrReadFault;
  if (ExtDataSourceOf(record) != ExtDataSource::Inode) {
    if (record.engineTag != kTagFastExt) return kErrInvalidParameter;
    const auto older = olderData_.find(std::uint32_t{record.recordId});
    if (older != olderData_.end()) return ReadPieces(older->second.pieces, size, sink);
    // A catalogue reopened from an earlier scan's log: the older inode is looked up again, the
    // way the scan found it.
    const std::optional<ExtInode> now = ReadInode(number);
    if (!now) return kErrReadFault;
    const bool live = InodeInUse(number) && now->links > 0 && now->dtime == 0;
    if (ExtDataSourceOf(record) == ExtDataSource::ExtentLeaf)
      return ReadPieces(LeafPieces(number, now->generation), size, sink);
    std::optional<ExtInode> copy = live ? std::nullopt : OlderInodeCopy(number, *now);
    if (!copy) copy = OlderCopyBeforeReuse(number, now->generation, false);
    if (!copy) return kErrReadFault;
    return ReadPieces(MapInode(*copy, (copy->size + sb_.blockSize - 1) / sb_.blockSize), size, sink);
  }
  std::vector<std::uint8_t> raw;
  if (!ReadRawInode(number, raw)) return kErrReadFault;
  const std::optional<ExtInode> inode = ParseExtInode(raw, sb_.inodeSize);
  if (!inode) return kErrReadFault;
  if (inode->HasInlineData()) {
    // The first 60 bytes live in i_block, the rest in the system.data attribute.
    std::vector<std::uint8_t> bytes(inode->block.begin(), inode->block.end());
    const std::span<const std::uint8_t> more = ExtInlineDataXattr(*inode);
    bytes.insert(bytes.end(), more.begin(), more.end());
    bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size, bytes.size())));
    if (Result verdict = sink(bytes.data(), bytes.size(), kSuccess); verdict != kSuccess) return verdict;
    return bytes.size() < size ? kErrIncomplete : kSuccess;
  }
  const std::vector<Piece> pieces = MapInode(*inode, (size + sb_.blockSize - 1) / sb_.blockSize);
  return ReadPieces(pieces, size, sink);
}

std::optional<CFastExtRecovery::Ownership> CFastExtRecovery::OwnershipOf(const FoundFileRecord& record) {
  if (!IsOpen() || record.engineTag != kTagFastExt || record.objectNumber < kExtRootInode) return std::nullopt;
  std::optional<ExtInode> inode;
  if (const auto older = olderData_.find(std::uint32_t{record.recordId}); older != olderData_.end())
    inode = older->second.inode;
  if (!inode) inode = ReadInode(record.objectNumber);
  // A file whose data came from the journal may have lost its inode to a new file since: the
  // owner is then the one of the copy that still maps the old data.
  if (inode && ExtDataSourceOf(record) == ExtDataSource::Journal && record.isFolder == 0 &&
      InodeInUse(record.objectNumber) && inode->links > 0 && inode->dtime == 0) {
    std::optional<ExtInode> copy = OlderCopyBeforeReuse(record.objectNumber, inode->generation, false);
    if (!copy) return std::nullopt;
    inode = copy;
  }
  if (!inode || inode->mode == 0) return std::nullopt;
  return Ownership{inode->mode, inode->uid, inode->gid};
}

std::uint64_t CFastExtRecovery::ItemByteLimit(const FoundFileRecord&) const {
  return sb_.blocksCount * sb_.blockSize;
}

// --- free-space map -------------------------------------------------------------------------------------

Result CFastExtRecovery::BuildFreeSpaceMap() {
  if (!IsOpen()) return kErrInvalidHandle;
  // Without the bitmaps the volume's use is unknown: the deep scan then sweeps all of it.
  if (bitmapBlocks_ == 0) return kErrReadFault;
  const std::uint64_t perBlock = sb_.blockSize / kExtSectorBytes;
  if (Result r = useMap_.Reset(0, sb_.firstDataBlock, SectorOfBlock(sb_.firstDataBlock), perBlock, volumeSectors_);
      r != kSuccess)
    return r;
  std::vector<std::uint8_t> bits;
  try {
    bits.assign(blockBitmap_.begin(),
                blockBitmap_.begin() + static_cast<std::ptrdiff_t>((bitmapBlocks_ + 7) / 8));
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  useMap_.AssignBits(std::move(bits), bitmapBlocks_);
  useMap_.SetBuilt();
  return kSuccess;
}

std::optional<std::uint64_t> CFastExtRecovery::FirstDataByte(const FoundFileRecord& record) {
  const std::uint64_t sector = record.dataAreaSector;
  if (!IsOpen() || record.isFolder != 0 || record.size == 0 || sector == 0) return std::nullopt;
  return sector * kExtSectorBytes;
}

}  // namespace rexmoor
