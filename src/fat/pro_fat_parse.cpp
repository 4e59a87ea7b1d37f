// The formatted FAT engine's parsing of one directory block: whose folder it is, the folder and
// file entries in it, and how deep the folders lie, judged from the first sectors of clusters.
#include <algorithm>

#include "fat/entry_record.h"
#include "fat/high_word_search.h"
#include "fat/pro_fat_recovery.h"
#include "formats/carve_at_sector.h"
#include "formats/file_format_table.h"
#include "platform/byte_view.h"
#include "platform/text.h"

namespace rexmoor {

namespace {

// Folder nesting deeper than this is taken as a loop in damaged ".." entries.
constexpr std::uint32_t kMaxFolderDepth = 4096;
// The first sectors and depths remembered for the sweep; past this the memory starts over.
constexpr std::size_t kMaxRemembered = 1u << 18;

std::uint64_t CacheKey(std::size_t layout, std::uint32_t cluster) {
  return (static_cast<std::uint64_t>(layout) << 32) | cluster;
}

std::uint32_t EntryCluster(const std::uint8_t* e, bool narrow) {
  const std::uint16_t low = LoadU16LE(e + kEntryClusterLow);
  return narrow ? low : FirstCluster(LoadU16LE(e + kEntryClusterHigh), low);
}

}  // namespace

// --- what a cluster's first sector says -----------------------------------------------------------

CProfessionalFatRecovery::ClusterHead CProfessionalFatRecovery::HeadOf(std::uint32_t cluster, std::size_t layout) {
  const std::uint64_t key = CacheKey(layout, cluster);
  if (auto it = heads_.find(key); it != heads_.end()) return it->second;
  ClusterHead head;
  const VolumeLayout& l = layouts_[layout];
  const std::optional<std::uint64_t> sector = l.ClusterSector(cluster);
  if (sector && ReadSectorAt(*sector, sectorBuffer_) && sectorBuffer_.size() >= 2 * kDirEntrySize) {
    const std::uint8_t* s = sectorBuffer_.data();
    head.read = true;
    head.label = s[kEntryAttr] == kAttrVolumeLabel;
    head.dotPair = IsDotEntry(s) && IsDotDotEntry(s + kDirEntrySize);
    if (head.dotPair) head.up = EntryCluster(s + kDirEntrySize, l.narrowClusters);
  }
  if (heads_.size() >= kMaxRemembered) heads_.clear();
  heads_.emplace(key, head);
  return head;
}

std::optional<std::uint32_t> CProfessionalFatRecovery::ParentOf(std::uint32_t cluster, std::size_t layout) {
  if (cluster == 0) return std::nullopt;
  const ClusterHead head = HeadOf(cluster, layout);
  if (!head.read) return std::nullopt;
  if (!head.label && head.dotPair && head.up != 0) return head.up;
  return rootCluster_;
}

std::uint32_t CProfessionalFatRecovery::LayoutDepth(std::uint32_t cluster, std::size_t layout) {
  if (IsRoot(cluster)) return 0;
  const std::uint64_t key = CacheKey(layout, cluster);
  if (auto it = depths_.find(key); it != depths_.end()) return it->second;
  std::set<std::uint32_t> visited;
  std::uint32_t depth = 0;
  std::uint32_t c = cluster;
  while (depth < kMaxFolderDepth && !IsRoot(c) && visited.insert(c).second) {
    const ClusterHead head = HeadOf(c, layout);
    if (!head.read || head.label) break;
    ++depth;
    if (!head.dotPair || head.up == 0) break;
    c = head.up;
  }
  if (depths_.size() >= kMaxRemembered) depths_.clear();
  depths_.emplace(key, depth);
  return depth;
}

std::uint64_t CProfessionalFatRecovery::FolderKey(std::uint32_t folder, std::size_t layout) {
  // A folder at depth 0 is the root, whichever cluster named it.
  const std::uint32_t depth = LayoutDepth(folder, layout);
  return depth == 0 ? ScanCatalogue::MakeFolderKey(rootCluster_, 0) : ScanCatalogue::MakeFolderKey(folder, depth);
}

// --- first clusters ------------------------------------------------------------------------------------

std::uint32_t CProfessionalFatRecovery::FolderCluster(const DirEntry& entry, LayoutIndex layout) {
  const bool narrow = layout && layouts_[*layout].narrowClusters;
  if (narrow) return entry.clusterLow;
  if (!layout || !entry.IsDeleted() || entry.clusterHigh != 0) return entry.FirstCluster();
  // A deleted FAT32 folder lost its high word: the candidate that opens with "."/".." is it.
  std::string key = Format("/%zu/%u", *layout, unsigned{entry.clusterLow});
  if (auto it = highWords_.find(key); it != highWords_.end()) return FirstCluster(it->second, entry.clusterLow);
  const std::size_t l = *layout;
  const std::uint16_t high = SearchHighWord(entry.clusterLow, [&](std::uint32_t cluster) {
    const std::optional<std::uint64_t> sector = layouts_[l].ClusterSector(cluster);
    if (!sector || !InVolume(*sector)) return HighWordProbe::Stop;
    const ClusterHead head = HeadOf(cluster, l);
    if (!head.read) return HighWordProbe::Stop;
    return head.dotPair ? HighWordProbe::Accept : HighWordProbe::Reject;
  });
  if (highWords_.size() >= kMaxRemembered) highWords_.clear();
  highWords_.emplace(std::move(key), high);
  return FirstCluster(high, entry.clusterLow);
}

std::uint32_t CProfessionalFatRecovery::FileCluster(const DirEntry& entry, const std::string& name, LayoutIndex layout) {
  const bool narrow = layout && layouts_[*layout].narrowClusters;
  if (narrow) return entry.clusterLow;
  if (!layout || !entry.IsDeleted() || entry.clusterHigh != 0) return entry.FirstCluster();
  // A deleted FAT32 file lost its high word: the candidate whose first sector holds what the
  // extension promises is it.
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos) return entry.FirstCluster();
  const std::string_view extension = std::string_view(name).substr(dot + 1);
  if (FindFormatByExtension(extension) == nullptr) return entry.FirstCluster();
  std::string key = Format("%s/%zu/%u", ToLowerAscii(extension).c_str(), *layout, unsigned{entry.clusterLow});
  if (auto it = highWords_.find(key); it != highWords_.end()) return FirstCluster(it->second, entry.clusterLow);
  const std::size_t l = *layout;
  const std::uint16_t high = SearchHighWord(entry.clusterLow, [&](std::uint32_t cluster) {
    const std::optional<std::uint64_t> sector = layouts_[l].ClusterSector(cluster);
    if (!sector || !ReadSectorAt(*sector, sectorBuffer_)) return HighWordProbe::Stop;
    return CheckSignatureByExtension(sectorBuffer_, extension, source_, sectorSize_, *sector) ? HighWordProbe::Accept
                                                                                             : HighWordProbe::Reject;
  });
  if (highWords_.size() >= kMaxRemembered) highWords_.clear();
  highWords_.emplace(std::move(key), high);
  return FirstCluster(high, entry.clusterLow);
}

