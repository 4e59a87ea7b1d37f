// The quick ext2/3/4 engine: walks the folder tree from the root inode breadth-first and lists
// every deleted file and folder in it, with the folders on the way to them. A deleted name is an entry that a deletion merged
// into the record length of the entry before it (its bytes stay in that entry's slack); a deleted
// folder is walked too while its inode (or an older copy of it) still says where its blocks are.
// A file's data is read through its inode's extent tree or block map. ext2 leaves those in a
// deleted inode; ext3 and ext4 clear them, and then the newest copy of the inode-table block in
// the journal in which the inode still maps data (same generation) gives them. Inodes that no name
// reaches but whose data can still be found, and the older file of an inode a later file took
// where the journal still holds its copy, are listed by number (and the extension their first
// block shows) in a lost folder. Where neither
// says, a leaf of the inode's extent tree left in free space may: under metadata_csum its checksum
// names the inode and generation it belonged to; the file's end is then a block estimate. The block
// bitmaps give the free blocks the deep scan sweeps.
//
// Records of this engine:
//   objectNumber    the inode number (the root is inode 2); the lost folder is object 1 (inode 1
//                   holds bad blocks and is never a folder)
//   extra           bits 0-1: where the data came from (ExtDataSource); bits 2-3: where the name
//                   came from (ExtNameSource)
//   dataAreaSector  the medium-absolute 512-byte sector of the file's first data block; 0 when none
//   locationSector  the sector of the directory entry that named it (of its inode when nameless)
//   clusterBytes    the block size
//   size            i_size of the inode (or of the journal's copy that gave the data)
//   times           FILETIME in UTC: created from crtime (ctime when there is none), modified from
//                   mtime, accessed from atime
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/volume_recovery_base.h"
#include "formats/ext_extent_scan.h"
#include "formats/ext_journal.h"
#include "formats/ext_layout.h"

namespace rexmoor {

enum class ExtDataSource : std::uint16_t { None = 0, Inode = 1, Journal = 2, ExtentLeaf = 3 };
enum class ExtNameSource : std::uint16_t { Directory = 0, DeletedEntry = 1, Journal = 2, None = 3 };

inline ExtDataSource ExtDataSourceOf(const FoundFileRecord& r) { return static_cast<ExtDataSource>(r.extra & 3); }
inline ExtNameSource ExtNameSourceOf(const FoundFileRecord& r) {
  return static_cast<ExtNameSource>((r.extra >> 2) & 3);
}

// No folder is read past this many bytes.
inline constexpr std::uint64_t kExtMaxFolderBytes = 256ull << 20;
// A bitmap of more blocks than this is not held (64 MiB of bits).
inline constexpr std::uint64_t kExtMaxBitmapBytes = 64ull << 20;
// No more extent-tree or indirect blocks are followed for one file than this.
inline constexpr std::uint32_t kExtMaxMapBlocks = 1u << 16;

class CFastExtRecovery final : public CVolumeRecoveryBase {
 public:
  CFastExtRecovery();
  ~CFastExtRecovery() override;

  // A volume that could not be opened says why (features this engine cannot read: 50), where the
  // frame would only say that nothing is open.
  Result Scan(const char* logName) override;
  Result BuildFreeSpaceMap() override;
  std::optional<std::uint64_t> FirstDataByte(const FoundFileRecord& record) override;

  // The superblock once opened (null before).
  const ExtSuperblock* Superblock() const { return IsOpen() ? &sb_ : nullptr; }

  // The permissions and owner the file's inode gave (of the copy its data came from); none for a
  // record of another engine, the lost folder, or an inode that no longer says.
  struct Ownership {
    std::uint16_t mode = 0;  // type and permission bits as the inode holds them
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
  };
  std::optional<Ownership> OwnershipOf(const FoundFileRecord& record);

  // A run of a file's blocks: file blocks [logical, logical + length) at volume blocks from
  // physical on; zeros reads as zeros (an extent allocated but never written).
  struct Piece {
    std::uint64_t logical = 0;
    std::uint64_t physical = 0;
    std::uint32_t length = 0;
    bool zeros = false;
  };

 private:
  struct FolderSeen {
    FoundFileRecord record;
    std::uint32_t parent = 0;
    bool deleted = false;
    std::optional<ExtInode> older;  // the folder's inode as the journal held it, when it was reused since
  };
  // Where an inode's data lies and the inode that says so.
  struct InodeData {
    ExtInode inode;
    std::vector<Piece> pieces;
    ExtDataSource source = ExtDataSource::None;
  };

  Result Prepare(const VolumeOpening& volume) override;
  Result PrepareVolume(const VolumeOpening& volume);
  void ReleaseVolume() override;
  void ResetScanState() override;
  Result RunScan() override;
  std::uint32_t RootObject() const override { return kExtRootInode; }
  Result ReadItemData(const FoundFileRecord& record, std::uint64_t size, const ItemDataSink& sink) override;
  std::uint64_t ItemByteLimit(const FoundFileRecord& record) const override;

  // Volume blocks, whole; *got gets the whole blocks that arrived.
  Result ReadBlocks(std::uint64_t block, std::uint32_t count, std::uint8_t* buffer, std::uint32_t* got);
  std::uint64_t SectorOfBlock(std::uint64_t block) const { return block * (sb_.blockSize / 512); }
  // The bytes of an inode as stored, and where they lie (volume byte offset).
  bool ReadRawInode(std::uint32_t inode, std::vector<std::uint8_t>& out, std::uint64_t* byteOffset = nullptr);
  std::optional<ExtInode> ReadInode(std::uint32_t inode);
  bool InodeInUse(std::uint32_t inode) const;
  bool BlockInUse(std::uint64_t block) const;
  void LoadBitmaps();

