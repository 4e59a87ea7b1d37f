#include "formats/ext_journal.h"

#include <algorithm>
#include <unordered_map>

#include "formats/crc32c.h"
#include "formats/ext_extent_scan.h"
#include "platform/byte_view.h"

namespace rexmoor {
namespace {

// Common header of every journal metadata block.
constexpr std::size_t kHeaderMagic = 0x0;     // be32 kJournalMagic
constexpr std::size_t kHeaderType = 0x4;      // be32 JournalBlockType
constexpr std::size_t kHeaderSequence = 0x8;  // be32 transaction id
constexpr std::size_t kHeaderSize = 12;

// Journal superblock (journal_superblock_t).
constexpr std::size_t kSbBlockSize = 0x0C;
constexpr std::size_t kSbMaxLen = 0x10;
constexpr std::size_t kSbFirst = 0x14;
constexpr std::size_t kSbSequence = 0x18;
constexpr std::size_t kSbStart = 0x1C;
constexpr std::size_t kSbFeatureCompat = 0x24;  // v2 only, as are the fields after it
constexpr std::size_t kSbFeatureIncompat = 0x28;
constexpr std::size_t kSbFeatureRoCompat = 0x2C;
constexpr std::size_t kSbUuid = 0x30;
constexpr std::size_t kSbFastCommitBlocks = 0x54;  // be32; 0 means the default

constexpr std::uint32_t kIncompatRevoke = 0x1;
constexpr std::uint32_t kIncompat64bit = 0x2;
constexpr std::uint32_t kIncompatCsumV2 = 0x8;
constexpr std::uint32_t kIncompatCsumV3 = 0x10;
constexpr std::uint32_t kIncompatFastCommit = 0x20;
constexpr std::uint32_t kDefaultFastCommitBlocks = 256;

// Descriptor tags.
constexpr std::uint32_t kTagEscape = 0x1;    // the block began with the magic, zeroed in the log
constexpr std::uint32_t kTagSameUuid = 0x2;  // no 16-byte UUID follows the tag
constexpr std::uint32_t kTagLast = 0x8;
constexpr std::size_t kTagUuidSize = 16;
constexpr std::size_t kBlockTailSize = 4;  // be32 checksum at the end of descriptor and revoke blocks

// Revoke block: be32 bytes used (header included) at 0x0C, entries from 0x10.
constexpr std::size_t kRevokeCount = 0x0C;
constexpr std::size_t kRevokeEntries = 0x10;

// Commit block: be64 seconds and be32 nanoseconds of the commit.
constexpr std::size_t kCommitSeconds = 0x30;
constexpr std::size_t kCommitNanoseconds = 0x38;

// Inode fields used to tell whether an old copy still maps data.
constexpr std::size_t kInodeMode = 0x00;
constexpr std::size_t kInodeSizeLo = 0x04;
constexpr std::size_t kInodeSizeHigh = 0x6C;
constexpr std::size_t kInodeFlags = 0x20;
constexpr std::size_t kInodeBlock = 0x28;  // i_block, 60 bytes
constexpr std::size_t kInodeBlockSize = 60;
constexpr std::size_t kInodeGeneration = 0x64;
constexpr std::size_t kInodeMinSize = 128;
constexpr std::uint32_t kInodeExtentsFlag = 0x80000;
constexpr std::uint32_t kInodeInlineDataFlag = 0x10000000;
constexpr std::uint16_t kModeTypeMask = 0xF000;
constexpr std::uint16_t kModeSymlink = 0xA000;

bool ValidBlockSize(std::uint32_t size) {
  return size >= 1024 && size <= 65536 && (size & (size - 1)) == 0;
}

std::size_t TagBytes(const JournalSuperblock& sb) {
  if (sb.csumV3) return 16;
  std::size_t size = 8;  // be32 block, be16 checksum, be16 flags
  if (sb.is64bit) size += 4;
  if (sb.csumV2) size += 2;
  return size;
}

// Transactions ordered around the superblock's sequence, so that the wrap of the 32-bit id does
// not reorder them.
std::int64_t Age(std::uint32_t sequence, std::uint32_t reference) {
  return static_cast<std::int32_t>(sequence - reference);
}

struct MetaBlock {
  std::uint64_t position = 0;
  JournalBlockType type{};
  std::uint32_t sequence = 0;
};

struct PendingCopy {
  std::uint64_t fsBlock = 0;
  JournalCopy copy;
};

struct WalkResult {
  bool committed = false;
  JournalTransaction transaction;
  std::vector<PendingCopy> copies;
  std::vector<std::uint64_t> revokes;
  std::vector<std::uint64_t> metaPositions;  // this transaction's metadata blocks walked over
};

class Walker {
 public:
  Walker(const JournalBlockReader& read, const JournalSuperblock& sb, const JournalLimits& limits)
      : read_(read), sb_(sb), limits_(limits), block_(sb.blockSize), data_(sb.blockSize) {
    csumSeed_ = Crc32c(~0u, sb.uuid);
  }