// --- one block -------------------------------------------------------------------------------------------

std::uint32_t CProfessionalFatRecovery::IdentifyOwner(std::span<const std::uint8_t> block, std::uint64_t& startSector,
                                                     std::uint32_t cluster, LayoutIndex layout) {
  const std::uint8_t* e = block.data();
  if (e[kEntryAttr] == kAttrVolumeLabel) {
    if (layout) startSector = layouts_[*layout].DataStart();
    return rootCluster_;
  }
  const bool narrow = layout && layouts_[*layout].narrowClusters;
  if (block.size() >= 2 * kDirEntrySize && IsDotEntry(e) && IsDotDotEntry(e + kDirEntrySize))
    return Normalised(EntryCluster(e, narrow));
  if (!layout) return cluster;
  if (HeadOf(cluster, *layout).dotPair) return cluster;
  // A block further into a folder: a sub-folder listed in it names the folder as its "..".
  std::optional<std::uint32_t> owner;
  LongNameAssembler longName;
  (void)WalkDirectoryEntries(block, longName, [&](const DirWalkEntry& found) {
    if (!found.entry.IsFolder() || IsDotEntry(found.raw.data()) || IsDotDotEntry(found.raw.data())) return true;
    const std::uint32_t sub = FolderCluster(found.entry, layout);
    if (sub == 0) return true;
    const ClusterHead head = HeadOf(sub, *layout);
    if (!head.dotPair) return true;
    owner = Normalised(head.up);
    return false;
  });
  return owner.value_or(cluster);
}

CProfessionalFatRecovery::ParseOutcome CProfessionalFatRecovery::ParseDirectoryBlock(
    std::span<const std::uint8_t> block, std::uint64_t startSector, std::uint32_t cluster, LayoutIndex layout,
    std::optional<std::uint32_t> knownOwner) {
  ParseOutcome outcome;
  if (block.size() < kDirEntrySize) return outcome;
  const std::uint64_t blockSector = startSector;
  std::uint64_t start = startSector;
  std::uint32_t owner = knownOwner ? *knownOwner : IdentifyOwner(block, start, cluster, layout);
  const bool narrow = layout && layouts_[*layout].narrowClusters;
  std::set<std::uint32_t> seen;  // folders whose ancestors this block already noted
  LongNameAssembler longName;
  const DirWalkResult walked = WalkDirectoryEntries(block, longName, [&](const DirWalkEntry& found) {
    const std::uint8_t* e = found.raw.data();
    if (found.entry.IsFolder()) {
      if (IsDotEntry(e)) {
        owner = Normalised(EntryCluster(e, narrow));
      } else if (!IsDotDotEntry(e)) {
        NoteFolderEntry(found, owner, start, layout);
      }
      return true;
    }
    if (found.entry.IsFile()) NoteFileEntry(found, owner, start, layout, seen);
    return true;
  });
  if (walked.inLongName && walked.runOffset < block.size()) {
    outcome.cut = true;
    outcome.tail.checksum = walked.runChecksum;
    outcome.tail.sector = blockSector;
    outcome.tail.cluster = cluster;
    outcome.tail.owner = owner;
    outcome.tail.layout = layout;
    const auto rest = block.subspan(walked.runOffset);
    outcome.tail.bytes.assign(rest.begin(), rest.end());
  }
  return outcome;
}