  // The pieces an inode's i_block maps (extent tree or block map), for at most maxBlocks file blocks.
  std::vector<Piece> MapInode(const ExtInode& inode, std::uint64_t maxBlocks);
  void WalkExtentNode(const ExtentNode& node, std::uint64_t maxBlocks, std::uint32_t& nodesLeft,
                      std::vector<Piece>& out);
  void WalkIndirect(std::uint64_t block, std::uint32_t level, std::uint64_t& logical, std::uint64_t maxBlocks,
                    std::uint32_t& blocksLeft, std::vector<Piece>& out);
  // Where a deleted inode's data can still be had: the inode itself, else an older copy of it.
  InodeData DataOf(std::uint32_t inode, const ExtInode& now, bool live);
  // An older copy of the inode that still maps data, of the same generation (the journal).
  std::optional<ExtInode> OlderInodeCopy(std::uint32_t inode, const ExtInode& now);
  // The newest journal copy of an inode another file has taken since: of another generation than
  // the one it has now, a folder or a regular file as asked, mapping its blocks (the generation the
  // old file had is not known).
  std::optional<ExtInode> OlderCopyBeforeReuse(std::uint32_t inode, std::uint32_t generationNow, bool folder);
  // The pieces the extent-tree leaves left in free blocks give a deleted inode of this generation:
  // with metadata_csum each tree block's checksum names its inode and generation.
  std::vector<Piece> LeafPieces(std::uint32_t inode, std::uint32_t generation);
  void IndexFreeExtentBlocks();
  // The journal's index, built on first use (nothing when the volume has none or it is unreadable).
  const JournalIndex* Journal();
  // Where the bytes of an inode lie: its inode-table block and the offset in it.
  bool InodeLocation(std::uint32_t inode, std::uint64_t& block, std::uint32_t& offset) const;
  // Reads the data of the pieces, up to size bytes, holes and unwritten extents as zeros.
  Result ReadPieces(const std::vector<Piece>& pieces, std::uint64_t size, const ItemDataSink& sink);
  // A folder's (or inline file's) whole content, at most maxBytes.
  Result ReadAll(const ExtInode& inode, const std::vector<Piece>& pieces, std::uint64_t maxBytes,
                 std::vector<std::uint8_t>& out);

  // The walk (ext_folder_walk.cpp).
  void WalkFolder(std::uint32_t inode);
  void WalkBlock(std::span<const std::uint8_t> block, std::uint64_t blockNumber, std::uint32_t folder, bool inDeleted,
                 std::set<std::pair<std::uint32_t, std::string>>& seen);
  void TakeEntry(const ExtDirEntry& entry, std::uint32_t folder, bool inDeleted, std::uint64_t entrySector,
                 ExtNameSource nameSource);
  FoundFileRecord InodeRecord(const ExtInode& inode, bool isFolder, bool deleted) const;
  std::uint32_t FolderDepth(std::uint32_t folder) const;
  void CatalogueFolders();
  void CatalogueNameless();

  ExtSuperblock sb_;
  Result openError_ = kSuccess;  // why the last open failed
  std::vector<ExtGroupDesc> groups_;
  std::vector<std::uint8_t> blockBitmap_;  // bit k: block firstDataBlock + k in use; empty when unread
  std::vector<std::uint8_t> inodeBitmap_;  // bit k: inode k + 1 in use; empty when unread
  std::uint64_t bitmapBlocks_ = 0;

  // The journal: its blocks on the volume and the index of the copies it holds.
  std::vector<Piece> journalPieces_;
  JournalBlockReader journalReader_;
  std::optional<JournalIndex> journal_;
  // The journal's copies of the inode-table block looked at last: neighbouring inodes share it.
  std::uint64_t copiesBlock_ = UINT64_MAX;
  std::vector<JournalBlockContent> copies_;
  bool journalTried_ = false;

  // Extent-tree leaves found in free space, gathered on first use: the checksum stored in each,
  // the crc32c of the bytes it covers from a zero start (a raw crc is linear, so the checksum an
  // inode's seed gives is that of the seed over as many zeros, xor this), and their extents.
  struct FreeLeaf {
    std::uint32_t stored = 0;
    std::uint32_t coveredCrc = 0;
    std::vector<Piece> pieces;
  };
  std::vector<FreeLeaf> freeLeaves_;
  std::uint32_t leafCoveredBytes_ = 0;
  bool extentBlocksIndexed_ = false;

  // The last inode-table block read.
  std::vector<std::uint8_t> tableBlock_;
  std::uint64_t tableBlockNumber_ = UINT64_MAX;

  // Scan state; the pieces of files whose data did not come from their inode as it stands, by
  // record id (an inode taken by a new file has both the old file's record and the new one's).
  std::map<std::uint32_t, FolderSeen> folders_;
  std::deque<std::uint32_t> pendingFolders_;
  std::unordered_set<std::uint32_t> walkedFolders_;
  std::unordered_set<std::uint32_t> foldersWithFinds_;  // folders that hold a deleted file listed
  std::unordered_set<std::uint32_t> olderNamed_;        // reused inodes whose old file a deleted name gave
  std::unordered_set<std::uint32_t> named_;
  std::unordered_map<std::uint32_t, InodeData> olderData_;
  std::uint64_t blockBudget_ = 0;  // folder blocks the scan may still read
};

}  // namespace rexmoor
