#include "fat/fast_fat_recovery.h"

#include <algorithm>
#include <new>

#include "engine/preview_target.h"

namespace rexmoor {

namespace {

// Consecutive clusters of a file are read together up to this size.
constexpr std::uint64_t kDataRunBytes = 1 << 20;

}  // namespace

CFastFatRecovery::CFastFatRecovery() = default;
CFastFatRecovery::~CFastFatRecovery() = default;

void CFastFatRecovery::ReleaseVolume() { fat_.Release(); }

// --- opening --------------------------------------------------------------------------------------

Result CFastFatRecovery::Prepare(const VolumeOpening& volume) {
  FatLayout layout;
  if (Result r = ParseFatLayout(volume.boot, layout); r != kSuccess) return r;
  if (Result r = PlaceVolume(layout.bytesPerSector, volume); r != kSuccess) return r;
  layout_ = layout;
  try {
    blockBuffer_.assign(std::max<std::size_t>(layout_.ClusterBytes(), kRootBlockBytes), 0);
    sectorBuffer_.assign(layout_.bytesPerSector, 0);
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  MarkOpen();
  return fat_.Reset(layout_, volumeSectors_,
                    [this](std::uint64_t sector, std::uint32_t count, std::uint8_t* buffer, std::uint32_t* got) {
                      return ReadVolume(sector, count, buffer, got);
                    });
}

// --- the scan -------------------------------------------------------------------------------------

void CFastFatRecovery::ResetScanState() {
  folderRecords_.clear();
  pendingFolders_.clear();
  foldersWithFinds_.clear();
  foldersWithFindsSet_.clear();
  walkedFolders_.clear();
  depthCache_.clear();
  folderHighWords_.clear();
  fileHighWords_.clear();
}

Result CFastFatRecovery::RunScan() {
  blockBudget_ = 2 * (std::uint64_t{layout_.maxCluster} + 1) + layout_.rootDirSectors;
  return WalkFoldersBreadthFirst(
      layout_.rootCluster, pendingFolders_, walkedFolders_, [this](std::uint32_t c) { WalkFolder(c); },
      [this] { CatalogueFoldersWithFinds(); });
}

void CFastFatRecovery::CatalogueFoldersWithFinds() {
  // A folder may have moved to another parent after its finds were noted (a later entry naming
  // its cluster): the folders above it now are written too.
  for (std::size_t i = 0; i < foldersWithFinds_.size(); ++i) NoteFolderWithFind(foldersWithFinds_[i]);
  for (std::uint32_t cluster : foldersWithFinds_) {
    auto it = folderRecords_.find(cluster);
    if (it == folderRecords_.end()) continue;
    FoundFileRecord record = it->second.record;
    record.contentState = 1;
    const std::uint32_t parent = it->second.parent;
    CatalogueRecord(record, ScanCatalogue::MakeFolderKey(parent, CountParentDepth(parent)), true);
  }
}

// --- reading a file's data ------------------------------------------------------------------------

Result CFastFatRecovery::ReadItemData(const FoundFileRecord& record, std::uint64_t size, const ItemDataSink& sink) {
  if (!IsOpen()) return kErrInvalidHandle;
  std::uint32_t current = record.objectNumber;
  if (!layout_.IsValidCluster(current)) return kErrInvalidParameter;
  const std::uint64_t clusterBytes = layout_.ClusterBytes();
  const std::uint32_t maxRun = static_cast<std::uint32_t>(std::max<std::uint64_t>(1, kDataRunBytes / clusterBytes));
  std::vector<std::uint8_t> buffer;
  try {
    buffer.resize(static_cast<std::size_t>(maxRun * clusterBytes));
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  std::uint64_t remaining = size;
  std::uint64_t clustersTaken = 0;  // a chain longer than the volume runs in a loop
  while (remaining > 0) {
    std::uint32_t run = 1;
    std::uint32_t next = 0;
    while (remaining > run * clusterBytes) {
      next = fat_.NextClusterOf(current + run - 1);
      if (next == 0 || next != current + run || run >= maxRun) break;
      ++run;
      next = 0;
    }
    std::uint32_t got = 0;
    const std::uint64_t at = *layout_.ClusterSector(current);
    const Result read = ReadVolume(at, run * layout_.sectorsPerCluster, buffer.data(), &got);
    const std::uint64_t bytes = std::min<std::uint64_t>(remaining, std::uint64_t{got} * layout_.bytesPerSector);
    if (bytes != 0) {
      NoteDataRead(size - remaining, ImageByteOf(at), bytes);
      remaining -= bytes;
      if (Result verdict = sink(buffer.data(), static_cast<std::size_t>(bytes), read); verdict != kSuccess)
        return verdict;
    }
    if (read != kSuccess) return read;
    clustersTaken += run;
    if (next == 0 || clustersTaken > layout_.clusterCount) break;
    current = next;
  }
  return kSuccess;
}

std::uint64_t CFastFatRecovery::ItemByteLimit(const FoundFileRecord& record) const {
  // A file can reach at most the clusters from its first one to the end of the data area.
  if (!layout_.IsValidCluster(record.objectNumber)) return 0;
  const std::uint64_t clusters = std::uint64_t{layout_.maxCluster} - record.objectNumber + 1;
  return std::min<std::uint64_t>(clusters, layout_.clusterCount) * layout_.ClusterBytes();
}

Result CFastFatRecovery::CheckItemReadable(const FoundFileRecord& record) const {
  return static_cast<std::uint32_t>(record.clusterBytes) > kMaxCopyClusterBytes ? kErrClusterTooLarge : kSuccess;
}

// --- free-space map -------------------------------------------------------------------------------------

Result CFastFatRecovery::BuildFreeSpaceMap() {
  if (!IsOpen()) return kErrInvalidHandle;
  return fat_.BuildUseMap(useMap_);
}

std::optional<std::uint64_t> CFastFatRecovery::FirstDataByte(const FoundFileRecord& record) {
  // An empty file (cluster 0) has no data a carved file could repeat.
  if (!IsOpen() || record.isFolder != 0 || !layout_.IsValidCluster(record.objectNumber)) return std::nullopt;
  const std::optional<std::uint64_t> sector = layout_.ClusterSector(record.objectNumber);
  if (!sector) return std::nullopt;
  return AbsoluteSector(*sector) * std::uint64_t{layout_.bytesPerSector};
}

}  // namespace rexmoor
