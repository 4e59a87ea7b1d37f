// The quick ext engine's folder walk: each folder's blocks, the live and deleted entries in them,
// the records of what they name, and the inodes no name reaches.
#include <set>

#include "engine/name_sanitize.h"
#include "ext/fast_ext_recovery.h"
#include "formats/carve_at_sector.h"
#include "formats/carving_context.h"
#include "formats/file_format_table.h"
#include "platform/clock.h"
#include "platform/text.h"

namespace rexmoor {

namespace {

// Folder nesting deeper than this is taken as a loop.
constexpr std::uint32_t kMaxFolderDepth = 4096;
// The lost folder's object: inode 1 holds the bad blocks and is never a folder.
constexpr std::uint32_t kLostFolderObject = 1;
// No more inode-table bytes than this are read looking for nameless inodes.
constexpr std::uint64_t kMaxOrphanTableBytes = 1ull << 30;
// File types of directory entries.
constexpr std::uint8_t kTypeRegular = 1;
constexpr std::uint8_t kTypeFolder = 2;

std::uint64_t FileTimeOf(std::int64_t seconds, std::uint32_t nanoseconds) {
  return seconds <= 0 ? 0 : UnixToFileTime(seconds, nanoseconds);
}

std::uint16_t SourceBits(ExtDataSource data, ExtNameSource name) {
  return static_cast<std::uint16_t>(static_cast<std::uint16_t>(data) | (static_cast<std::uint16_t>(name) << 2));
}

}  // namespace

void CFastExtRecovery::ResetScanState() {
  folders_.clear();
  pendingFolders_.clear();
  walkedFolders_.clear();
  named_.clear();
  foldersWithFinds_.clear();
  olderNamed_.clear();
  olderData_.clear();
}

Result CFastExtRecovery::RunScan() {
  // On a sound volume every block belongs to one folder at most.
  blockBudget_ = 2 * sb_.blocksCount + 1;
  return WalkFoldersBreadthFirst(
      kExtRootInode, pendingFolders_, walkedFolders_, [this](std::uint32_t inode) { WalkFolder(inode); },
      [this] {
        CatalogueNameless();
        CatalogueFolders();
      });
}

FoundFileRecord CFastExtRecovery::InodeRecord(const ExtInode& inode, bool isFolder, bool deleted) const {
  FoundFileRecord record = NewRecord(kTagFastExt, isFolder);
  record.deletedMark = deleted ? 1 : 0;
  record.contentState = 1;
  record.clusterBytes = static_cast<std::int32_t>(sb_.blockSize);
  record.createdTime = inode.hasCrtime && inode.crtime > 0 ? FileTimeOf(inode.crtime, inode.crtimeNs)
                                                           : FileTimeOf(inode.ctime, inode.ctimeNs);
  record.modifiedTime = FileTimeOf(inode.mtime, inode.mtimeNs);
  record.accessedTime = FileTimeOf(inode.atime, inode.atimeNs);
  record.size = isFolder ? 0 : inode.size;
  return record;
}

void CFastExtRecovery::WalkFolder(std::uint32_t number) {
  std::optional<ExtInode> inode = ReadInode(number);
  bool deleted = false;
  bool older = false;
  if (number != kExtRootInode) {
    const auto it = folders_.find(number);
    if (it == folders_.end()) return;
    deleted = it->second.deleted;
    if (it->second.older) {
      inode = it->second.older;
      older = true;
    }
  }
  if (!inode || !inode->IsDir()) return;
  const bool hasFileType = (sb_.featureIncompat & kExtIncompatFiletype) != 0;
  if (inode->HasInlineData()) {
    // Inline entries follow the parent's inode number in i_block, and go on in system.data.
    std::vector<std::uint8_t> raw;
    std::uint64_t inodeByte = 0;
    if (!ReadRawInode(number, raw, &inodeByte)) return;
    const std::optional<ExtInode> full = ParseExtInode(raw, sb_.inodeSize);
    if (!full) return;
    const std::uint64_t sector = AbsoluteSector(inodeByte / 512);
    std::set<std::pair<std::uint32_t, std::string>> seen;
    const auto take = [&](const ExtInode& holder, bool fromJournal) {
      for (std::span<const std::uint8_t> area : {std::span<const std::uint8_t>(holder.block).subspan(4),
                                                 ExtInlineDataXattr(holder)}) {
        for (ExtDirEntry e : ParseExtDirBlock(area, sb_.inodesCount, hasFileType)) {
          if (e.inode != 0 && !seen.emplace(e.inode, e.name).second) continue;
          if (fromJournal) e.deleted = true;
          TakeEntry(e, number, deleted, sector,
                    fromJournal ? ExtNameSource::Journal
                                : (e.deleted ? ExtNameSource::DeletedEntry : ExtNameSource::Directory));
        }
      }
    };
    take(*full, false);
    // Older copies of the inode in the journal hold the entries since removed from it.
    std::uint64_t tableBlock = 0;
    std::uint32_t offset = 0;
    const JournalIndex* journal = Journal();
    if (journal == nullptr || !InodeLocation(number, tableBlock, offset)) return;
    for (const JournalBlockContent& copy : JournalBlockCopies(*journal, journalReader_, tableBlock)) {
      if (copy.bytes.size() != sb_.blockSize) continue;
      const std::optional<ExtInode> old =
          ParseExtInode(std::span(copy.bytes).subspan(offset, sb_.inodeSize), sb_.inodeSize);
      if (old && old->IsDir() && old->HasInlineData()) take(*old, true);
    }
    return;
  }
  InodeData data;
  if (older) {
    data.inode = *inode;
    data.pieces = MapInode(*inode, (inode->size + sb_.blockSize - 1) / sb_.blockSize);
  } else {
    data = DataOf(number, *inode, !deleted);
  }
  // A folder's size is whole blocks; the entries are read block by block.
  std::vector<std::uint8_t> block(sb_.blockSize);
  std::set<std::pair<std::uint32_t, std::string>> seen;  // what this folder's entries named
  std::uint64_t allowed = std::min<std::uint64_t>(blockBudget_, kExtMaxFolderBytes / sb_.blockSize);
  const std::uint64_t sizeBlocks = (data.inode.size + sb_.blockSize - 1) / sb_.blockSize;
  for (const Piece& piece : data.pieces) {
    if (piece.zeros) continue;
    for (std::uint32_t k = 0; k < piece.length && allowed > 0; ++k) {
      if (piece.logical + k >= sizeBlocks) break;
      --allowed;
      --blockBudget_;
      std::uint32_t got = 0;
      if (ReadBlocks(piece.physical + k, 1, block.data(), &got) != kSuccess || got != 1) continue;
      WalkBlock(block, piece.physical + k, number, deleted, seen);
    }
  }
}

void CFastExtRecovery::WalkBlock(std::span<const std::uint8_t> block, std::uint64_t blockNumber, std::uint32_t folder,
                                 bool inDeleted, std::set<std::pair<std::uint32_t, std::string>>& seen) {
  const bool hasFileType = (sb_.featureIncompat & kExtIncompatFiletype) != 0;
  const std::uint64_t firstSector = AbsoluteSector(SectorOfBlock(blockNumber));
  for (const ExtDirEntry& e : ParseExtDirBlock(block, sb_.inodesCount, hasFileType)) {
    if (e.inode != 0 && !seen.emplace(e.inode, e.name).second) continue;
    TakeEntry(e, folder, inDeleted, firstSector + e.offset / 512,
              e.deleted ? ExtNameSource::DeletedEntry : ExtNameSource::Directory);
  }
  // The kernel wipes a deleted entry in its folder; older copies of the block in the journal
  // still hold it. Names the block itself gave are not taken again.
  const JournalIndex* journal = Journal();
  if (journal == nullptr) return;
  for (const JournalBlockContent& copy : JournalBlockCopies(*journal, journalReader_, blockNumber)) {
    if (copy.bytes.size() != block.size()) continue;
    for (ExtDirEntry e : ParseExtDirBlock(copy.bytes, sb_.inodesCount, hasFileType)) {
      if (e.inode == 0 || !seen.emplace(e.inode, e.name).second) continue;
      e.deleted = true;
      TakeEntry(e, folder, inDeleted, firstSector + e.offset / 512, ExtNameSource::Journal);
    }
  }
}

void CFastExtRecovery::TakeEntry(const ExtDirEntry& entry, std::uint32_t folder, bool inDeleted,
                                 std::uint64_t entrySector, ExtNameSource nameSource) {
  // A name whose inode number is gone (deleted first in its block) leads to no data.
  if (entry.inode == 0 || (entry.inode < sb_.firstInode && entry.inode != kExtRootInode)) return;
  if (entry.inode == kExtRootInode || entry.inode == folder) return;
  std::optional<ExtInode> inode = ReadInode(entry.inode);
  if (!inode) return;
  const bool inodeLive = InodeInUse(entry.inode) && inode->links > 0 && inode->dtime == 0;
  bool deleted = entry.deleted || inDeleted;
  std::optional<ExtInode> older;
  if (deleted && inodeLive) {
    // A deleted name whose inode is live again names a file that lives on under another name (a
    // rename's leftover: same generation) or a new file that took the inode. Then the journal may
    // still hold the inode as the old file had it.
    const bool folderName = entry.fileType == kTypeFolder;
    if ((!folderName && entry.fileType != kTypeRegular) || folders_.contains(entry.inode) ||
        (folderName && walkedFolders_.contains(entry.inode)))
      return;
    older = OlderCopyBeforeReuse(entry.inode, inode->generation, folderName);
    if (!older) return;
    inode = older;
  }
  // A live name whose inode is free is what a crash left: as good as deleted.
  if (!deleted && !inodeLive) deleted = true;
  const bool modeKnown = inode->mode != 0;
  const bool isFolder = modeKnown ? inode->IsDir() : entry.fileType == kTypeFolder;
  const bool isFile = modeKnown ? inode->IsRegular() : entry.fileType == kTypeRegular;
  if (!isFolder && !isFile) return;
  // A live file is walked past, as the other quick engines do: the list holds what was lost.
  if (isFile && !deleted) {
    named_.insert(entry.inode);
    return;
  }

  if (isFolder) {
    if (walkedFolders_.contains(entry.inode)) return;
    FoundFileRecord record = InodeRecord(*inode, true, deleted);
    record.objectNumber = entry.inode;
    record.locationSector = entrySector;
    record.extra = SourceBits(older ? ExtDataSource::Journal : ExtDataSource::Inode, nameSource);
    SetRecordName(record, SanitizeName(entry.name));
    auto [it, inserted] = folders_.try_emplace(entry.inode, FolderSeen{record, folder, deleted, older});
    // Two names for one folder inode: the live one keeps it.
    if (!inserted) {
      if (it->second.deleted && !deleted) it->second = FolderSeen{record, folder, deleted, older};
      return;
    }
    pendingFolders_.push_back(entry.inode);
    return;
  }

  InodeData data = DataOf(entry.inode, *inode, !deleted);
  if (older && data.source == ExtDataSource::Inode) data.source = ExtDataSource::Journal;
  FoundFileRecord record = InodeRecord(data.inode, false, deleted);
  record.objectNumber = entry.inode;
  record.locationSector = entrySector;
  record.extra = SourceBits(data.source, nameSource);
  SetRecordName(record, SanitizeName(entry.name));
  // Where the file's first byte lies, when a block holds it.
  if (!data.pieces.empty() && data.pieces.front().logical == 0 && !data.pieces.front().zeros)
    record.dataAreaSector = AbsoluteSector(SectorOfBlock(data.pieces.front().physical));
  if (deleted) {
    // Nothing left says where its data lay (or that it had any): there is nothing to show.
    bool overwritten = data.source == ExtDataSource::None;
    // Blocks handed out again since: the data has likely been overwritten.
    for (const Piece& p : data.pieces) {
      for (std::uint32_t k = 0; k < p.length && !overwritten; ++k) overwritten = BlockInUse(p.physical + k);
      if (overwritten) break;
    }
    if (!overwritten && !data.pieces.empty() && data.pieces.front().logical == 0 && !data.pieces.front().zeros) {
      std::vector<std::uint8_t> first(sb_.blockSize);
      std::uint32_t got = 0;
      if (ReadBlocks(data.pieces.front().physical, 1, first.data(), &got) == kSuccess && got == 1 &&
          !CheckSignatureByExtension(first, RecordExtension(record), source_, sectorSize_, record.dataAreaSector))
        overwritten = true;
    }
    if (overwritten) {
      record.contentState = 0;
    } else if (data.source == ExtDataSource::ExtentLeaf) {
      record.contentState = 2;  // its end is the last block's
    }
  }
  named_.insert(entry.inode);
  if (older) olderNamed_.insert(entry.inode);
  foldersWithFinds_.insert(folder);
  CatalogueRecord(record, ScanCatalogue::MakeFolderKey(folder, FolderDepth(folder)), false);
  if (data.source == ExtDataSource::Journal || data.source == ExtDataSource::ExtentLeaf)
    olderData_[std::uint32_t{record.recordId}] = std::move(data);
}

std::uint32_t CFastExtRecovery::FolderDepth(std::uint32_t folder) const {
  std::uint32_t depth = 0;
  std::uint32_t at = folder;
  while (at != kExtRootInode && depth < kMaxFolderDepth) {
    const auto it = folders_.find(at);
    if (it == folders_.end()) break;
    ++depth;
    at = it->second.parent;
  }
  return depth;
}

void CFastExtRecovery::CatalogueFolders() {
  // Listed: the deleted folders and the folders on the way to a deleted file or folder.
  std::unordered_set<std::uint32_t> listed;
  auto keepWay = [&](std::uint32_t at) {
    for (std::uint32_t depth = 0; at != kExtRootInode && depth <= kMaxFolderDepth; ++depth) {
      const auto it = folders_.find(at);
      if (it == folders_.end() || !listed.insert(at).second) return;
      at = it->second.parent;
    }
  };
  for (const std::uint32_t folder : foldersWithFinds_) keepWay(folder);
  for (const auto& [number, seen] : folders_)
    if (seen.deleted) keepWay(number);
  for (auto& [number, seen] : folders_) {
    if (!listed.contains(number)) continue;
    FoundFileRecord record = seen.record;
    CatalogueRecord(record, ScanCatalogue::MakeFolderKey(seen.parent, FolderDepth(seen.parent)), true);
  }
}

void CFastExtRecovery::CatalogueNameless() {
  // Inodes of deleted files that no name reaches but whose data can still be found. Only the part
  // of each table ever used is read (groups with checksums say how much of it was not).
  const bool groupChecksums = (sb_.featureRoCompat & (kExtRoCompatGdtCsum | kExtRoCompatMetadataCsum)) != 0;
  std::uint64_t bytesLeft = kMaxOrphanTableBytes;
  bool lostFolderMade = false;
  CarvingContext recognising;
  for (std::size_t g = 0; g < groups_.size(); ++g) {
    const ExtGroupDesc& d = groups_[g];
    if (d.inodeTable == 0 || (groupChecksums && (d.flags & kExtGroupInodeUninit) != 0)) continue;
    std::uint32_t used = sb_.inodesPerGroup;
    if (groupChecksums && d.itableUnused <= used) used -= d.itableUnused;
    for (std::uint32_t k = 0; k < used; ++k) {
      if (bytesLeft < sb_.inodeSize) return;
      bytesLeft -= sb_.inodeSize;
      const std::uint64_t wide = g * std::uint64_t{sb_.inodesPerGroup} + k + 1;
      if (wide > sb_.inodesCount) return;
      const auto number = static_cast<std::uint32_t>(wide);
      if (number < sb_.firstInode || walkedFolders_.contains(number) || folders_.contains(number)) continue;
      std::optional<ExtInode> inode;
      const bool reused = InodeInUse(number);
      if (reused) {
        // A new file took the inode; the journal may still hold the old file's copy of it, with
        // another generation, mapping blocks that nothing took since.
        if (olderNamed_.contains(number) || Journal() == nullptr) continue;
        const std::optional<ExtInode> now = ReadInode(number);
        if (!now) continue;
        inode = OlderCopyBeforeReuse(number, now->generation, false);
        if (!inode) continue;
      } else {
        if (named_.contains(number)) continue;
        inode = ReadInode(number);
        // A deleted inode's size is often cleared with its map; its leaves may still say more.
        if (!inode || !inode->IsRegular() || (inode->size == 0 && inode->dtime == 0)) continue;
      }
      InodeData data = DataOf(number, *inode, false);
      if (reused && data.source == ExtDataSource::Inode) data.source = ExtDataSource::Journal;
      if (data.source == ExtDataSource::None || data.pieces.empty()) continue;
      bool overwritten = false;
      for (const Piece& p : data.pieces) {
        for (std::uint32_t b = 0; b < p.length && !overwritten; ++b) overwritten = BlockInUse(p.physical + b);
        if (overwritten) break;
      }
      // Blocks taken again by live files: nothing of this inode's data is left to show.
      if (overwritten) continue;
      if (!lostFolderMade) {
        FoundFileRecord lost = MakeLostFolderRecord(sourceTag_, kTagFastExt, kLostFolderObject);
        lost.partitionStartSector = partitionBase_;
        CatalogueRecord(lost, ScanCatalogue::MakeFolderKey(kExtRootInode, 0), true);
        lostFolderMade = true;
      }
      FoundFileRecord record = InodeRecord(data.inode, false, true);
      record.objectNumber = number;
      std::uint64_t inodeByte = 0;
      std::vector<std::uint8_t> raw;
      if (ReadRawInode(number, raw, &inodeByte)) record.locationSector = AbsoluteSector(inodeByte / 512);
      record.extra = SourceBits(data.source, ExtNameSource::None);
      if (data.source == ExtDataSource::ExtentLeaf) record.contentState = 2;
      if (data.pieces.front().logical == 0 && !data.pieces.front().zeros)
        record.dataAreaSector = AbsoluteSector(SectorOfBlock(data.pieces.front().physical));
      // Named by its inode and, where its first block shows one, its type's extension: it is
      // sorted with its kind, and a carved copy of it is known for the same file.
      std::string name = Format("inode%u", number);
      if (record.dataAreaSector != 0) {
        std::vector<std::uint8_t> first(sb_.blockSize);
        std::uint32_t got = 0;
        if (ReadBlocks(data.pieces.front().physical, 1, first.data(), &got) == kSuccess && got == 1) {
          recognising.sectorSize = sectorSize_;
          recognising.source = &source_;
          recognising.fileStartSector = record.dataAreaSector;
          recognising.cursorSector = record.dataAreaSector;
          recognising.tsStreamMode = true;
          const FileTypeId type = RecogniseHeaderFast(recognising, first);
          if (type != kTypeNone) name += "." + std::string(ExtensionForType(type));
        }
      }
      SetRecordName(record, name);
      CatalogueRecord(record, ScanCatalogue::MakeFolderKey(kLostFolderObject, 1), false);
      if (data.source != ExtDataSource::Inode) olderData_[std::uint32_t{record.recordId}] = std::move(data);
    }
  }
}

}  // namespace rexmoor
