// The quick FAT engine's folder walk: one folder's blocks (the fixed FAT12/16 root, or a cluster
// chain), its entries with their long names, and the records of what it finds.
#include <algorithm>
#include <unordered_set>

#include "fat/entry_record.h"
#include "platform/byte_view.h"
#include "fat/fast_fat_recovery.h"

namespace rexmoor {

namespace {

// Folder nesting deeper than this is taken as a loop in damaged ".." entries.
constexpr std::uint32_t kMaxFolderDepth = 4096;

// A sub-folder's first cluster opens with "." (a folder) and "..".
bool StartsWithDotPair(std::span<const std::uint8_t> block) {
  if (block.size() < 2 * kDirEntrySize) return false;
  const std::uint8_t* e = block.data();
  return IsDotEntry(e) && (e[kEntryAttr] & kAttrFolder) != 0 && IsDotDotEntry(e + kDirEntrySize);
}

}  // namespace

void CFastFatRecovery::WalkFolder(std::uint32_t cluster) {
  const bool fixedRoot = !layout_.IsFat32() && cluster == 0;
  if (!fixedRoot && !layout_.IsValidCluster(cluster)) return;
  FolderWalk walk;
  walk.parent = cluster;
  if (cluster != layout_.rootCluster) {
    if (auto it = folderRecords_.find(cluster); it != folderRecords_.end()) {
      walk.knownSubFolder = true;
      walk.inDeleted = it->second.record.deletedMark != 0;
      // A folder whose chain was cleared while its entry stayed is as lost as a deleted one:
      // nothing protects its clusters any more, so every file in it is a find, and its blocks
      // run on through the clusters after the first, as a deleted folder's do.
      std::uint32_t link = 0;
      if (!walk.inDeleted && fat_.ReadEntry(cluster, link) == kSuccess && link == 0) {
        walk.inDeleted = true;
        it->second.record.deletedMark = 1;
      }
    }
  }

  const std::uint32_t bps = layout_.bytesPerSector;
  // Where the next block comes from.
  std::uint64_t rootSectorsLeft = fixedRoot ? layout_.rootDirSectors : 0;
  std::uint64_t rootNextSector = layout_.rootDirSector;
  std::uint32_t current = cluster;
  bool viaClearedEntry = false;
  std::unordered_set<std::uint32_t> chain;
  std::uint64_t bytesWalked = 0;

  for (bool firstBlock = true;; firstBlock = false) {
    std::uint64_t blockSector = 0;
    std::uint32_t blockSectors = 0;
    if (fixedRoot) {
      if (rootSectorsLeft == 0) return;
      blockSector = rootNextSector;
      blockSectors = static_cast<std::uint32_t>(std::min<std::uint64_t>(rootSectorsLeft, kRootBlockBytes / bps));
      if (blockSectors == 0) blockSectors = 1;
      rootSectorsLeft -= blockSectors;
      rootNextSector += blockSectors;
    } else {
      auto sector = layout_.ClusterSector(current);
      if (!sector || !chain.insert(current).second) return;
      blockSector = *sector;
      blockSectors = layout_.sectorsPerCluster;
    }
    // On a sound volume every cluster belongs to one folder at most; a scan that has read far more
    // directory data than that is reading a damaged FAT's loops over and over.
    if (blockBudget_ == 0) return;
    --blockBudget_;
    std::uint32_t got = 0;
    if (ReadVolume(blockSector, blockSectors, blockBuffer_.data(), &got) != kSuccess) return;
    const std::size_t blockBytes = static_cast<std::size_t>(blockSectors) * bps;
    const std::span<const std::uint8_t> block(blockBuffer_.data(), blockBytes);
    bytesWalked += blockBytes;

    // A sub-folder must open with its "."/".." pair; a further cluster reached only because its
    // FAT entry is clear (a deleted folder's) must still read as directory entries.
    if (walk.knownSubFolder && firstBlock && !StartsWithDotPair(block)) return;
    if (!firstBlock && viaClearedEntry && !IsFatDirectorySector(block)) return;
    if (!WalkBlock(block, blockSector, walk)) return;

    if (fixedRoot) continue;
    if (bytesWalked >= kMaxFolderBytes) return;
    std::uint32_t link = 0;
    if (fat_.ReadEntry(current, link) != kSuccess) link = 0;
    const std::uint32_t next = fat_.NextClusterOf(current);
    if (next == 0 || next == current) return;
    viaClearedEntry = link == 0;
    current = next;
  }
}

bool CFastFatRecovery::WalkBlock(std::span<const std::uint8_t> block, std::uint64_t blockSector, FolderWalk& walk) {
  const std::uint32_t bps = layout_.bytesPerSector;
  const DirWalkResult walked = WalkDirectoryEntries(block, walk.longName, [&](const DirWalkEntry& found) {
    const DirEntry& entry = found.entry;
    const std::uint8_t* e = found.raw.data();
    const std::uint64_t entrySector = blockSector + found.offset / bps;
    if (entry.IsFolder()) {
      if (IsDotEntry(e)) {
        const std::uint32_t self = layout_.IsFat32() ? entry.FirstCluster() : entry.clusterLow;
        if (layout_.IsValidCluster(self)) walk.parent = self;
      } else if (!IsDotDotEntry(e)) {
        NoteSubFolder(entry, found.raw, found.longName, entrySector, walk);
      }
      return true;
    }
    if (!entry.IsFile() || (!entry.IsDeleted() && !walk.inDeleted)) return true;
    CatalogueFile(entry, found.raw, !found.longName.empty() ? found.longName : DecodeShortName(found.raw, true),
                  entrySector, walk.parent, walk.inDeleted);
    return true;
  });
  return walked.end == DirWalkEnd::BlockEnd;
}

FoundFileRecord CFastFatRecovery::EntryRecord(const DirEntry& entry, std::span<const std::uint8_t> raw, bool isFolder,
                                              bool deleted, std::uint32_t first, std::uint64_t entrySector) const {
  FoundFileRecord record = NewRecord(kTagFastFat, isFolder);
  record.deletedMark = deleted ? 1 : 0;
  record.objectNumber = first;
  record.clusterBytes = static_cast<std::int32_t>(layout_.ClusterBytes());
  SetEntryTimes(record, raw);
  record.size = isFolder ? 0 : entry.size;
  record.dataAreaSector = layout_.dataAreaSector;
  record.locationSector = AbsoluteSector(entrySector);
  return record;
}

void CFastFatRecovery::NoteSubFolder(const DirEntry& entry, std::span<const std::uint8_t> raw,
                                     const std::string& longName, std::uint64_t entrySector, const FolderWalk& walk) {
  const bool deleted = entry.IsDeleted();
  std::uint32_t first = layout_.IsFat32() ? entry.FirstCluster() : entry.clusterLow;
  if (layout_.IsFat32() && deleted && entry.clusterHigh == 0) {
    first = FirstCluster(FindFolderHighWord(entry.clusterLow), entry.clusterLow);
  }
  FoundFileRecord record = EntryRecord(entry, raw, true, deleted || walk.inDeleted, first, entrySector);
  record.contentState = 1;
  SetRecordName(record, EntryDisplayName(longName, raw, true));
  if (first == 0 || first == walk.parent || !layout_.IsValidCluster(first)) return;
  pendingFolders_.push_back(first);
  auto [it, inserted] = folderRecords_.try_emplace(first, FolderSeen{record, walk.parent});
  if (inserted) return;
  // Two entries name the same cluster (a deleted folder's cluster given to a later folder). A live
  // folder keeps its place against a deleted entry; otherwise the folder goes where its own ".."
  // points, whichever entry was met last.
  const FolderSeen& earlier = it->second;
  if (earlier.record.deletedMark == 0 && record.deletedMark != 0) return;
  if (earlier.record.deletedMark == record.deletedMark && earlier.parent != walk.parent) {
    const std::optional<std::uint32_t> up = DotDotOf(first);
    if (up && *up == earlier.parent) return;
  }
  it->second = FolderSeen{record, walk.parent};
}

std::optional<std::uint32_t> CFastFatRecovery::DotDotOf(std::uint32_t cluster) {
  if (!FirstSectorOf(cluster, sectorBuffer_)) return std::nullopt;
  const std::uint8_t* s = sectorBuffer_.data();
  if (s[kEntryAttr] == kAttrVolumeLabel || s[0] != '.' || !IsDotDotEntry(s + kDirEntrySize)) return std::nullopt;
  const std::uint8_t* up = s + kDirEntrySize;
  const std::uint32_t c = layout_.IsFat32() ? FirstCluster(LoadU16LE(up + kEntryClusterHigh), LoadU16LE(up + kEntryClusterLow))
                                            : LoadU16LE(up + kEntryClusterLow);
  // A folder just below the root names it as cluster 0.
  return c == 0 ? layout_.rootCluster : c;
}

void CFastFatRecovery::CatalogueFile(const DirEntry& entry, std::span<const std::uint8_t> raw, const std::string& name,
                                     std::uint64_t entrySector, std::uint32_t parent, bool inDeleted) {
  std::uint32_t first = layout_.IsFat32() ? entry.FirstCluster() : entry.clusterLow;
  if (layout_.IsFat32() && entry.IsDeleted() && entry.clusterHigh == 0) {
    first = FirstCluster(FindFileHighWord(name, entry.clusterLow), entry.clusterLow);
  }
  FoundFileRecord record = EntryRecord(entry, raw, false, entry.IsDeleted() || inDeleted, first, entrySector);
  SetRecordName(record, SanitizeName(name));
  record.contentState = CheckContentByExtension(record);
  CatalogueRecord(record, ScanCatalogue::MakeFolderKey(parent, CountParentDepth(parent)), false);
  NoteFolderWithFind(parent);
}

void CFastFatRecovery::NoteFolderWithFind(std::uint32_t folder) {
  std::uint32_t a = folder;
  for (std::uint32_t steps = 0; steps < kMaxFolderDepth; ++steps) {
    if (foldersWithFindsSet_.insert(a).second) foldersWithFinds_.push_back(a);
    if (a == layout_.rootCluster) return;
    auto it = folderRecords_.find(a);
    if (it == folderRecords_.end() || it->second.parent == a) return;
    a = it->second.parent;
  }
}

std::uint32_t CFastFatRecovery::CountParentDepth(std::uint32_t cluster) {
  if (auto it = depthCache_.find(cluster); it != depthCache_.end()) return it->second;
  std::unordered_set<std::uint32_t> visited;
  std::uint32_t depth = 0;
  std::uint32_t c = cluster;
  while (depth < kMaxFolderDepth) {
    if (c == 0 || c == layout_.rootCluster || !visited.insert(c).second) break;
    const std::optional<std::uint32_t> up = DotDotOf(c);
    if (!up) break;
    ++depth;
    c = *up;
  }
  depthCache_.emplace(cluster, depth);
  return depth;
}

}  // namespace rexmoor