  bool complete = true;

  // Every block in the log area that starts with the journal magic: data blocks never do (they
  // are escaped), so these are all descriptor, commit and revoke blocks ever written there.
  std::vector<MetaBlock> ScanLog() {
    std::vector<MetaBlock> meta;
    for (std::uint64_t k = sb_.first; k < sb_.logEnd; ++k) {
      if (!Read(k, block_)) continue;
      if (LoadU32BE(block_.data() + kHeaderMagic) != kJournalMagic) continue;
      const std::uint32_t type = LoadU32BE(block_.data() + kHeaderType);
      if (type != 1 && type != 2 && type != 5) continue;
      meta.push_back({k, static_cast<JournalBlockType>(type), LoadU32BE(block_.data() + kHeaderSequence)});
    }
    return meta;
  }

  // Follows one transaction from its first metadata block: descriptors with their data blocks,
  // revoke blocks, up to the commit block with the same sequence. Ends early at a block of another
  // transaction or one overwritten since (which leaves the transaction uncommitted).
  WalkResult Walk(std::uint64_t start, std::uint32_t sequence, const std::vector<MetaBlock>& meta) {
    WalkResult r;
    r.transaction.sequence = sequence;
    r.transaction.firstBlock = start;
    std::uint64_t pos = start;
    const std::uint64_t logLength = sb_.logEnd - sb_.first;
    for (std::uint64_t steps = 0; steps < logLength; ++steps) {
      const MetaBlock* m = Find(meta, pos);
      if (m == nullptr || m->sequence != sequence) return r;
      r.metaPositions.push_back(pos);
      if (!Read(pos, block_)) return r;
      if (m->type == JournalBlockType::kCommit) {
        if (!ByteView(block_).Has(kCommitNanoseconds, 4)) return r;
        r.transaction.commitBlock = pos;
        r.transaction.commitSeconds = LoadU64BE(block_.data() + kCommitSeconds);
        r.transaction.commitNanoseconds = LoadU32BE(block_.data() + kCommitNanoseconds);
        r.committed = true;
        return r;
      }
      if (m->type == JournalBlockType::kRevoke) {
        ReadRevokes(r);
        pos = Next(pos);
        continue;
      }
      // A descriptor: its tags name the blocks that follow it in the log.
      const std::vector<Tag> tags = ReadTags();
      for (const Tag& tag : tags) {
        pos = Next(pos);
        if (++steps >= logLength) return r;
        // A block with the magic here is another transaction's metadata written over this one.
        if (Find(meta, pos) != nullptr) return r;
        PendingCopy p;
        p.fsBlock = tag.fsBlock;
        p.copy.journalBlock = pos;
        p.copy.sequence = sequence;
        p.copy.escaped = (tag.flags & kTagEscape) != 0;
        if (sb_.csumV2 || sb_.csumV3) {
          if (!Read(pos, data_)) continue;
          // A data block that fails its checksum was overwritten by a later pass of the log.
          if (!DataChecksumMatches(tag, sequence)) continue;
          p.copy.checksumVerified = true;
        }
        r.copies.push_back(p);
      }
      pos = Next(pos);
    }
    return r;
  }

