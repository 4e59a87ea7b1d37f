#include "exfat/pro_exfat_recovery.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <numeric>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include "engine/name_sanitize.h"
#include "engine/preview_target.h"
#include "formats/carve_at_sector.h"

namespace rexmoor {

namespace {

// Zeros past a file's valid data length are handed out this much at a time.
constexpr std::uint64_t kZeroPieceBytes = 1 << 20;
// The boot region and its backup: 24 sectors.
constexpr std::uint32_t kBootAreaSectors = 2 * kExfatBootRegionSectors;
// A cluster is at most 32 MiB.
constexpr std::uint64_t kMaxClusterBytes = 32u << 20;
// A folder is at most 256 MiB of entries.
constexpr std::uint64_t kMaxFolderBytes = 256u << 20;
// Folder nesting deeper than this is taken as a loop.
constexpr std::size_t kMaxFolderDepth = 4096;
// Places of one cluster size that fit the folders equally well, weighed further.
constexpr std::size_t kMaxTiedLayouts = 16;
// The longest set in bytes.
constexpr std::size_t kMaxSetBytes = kExfatMaxSetEntries * kExfatEntrySize;

// extra: bit 0 NoFatChain, bit 1 the valid data length is shorter than the size (the set is read
// again to learn it), bits 2.. the File entry's index in its sector.
constexpr std::uint16_t kExtraNoFatChain = 0x1;
constexpr std::uint16_t kExtraShortValid = 0x2;
constexpr unsigned kExtraEntryShift = 2;

bool IsFileEntryType(std::uint8_t type) {
  return type == kExfatTypeFile || type == (kExfatTypeFile & ~kExfatInUse);
}

// A secondary entry (stream, name, and their deleted forms): the sector goes on with a set begun
// before it.
bool IsSecondaryType(std::uint8_t type) { return type != 0 && (type & 0x40) != 0; }

}  // namespace

CProfessionalExfatRecovery::CProfessionalExfatRecovery() = default;
CProfessionalExfatRecovery::~CProfessionalExfatRecovery() = default;

Result CProfessionalExfatRecovery::Prepare(const VolumeOpening& volume) {
  // No boot sector is trusted here: the volume is the partition (or image) as the caller gave it.
  const auto sectorSize = static_cast<std::uint32_t>(SourceSectorSize(source_));
  if (Result r = PlaceVolume(sectorSize, volume); r != kSuccess) return r;
  try {
    sectorBuffer_.assign(sectorSize, 0);
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  MarkOpen();
  return kSuccess;
}

Result CProfessionalExfatRecovery::Scan(const char*) { return kSuccess; }

void CProfessionalExfatRecovery::NoteDropped() {
  ++dropped_;
  if (!droppedSaid_) {
    droppedSaid_ = true;
    std::fprintf(stderr, "rexmoor: too many exFAT entry sets on this medium; the oldest are let go\n");
  }
}

Result CProfessionalExfatRecovery::BeginFormattedCatalogue(const char* logName) {
  sets_.clear();
  boot_.reset();
  layout_.reset();
  lastTaken_ = UINT64_MAX;
  parsedUpTo_ = 0;
  dropped_ = 0;
  droppedSaid_ = false;
  catalogue_.Close();
  catalogue_.SetFilterCallback(callbacks_.filter, callbacks_.filterUserData);
  if (logName != nullptr) return catalogue_.OpenCatalogue(logName);
  return catalogue_.CreateCatalogue("Pro_Exfat_", partitionStartSector_);
}

Result CProfessionalExfatRecovery::PrepareSweep() {
  if (!IsOpen()) return kErrInvalidHandle;
  boot_.reset();
  const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(kBootAreaSectors, volumeSectors_));
  std::vector<std::uint8_t> area;
  if (count == 0 || !ReadSectors(partitionBase_, count, area)) return kSuccess;
  const std::optional<ExfatLayout> layout = FindExfatLayout(area);
  if (!layout) return kSuccess;
  // The layout counts in the volume's sectors; the engine in the medium's.
  const auto s = static_cast<std::uint32_t>(sectorSize_);
  if (layout->bytesPerSector < s || layout->bytesPerSector % s != 0) return kSuccess;
  const std::uint32_t ratio = layout->bytesPerSector / s;
  ExfatHeapLayout heap;
  heap.sectorsPerCluster = layout->sectorsPerCluster * ratio;
  heap.heapSector = std::uint64_t{layout->clusterHeapOffset} * ratio;
  heap.rootCluster = layout->rootCluster;
  heap.fromBoot = true;
  if (heap.sectorsPerCluster == 0 || heap.heapSector >= volumeSectors_) return kSuccess;
  boot_ = heap;
  return kSuccess;
}

// --- reading ----------------------------------------------------------------------------------------

bool CProfessionalExfatRecovery::ReadSectors(std::uint64_t sector, std::uint32_t count, std::vector<std::uint8_t>& out) {
  if (!InVolumeRange(sector, count)) return false;
  out.resize(static_cast<std::size_t>(count) * static_cast<std::size_t>(sectorSize_));
  std::uint32_t got = 0;
  (void)ReadVolume(sector - partitionBase_, count, out.data(), &got);
  out.resize(static_cast<std::size_t>(got) * static_cast<std::size_t>(sectorSize_));
  return got != 0;
}

// --- the intake ----------------------------------------------------------------------------------------

void CProfessionalExfatRecovery::KeepSet(const ExfatEntrySet& set, std::uint64_t sector, std::size_t offset) {
  if (sets_.size() >= limits_.sets) {
    sets_.pop_front();
    NoteDropped();
  }
  FoundSet found;
  found.sector = sector;
  found.offset = static_cast<std::uint16_t>(offset);
  found.deleted = set.deleted;
  found.folder = set.IsFolder();
  found.noFatChain = set.NoFatChain();
  found.firstCluster = set.firstCluster;
  found.dataLength = set.dataLength;
  found.validDataLength = set.validDataLength;
  found.created = ExfatTimeToFileTime(set.created).value_or(0);
  found.modified = ExfatTimeToFileTime(set.modified).value_or(0);
  found.accessed = ExfatTimeToFileTime(set.accessed).value_or(0);
  found.name = set.name;
  sets_.push_back(std::move(found));
}

void CProfessionalExfatRecovery::ParseWindow(std::uint64_t firstSector, std::size_t from, std::size_t to,
                                             std::size_t mustEndAfter) {
  const auto s = static_cast<std::uint64_t>(sectorSize_);
  bool extended = false;
  ExfatEntrySet set;
  for (std::size_t off = from; off < to && off + kExfatEntrySize <= window_.size(); off += kExfatEntrySize) {
    if (!IsFileEntryType(window_[off])) continue;
    const std::uint64_t at = firstSector * s + off;
    if (at < parsedUpTo_) continue;
    ExfatSetStatus status = ParseExfatEntrySet(std::span<const std::uint8_t>(window_).subspan(off), upcase_, set);
    if (status == ExfatSetStatus::Truncated && !extended) {
      // The set runs on past the window: the sectors after it are read once, as far as a set reaches.
      extended = true;
      const std::uint64_t next = firstSector + window_.size() / s;
      const auto more = static_cast<std::uint32_t>((kMaxSetBytes + s - 1) / s);
      std::vector<std::uint8_t> after;
      const std::uint32_t count = static_cast<std::uint32_t>(
          std::min<std::uint64_t>(more, partitionBase_ + volumeSectors_ > next ? partitionBase_ + volumeSectors_ - next : 0));
      if (count != 0 && ReadSectors(next, count, after)) {
        window_.insert(window_.end(), after.begin(), after.end());
        status = ParseExfatEntrySet(std::span<const std::uint8_t>(window_).subspan(off), upcase_, set);
      }
    }
    if (status != ExfatSetStatus::Ok) continue;
    const std::size_t bytes = set.entryCount * kExfatEntrySize;
    if (off + bytes <= mustEndAfter) continue;
    KeepSet(set, firstSector + off / s, off % s);
    parsedUpTo_ = at + bytes;
    off += bytes - kExfatEntrySize;
  }
}

void CProfessionalExfatRecovery::TakeDirectorySector(std::span<const std::uint8_t> sector, std::uint64_t sectorNumber) {
  const auto s = static_cast<std::size_t>(sectorSize_);
  if (!IsOpen() || sector.size() < s || !InVolume(sectorNumber)) return;
  const bool followsLast = lastTaken_ != UINT64_MAX && sectorNumber == lastTaken_ + 1;
  lastTaken_ = sectorNumber;
  window_.clear();
  std::size_t prefix = 0;
  // A set begun in the sector before, which the sweep did not hand in (no whole set lies in it).
  if (!followsLast && IsSecondaryType(sector[0]) && sectorNumber > partitionBase_ &&
      ReadSectors(sectorNumber - 1, 1, window_) && window_.size() == s) {
    prefix = s;
  } else {
    window_.clear();
  }
  window_.insert(window_.end(), sector.begin(), sector.begin() + static_cast<std::ptrdiff_t>(s));
  const std::uint64_t first = sectorNumber - (prefix != 0 ? 1 : 0);
  if (prefix != 0) ParseWindow(first, 0, prefix, prefix);
  ParseWindow(first, prefix, prefix + s, 0);
}

// --- the layout ---------------------------------------------------------------------------------------------

std::uint32_t CProfessionalExfatRecovery::VotesFor(const ExfatHeapLayout& layout, const std::vector<std::uint32_t>& folders,
                                                   const std::vector<std::uint64_t>& heads) const {
  std::uint32_t votes = 0;
  for (std::uint32_t f : folders) {
    const std::uint64_t offset = std::uint64_t{f - kExfatFirstCluster} * layout.sectorsPerCluster;
    if (offset > UINT64_MAX - layout.heapSector) continue;
    if (std::binary_search(heads.begin(), heads.end(), layout.heapSector + offset)) ++votes;
  }
  return votes;
}

std::optional<ExfatHeapLayout> CProfessionalExfatRecovery::ChooseLayout() {
  // The folders' first clusters, and the sectors (partition-relative) that open with a set: a
  // folder's first cluster opens with its first entry, so under the right layout the one lands on
  // the other.
  std::vector<std::uint32_t> folders;
  std::vector<std::uint64_t> heads;
  for (const FoundSet& set : sets_) {
    if (set.folder && set.firstCluster >= kExfatFirstCluster) folders.push_back(set.firstCluster);
    if (set.offset == 0) heads.push_back(set.sector - partitionBase_);
  }
  std::sort(folders.begin(), folders.end());
  folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
  std::sort(heads.begin(), heads.end());
  heads.erase(std::unique(heads.begin(), heads.end()), heads.end());

  std::optional<ExfatHeapLayout> boot = boot_;
  if (boot) boot->votes = VotesFor(*boot, folders, heads);

  // A folder's data length is whole clusters: the cluster size divides all of them, and is most
  // likely their greatest common divisor (a folder of one cluster is common).
  const auto s = static_cast<std::uint64_t>(sectorSize_);
  std::uint64_t folderBytes = 0;
  for (const FoundSet& set : sets_) {
    if (set.folder && set.dataLength != 0 && set.dataLength % s == 0)
      folderBytes = std::gcd(folderBytes, set.dataLength);
  }

  std::vector<std::pair<std::uint64_t, std::uint32_t>> setPlaces;  // sector, the set's first cluster when a folder
  for (const FoundSet& set : sets_) setPlaces.emplace_back(set.sector - partitionBase_, set.folder ? set.firstCluster : 0);
  std::sort(setPlaces.begin(), setPlaces.end());
  auto setsBefore = [&](std::uint64_t heap) {
    return static_cast<std::uint64_t>(
        std::lower_bound(setPlaces.begin(), setPlaces.end(), std::make_pair(heap, std::uint32_t{0})) - setPlaces.begin());
  };

  // Every (folder, sector) pair proposes where cluster 2 lies for each cluster size the folders
  // allow; the places most folders agree on are the candidates. Folders packed one after another
  // fit runs of directory sectors shifted by a cluster or two, or under too small a cluster, as
  // well as they fit the right place: of those, the place that leaves the fewest sets in front of
  // the heap is kept for each cluster size.
  std::vector<std::uint32_t> tryFolders(folders.begin(),
                                        folders.begin() + static_cast<std::ptrdiff_t>(std::min(folders.size(), limits_.inferFolders)));
  std::vector<std::uint64_t> tryHeads(heads.begin(),
                                      heads.begin() + static_cast<std::ptrdiff_t>(std::min(heads.size(), limits_.inferSectors)));
  struct Candidate {
    ExfatHeapLayout layout;
    std::uint64_t before = 0;
  };
  std::vector<Candidate> candidates;
  std::vector<std::uint64_t> proposals;
  for (std::uint64_t spc = 1; spc * s <= kMaxClusterBytes; spc *= 2) {
    if (folderBytes != 0 && folderBytes % (spc * s) != 0) break;
    proposals.clear();
    for (std::uint32_t f : tryFolders) {
      const std::uint64_t offset = std::uint64_t{f - kExfatFirstCluster} * spc;
      for (std::uint64_t h : tryHeads) {
        // The heap lies after the two boot regions at least.
        if (h < offset || h - offset < kBootAreaSectors) continue;
        proposals.push_back(h - offset);
      }
    }
    std::sort(proposals.begin(), proposals.end());
    std::vector<Candidate> tier;
    for (std::size_t i = 0; i < proposals.size();) {
      std::size_t j = i;
      while (j < proposals.size() && proposals[j] == proposals[i]) ++j;
      const Candidate c{ExfatHeapLayout{static_cast<std::uint32_t>(spc), proposals[i], 0, false,
                                        static_cast<std::uint32_t>(j - i)},
                        setsBefore(proposals[i])};
      i = j;
      // One folder alone proves nothing.
      if (c.layout.votes < 2) continue;
      const bool better = tier.empty() || c.layout.votes > tier.front().layout.votes ||
                          (c.layout.votes == tier.front().layout.votes && c.before < tier.front().before);
      if (better) tier.clear();
      if ((better || (c.layout.votes == tier.front().layout.votes && c.before == tier.front().before)) &&
          tier.size() < kMaxTiedLayouts)
        tier.push_back(c);
    }
    candidates.insert(candidates.end(), tier.begin(), tier.end());
  }
  std::uint32_t most = 0;
  for (const Candidate& c : candidates) most = std::max(most, c.layout.votes);
  std::erase_if(candidates, [most](const Candidate& c) { return c.layout.votes < most; });
  // The boot region's layout stands unless the old folders agree better on another.
  if (boot && (candidates.empty() || boot->votes >= most)) return boot;
  if (candidates.empty()) return std::nullopt;

  // Of the rest: the fewest sets in front of the heap, then the most sets put into the first
  // cluster of a folder (not its own), then the largest cluster, then the lowest place.
  auto rank = [&](const Candidate& c) {
    std::uint64_t placed = 0;
    for (const auto& [rel, own] : setPlaces) {
      if (rel < c.layout.heapSector) continue;
      const std::uint64_t cluster = (rel - c.layout.heapSector) / c.layout.sectorsPerCluster + kExfatFirstCluster;
      if (cluster != own && cluster <= UINT32_MAX &&
          std::binary_search(folders.begin(), folders.end(), static_cast<std::uint32_t>(cluster)))
        ++placed;
    }
    return std::make_tuple(UINT64_MAX - c.before, placed, c.layout.sectorsPerCluster, UINT64_MAX - c.layout.heapSector);
  };
  std::size_t chosen = 0;
  auto chosenRank = rank(candidates[0]);
  for (std::size_t k = 1; k < candidates.size(); ++k) {
    const auto r = rank(candidates[k]);
    if (r > chosenRank) {
      chosen = k;
      chosenRank = r;
    }
  }
  return candidates[chosen].layout;
}

std::optional<std::uint64_t> CProfessionalExfatRecovery::ClusterOf(std::uint64_t absoluteSector) const {
  if (!layout_ || !InVolume(absoluteSector)) return std::nullopt;
  const std::uint64_t rel = absoluteSector - partitionBase_;
  if (rel < layout_->heapSector) return std::nullopt;
  const std::uint64_t cluster = (rel - layout_->heapSector) / layout_->sectorsPerCluster + kExfatFirstCluster;
  if (cluster > UINT32_MAX) return std::nullopt;
  return cluster;
}

std::optional<std::uint64_t> CProfessionalExfatRecovery::ClusterSector(std::uint64_t cluster) const {
  if (!layout_ || cluster < kExfatFirstCluster) return std::nullopt;
  const std::uint64_t n = cluster - kExfatFirstCluster;
  if (n > (UINT64_MAX - layout_->heapSector) / layout_->sectorsPerCluster) return std::nullopt;
  const std::uint64_t rel = layout_->heapSector + n * layout_->sectorsPerCluster;
  if (rel >= volumeSectors_) return std::nullopt;
  return partitionBase_ + rel;
}

void CProfessionalExfatRecovery::FillFromLayout(FoundFileRecord& record) const {
  record.clusterBytes = static_cast<std::int32_t>(std::min<std::uint64_t>(
      std::uint64_t{layout_->sectorsPerCluster} * static_cast<std::uint64_t>(sectorSize_), INT32_MAX));
  record.dataAreaSector = layout_->heapSector;
  record.partitionStartSector = partitionBase_;
}

// --- the end of the sweep ---------------------------------------------------------------------------------------

Result CProfessionalExfatRecovery::FinishSweep() {
  if (!IsOpen() || !catalogue_.IsOpen()) return kSuccess;
  layout_ = ChooseLayout();
  if (!layout_) {
    // Nothing tells where the clusters lie: no set can be placed or read.
    sets_.clear();
    catalogue_.Flush();
    return kSuccess;
  }
  std::sort(sets_.begin(), sets_.end(), [](const FoundSet& a, const FoundSet& b) {
    return a.sector != b.sector ? a.sector < b.sector : a.offset < b.offset;
  });
  sets_.erase(std::unique(sets_.begin(), sets_.end(),
                          [](const FoundSet& a, const FoundSet& b) { return a.sector == b.sector && a.offset == b.offset; }),
              sets_.end());
  const std::uint64_t clusterBytes = std::uint64_t{layout_->sectorsPerCluster} * static_cast<std::uint64_t>(sectorSize_);

  // The folders, by first cluster: a live entry is preferred to a deleted one naming the same cluster.
  std::map<std::uint32_t, Folder> folders;
  for (std::size_t i = 0; i < sets_.size(); ++i) {
    const FoundSet& set = sets_[i];
    if (!set.folder || set.name.empty() || !ClusterOf(set.sector) || !ClusterSector(set.firstCluster)) continue;
    // Only a folder kept without a FAT chain is known to run on into the clusters after its first.
    const std::uint64_t bytes = set.noFatChain ? std::min(set.dataLength, kMaxFolderBytes) : 0;
    const Folder folder{i, std::max<std::uint64_t>(1, (bytes + clusterBytes - 1) / clusterBytes)};
    auto [it, added] = folders.emplace(set.firstCluster, folder);
    if (!added && sets_[it->second.set].deleted && !set.deleted) it->second = folder;
  }

  // Whose folder a cluster holds entries of: the folder that starts there or whose clusters run
  // through it; a root, which opens with its label, bitmap or up-case entry; else a lost folder of
  // its own. Without the FAT nothing tells which cluster follows which in a fragmented folder, so
  // no two clusters are taken for one folder on a guess.
  std::map<std::uint32_t, bool> lost;  // cluster with entries of no known folder -> it is a root
  auto opensRoot = [&](std::uint32_t cluster) {
    const std::optional<std::uint64_t> start = ClusterSector(cluster);
    std::vector<std::uint8_t> bytes;
    if (!start || !ReadSectors(*start, 1, bytes) || bytes.empty()) return false;
    const std::uint8_t type = bytes[0] | kExfatInUse;
    return type == kExfatTypeLabel || type == kExfatTypeBitmap || type == kExfatTypeUpcase;
  };
  auto ownerOf = [&](std::uint32_t cluster) -> std::uint32_t {
    if (layout_->rootCluster != 0 && cluster == layout_->rootCluster) return 0;
    auto it = folders.upper_bound(cluster);
    if (it != folders.begin()) {
      --it;
      if (cluster - it->first < it->second.clusters) return it->first;
    }
    auto known = lost.find(cluster);
    if (known == lost.end()) known = lost.emplace(cluster, opensRoot(cluster)).first;
    return known->second ? 0 : cluster;
  };

  // Each placed set's folder (0: the root). Sets outside the cluster heap, or whose data could not
  // lie on the volume, are not kept.
  std::vector<std::optional<std::uint32_t>> owners(sets_.size());
  for (std::size_t i = 0; i < sets_.size(); ++i) {
    const FoundSet& set = sets_[i];
    if (set.name.empty() || set.validDataLength > set.dataLength) continue;
    if (set.firstCluster == 0 ? set.dataLength != 0 : !ClusterSector(set.firstCluster)) continue;
    if (set.folder && !folders.contains(set.firstCluster)) continue;
    const std::optional<std::uint64_t> cluster = ClusterOf(set.sector);
    if (!cluster) continue;
    owners[i] = ownerOf(static_cast<std::uint32_t>(*cluster));
  }

  // Every folder's parent, and how deep it lies; a loop of folders is cut at the root.
  std::unordered_map<std::uint32_t, std::uint32_t> parent;
  for (const auto& [cluster, folder] : folders) parent[cluster] = owners[folder.set].value_or(0);
  for (const auto& [cluster, root] : lost)
    if (!root) parent.emplace(cluster, 0);
  std::unordered_map<std::uint32_t, std::uint32_t> depths;
  auto depthOf = [&](std::uint32_t folder) -> std::uint32_t {
    if (folder == 0) return 0;
    std::vector<std::uint32_t> path;
    std::unordered_set<std::uint32_t> onPath;
    std::uint32_t at = folder;
    std::uint32_t base = 0;
    for (;;) {
      if (at == 0) break;
      if (auto known = depths.find(at); known != depths.end()) {
        base = known->second;
        break;
      }
      if (onPath.contains(at) || path.size() >= kMaxFolderDepth) {
        parent[path.back()] = 0;
        break;
      }
      path.push_back(at);
      onPath.insert(at);
      auto up = parent.find(at);
      at = up == parent.end() ? 0 : up->second;
    }
    for (std::size_t k = path.size(); k-- > 0;) depths[path[k]] = base + static_cast<std::uint32_t>(path.size() - k);
    return depths.at(folder);
  };
  auto keyOf = [&](std::uint32_t folder) {
    return folder == 0 ? ScanCatalogue::MakeFolderKey(RootObject(), 0) : ScanCatalogue::MakeFolderKey(folder, depthOf(folder));
  };
  for (const auto& [cluster, folder] : folders) (void)depthOf(cluster);

  // The lost folders first, then the folders and files, each under the key of its folder.
  for (const auto& [cluster, root] : lost) {
    if (root) continue;
    FoundFileRecord record = MakeLostFolderRecord(sourceTag_, kTagProExfat, cluster);
    FillFromLayout(record);
    record.locationSector = ClusterSector(cluster).value_or(0);
    CatalogueRecord(record, keyOf(0), true);
  }
  for (std::size_t i = 0; i < sets_.size(); ++i) {
    if (!owners[i]) continue;
    const FoundSet& set = sets_[i];
    if (set.folder && folders.at(set.firstCluster).set != i) continue;
    FoundFileRecord record = NewRecord(kTagProExfat, set.folder);
    FillFromLayout(record);
    record.deletedMark = set.deleted ? 1 : 0;
    record.objectNumber = set.firstCluster;
    record.createdTime = set.created;
    record.modifiedTime = set.modified;
    record.accessedTime = set.accessed;
    record.size = set.folder ? 0 : set.dataLength;
    record.locationSector = set.sector;
    record.extra = static_cast<std::uint16_t>((set.noFatChain ? kExtraNoFatChain : 0) |
                                              (set.validDataLength < set.dataLength ? kExtraShortValid : 0) |
                                              ((set.offset / kExfatEntrySize) << kExtraEntryShift));
    SetRecordName(record, SanitizeName(set.name));
    const std::uint32_t owner = set.folder ? parent.at(set.firstCluster) : *owners[i];
    record.contentState = set.folder ? 1 : CheckContiguousContent(record);
    CatalogueRecord(record, keyOf(owner), set.folder);
  }
  sets_.clear();
  catalogue_.Flush();
  return kSuccess;
}

// --- a found file's data ----------------------------------------------------------------------------------------

namespace {

struct RecordGeometry {
  std::uint64_t sectorsPerCluster = 0;
  std::uint64_t firstSector = 0;  // absolute
};

// Where a record's data begins under the layout it was found with.
std::optional<RecordGeometry> GeometryOf(const FoundFileRecord& record, std::int32_t sectorSize) {
  if (record.clusterBytes <= 0 || record.clusterBytes % sectorSize != 0) return std::nullopt;
  if (record.objectNumber < kExfatFirstCluster) return std::nullopt;
  RecordGeometry g;
  g.sectorsPerCluster = static_cast<std::uint64_t>(record.clusterBytes / sectorSize);
  const std::uint64_t n = record.objectNumber - kExfatFirstCluster;
  const std::uint64_t base = record.partitionStartSector;
  const std::uint64_t heap = record.dataAreaSector;
  if (heap > UINT64_MAX - base || n > (UINT64_MAX - base - heap) / g.sectorsPerCluster) return std::nullopt;
  g.firstSector = base + heap + n * g.sectorsPerCluster;
  return g;
}

}  // namespace

std::int32_t CProfessionalExfatRecovery::CheckContiguousContent(const FoundFileRecord& record) {
  const std::string_view name = RecordName(record);
  if (name.find('.') == std::string_view::npos || record.size == 0) return 1;
  const std::optional<RecordGeometry> g = GeometryOf(record, sectorSize_);
  if (!g) return 1;
  std::vector<std::uint8_t>& bytes = sectorBuffer_;
  if (!ReadSectors(g->firstSector, 1, bytes)) return 1;
  return CheckSignatureByExtension(bytes, RecordExtension(record), source_, sectorSize_, g->firstSector) ? 1 : 0;
}

Result CProfessionalExfatRecovery::CheckItemReadable(const FoundFileRecord& record) const {
  if (static_cast<std::uint32_t>(record.clusterBytes) > kMaxCopyClusterBytes) return kErrClusterTooLarge;
  return kSuccess;
}

std::uint64_t CProfessionalExfatRecovery::ItemByteLimit(const FoundFileRecord& record) const {
  // A file runs at most from its first cluster to the end of the volume.
  const std::optional<RecordGeometry> g = GeometryOf(record, sectorSize_);
  if (!g || !InVolume(g->firstSector)) return 0;
  return (partitionBase_ + volumeSectors_ - g->firstSector) * static_cast<std::uint64_t>(sectorSize_);
}

std::optional<std::uint64_t> CProfessionalExfatRecovery::FirstDataByte(const FoundFileRecord& record) {
  if (record.isFolder != 0 || record.size == 0) return std::nullopt;
  const std::optional<RecordGeometry> g = GeometryOf(record, sectorSize_);
  if (!g || !InVolume(g->firstSector)) return std::nullopt;
  return g->firstSector * static_cast<std::uint64_t>(sectorSize_);
}

std::optional<std::uint64_t> CProfessionalExfatRecovery::ValidLength(const FoundFileRecord& record) {
  const std::uint64_t size = record.size;
  if ((record.extra & kExtraShortValid) == 0) return size;
  // Only the entry set knows: it is read again where it was found, and must still be the same file.
  const auto s = static_cast<std::uint64_t>(sectorSize_);
  const std::uint64_t offset = std::uint64_t{static_cast<std::uint16_t>(record.extra >> kExtraEntryShift)} * kExfatEntrySize;
  if (offset >= s) return std::nullopt;
  const std::uint64_t at = record.locationSector;
  if (!InVolume(at)) return std::nullopt;
  const std::uint64_t wanted = (offset + kMaxSetBytes + s - 1) / s;
  const auto count = static_cast<std::uint32_t>(std::min(wanted, partitionBase_ + volumeSectors_ - at));
  std::vector<std::uint8_t> bytes;
  if (!ReadSectors(at, count, bytes) || bytes.size() <= offset) return std::nullopt;
  ExfatEntrySet set;
  if (ParseExfatEntrySet(std::span<const std::uint8_t>(bytes).subspan(offset), upcase_, set) != ExfatSetStatus::Ok ||
      set.firstCluster != record.objectNumber || set.dataLength != size)
    return std::nullopt;
  return std::min(set.validDataLength, size);
}

Result CProfessionalExfatRecovery::ReadItemData(const FoundFileRecord& record, std::uint64_t size,
                                                const ItemDataSink& sink) {
  if (!IsOpen()) return kErrInvalidHandle;
  const std::optional<RecordGeometry> g = GeometryOf(record, sectorSize_);
  if (!g || !InVolume(g->firstSector)) return kErrInvalidParameter;
  // The set that says how much was written is gone or changed: everything is taken as written.
  const std::uint64_t valid = std::min(size, ValidLength(record).value_or(size));
  if (Result r = ReadContiguous(g->firstSector, static_cast<std::uint64_t>(record.clusterBytes), valid, sink);
      r != kSuccess)
    return r;
  // What lies past the valid data length was never written: it reads as zeros.
  std::uint64_t zeros = size - valid;
  std::vector<std::uint8_t> buffer;
  if (zeros != 0) buffer.assign(static_cast<std::size_t>(std::min<std::uint64_t>(zeros, kZeroPieceBytes)), 0);
  while (zeros > 0) {
    const std::uint64_t piece = std::min<std::uint64_t>(zeros, buffer.size());
    NoteZeroFill(size - zeros, piece);
    if (Result verdict = sink(buffer.data(), static_cast<std::size_t>(piece), kSuccess); verdict != kSuccess)
      return verdict;
    zeros -= piece;
  }
  return kSuccess;
}

}  // namespace rexmoor
