// The quick exFAT engine's folder walk: one folder's bytes (its clusters by chain or contiguous),
// the entry sets in them, and the records of what it finds.
#include "engine/name_sanitize.h"
#include "exfat/fast_exfat_recovery.h"
#include "formats/carve_at_sector.h"

namespace rexmoor {

namespace {

// Folder nesting deeper than this is taken as a loop.
constexpr std::uint32_t kMaxFolderDepth = 4096;

std::uint64_t FileTimeOf(const ExfatTimestamp& stamp) { return ExfatTimeToFileTime(stamp).value_or(0); }

}  // namespace

void CFastExfatRecovery::ResetScanState() {
  folderRecords_.clear();
  pendingFolders_.clear();
  foldersWithFinds_.clear();
  foldersWithFindsSet_.clear();
  walkedFolders_.clear();
}

Result CFastExfatRecovery::RunScan() {
  // On a sound volume every cluster belongs to one folder at most.
  clusterBudget_ = 2 * std::uint64_t{layout_.clusterCount} + 1;
  return WalkFoldersBreadthFirst(
      layout_.rootCluster, pendingFolders_, walkedFolders_, [this](std::uint32_t c) { WalkFolder(c); },
      [this] { CatalogueFoldersWithFinds(); });
}

void CFastExfatRecovery::WalkFolder(std::uint32_t cluster) {
  if (!layout_.IsValidCluster(cluster)) return;
  std::vector<Run> runs;
  bool catalogueLive = false;
  if (cluster == layout_.rootCluster) {
    // The root has no stream entry: its chain is all there is.
    bool ended = false;
    runs = ChainRuns(cluster, kExfatMaxFolderBytes / layout_.ClusterBytes(), &ended);
  } else {
    const auto it = folderRecords_.find(cluster);
    if (it == folderRecords_.end()) return;
    runs = StreamRuns(cluster, it->second.dataLength, it->second.noFatChain);
    // Inside a deleted folder every file is lost. Unless its first cluster has been handed out
    // again: then the live entries there belong to whatever holds it now.
    catalogueLive = it->second.record.deletedMark != 0 && !BitmapSaysUsed(cluster);
  }
  // Trim the runs to the scan's budget and the folder cap.
  std::uint64_t allowed = std::min<std::uint64_t>(clusterBudget_, kExfatMaxFolderBytes / layout_.ClusterBytes());
  std::vector<Run> kept;
  for (Run run : runs) {
    if (allowed == 0) break;
    run.count = static_cast<std::uint32_t>(std::min<std::uint64_t>(run.count, allowed));
    allowed -= run.count;
    clusterBudget_ -= run.count;
    kept.push_back(run);
  }
  // A read fault ends the folder where it struck; what came before is still walked.
  (void)ReadRuns(kept, kExfatMaxFolderBytes, folderBytes_);
  WalkEntries(folderBytes_, kept, cluster, catalogueLive);
}

std::uint64_t CFastExfatRecovery::SectorOfFolderByte(const std::vector<Run>& runs, std::uint64_t offset) const {
  const std::uint64_t clusterBytes = layout_.ClusterBytes();
  std::uint64_t index = offset / clusterBytes;
  for (const Run& run : runs) {
    if (index < run.count)
      return *layout_.ClusterSector(run.first + index) + (offset % clusterBytes) / layout_.bytesPerSector;
    index -= run.count;
  }
  return 0;
}

void CFastExfatRecovery::WalkEntries(std::span<const std::uint8_t> bytes, const std::vector<Run>& runs,
                                     std::uint32_t folder, bool inDeleted) {
  // Sets are read over the whole folder, so that one crossing a sector or cluster is whole. Entries
  // after an end-of-folder mark are read too: a deleted set there may still be intact.
  for (std::size_t at = 0; at + kExfatEntrySize <= bytes.size();) {
    if ((bytes[at] & ~kExfatInUse) != (kExfatTypeFile & ~kExfatInUse)) {
      at += kExfatEntrySize;
      continue;
    }
    ExfatEntrySet set;
    if (ParseExfatEntrySet(bytes.subspan(at), upcase_, set) != ExfatSetStatus::Ok || set.entryCount == 0) {
      at += kExfatEntrySize;
      continue;
    }
    const std::uint64_t sector = SectorOfFolderByte(runs, at);
    if (set.IsFolder()) {
      NoteSubFolder(set, sector, folder, inDeleted);
    } else if (set.deleted || inDeleted) {
      CatalogueFile(set, sector, folder, inDeleted);
    }
    at += set.entryCount * kExfatEntrySize;
  }
}

FoundFileRecord CFastExfatRecovery::SetRecord(const ExfatEntrySet& set, bool isFolder, bool deleted,
                                              std::uint64_t entrySector) const {
  FoundFileRecord record = NewRecord(kTagFastExfat, isFolder);
  record.deletedMark = deleted ? 1 : 0;
  record.objectNumber = set.firstCluster;
  record.clusterBytes = static_cast<std::int32_t>(layout_.ClusterBytes());
  record.createdTime = FileTimeOf(set.created);
  record.modifiedTime = FileTimeOf(set.modified);
  record.accessedTime = FileTimeOf(set.accessed);
  record.size = isFolder ? 0 : set.dataLength;
  record.dataAreaSector = std::min(set.validDataLength, set.dataLength);
  record.locationSector = AbsoluteSector(entrySector);
  record.extra = set.streamFlags;
  // At most 255 UTF-16 units may take 765 bytes of UTF-8; the sanitised name fits the record and
  // keeps its extension.
  SetRecordName(record, SanitizeName(set.name));
  return record;
}

void CFastExfatRecovery::NoteSubFolder(const ExfatEntrySet& set, std::uint64_t entrySector, std::uint32_t parent,
                                       bool inDeleted) {
  const std::uint32_t first = set.firstCluster;
  if (!layout_.IsValidCluster(first) || first == parent || first == layout_.rootCluster) return;
  // A folder already walked keeps the place it was walked in, so that no folder becomes its own
  // ancestor.
  if (walkedFolders_.contains(first)) return;
  FoundFileRecord record = SetRecord(set, true, set.deleted || inDeleted, entrySector);
  record.contentState = 1;
  const FolderSeen seen{record, parent, set.dataLength, set.NoFatChain()};
  pendingFolders_.push_back(first);
  auto [it, inserted] = folderRecords_.try_emplace(first, seen);
  // Two entries name the same cluster (a deleted folder's cluster given to a later folder): the
  // live one keeps it.
  if (inserted || (it->second.record.deletedMark == 0 && record.deletedMark != 0)) return;
  it->second = seen;
}

void CFastExfatRecovery::CatalogueFile(const ExfatEntrySet& set, std::uint64_t entrySector, std::uint32_t parent,
                                       bool inDeleted) {
  FoundFileRecord record = SetRecord(set, false, set.deleted || inDeleted, entrySector);
  // Clusters the bitmap hands to something else now, or a first sector that is not what the name
  // promises: the data has likely been overwritten.
  record.contentState = 1;
  if (set.dataLength > 0) {
    const std::vector<Run> runs = StreamRuns(set.firstCluster, set.dataLength, set.NoFatChain());
    if (AnyInUse(runs)) {
      record.contentState = 0;
    } else if (const auto sector = layout_.ClusterSector(set.firstCluster); sector && set.validDataLength > 0) {
      std::vector<std::uint8_t> first(layout_.bytesPerSector);
      if (ReadVolume(*sector, 1, first.data(), nullptr) == kSuccess &&
          !CheckSignatureByExtension(first, RecordExtension(record), source_, sectorSize_, AbsoluteSector(*sector)))
        record.contentState = 0;
    }
  }
  CatalogueRecord(record, ScanCatalogue::MakeFolderKey(parent, FolderDepth(parent)), false);
  NoteFolderWithFind(parent);
}

std::uint32_t CFastExfatRecovery::FolderDepth(std::uint32_t folder) const {
  std::uint32_t depth = 0;
  std::uint32_t c = folder;
  while (c != layout_.rootCluster && depth < kMaxFolderDepth) {
    const auto it = folderRecords_.find(c);
    if (it == folderRecords_.end()) break;
    ++depth;
    c = it->second.parent;
  }
  return depth;
}

void CFastExfatRecovery::NoteFolderWithFind(std::uint32_t folder) {
  std::uint32_t a = folder;
  for (std::uint32_t steps = 0; steps < kMaxFolderDepth; ++steps) {
    if (foldersWithFindsSet_.insert(a).second) foldersWithFinds_.push_back(a);
    if (a == layout_.rootCluster) return;
    const auto it = folderRecords_.find(a);
    if (it == folderRecords_.end() || it->second.parent == a) return;
    a = it->second.parent;
  }
}

void CFastExfatRecovery::CatalogueFoldersWithFinds() {
  for (std::uint32_t cluster : foldersWithFinds_) {
    const auto it = folderRecords_.find(cluster);
    if (it == folderRecords_.end()) continue;
    FoundFileRecord record = it->second.record;
    record.contentState = 1;
    const std::uint32_t parent = it->second.parent;
    CatalogueRecord(record, ScanCatalogue::MakeFolderKey(parent, FolderDepth(parent)), true);
  }
}

}  // namespace rexmoor
