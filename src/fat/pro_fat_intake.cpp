// The formatted FAT engine's intake: layouts from folder starts, sectors routed to the cluster
// they belong to, long names stitched across sectors, and the passes that end the sweep.
#include <algorithm>
#include <iterator>

#include "fat/entry_record.h"
#include "fat/pro_fat_recovery.h"
#include "platform/byte_view.h"
#include "platform/text.h"

namespace rexmoor {

namespace {

// The checksum a sector offers to a long name cut off before it: a long-name part's own, or the
// one its leading short entry's name gives. Nothing for any other first entry.
std::optional<std::uint8_t> ContinuationKey(std::span<const std::uint8_t> sector) {
  if (sector.size() < kDirEntrySize) return std::nullopt;
  if (sector[kEntryAttr] == kAttrLongName) return sector[kLfnChecksum];
  if (sector[0] == kDeletedMark || sector[0] == 0) return std::nullopt;
  return LfnChecksum(sector.first<kShortNameLength>());
}

std::vector<std::uint8_t> Joined(const std::vector<std::uint8_t>& head, std::span<const std::uint8_t> tail) {
  std::vector<std::uint8_t> joined;
  joined.reserve(head.size() + tail.size());
  joined.insert(joined.end(), head.begin(), head.end());
  joined.insert(joined.end(), tail.begin(), tail.end());
  return joined;
}

}  // namespace

// --- layouts -----------------------------------------------------------------------------------------

CProfessionalFatRecovery::LayoutIndex CProfessionalFatRecovery::FindLayoutAt(std::uint32_t cluster,
                                                                            std::uint64_t sector) const {
  for (std::size_t i = 0; i < layouts_.size(); ++i) {
    if (layouts_[i].ClusterSector(cluster) == sector && cluster >= kFirstCluster) return i;
  }
  return std::nullopt;
}

CProfessionalFatRecovery::LayoutIndex CProfessionalFatRecovery::FindLayoutFor(std::uint64_t sector) const {
  if (layouts_.empty()) return std::nullopt;
  if (layouts_.size() >= 2) {
    // The closest data area at or below the sector, among the layouts the folders gave.
    LayoutIndex best;
    for (std::size_t i = bootLayoutPresent_ ? 1 : 0; i < layouts_.size(); ++i) {
      const std::uint64_t start = layouts_[i].DataStart();
      if (start <= sector && (!best || start > layouts_[*best].DataStart())) best = i;
    }
    if (best) return best;
  }
  return 0;
}

CProfessionalFatRecovery::LayoutIndex CProfessionalFatRecovery::LearnFromAnchor(std::uint32_t cluster,
                                                                               std::uint64_t sector) {
  const FolderAnchor anchor{cluster, sector};
  for (const FolderAnchor& earlier : anchors_) {
    const std::optional<VolumeLayout> layout = InferVolumeLayout(earlier, anchor, partitionBase_);
    if (!layout) continue;
    if (layouts_.size() >= limits_.layouts) {
      NoteDropped("volume layouts");
      break;
    }
    layouts_.push_back(*layout);
    break;
  }
  if (anchors_.size() >= limits_.anchors) anchors_.pop_front();
  anchors_.push_back(anchor);
  return FindLayoutAt(cluster, sector);
}

void CProfessionalFatRecovery::PlacePending(PendingRecord& pending, std::size_t layout) {
  FoundFileRecord record = pending.record;
  const std::uint32_t owner = record.recordId;
  FillFromLayout(record, layout);
  record.contentState = CheckContiguousContent(record);
  CatalogueRecord(record, FolderKey(owner, layout), false);
  pending.placed = true;
  std::set<std::uint32_t> seen;
  NoteAncestors(owner, record.locationSector, layout, seen);
}

void CProfessionalFatRecovery::PlacePendingRecords() {
  // A record waits because no layout known when it was read placed its folder, so only the layouts
  // found since need trying.
  for (std::size_t l = placedUpTo_; l < layouts_.size(); ++l) {
    for (PendingRecord& pending : pending_) {
      if (pending.placed) continue;
      const std::uint64_t location = pending.record.locationSector;
      if (layouts_[l].ClusterSector(pending.record.recordId) == location) PlacePending(pending, l);
    }
  }
  placedUpTo_ = layouts_.size();
  std::erase_if(pending_, [](const PendingRecord& p) { return p.placed; });
}

// --- long names across sectors ---------------------------------------------------------------------------

void CProfessionalFatRecovery::KeepTail(ParseOutcome&& outcome) {
  if (tails_.size() >= limits_.waitingTails) {
    tails_.pop_front();
    NoteDropped("long names waiting for their next sector");
  }
  outcome.tail.nextSector = outcome.lastSector + 1;
  tails_.push_back(std::move(outcome.tail));
}

bool CProfessionalFatRecovery::ContinuesTail(const NameTail& tail, std::span<const std::uint8_t> sector,
                                             std::uint64_t sectorNumber) const {
  if (sector.size() < kDirEntrySize) return false;
  if (sector[kEntryAttr] == kAttrLongName && sector[kLfnChecksum] == tail.checksum) return true;
  if (sector[0] == kDeletedMark) {
    // A deleted entry carries no checksum to go by: it must lie in the tail's own cluster.
    if (tail.layout) return layouts_[*tail.layout].ClusterContaining(sectorNumber) == tail.cluster;
    return sectorNumber == tail.nextSector;
  }
  return sector[kEntryAttr] != kAttrLongName && LfnChecksum(sector.first<kShortNameLength>()) == tail.checksum;
}

bool CProfessionalFatRecovery::TakeWaitingTail(std::span<const std::uint8_t> sector, std::uint64_t sectorNumber) {
  auto it = std::find_if(tails_.begin(), tails_.end(),
                         [&](const NameTail& tail) { return ContinuesTail(tail, sector, sectorNumber); });
  if (it == tails_.end()) return false;
  NameTail tail = std::move(*it);
  tails_.erase(it);
  const std::vector<std::uint8_t> joined = Joined(tail.bytes, sector);
  ParseOutcome outcome = ParseDirectoryBlock(joined, tail.sector, tail.cluster, tail.layout, tail.owner);
  outcome.lastSector = sectorNumber;
  if (outcome.cut) FollowCutName(std::move(outcome));
  return true;
}

void CProfessionalFatRecovery::FollowCutName(ParseOutcome outcome) {
  // Earlier directory sectors that are still unplaced may go on with the name (a folder whose
  // next cluster lies before this one); each is used once, so the joining ends.
  while (outcome.cut) {
    const NameTail& tail = outcome.tail;
    std::optional<std::uint64_t> found;
    if (tail.layout) {
      const std::optional<std::uint64_t> next = layouts_[*tail.layout].ClusterSector(tail.cluster + 1);
      auto it = next ? orphans_.find(*next) : orphans_.end();
      if (it != orphans_.end() && !it->second.used) {
        const std::span<const std::uint8_t> bytes(it->second.bytes);
        if (bytes[kEntryAttr] == kAttrLongName ? bytes[kLfnChecksum] == tail.checksum
                                               : ContinuationKey(bytes) == tail.checksum)
          found = it->first;
      }
    } else if (!orphanKeys_[tail.checksum].empty()) {
      found = *orphanKeys_[tail.checksum].begin();
    }
    if (!found) break;
    Orphan& orphan = orphans_.at(*found);
    orphan.used = true;
    orphanKeys_[tail.checksum].erase(*found);
    const std::vector<std::uint8_t> joined = Joined(tail.bytes, orphan.bytes);
    const std::uint64_t last = *found;
    outcome = ParseDirectoryBlock(joined, tail.sector, tail.cluster, tail.layout, tail.owner);
    outcome.lastSector = last;
  }
  if (outcome.cut) KeepTail(std::move(outcome));
}

// --- orphans -------------------------------------------------------------------------------------------------

void CProfessionalFatRecovery::KeepOrphan(std::span<const std::uint8_t> sector, std::uint64_t sectorNumber) {
  if (orphans_.contains(sectorNumber)) return;
  while (!orphans_.empty() && orphanBytes_ + sector.size() > limits_.orphanBytes) {
    // The oldest (lowest, as the sweep ascends) go first.
    auto oldest = orphans_.begin();
    if (auto key = ContinuationKey(oldest->second.bytes)) orphanKeys_[*key].erase(oldest->first);
    orphanBytes_ -= oldest->second.bytes.size();
    orphans_.erase(oldest);
    NoteDropped("directory sectors waiting for their folder");
  }
  if (sector.size() > limits_.orphanBytes) return;
  Orphan orphan;
  orphan.bytes.assign(sector.begin(), sector.end());
  orphanBytes_ += orphan.bytes.size();
  if (auto key = ContinuationKey(sector)) orphanKeys_[*key].insert(sectorNumber);
  orphans_.emplace(sectorNumber, std::move(orphan));
}

// --- the intake ---------------------------------------------------------------------------------------------------

void CProfessionalFatRecovery::TakeFolderStart(std::span<const std::uint8_t> sector, std::uint64_t sectorNumber) {
  if (!IsOpen() || sector.size() < 2 * kDirEntrySize || !InVolume(sectorNumber)) return;
  const std::uint32_t cluster = FirstCluster(LoadU16LE(sector.data() + kEntryClusterHigh),
                                             LoadU16LE(sector.data() + kEntryClusterLow));
  LayoutIndex layout = FindLayoutAt(cluster, sectorNumber);
  if (!layout) layout = LearnFromAnchor(cluster, sectorNumber);
  if (layout) {
    PlacePendingRecords();
    runContext_ = Context{layout, cluster, sectorNumber};
  }
  ParseOutcome outcome = ParseDirectoryBlock(sector, sectorNumber, cluster, layout);
  outcome.lastSector = sectorNumber;
  if (outcome.cut) FollowCutName(std::move(outcome));
}

void CProfessionalFatRecovery::ParseInCluster(std::span<const std::uint8_t> sector, std::uint64_t sectorNumber,
                                              std::uint32_t cluster, LayoutIndex layout) {
  ParseOutcome outcome = ParseDirectoryBlock(sector, sectorNumber, cluster, layout);
  outcome.lastSector = sectorNumber;
  if (outcome.cut) FollowCutName(std::move(outcome));
}

std::optional<CProfessionalFatRecovery::Context> CProfessionalFatRecovery::ClusterStartAt(std::uint64_t sectorNumber) const {
  for (std::size_t i = 0; i < layouts_.size(); ++i) {
    if (const std::optional<std::uint32_t> cluster = layouts_[i].ClusterStartingAt(sectorNumber))
      return Context{i, *cluster, sectorNumber};
  }
  return std::nullopt;
}

void CProfessionalFatRecovery::TakeDirectorySector(std::span<const std::uint8_t> sector, std::uint64_t sectorNumber) {
  if (!IsOpen() || sector.size() < kDirEntrySize || !InVolume(sectorNumber)) return;
  if (TakeWaitingTail(sector, sectorNumber)) return;
  if (runContext_.layout) {
    const VolumeLayout& l = layouts_[*runContext_.layout];
    if (sectorNumber >= runContext_.sector && sectorNumber - runContext_.sector < l.sectorsPerCluster) {
      ParseInCluster(sector, sectorNumber, runContext_.cluster, runContext_.layout);
      return;
    }
  }
  if (const std::optional<Context> start = ClusterStartAt(sectorNumber)) {
    runContext_ = *start;
    ParseInCluster(sector, sectorNumber, start->cluster, start->layout);
    return;
  }
  KeepOrphan(sector, sectorNumber);
}

void CProfessionalFatRecovery::ParseOrphan(std::uint64_t sectorNumber, const std::vector<std::uint8_t>& bytes) {
  if (TakeWaitingTail(bytes, sectorNumber)) return;
  if (const std::optional<Context> start = ClusterStartAt(sectorNumber)) {
    sweepContext_ = *start;
    ParseInCluster(bytes, sectorNumber, start->cluster, start->layout);
    return;
  }
  // Inside the cluster the last placed orphan started.
  if (sweepContext_.layout) {
    const VolumeLayout& l = layouts_[*sweepContext_.layout];
    if (sectorNumber >= sweepContext_.sector && sectorNumber - sweepContext_.sector < l.sectorsPerCluster) {
      ParseInCluster(bytes, sectorNumber, sweepContext_.cluster, sweepContext_.layout);
      return;
    }
  }
  const LayoutIndex layout = FindLayoutFor(sectorNumber);
  if (!layout) return;
  const VolumeLayout& l = layouts_[*layout];
  std::optional<std::uint32_t> cluster = l.ClusterContaining(sectorNumber);
  // In front of the data area lies the FAT12/16 root.
  if (!cluster && l.ClusterSector(0) && sectorNumber >= *l.ClusterSector(0)) cluster = 0;
  if (!cluster) return;
  ParseInCluster(bytes, sectorNumber, *cluster, layout);
}

// --- the end of the sweep ---------------------------------------------------------------------------------------------

FoundFileRecord CProfessionalFatRecovery::NewFolderRecord(std::uint32_t cluster, LayoutIndex layout) const {
  FoundFileRecord record = NewRecord(kTagProFat, true);
  record.objectNumber = cluster;
  record.contentState = 1;
  if (layout) FillFromLayout(record, *layout);
  return record;
}

void CProfessionalFatRecovery::CatalogueFolder(std::uint32_t cluster, const FolderWithFind& where) {
  if (IsRoot(cluster) || folderLevels_.contains(cluster)) return;
  if (auto it = folderInfos_.find(cluster); it != folderInfos_.end()) {
    FoundFileRecord record = it->second.record;
    const std::uint32_t parent = Normalised(record.recordId);
    LayoutIndex layout = it->second.layout;
    for (std::size_t i = 0; !layout && i < layouts_.size(); ++i) {
      if (layouts_[i].ClusterContaining(record.locationSector) == parent) layout = i;
    }
    if (!layout && IsRoot(parent)) layout = FindLayoutFor(record.locationSector);
    record.contentState = 1;
    if (!layout) {
      // Nowhere to place it: kept in the catalogue, outside the tree.
      record.recordId = catalogue_.RecordCount() + 1;
      *catalogue_.AppendRecord() = record;
      return;
    }
    FillFromLayout(record, *layout);
    const std::uint64_t key = FolderKey(parent, *layout);
    CatalogueRecord(record, key, true);
    folderLevels_.emplace(cluster, KeyLevel(key) + 1);
    return;
  }
  // The folder's own entry is gone (overwritten by a new root, or never handed in).
  LayoutIndex layout = where.layout;
  for (std::size_t i = 0; !layout && i < layouts_.size(); ++i) {
    if (layouts_[i].ClusterContaining(where.sector) == cluster) layout = i;
  }
  if (!layout) return;
  const std::uint32_t parent = Normalised(ParentOf(cluster, *layout).value_or(rootCluster_));
  FoundFileRecord record = NewFolderRecord(cluster, layout);
  SetRecordName(record, Format("LostFolder%u", cluster));
  const std::uint64_t key = FolderKey(parent, *layout);
  CatalogueRecord(record, key, true);
  folderLevels_.emplace(cluster, KeyLevel(key) + 1);
}

Result CProfessionalFatRecovery::FinishSweep() {
  // Orphans, in ascending order; an orphan joined to an earlier name is marked used on the way.
  for (auto it = orphans_.begin(); it != orphans_.end(); ++it) {
    if (it->second.used) continue;
    it->second.used = true;
    if (auto key = ContinuationKey(it->second.bytes)) orphanKeys_[*key].erase(it->first);
    ParseOrphan(it->first, it->second.bytes);
  }
  orphans_.clear();
  orphanBytes_ = 0;
  for (auto& keys : orphanKeys_) keys.clear();

  // A folder may have moved to another parent after its finds were noted (a later entry naming
  // its cluster): the folders above it now are catalogued too.
  std::vector<std::pair<std::uint32_t, FolderWithFind>> noted(foldersWithFinds_.begin(), foldersWithFinds_.end());
  std::set<std::uint32_t> closed;
  for (const auto& [cluster, where] : noted) NoteAncestors(cluster, where.sector, where.layout, closed);
  for (const auto& [cluster, where] : foldersWithFinds_) CatalogueFolder(cluster, where);
  foldersWithFinds_.clear();

  PlacePendingRecords();
  // What no layout placed exactly goes to the layout nearest below it.
  for (PendingRecord& pending : pending_) {
    const LayoutIndex layout = FindLayoutFor(pending.record.locationSector);
    if (!layout) continue;
    const std::uint32_t owner = Normalised(pending.record.recordId);
    FoundFileRecord record = pending.record;
    FillFromLayout(record, *layout);
    record.contentState = CheckContiguousContent(record);
    std::uint64_t key = ScanCatalogue::MakeFolderKey(rootCluster_, 0);
    if (!IsRoot(owner)) {
      // Its folder is listed at the top, as a lost folder, when nothing else catalogued it.
      if (!folderLevels_.contains(owner)) {
        FoundFileRecord folder = NewFolderRecord(owner, layout);
        SetRecordName(folder, Format("LostFolder%u", owner));
        CatalogueRecord(folder, key, true);
        folderLevels_.emplace(owner, 1);
      }
      key = ScanCatalogue::MakeFolderKey(owner, folderLevels_.at(owner));
    }
    CatalogueRecord(record, key, false);
    pending.placed = true;
  }
  pending_.clear();
  folderInfos_.clear();
  catalogue_.Flush();
  return kSuccess;
}

}  // namespace rexmoor