void CProfessionalFatRecovery::FillFromLayout(FoundFileRecord& record, std::size_t layout) const {
  const VolumeLayout& l = layouts_[layout];
  record.clusterBytes = static_cast<std::int32_t>(std::min<std::uint64_t>(
      std::uint64_t{l.sectorsPerCluster} * static_cast<std::uint64_t>(sectorSize_), INT32_MAX));
  record.dataAreaSector = l.dataAreaSector;
  record.partitionStartSector = l.baseSector;
}

void CProfessionalFatRecovery::NoteFolderEntry(const DirWalkEntry& found, std::uint32_t owner,
                                               std::uint64_t startSector, LayoutIndex layout) {
  const std::uint32_t first = FolderCluster(found.entry, layout);
  if (first == 0 || first == owner) return;
  auto it = folderInfos_.find(first);
  if (it == folderInfos_.end() && folderInfos_.size() >= limits_.folderEntries) {
    NoteDropped("folder entries");
    return;
  }
  FoundFileRecord record = NewRecord(kTagProFat, true);
  record.deletedMark = found.entry.IsDeleted() ? 1 : 0;
  record.recordId = owner;
  record.objectNumber = first;
  SetEntryTimes(record, found.raw);
  record.locationSector = startSector + found.offset / static_cast<std::uint64_t>(sectorSize_);
  SetRecordName(record, EntryDisplayName(found.longName, found.raw, true));
  if (layout) FillFromLayout(record, *layout);
  if (it == folderInfos_.end()) {
    folderInfos_.emplace(first, FolderInfo{record, layout});
    return;
  }
  // Two entries name the same cluster (a deleted folder's cluster given to a later folder): the
  // folder goes where its own ".." points, whichever entry was met last.
  const std::uint32_t earlierOwner = Normalised(it->second.record.recordId);
  if (layout && earlierOwner != Normalised(owner)) {
    const ClusterHead head = HeadOf(first, *layout);
    if (head.dotPair && Normalised(head.up) == earlierOwner) return;
  }
  it->second = FolderInfo{record, layout};
}

void CProfessionalFatRecovery::NoteFileEntry(const DirWalkEntry& found, std::uint32_t owner, std::uint64_t startSector,
                                             LayoutIndex layout, std::set<std::uint32_t>& seen) {
  const std::string rawName = !found.longName.empty() ? found.longName : DecodeShortName(found.raw, true);
  if (rawName.empty()) return;
  FoundFileRecord record = NewRecord(kTagProFat, false);
  record.deletedMark = found.entry.IsDeleted() ? 1 : 0;
  record.objectNumber = FileCluster(found.entry, rawName, layout);
  SetEntryTimes(record, found.raw);
  record.size = found.entry.size;
  record.locationSector = startSector;
  SetRecordName(record, SanitizeName(rawName));
  if (layout) {
    FillFromLayout(record, *layout);
    record.contentState = CheckContiguousContent(record);
    CatalogueRecord(record, FolderKey(owner, *layout), false);
  } else {
    if (pending_.size() >= limits_.pendingRecords) {
      pending_.pop_front();
      NoteDropped("file entries waiting for their volume's layout");
    }
    record.recordId = owner;
    pending_.push_back(PendingRecord{false, record});
  }
  NoteAncestors(owner, startSector, layout, seen);
}

void CProfessionalFatRecovery::NoteAncestors(std::uint32_t owner, std::uint64_t startSector, LayoutIndex layout,
                                             std::set<std::uint32_t>& seen) {
  std::uint32_t a = owner;
  for (std::uint32_t steps = 0; steps < kMaxFolderDepth; ++steps) {
    if (IsRoot(a) || !seen.insert(a).second) return;
    if (!foldersWithFinds_.contains(a)) {
      if (foldersWithFinds_.size() >= limits_.folderEntries) {
        NoteDropped("folders holding finds");
        return;
      }
      foldersWithFinds_.emplace(a, FolderWithFind{layout, startSector});
    }
    std::uint32_t next = 0;
    if (auto it = folderInfos_.find(a); it != folderInfos_.end()) {
      next = Normalised(it->second.record.recordId);
    } else if (layout) {
      const std::optional<std::uint32_t> parent = ParentOf(a, *layout);
      if (!parent) return;
      next = Normalised(*parent);
    } else {
      return;
    }
    if (next == a) return;
    a = next;
  }
}

}  // namespace rexmoor
