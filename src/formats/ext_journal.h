// The ext3/ext4 journal (jbd2): an index of every copy of a file-system block that the log still
// holds. Undeleting on ext4 depends on it: the kernel zeroes a deleted file's extent tree in its
// inode, but earlier transactions in the log often still hold the inode-table block as it was
// (extents intact) and the directory blocks with the old names.
//
// The journal is read through a callback over its own blocks (block k of the journal inode's
// data, k = 0 being the journal superblock), so this file knows nothing of how the journal inode is
// mapped. All on-disk fields here are big-endian. Every walk is bounded by the journal length and
// by the caps in JournalLimits; damaged or hostile bytes end a walk, they never crash it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace rexmoor {

inline constexpr std::uint32_t kJournalMagic = 0xC03B3998u;

// Block types in the common 12-byte header (magic, type, sequence).
enum class JournalBlockType : std::uint32_t {
  kDescriptor = 1,
  kCommit = 2,
  kSuperblockV1 = 3,
  kSuperblockV2 = 4,
  kRevoke = 5,
};

struct JournalSuperblock {
  std::uint32_t blockType = 0;   // 3 (v1) or 4 (v2)
  std::uint32_t blockSize = 0;   // bytes; equals the file system's block size
  std::uint32_t maxLen = 0;      // blocks in the journal, superblock included
  std::uint32_t first = 0;       // first block of the log area
  std::uint32_t sequence = 0;    // first transaction expected in the log
  std::uint32_t start = 0;       // block of the first live transaction; 0 when the log is clean
  std::uint32_t featureCompat = 0;
  std::uint32_t featureIncompat = 0;
  std::uint32_t featureRoCompat = 0;
  std::array<std::uint8_t, 16> uuid{};
  std::uint32_t logEnd = 0;      // one past the last log block (fast-commit blocks lie beyond it)
  bool revoke = false;           // revoke blocks may appear
  bool is64bit = false;          // tags and revoke entries carry 64-bit block numbers
  bool csumV2 = false;           // tags carry a 16-bit crc32c of their data block
  bool csumV3 = false;           // tags are 16 bytes with a 32-bit crc32c of their data block
};

// Parses block 0 of a journal. Nothing when the magic, block type, block size (it must equal
// fsBlockSize, a power of two from 1 KiB to 64 KiB) or log bounds are not plausible.
std::optional<JournalSuperblock> ParseJournalSuperblock(std::span<const std::uint8_t> block,
                                                        std::uint32_t fsBlockSize);

// One older (or current) copy of a file-system block held by the log.
struct JournalCopy {
  std::uint64_t journalBlock = 0;   // where the copy lies, in journal blocks
  std::uint32_t sequence = 0;       // the transaction that wrote it
  std::uint64_t commitSeconds = 0;  // commit time of that transaction; 0 when not recorded
  std::uint32_t commitNanoseconds = 0;
  bool escaped = false;             // its first four bytes were the journal magic (restored on read)
  bool revoked = false;             // a later (or the same) transaction revoked the block: the
                                    // kernel would not replay it, but it is still a true old copy
  bool checksumVerified = false;    // the tag's data checksum matched (only with csum v2/v3)
};

struct JournalTransaction {
  std::uint32_t sequence = 0;
  std::uint64_t firstBlock = 0;     // journal block of its first descriptor or revoke block
  std::uint64_t commitBlock = 0;    // journal block of its commit block
  std::uint32_t dataBlocks = 0;     // block copies it holds
  std::uint32_t revokedBlocks = 0;  // revoke entries it holds
  std::uint64_t commitSeconds = 0;
  std::uint32_t commitNanoseconds = 0;
};

struct JournalLimits {
  std::uint64_t maxJournalBlocks = 1u << 22;  // 16 GiB at 4 KiB blocks; longer is damage
  std::uint32_t maxTagsPerDescriptor = 8192;
  std::uint32_t maxTransactions = 1u << 20;
  std::uint32_t maxRevokeEntries = 1u << 22;
};

// Reads journal block k (0 <= k < the count given) into out (exactly one block). False on a read
// failure; the walk then treats the block as unreadable and goes on where it can.
using JournalBlockReader = std::function<bool(std::uint64_t journalBlock, std::span<std::uint8_t> out)>;

class JournalIndex {
 public:
  const JournalSuperblock& superblock() const { return superblock_; }
  // Committed transactions found anywhere in the log area, newest first.
  const std::vector<JournalTransaction>& transactions() const { return transactions_; }
  // Copies of one file-system block, newest first (by transaction, then by position in the log).
  std::span<const JournalCopy> CopiesOf(std::uint64_t fsBlock) const;
  // Every file-system block with at least one copy.
  const std::map<std::uint64_t, std::vector<JournalCopy>>& blocks() const { return blocks_; }
  // False when a walk stopped at damage (unreadable blocks, a cap reached); what was found is kept.
  bool complete() const { return complete_; }

 private:
  friend std::optional<JournalIndex> BuildJournalIndex(const JournalBlockReader&, std::uint64_t,
                                                       std::uint32_t, const JournalLimits&);
  JournalSuperblock superblock_;
  std::vector<JournalTransaction> transactions_;
  std::map<std::uint64_t, std::vector<JournalCopy>> blocks_;
  bool complete_ = true;
};

// Builds the index of a journal of journalBlockCount blocks (the journal inode's size in blocks).
// Every transaction with a descriptor and a matching commit block still in the log area is taken,
// not only those after the log's tail: after a checkpoint the old transactions stay in the log
// until the head comes round and overwrites them. Nothing when the superblock is not a journal's.
std::optional<JournalIndex> BuildJournalIndex(const JournalBlockReader& read, std::uint64_t journalBlockCount,
                                              std::uint32_t blockSize, const JournalLimits& limits = {});

// Reads the content of one copy (the magic restored when it was escaped). False on a read failure.
bool ReadJournalCopy(const JournalBlockReader& read, const JournalCopy& copy, std::uint32_t blockSize,
                     std::vector<std::uint8_t>& out);

// --- Queries for undeleting -------------------------------------------------------------------

// An inode as an earlier transaction held it.
struct JournalInodeCopy {
  std::vector<std::uint8_t> inode;  // the raw on-disk inode (inodeSize bytes)
  JournalCopy copy;                 // where it came from: block, sequence, commit time, revoked
};

// The newest copy of an inode-table block in which the inode at byteOffset (inodeSize bytes) still
// has the given generation and still maps data (InodeMapsData). Nothing when no copy qualifies.
std::optional<JournalInodeCopy> FindJournalInodeCopy(const JournalIndex& index, const JournalBlockReader& read,
                                                     std::uint64_t inodeTableBlock, std::uint32_t byteOffset,
                                                     std::uint32_t inodeSize, std::uint32_t generation);

// A block as an earlier transaction held it (a directory block, for the names it had).
struct JournalBlockContent {
  std::vector<std::uint8_t> bytes;
  JournalCopy copy;
};

// Every readable copy of a block, newest first, at most maxCopies.
std::vector<JournalBlockContent> JournalBlockCopies(const JournalIndex& index, const JournalBlockReader& read,
                                                    std::uint64_t fsBlock, std::size_t maxCopies = 64);

// True when an on-disk ext inode (at least 128 bytes) still maps data: a non-zero size and, with
// the extents flag, a valid extent header with entries in i_block; without it, a non-zero block
// pointer there. Inline data and short symlinks are not data maps and give false.
bool InodeMapsData(std::span<const std::uint8_t> inode);

}  // namespace rexmoor
