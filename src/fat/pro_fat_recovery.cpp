// The formatted FAT engine's frame: opening, the catalogue, the boot-sector seed and reading a
// found file from consecutive clusters.
#include "fat/pro_fat_recovery.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "engine/preview_target.h"
#include "formats/carve_at_sector.h"
#include "formats/fat_layout.h"

namespace rexmoor {

namespace {

// Where a record's clusters lie: the layout it was found under.
std::optional<VolumeLayout> RecordLayout(const FoundFileRecord& record, std::int32_t sectorSize) {
  if (record.clusterBytes <= 0 || record.clusterBytes % sectorSize != 0) return std::nullopt;
  if (record.dataAreaSector > UINT32_MAX) return std::nullopt;
  VolumeLayout layout;
  layout.sectorsPerCluster = static_cast<std::uint32_t>(record.clusterBytes / sectorSize);
  layout.dataAreaSector = static_cast<std::uint32_t>(record.dataAreaSector);
  layout.baseSector = record.partitionStartSector;
  return layout;
}

}  // namespace

CProfessionalFatRecovery::CProfessionalFatRecovery() = default;
CProfessionalFatRecovery::~CProfessionalFatRecovery() = default;

Result CProfessionalFatRecovery::Prepare(const VolumeOpening& volume) {
  // No boot sector is trusted here: the volume is the partition (or image) as the caller gave it,
  // in the medium's own sector size.
  const auto sectorSize = static_cast<std::uint32_t>(SourceSectorSize(source_));
  if (Result r = PlaceVolume(sectorSize, volume); r != kSuccess) return r;
  try {
    sectorBuffer_.assign(sectorSize, 0);
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  runContext_ = {};
  sweepContext_ = {};
  MarkOpen();
  return kSuccess;
}

Result CProfessionalFatRecovery::Scan(const char*) { return kSuccess; }

Result CProfessionalFatRecovery::BeginFormattedCatalogue(const char* logName) {
  layouts_.clear();
  anchors_.clear();
  pending_.clear();
  placedUpTo_ = 0;
  tails_.clear();
  orphans_.clear();
  orphanBytes_ = 0;
  folderInfos_.clear();
  foldersWithFinds_.clear();
  folderLevels_.clear();
  for (auto& keys : orphanKeys_) keys.clear();
  heads_.clear();
  depths_.clear();
  highWords_.clear();
  runContext_ = {};
  sweepContext_ = {};
  bootLayoutPresent_ = false;
  rootCluster_ = 0;
  dropped_ = 0;
  droppedSaid_.clear();
  catalogue_.Close();
  catalogue_.SetFilterCallback(callbacks_.filter, callbacks_.filterUserData);
  if (logName != nullptr) return catalogue_.OpenCatalogue(logName);
  return catalogue_.CreateCatalogue("Pro_Fat_", partitionStartSector_);
}

Result CProfessionalFatRecovery::PrepareSweep() {
  if (!IsOpen()) return kErrInvalidHandle;
  if (bootLayoutPresent_) return kSuccess;
  std::vector<std::uint8_t> boot(kVolumeBootAreaBytes, 0);
  const auto sectorSize = static_cast<std::uint32_t>(sectorSize_);
  const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(kVolumeBootAreaBytes / sectorSize, volumeSectors_));
  if (count == 0) return kSuccess;
  if (Result r = ReadVolume(0, count, boot.data(), nullptr); r != kSuccess) return r;
  FatLayout fat;
  if (!IsFatBootSector(boot) || ParseFatLayout(boot, fat) != kSuccess) return kSuccess;
  // The layout counts in the medium's sectors; a volume whose sectors are not a whole number of
  // them cannot be placed by it.
  if (fat.bytesPerSector % sectorSize != 0) return kSuccess;
  const std::uint64_t ratio = fat.bytesPerSector / sectorSize;
  VolumeLayout layout;
  layout.sectorsPerCluster = static_cast<std::uint32_t>(fat.sectorsPerCluster * ratio);
  if (fat.dataAreaSector * ratio > UINT32_MAX) return kSuccess;
  layout.dataAreaSector = static_cast<std::uint32_t>(fat.dataAreaSector * ratio);
  layout.rootSectors = static_cast<std::uint32_t>(fat.rootDirSectors * ratio);
  layout.baseSector = partitionBase_;
  layout.narrowClusters = !fat.IsFat32();
  layouts_.insert(layouts_.begin(), layout);
  bootLayoutPresent_ = true;
  rootCluster_ = fat.IsFat32() ? fat.rootCluster : 0;
  return kSuccess;
}

void CProfessionalFatRecovery::NoteDropped(const char* what) {
  ++dropped_;
  if (droppedSaid_.insert(what).second) {
    std::fprintf(stderr, "rexmoor: too many %s on this medium; the oldest are let go\n", what);
  }
}

// --- reading ----------------------------------------------------------------------------------------

bool CProfessionalFatRecovery::ReadSectorAt(std::uint64_t sector, std::vector<std::uint8_t>& out) {
  if (!InVolume(sector)) return false;
  out.resize(static_cast<std::size_t>(sectorSize_));
  return ReadVolume(sector - partitionBase_, 1, out.data(), nullptr) == kSuccess;
}

std::int32_t CProfessionalFatRecovery::CheckContiguousContent(const FoundFileRecord& record) {
  const std::string_view name = RecordName(record);
  if (name.find('.') == std::string_view::npos || record.objectNumber < kFirstCluster) return 1;
  const std::optional<VolumeLayout> layout = RecordLayout(record, sectorSize_);
  const std::optional<std::uint64_t> sector = layout ? layout->ClusterSector(record.objectNumber) : std::nullopt;
  if (!sector || !ReadSectorAt(*sector, sectorBuffer_)) return 1;
  return CheckSignatureByExtension(sectorBuffer_, RecordExtension(record), source_, sectorSize_, *sector) ? 1 : 0;
}

Result CProfessionalFatRecovery::CheckItemReadable(const FoundFileRecord& record) const {
  if (static_cast<std::uint32_t>(record.clusterBytes) > kMaxCopyClusterBytes) return kErrClusterTooLarge;
  return kSuccess;
}

std::uint64_t CProfessionalFatRecovery::ItemByteLimit(const FoundFileRecord& record) const {
  // A file runs at most from its first cluster to the end of the volume.
  const std::optional<VolumeLayout> layout = RecordLayout(record, sectorSize_);
  if (!layout || record.objectNumber < kFirstCluster) return 0;
  const std::optional<std::uint64_t> first = layout->ClusterSector(record.objectNumber);
  if (!first || !InVolume(*first)) return 0;
  const std::uint64_t end = partitionBase_ + volumeSectors_;
  return (end - *first) * static_cast<std::uint64_t>(sectorSize_);
}

Result CProfessionalFatRecovery::ReadItemData(const FoundFileRecord& record, std::uint64_t size,
                                              const ItemDataSink& sink) {
  return WriteContiguousData(record, size, sink);
}

Result CProfessionalFatRecovery::WriteContiguousData(const FoundFileRecord& record, std::uint64_t size,
                                                     const ItemDataSink& sink) {
  if (!IsOpen()) return kErrInvalidHandle;
  const std::optional<VolumeLayout> layout = RecordLayout(record, sectorSize_);
  if (!layout || record.objectNumber < kFirstCluster) return kErrInvalidParameter;
  const std::optional<std::uint64_t> first = layout->ClusterSector(record.objectNumber);
  if (!first || !InVolume(*first)) return kErrInvalidParameter;
  return ReadContiguous(*first, static_cast<std::uint64_t>(record.clusterBytes), size, sink);
}

std::optional<std::uint64_t> CProfessionalFatRecovery::FirstDataByte(const FoundFileRecord& record) {
  // An empty file (cluster 0) has no data a carved file could repeat.
  if (record.isFolder != 0 || record.objectNumber < kFirstCluster) return std::nullopt;
  const std::optional<VolumeLayout> layout = RecordLayout(record, sectorSize_);
  const std::optional<std::uint64_t> first = layout ? layout->ClusterSector(record.objectNumber) : std::nullopt;
  if (!first || !InVolume(*first)) return std::nullopt;
  return *first * static_cast<std::uint64_t>(sectorSize_);
}

}  // namespace rexmoor