  bool Read(std::uint64_t k, std::vector<std::uint8_t>& out) {
    if (read_(k, std::span<std::uint8_t>(out))) return true;
    complete = false;
    return false;
  }

 private:
  struct Tag {
    std::uint64_t fsBlock = 0;
    std::uint32_t flags = 0;
    std::uint32_t checksum = 0;
  };

  std::uint64_t Next(std::uint64_t pos) const { return pos + 1 < sb_.logEnd ? pos + 1 : sb_.first; }

  static const MetaBlock* Find(const std::vector<MetaBlock>& meta, std::uint64_t pos) {
    auto it = std::lower_bound(meta.begin(), meta.end(), pos,
                               [](const MetaBlock& m, std::uint64_t p) { return m.position < p; });
    return it != meta.end() && it->position == pos ? &*it : nullptr;
  }

  std::size_t PayloadEnd() const {
    return sb_.blockSize - ((sb_.csumV2 || sb_.csumV3) ? kBlockTailSize : 0);
  }

  std::vector<Tag> ReadTags() {
    std::vector<Tag> tags;
    const std::size_t tagBytes = TagBytes(sb_);
    const std::size_t end = PayloadEnd();
    std::size_t off = kHeaderSize;
    while (off <= end && tagBytes <= end - off) {
      if (tags.size() >= limits_.maxTagsPerDescriptor) {
        complete = false;
        break;
      }
      const std::uint8_t* t = block_.data() + off;
      Tag tag;
      tag.fsBlock = LoadU32BE(t);
      if (sb_.csumV3) {
        tag.flags = LoadU32BE(t + 4);
        if (sb_.is64bit) tag.fsBlock |= static_cast<std::uint64_t>(LoadU32BE(t + 8)) << 32;
        tag.checksum = LoadU32BE(t + 12);
      } else {
        tag.checksum = LoadU16BE(t + 4);
        tag.flags = LoadU16BE(t + 6);
        if (sb_.is64bit) tag.fsBlock |= static_cast<std::uint64_t>(LoadU32BE(t + 8)) << 32;
      }
      tags.push_back(tag);
      off += tagBytes;
      if ((tag.flags & kTagSameUuid) == 0) off += kTagUuidSize;
      if (tag.flags & kTagLast) break;
    }
    return tags;
  }

  void ReadRevokes(WalkResult& r) {
    const std::uint32_t used = LoadU32BE(block_.data() + kRevokeCount);
    const std::size_t end = std::min<std::size_t>(used, PayloadEnd());
    const std::size_t entryBytes = sb_.is64bit ? 8 : 4;
    for (std::size_t off = kRevokeEntries; off <= end && entryBytes <= end - off; off += entryBytes) {
      if (revokeEntries_ >= limits_.maxRevokeEntries) {
        complete = false;
        return;
      }
      ++revokeEntries_;
      r.revokes.push_back(sb_.is64bit ? LoadU64BE(block_.data() + off) : LoadU32BE(block_.data() + off));
    }
  }

  // jbd2's data checksum: crc32c over the big-endian sequence and the block as logged, seeded with
  // the journal's UUID; v2 keeps its low 16 bits.
  bool DataChecksumMatches(const Tag& tag, std::uint32_t sequence) const {
    const std::uint8_t seq[4] = {static_cast<std::uint8_t>(sequence >> 24), static_cast<std::uint8_t>(sequence >> 16),
                                 static_cast<std::uint8_t>(sequence >> 8), static_cast<std::uint8_t>(sequence)};
    std::uint32_t crc = Crc32c(csumSeed_, seq);
    crc = Crc32c(crc, data_);
    return sb_.csumV3 ? crc == tag.checksum : (crc & 0xFFFFu) == tag.checksum;
  }

  const JournalBlockReader& read_;
  const JournalSuperblock& sb_;
  const JournalLimits& limits_;
  std::vector<std::uint8_t> block_;
  std::vector<std::uint8_t> data_;
  std::uint32_t csumSeed_ = 0;
  std::uint64_t revokeEntries_ = 0;
};

}  // namespace

std::optional<JournalSuperblock> ParseJournalSuperblock(std::span<const std::uint8_t> block,
                                                        std::uint32_t fsBlockSize) {
  const ByteView v(block);
  if (!ValidBlockSize(fsBlockSize) || !v.Has(0, 1024)) return std::nullopt;
  if (*v.U32BE(kHeaderMagic) != kJournalMagic) return std::nullopt;
  JournalSuperblock sb;
  sb.blockType = *v.U32BE(kHeaderType);
  if (sb.blockType != 3 && sb.blockType != 4) return std::nullopt;
  sb.blockSize = *v.U32BE(kSbBlockSize);
  sb.maxLen = *v.U32BE(kSbMaxLen);
  sb.first = *v.U32BE(kSbFirst);
  sb.sequence = *v.U32BE(kSbSequence);
  sb.start = *v.U32BE(kSbStart);
  if (sb.blockSize != fsBlockSize || sb.first == 0 || sb.first >= sb.maxLen) return std::nullopt;
  if (sb.start != 0 && (sb.start < sb.first || sb.start >= sb.maxLen)) return std::nullopt;
  if (sb.blockType == 4) {
    sb.featureCompat = *v.U32BE(kSbFeatureCompat);
    sb.featureIncompat = *v.U32BE(kSbFeatureIncompat);
    sb.featureRoCompat = *v.U32BE(kSbFeatureRoCompat);
    std::copy_n(block.begin() + kSbUuid, sb.uuid.size(), sb.uuid.begin());
  }
  sb.revoke = (sb.featureIncompat & kIncompatRevoke) != 0;
  sb.is64bit = (sb.featureIncompat & kIncompat64bit) != 0;
  sb.csumV3 = (sb.featureIncompat & kIncompatCsumV3) != 0;
  sb.csumV2 = !sb.csumV3 && (sb.featureIncompat & kIncompatCsumV2) != 0;
  sb.logEnd = sb.maxLen;
  if (sb.featureIncompat & kIncompatFastCommit) {
    // The fast-commit area sits at the end of the journal, outside the circular log.
    std::uint32_t fc = *v.U32BE(kSbFastCommitBlocks);
    if (fc == 0) fc = kDefaultFastCommitBlocks;
    if (fc >= sb.maxLen - sb.first) return std::nullopt;
    sb.logEnd = sb.maxLen - fc;
  }
  return sb;
}

std::span<const JournalCopy> JournalIndex::CopiesOf(std::uint64_t fsBlock) const {
  const auto it = blocks_.find(fsBlock);
  if (it == blocks_.end()) return {};
  return it->second;
}

std::optional<JournalIndex> BuildJournalIndex(const JournalBlockReader& read, std::uint64_t journalBlockCount,
                                              std::uint32_t blockSize, const JournalLimits& limits) {
  if (!ValidBlockSize(blockSize) || journalBlockCount < 2) return std::nullopt;
  std::vector<std::uint8_t> first(blockSize);
  if (!read(0, first)) return std::nullopt;
  const auto sb = ParseJournalSuperblock(first, blockSize);
  if (!sb) return std::nullopt;

  JournalIndex index;
  index.superblock_ = *sb;
  // The log cannot reach past the journal's blocks, nor past what we are willing to read.
  const std::uint64_t usable = std::min<std::uint64_t>(journalBlockCount, limits.maxJournalBlocks);
  if (usable < index.superblock_.logEnd) {
    index.superblock_.logEnd = static_cast<std::uint32_t>(usable);
    index.complete_ = false;
  }
  const JournalSuperblock& s = index.superblock_;
  if (s.logEnd <= s.first) return index;

  Walker walker(read, s, limits);
  const std::vector<MetaBlock> meta = walker.ScanLog();

  // Each descriptor or revoke block not already walked over may begin a transaction. A walk from
  // a later block of a transaction (one that wrapped round the log's end) is replaced when the walk
  // from its true beginning covers it. A block walked over once never starts a walk again, so the
  // work stays linear in the log's length.
  const std::uint64_t logLength = s.logEnd - s.first;
  std::vector<bool> walked(meta.size(), false);
  auto metaIndex = [&meta](std::uint64_t pos) {
    return static_cast<std::size_t>(std::lower_bound(meta.begin(), meta.end(), pos,
                                                     [](const MetaBlock& m, std::uint64_t p) {
                                                       return m.position < p;
                                                     }) -
                                    meta.begin());
  };
  std::map<std::uint64_t, WalkResult> byStart;  // committed transactions by first block
  for (std::size_t i = 0; i < meta.size(); ++i) {
    const MetaBlock& m = meta[i];
    if (walked[i] || m.type == JournalBlockType::kCommit) continue;
    // A transaction id far ahead of the superblock's is not one this journal wrote.
    if (Age(m.sequence, s.sequence) > static_cast<std::int64_t>(logLength)) continue;
    if (byStart.size() >= limits.maxTransactions) {
      index.complete_ = false;
      break;
    }
    WalkResult r = walker.Walk(m.position, m.sequence, meta);
    for (std::uint64_t pos : r.metaPositions) {
      walked[metaIndex(pos)] = true;
      if (!r.committed || pos == m.position) continue;
      const auto covered = byStart.find(pos);
      if (covered != byStart.end() && covered->second.transaction.sequence == m.sequence) byStart.erase(covered);
    }
    if (r.committed) byStart.emplace(m.position, std::move(r));
  }
  // A transaction that logged no block is a commit block alone. One right behind another
  // transaction's commit block is taken as such; a lone commit after anything else is most likely
  // what is left of a transaction written over since.
  for (std::size_t i = 1; i < meta.size(); ++i) {
    const MetaBlock& m = meta[i];
    const MetaBlock& before = meta[i - 1];
    if (walked[i] || m.type != JournalBlockType::kCommit || before.position + 1 != m.position ||
        before.type != JournalBlockType::kCommit || before.sequence == m.sequence ||
        Age(m.sequence, s.sequence) > static_cast<std::int64_t>(logLength) || byStart.size() >= limits.maxTransactions)
      continue;
    WalkResult r = walker.Walk(m.position, m.sequence, meta);
    if (r.committed) byStart.emplace(m.position, std::move(r));
  }
  std::vector<WalkResult> found;
  found.reserve(byStart.size());
  for (auto& [start, r] : byStart) found.push_back(std::move(r));
  if (!walker.complete) index.complete_ = false;

  // The newest revoke of each block: copies from that transaction or earlier are revoked.
  std::unordered_map<std::uint64_t, std::int64_t> newestRevoke;
  for (const WalkResult& r : found) {
    const std::int64_t age = Age(r.transaction.sequence, s.sequence);
    for (std::uint64_t b : r.revokes) {
      auto [it, inserted] = newestRevoke.emplace(b, age);
      if (!inserted) it->second = std::max(it->second, age);
    }
  }

  for (WalkResult& r : found) {
    r.transaction.dataBlocks = static_cast<std::uint32_t>(r.copies.size());
    r.transaction.revokedBlocks = static_cast<std::uint32_t>(r.revokes.size());
    const std::int64_t age = Age(r.transaction.sequence, s.sequence);
    for (PendingCopy& p : r.copies) {
      p.copy.commitSeconds = r.transaction.commitSeconds;
      p.copy.commitNanoseconds = r.transaction.commitNanoseconds;
      const auto rev = newestRevoke.find(p.fsBlock);
      p.copy.revoked = rev != newestRevoke.end() && age <= rev->second;
      index.blocks_[p.fsBlock].push_back(p.copy);
    }
    index.transactions_.push_back(r.transaction);
  }
  const std::uint32_t ref = s.sequence;
  std::sort(index.transactions_.begin(), index.transactions_.end(),
            [ref](const JournalTransaction& a, const JournalTransaction& b) {
              const std::int64_t aa = Age(a.sequence, ref), ab = Age(b.sequence, ref);
              return aa != ab ? aa > ab : a.firstBlock > b.firstBlock;
            });
  for (auto& [block, copies] : index.blocks_) {
    std::sort(copies.begin(), copies.end(), [ref](const JournalCopy& a, const JournalCopy& b) {
      const std::int64_t aa = Age(a.sequence, ref), ab = Age(b.sequence, ref);
      return aa != ab ? aa > ab : a.journalBlock > b.journalBlock;
    });
  }
  return index;
}

bool ReadJournalCopy(const JournalBlockReader& read, const JournalCopy& copy, std::uint32_t blockSize,
                     std::vector<std::uint8_t>& out) {
  if (!ValidBlockSize(blockSize)) return false;
  out.assign(blockSize, 0);
  if (!read(copy.journalBlock, out)) return false;
  if (copy.escaped) {
    out[0] = static_cast<std::uint8_t>(kJournalMagic >> 24);
    out[1] = static_cast<std::uint8_t>(kJournalMagic >> 16);
    out[2] = static_cast<std::uint8_t>(kJournalMagic >> 8);
    out[3] = static_cast<std::uint8_t>(kJournalMagic);
  }
  return true;
}

bool InodeMapsData(std::span<const std::uint8_t> inode) {
  if (inode.size() < kInodeMinSize) return false;
  // Deleting sets the size to 0 before the map is freed, in steps that may span transactions:
  // a copy with a map but no size is one of those steps, with part of the map already gone.
  if (LoadU32LE(inode.data() + kInodeSizeLo) == 0 && LoadU32LE(inode.data() + kInodeSizeHigh) == 0) return false;
  const std::uint32_t flags = LoadU32LE(inode.data() + kInodeFlags);
  if (flags & kInodeInlineDataFlag) return false;
  const auto area = inode.subspan(kInodeBlock, kInodeBlockSize);
  if (flags & kInodeExtentsFlag) {
    const auto node = ParseExtentNode(area, 0);
    return node && node->header.entries > 0;
  }
  // A short symlink keeps its target in i_block, not block numbers.
  const std::uint16_t mode = LoadU16LE(inode.data() + kInodeMode);
  if ((mode & kModeTypeMask) == kModeSymlink && LoadU32LE(inode.data() + kInodeSizeLo) < kInodeBlockSize)
    return false;
  return std::any_of(area.begin(), area.end(), [](std::uint8_t b) { return b != 0; });
}

std::optional<JournalInodeCopy> FindJournalInodeCopy(const JournalIndex& index, const JournalBlockReader& read,
                                                     std::uint64_t inodeTableBlock, std::uint32_t byteOffset,
                                                     std::uint32_t inodeSize, std::uint32_t generation) {
  const std::uint32_t blockSize = index.superblock().blockSize;
  if (inodeSize < kInodeMinSize || byteOffset > blockSize || inodeSize > blockSize - byteOffset)
    return std::nullopt;
  std::vector<std::uint8_t> block;
  for (const JournalCopy& copy : index.CopiesOf(inodeTableBlock)) {
    if (!ReadJournalCopy(read, copy, blockSize, block)) continue;
    const auto inode = std::span<const std::uint8_t>(block).subspan(byteOffset, inodeSize);
    if (LoadU32LE(inode.data() + kInodeGeneration) != generation || !InodeMapsData(inode)) continue;
    return JournalInodeCopy{std::vector<std::uint8_t>(inode.begin(), inode.end()), copy};
  }
  return std::nullopt;
}

std::vector<JournalBlockContent> JournalBlockCopies(const JournalIndex& index, const JournalBlockReader& read,
                                                    std::uint64_t fsBlock, std::size_t maxCopies) {
  std::vector<JournalBlockContent> out;
  for (const JournalCopy& copy : index.CopiesOf(fsBlock)) {
    if (out.size() >= maxCopies) break;
    JournalBlockContent c;
    if (!ReadJournalCopy(read, copy, index.superblock().blockSize, c.bytes)) continue;
    c.copy = copy;
    out.push_back(std::move(c));
  }
  return out;
}

}  // namespace rexmoor
