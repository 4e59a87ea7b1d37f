#include "fat/fast_fat_recovery.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <new>

#include "formats/carve_at_sector.h"
#include "formats/file_format_table.h"
#include "engine/volume_open.h"
#include "engine/folder_recovery.h"
#include "engine/name_sanitize.h"
#include "engine/preview_target.h"
#include "engine/scan_log_index.h"
#include "formats/fat_dir_entry.h"
#include "platform/byte_view.h"
#include "platform/clock.h"
#include "platform/text.h"

namespace rexmoor {

namespace {

// The root of a FAT12/16 volume is read in blocks of this size.
constexpr std::uint32_t kRootBlockBytes = 16384;
// Consecutive clusters of a file are read together up to this size.
constexpr std::uint64_t kDataRunBytes = 1 << 20;
// The long-name buffer: 20 parts of 13 UTF-16 units.
constexpr std::size_t kLongNameUnits = 260;
// Folder nesting deeper than this is taken as a loop in damaged ".." entries.
constexpr std::uint32_t kMaxFolderDepth = 4096;
// FindFolderHighWord and FindFileHighWord try high words 0..256.
constexpr std::uint32_t kMaxHighWord = 256;
// Progress figures of the walk stay below the 80 that reports its end.
constexpr std::int32_t kWalkProgressCap = 79;
constexpr std::int32_t kWalkSecondsFloor = 11;

bool IsDotEntry(const std::uint8_t* e) { return e[0] == '.' && e[1] == ' '; }
bool IsDotDotEntry(const std::uint8_t* e) { return e[0] == '.' && e[1] == '.'; }

// A sub-folder's first cluster opens with "." (a folder) and "..".
bool StartsWithDotPair(std::span<const std::uint8_t> block) {
  if (block.size() < 2 * kDirEntrySize) return false;
  const std::uint8_t* e = block.data();
  return IsDotEntry(e) && (e[kEntryAttr] & kAttrFolder) != 0 && IsDotDotEntry(e + kDirEntrySize);
}

std::string LongNameText(const std::array<char16_t, kLongNameUnits>& units, std::size_t start) {
  std::size_t end = start;
  while (end < units.size() && units[end] != 0) ++end;
  return Utf16ToUtf8(std::u16string_view(units.data() + start, end - start));
}

}  // namespace

CFastFatRecovery::CFastFatRecovery() = default;

CFastFatRecovery::~CFastFatRecovery() {
  catalogue_.Close();
  CloseSource(source_);
}

void CFastFatRecovery::Reset() {
  CloseSource(source_);
  open_ = false;
  fatWindow_.clear();
  fatWindow_.shrink_to_fit();
  windowBytes_ = 0;
  windowStartSector_ = 0;
}

// --- opening --------------------------------------------------------------------------------------

Result CFastFatRecovery::OpenImageFile(const std::string& imagePath, std::uint16_t sourceTag) {
  if (open_) return kSuccess;
  VolumeOpening volume;
  if (Result r = OpenImageVolume(imagePath, source_, volume); r != kSuccess) {
    Reset();
    return r;
  }
  partitionStartSector_ = 0;
  sourceTag_ = sourceTag;
  return Prepare(volume.boot, volume.mediumBytes, volume.startByte, volume.lengthBytes);
}

Result CFastFatRecovery::OpenDisk(std::int32_t driveNumber, std::uint64_t startSector, std::uint64_t sectorCount,
                                  std::uint16_t sourceTag) {
  if (open_) return kSuccess;
  VolumeOpening volume;
  if (Result r = OpenDiskVolume(driveNumber, startSector, sectorCount, source_, volume); r != kSuccess) {
    Reset();
    return r;
  }
  partitionStartSector_ = startSector;
  sourceTag_ = sourceTag;
  return Prepare(volume.boot, volume.mediumBytes, volume.startByte, volume.lengthBytes);
}

Result CFastFatRecovery::Prepare(std::span<const std::uint8_t> bootArea, std::uint64_t mediumBytes,
                                 std::uint64_t startByte, std::uint64_t lengthBytes) {
  FatLayout layout;
  if (Result r = ParseFatLayout(bootArea, layout); r != kSuccess) {
    Reset();
    return r;
  }
  const std::uint32_t bps = layout.bytesPerSector;
  // Everything from here on counts in the volume's own sectors.
  if (startByte % bps != 0) {
    Reset();
    return kErrInvalidParameter;
  }
  layout_ = layout;
  sectorSize_ = static_cast<std::int32_t>(bps);
  partitionBase_ = startByte / bps;
  source_.totalSectors = mediumBytes / bps;
  const std::uint64_t mediumSectors = source_.totalSectors > partitionBase_ ? source_.totalSectors - partitionBase_ : 0;
  volumeSectors_ = std::min(lengthBytes / bps, mediumSectors);

  // The window never needs to be larger than the FAT.
  const std::uint64_t windowBytes = std::min<std::uint64_t>(kFatWindowBytes, layout_.FatBytes());
  try {
    fatWindow_.assign(static_cast<std::size_t>(windowBytes), 0);
    blockBuffer_.assign(std::max<std::size_t>(layout_.ClusterBytes(), kRootBlockBytes), 0);
    sectorBuffer_.assign(bps, 0);
  } catch (const std::bad_alloc&) {
    Reset();
    return kErrNotEnoughMemory;
  }
  open_ = true;
  // A FAT that cannot be read now is tried again entry by entry.
  (void)LoadFatWindow(0);
  return kSuccess;
}

Result CFastFatRecovery::ReadVolume(std::uint64_t sector, std::uint32_t count, std::uint8_t* buffer,
                                    std::uint32_t* outRead) {
  if (outRead != nullptr) *outRead = 0;
  if (!open_) return kErrInvalidHandle;
  if (sector > volumeSectors_ || count > volumeSectors_ - sector) return kErrInvalidParameter;
  std::uint32_t got = 0;
  const Result r =
      ReadSectors(static_cast<std::int32_t>(count), source_, buffer, AbsoluteSector(sector), sectorSize_, &got);
  if (outRead != nullptr) *outRead = got;
  if (r == kSuccess && got < count) return kErrReadFault;
  return r;
}

Result CFastFatRecovery::LoadFatWindow(std::uint64_t firstFatSector) {
  windowBytes_ = 0;
  windowStartSector_ = firstFatSector;
  if (fatWindow_.empty() || firstFatSector >= layout_.fatSectors) return kErrInvalidParameter;
  const std::uint64_t absolute = layout_.fatStartSector + firstFatSector;
  if (absolute >= volumeSectors_) return kErrInvalidParameter;
  std::uint64_t count = fatWindow_.size() / layout_.bytesPerSector;
  count = std::min(count, layout_.fatSectors - firstFatSector);
  count = std::min(count, volumeSectors_ - absolute);
  std::uint32_t got = 0;
  const Result r = ReadVolume(absolute, static_cast<std::uint32_t>(count), fatWindow_.data(), &got);
  windowBytes_ = static_cast<std::size_t>(got) * layout_.bytesPerSector;
  if (got == 0) return r != kSuccess ? r : kErrReadFault;
  return kSuccess;
}

Result CFastFatRecovery::ReadFatEntry(std::uint32_t cluster, std::uint32_t& entry) {
  entry = 0;
  if (!open_) return kErrInvalidHandle;
  if (cluster >= layout_.fatEntryCount) return kErrInvalidParameter;
  const std::uint64_t offset = FatEntryOffset(layout_.type, cluster);
  const std::size_t width = FatEntryWidth(layout_.type);
  auto inWindow = [&] {
    const std::uint64_t start = windowStartSector_ * layout_.bytesPerSector;
    return offset >= start && offset - start <= windowBytes_ && width <= windowBytes_ - (offset - start);
  };
  if (!inWindow()) {
    const Result r = LoadFatWindow(offset / layout_.bytesPerSector);
    if (!inWindow()) return r != kSuccess ? r : kErrReadFault;
  }
  const std::uint64_t at = offset - windowStartSector_ * layout_.bytesPerSector;
  const auto value =
      DecodeFatEntry(layout_.type, cluster, std::span<const std::uint8_t>(fatWindow_.data() + at, width));
  if (!value) return kErrReadFault;
  entry = *value;
  return kSuccess;
}

std::uint32_t CFastFatRecovery::NextClusterOf(std::uint32_t cluster) {
  std::uint32_t entry = 0;
  if (ReadFatEntry(cluster, entry) != kSuccess) entry = 0;
  if (entry == 0) {
    // A cleared entry: deleted data is taken to run on into the next cluster while that one is
    // free too.
    const std::uint64_t next = std::uint64_t{cluster} + 1;
    if (!layout_.IsValidCluster(next)) return 0;
    std::uint32_t nextEntry = 0;
    if (ReadFatEntry(static_cast<std::uint32_t>(next), nextEntry) != kSuccess) nextEntry = 0;
    return nextEntry == 0 ? static_cast<std::uint32_t>(next) : 0;
  }
  if (IsEndOfChain(layout_.type, entry) || !layout_.IsValidCluster(entry)) return 0;
  return entry;
}

// --- callbacks and the catalogue -----------------------------------------------------------------

Result CFastFatRecovery::SetCallbacks(ScanProgressCallback scanCallback, FileProgressCallback fileCallback,
                                      void* userData, std::int32_t weight) {
  scanCallback_ = scanCallback;
  fileCallback_ = fileCallback;
  userData_ = userData;
  weight_ = weight;
  return kSuccess;
}

Result CFastFatRecovery::SetFilterCallback(FilterProgressCallback callback, void* userData) {
  filterCallback_ = callback;
  filterUserData_ = userData;
  catalogue_.SetFilterCallback(callback, userData);
  return kSuccess;
}

Result CFastFatRecovery::GetChildren(const FoundFileRecord* folder, std::int32_t level, RecordList& out) {
  if (level < 0 || (folder == nullptr && level != 0)) return kErrInvalidParameter;
  catalogue_.Flush();
  const std::uint32_t object = folder != nullptr ? folder->objectNumber : layout_.rootCluster;
  return catalogue_.ListChildren(ScanCatalogue::MakeFolderKey(object, static_cast<std::uint32_t>(level)), out);
}

Result CFastFatRecovery::CountFiles(const FoundFileRecord* folder, std::int32_t level, std::int32_t* count) {
  if (count == nullptr || level < 0 || (folder == nullptr && level != 0)) return kErrInvalidParameter;
  catalogue_.Flush();
  const std::uint32_t object = folder != nullptr ? folder->objectNumber : layout_.rootCluster;
  return catalogue_.CountFilesBelow(ScanCatalogue::MakeFolderKey(object, static_cast<std::uint32_t>(level)), *count);
}

std::uint64_t CFastFatRecovery::GetFoundCount() { return catalogue_.IsOpen() ? catalogue_.RecordCount() : 0; }

Result CFastFatRecovery::GetFolderPath(const FoundFileRecord* record, std::string& out) {
  out.clear();
  if (record == nullptr) return kErrInvalidParameter;
  catalogue_.Flush();
  return catalogue_.FolderPathOf(record, out);
}

std::int32_t CFastFatRecovery::FilterByType(const std::string& extensions, RecordList& out) {
  return catalogue_.FilterByExtensions(extensions, out);
}

// --- the scan -------------------------------------------------------------------------------------

std::int32_t CFastFatRecovery::ReportScan(std::int32_t progress, std::int32_t secondsLeft) {
  if (scanCallback_ == nullptr) return 0;
  return scanCallback_(userData_, progress, weight_, secondsLeft, 0, 0, 0, 0);
}

Result CFastFatRecovery::Scan(const char* logName) {
  folderRecords_.clear();
  pendingFolders_.clear();
  foldersWithFinds_.clear();
  foldersWithFindsSet_.clear();
  walkedFolders_.clear();
  depthCache_.clear();
  folderHighWords_.clear();
  fileHighWords_.clear();
  catalogue_.Close();
  catalogue_.SetFilterCallback(filterCallback_, filterUserData_);
  if (logName != nullptr) return catalogue_.OpenCatalogue(logName);
  if (!open_) return kErrInvalidHandle;

  // Without a catalogue file the scan still runs; its records simply stay unwritten.
  (void)catalogue_.CreateCatalogue("Fast_", partitionStartSector_);

  blockBudget_ = 2 * (std::uint64_t{layout_.maxCluster} + 1) + layout_.rootDirSectors;
  Result result = ReportScan(1, -1);
  if (result == kSuccess) {
    pendingFolders_.push_back(layout_.rootCluster);
    std::uint32_t lastReport = TickCountMs();
    std::int32_t progress = 2;
    std::int32_t secondsLeft = 99;
    std::int32_t quickProgress = 21;
    while (!pendingFolders_.empty()) {
      const std::uint32_t cluster = pendingFolders_.front();
      if (walkedFolders_.insert(cluster).second) WalkFolder(cluster);
      pendingFolders_.pop_front();
      const std::uint32_t tick = TickCountMs();
      if (tick - lastReport < kScanReportIntervalMs) continue;
      lastReport = tick;
      std::int32_t verdict = 0;
      if (scanCallback_ != nullptr && weight_ == 100) {
        verdict = scanCallback_(userData_, progress, 100, secondsLeft, 0, 0, 0, 0);
        progress = std::min(progress + 1, kWalkProgressCap);
        secondsLeft = std::max(secondsLeft - 1, kWalkSecondsFloor);
      } else if (scanCallback_ != nullptr && weight_ == 9) {
        verdict = scanCallback_(userData_, quickProgress, 9, -1, 0, 0, 0, 0);
        quickProgress = std::min(quickProgress + 1, kWalkProgressCap);
      }
      if (verdict != 0) {
        result = verdict;
        break;
      }
    }
    if (result == kSuccess) result = ReportScan(80, 10);
  }

  // The folders above the finds are written even when the walk was stopped, so that whatever was
  // found can be browsed.
  for (std::uint32_t cluster : foldersWithFinds_) {
    auto it = folderRecords_.find(cluster);
    if (it == folderRecords_.end()) continue;
    FoundFileRecord record = it->second.record;
    record.contentState = 1;
    record.recordId = catalogue_.RecordCount() + 1;
    *catalogue_.AppendRecord() = record;
    const std::uint32_t parent = it->second.parent;
    const std::uint32_t level = CountParentDepth(parent);
    catalogue_.AddRelation(ScanCatalogue::MakeFolderKey(parent, level), record.recordId, record.objectNumber,
                           RecordName(record));
  }
  catalogue_.Flush();
  if (result == kSuccess) result = ReportScan(100, 0);
  return result;
}

void CFastFatRecovery::WalkFolder(std::uint32_t cluster) {
  const bool fixedRoot = !layout_.IsFat32() && cluster == 0;
  if (!fixedRoot && !layout_.IsValidCluster(cluster)) return;
  const bool isRoot = cluster == layout_.rootCluster;
  std::uint32_t parent = cluster;
  bool knownSubFolder = false;
  bool inDeleted = false;
  if (!isRoot) {
    if (auto it = folderRecords_.find(cluster); it != folderRecords_.end()) {
      knownSubFolder = true;
      inDeleted = it->second.record.deletedMark != 0;
    }
  }

  const std::uint32_t bps = layout_.bytesPerSector;
  std::array<char16_t, kLongNameUnits> longName{};
  std::size_t longStart = kLongNameUnits;  // empty

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
    if (knownSubFolder && firstBlock && !StartsWithDotPair(block)) return;
    if (!firstBlock && viaClearedEntry && !IsFatDirectorySector(block)) return;

    for (std::size_t offset = 0; offset + kDirEntrySize <= blockBytes; offset += kDirEntrySize) {
      const std::span<const std::uint8_t> rest = block.subspan(offset);
      const std::uint8_t* e = rest.data();
      if (e[0] == 0) return;  // the end of the folder
      if (!IsPlausibleDirEntry(rest)) {
        longStart = kLongNameUnits;
        continue;
      }
      const std::uint8_t attr = e[kEntryAttr];
      if (attr == kAttrLongName) {
        if (longStart < kLfnUnitsPerEntry) return;  // longer than any real name
        auto lfn = DecodeLfnEntry(rest);
        longStart -= kLfnUnitsPerEntry;
        std::copy(lfn->units.begin(), lfn->units.end(), longName.begin() + static_cast<std::ptrdiff_t>(longStart));
        continue;
      }
      const std::optional<DirEntry> entry = DecodeDirEntry(rest);
      const bool hasLongName = longStart < kLongNameUnits;
      std::string longText = hasLongName ? LongNameText(longName, longStart) : std::string();
      longStart = kLongNameUnits;
      const bool deleted = entry->IsDeleted();
      const std::uint64_t entrySector = blockSector + offset / bps;

      if ((attr & kAttrFolder) != 0) {
        if (IsDotEntry(e)) {
          const std::uint32_t self = layout_.IsFat32() ? entry->FirstCluster() : entry->clusterLow;
          if (layout_.IsValidCluster(self)) parent = self;
          continue;
        }
        if (IsDotDotEntry(e)) continue;
        std::uint32_t first = layout_.IsFat32() ? entry->FirstCluster() : entry->clusterLow;
        if (layout_.IsFat32() && deleted && entry->clusterHigh == 0) {
          first = FirstCluster(FindFolderHighWord(entry->clusterLow), entry->clusterLow);
        }
        const std::string name = SanitizeName(!longText.empty() ? longText : DecodeShortName(rest, false));
        FoundFileRecord record = MakeEmptyRecord();
        record.sourceTag = sourceTag_;
        record.engineTag = kTagFastFat;
        record.isFolder = 1;
        record.deletedMark = deleted || inDeleted ? 1 : 0;
        record.contentState = 1;
        record.objectNumber = first;
        record.clusterBytes = static_cast<std::int32_t>(layout_.ClusterBytes());
        const FatTimes times = DecodeFatTimes(rest);
        record.createdTime = times.created;
        record.accessedTime = times.accessed;
        record.modifiedTime = times.modified;
        record.dataAreaSector = layout_.dataAreaSector;
        record.locationSector = AbsoluteSector(entrySector);
        record.partitionStartSector = partitionBase_;
        SetRecordName(record, name);
        if (first != 0 && first != parent && layout_.IsValidCluster(first)) {
          pendingFolders_.push_back(first);
          auto [it, inserted] = folderRecords_.try_emplace(first, FolderSeen{record, parent});
          // A live folder keeps its place against a deleted entry that names the same cluster.
          if (!inserted && !(it->second.record.deletedMark == 0 && record.deletedMark != 0))
            it->second = FolderSeen{record, parent};
        }
        continue;
      }
      if ((attr & kAttrArchive) == 0) continue;
      if (!deleted && !inDeleted) continue;
      CatalogueFile(*entry, rest, !longText.empty() ? longText : DecodeShortName(rest, true), entrySector, parent,
                    inDeleted);
    }

    if (fixedRoot) continue;
    if (bytesWalked >= kMaxFolderBytes) return;
    std::uint32_t link = 0;
    if (ReadFatEntry(current, link) != kSuccess) link = 0;
    const std::uint32_t next = NextClusterOf(current);
    if (next == 0 || next == current) return;
    viaClearedEntry = link == 0;
    current = next;
  }
}

void CFastFatRecovery::CatalogueFile(const DirEntry& entry, std::span<const std::uint8_t> raw, const std::string& name,
                                     std::uint64_t entrySector, std::uint32_t parent, bool inDeleted) {
  std::uint32_t first = layout_.IsFat32() ? entry.FirstCluster() : entry.clusterLow;
  if (layout_.IsFat32() && entry.IsDeleted() && entry.clusterHigh == 0) {
    first = FirstCluster(FindFileHighWord(name, entry.clusterLow), entry.clusterLow);
  }
  FoundFileRecord record = MakeEmptyRecord();
  record.sourceTag = sourceTag_;
  record.engineTag = kTagFastFat;
  record.isFolder = 0;
  record.deletedMark = entry.IsDeleted() || inDeleted ? 1 : 0;
  record.objectNumber = first;
  record.clusterBytes = static_cast<std::int32_t>(layout_.ClusterBytes());
  const FatTimes times = DecodeFatTimes(raw);
  record.createdTime = times.created;
  record.accessedTime = times.accessed;
  record.modifiedTime = times.modified;
  record.size = entry.size;
  record.dataAreaSector = layout_.dataAreaSector;
  record.locationSector = AbsoluteSector(entrySector);
  record.partitionStartSector = partitionBase_;
  SetRecordName(record, SanitizeName(name));
  record.contentState = CheckContentByExtension(record);
  record.recordId = catalogue_.RecordCount() + 1;
  *catalogue_.AppendRecord() = record;

  const std::uint32_t level = CountParentDepth(parent);
  catalogue_.AddRelation(ScanCatalogue::MakeFolderKey(parent, level), record.recordId, record.objectNumber);
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

bool CFastFatRecovery::FirstSectorOf(std::uint32_t cluster, std::vector<std::uint8_t>& sector) {
  auto at = layout_.ClusterSector(cluster);
  if (!at) return false;
  sector.resize(layout_.bytesPerSector);
  return ReadVolume(*at, 1, sector.data(), nullptr) == kSuccess;
}

std::uint32_t CFastFatRecovery::CountParentDepth(std::uint32_t cluster) {
  if (auto it = depthCache_.find(cluster); it != depthCache_.end()) return it->second;
  std::unordered_set<std::uint32_t> visited;
  std::uint32_t depth = 0;
  std::uint32_t c = cluster;
  while (depth < kMaxFolderDepth) {
    if (c == 0 || c == layout_.rootCluster || !visited.insert(c).second) break;
    if (!FirstSectorOf(c, sectorBuffer_)) break;
    const std::uint8_t* s = sectorBuffer_.data();
    if (s[kEntryAttr] == kAttrVolumeLabel || s[0] != '.' || !IsDotDotEntry(s + kDirEntrySize)) break;
    ++depth;
    const std::uint8_t* up = s + kDirEntrySize;
    c = layout_.IsFat32() ? FirstCluster(LoadU16LE(up + kEntryClusterHigh), LoadU16LE(up + kEntryClusterLow))
                          : LoadU16LE(up + kEntryClusterLow);
  }
  depthCache_.emplace(cluster, depth);
  return depth;
}

std::uint16_t CFastFatRecovery::FindFolderHighWord(std::uint16_t lowWord) {
  if (auto it = folderHighWords_.find(lowWord); it != folderHighWords_.end()) return it->second;
  const std::uint16_t high = SearchFolderHighWord(lowWord);
  folderHighWords_.emplace(lowWord, high);
  return high;
}

std::uint16_t CFastFatRecovery::SearchFolderHighWord(std::uint16_t lowWord) {
  for (std::uint32_t h = 0; h <= kMaxHighWord; ++h) {
    const std::uint64_t cluster = (std::uint64_t{h} << 16) | lowWord;
    if (cluster > layout_.maxCluster) break;
    if (!layout_.IsValidCluster(cluster)) continue;
    if (!FirstSectorOf(static_cast<std::uint32_t>(cluster), sectorBuffer_)) break;
    const std::uint8_t* s = sectorBuffer_.data();
    if (IsDotEntry(s) && IsDotDotEntry(s + kDirEntrySize)) return static_cast<std::uint16_t>(h);
  }
  return 0;
}

std::uint16_t CFastFatRecovery::FindFileHighWord(const std::string& name, std::uint16_t lowWord) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos) return 0;
  const std::string_view extension = std::string_view(name).substr(dot + 1);
  if (FindFormatByExtension(extension) == nullptr) return 0;
  std::string key = ToLowerAscii(extension);
  key += '/';
  key += std::to_string(lowWord);
  if (auto it = fileHighWords_.find(key); it != fileHighWords_.end()) return it->second;
  std::uint16_t found = 0;
  for (std::uint32_t h = 0; h <= kMaxHighWord; ++h) {
    const std::uint64_t cluster = (std::uint64_t{h} << 16) | lowWord;
    if (cluster > layout_.maxCluster) break;
    if (!layout_.IsValidCluster(cluster)) continue;
    if (!FirstSectorOf(static_cast<std::uint32_t>(cluster), sectorBuffer_)) break;
    if (ContentMatches(sectorBuffer_, extension, *layout_.ClusterSector(cluster))) {
      found = static_cast<std::uint16_t>(h);
      break;
    }
  }
  fileHighWords_.emplace(std::move(key), found);
  return found;
}

std::int32_t CFastFatRecovery::CheckContentByExtension(const FoundFileRecord& record) {
  const std::string_view extension = RecordExtension(record);
  if (RecordName(record).find('.') == std::string_view::npos) return 1;
  if (!FirstSectorOf(record.objectNumber, sectorBuffer_)) return 1;
  return ContentMatches(sectorBuffer_, extension, *layout_.ClusterSector(record.objectNumber)) ? 1 : 0;
}

bool CFastFatRecovery::ContentMatches(std::span<const std::uint8_t> sector, std::string_view extension,
                                      std::uint64_t volumeSector) {
  return CheckSignatureByExtension(sector, extension, source_, sectorSize_, AbsoluteSector(volumeSector));
}

// --- writing out and preview ------------------------------------------------------------------------

template <typename Sink>
Result CFastFatRecovery::ReadFileData(const FoundFileRecord& record, std::uint64_t size, Sink&& sink) {
  if (!open_) return kErrInvalidHandle;
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
      next = NextClusterOf(current + run - 1);
      if (next == 0 || next != current + run || run >= maxRun) break;
      ++run;
      next = 0;
    }
    std::uint32_t got = 0;
    const Result read = ReadVolume(*layout_.ClusterSector(current), run * layout_.sectorsPerCluster, buffer.data(), &got);
    const std::uint64_t bytes = std::min<std::uint64_t>(remaining, std::uint64_t{got} * layout_.bytesPerSector);
    if (bytes != 0) {
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

std::uint64_t CFastFatRecovery::ReachableBytes(const FoundFileRecord& record) const {
  // A file can reach at most the clusters from its first one to the end of the data area.
  if (!layout_.IsValidCluster(record.objectNumber)) return 0;
  const std::uint64_t clusters = std::uint64_t{layout_.maxCluster} - record.objectNumber + 1;
  return std::min<std::uint64_t>(clusters, layout_.clusterCount) * layout_.ClusterBytes();
}

Result CFastFatRecovery::WriteItemData(const FoundFileRecord& record, const std::string& destination,
                                       std::int32_t levelBase) {
  RecoveredFileSink sink(FileReporter{fileCallback_, userData_}, destination, levelBase, record.size);
  Result result = sink.Open();
  if (result == kSuccess && static_cast<std::uint32_t>(record.clusterBytes) > kMaxCopyClusterBytes)
    result = kErrClusterTooLarge;
  if (result != kSuccess || record.size == 0) return sink.Finish(result);
  // A size read from the volume is not trusted to fit on it: what lies beyond is never read.
  const std::uint64_t size = std::min<std::uint64_t>(std::uint64_t{record.size}, ReachableBytes(record));
  result = ReadFileData(record, size, [&sink](const std::uint8_t* data, std::size_t length, Result read) {
    return sink.Put(data, length, read);
  });
  return sink.Finish(result);
}

Result CFastFatRecovery::RecoverItem(const FoundFileRecord* record, const std::string& destination,
                                     std::int32_t levelBase) {
  if (record == nullptr) return kErrInvalidParameter;
  if (record->isFolder != 0) {
    return RecoverFolderTree(*this, *record, destination, levelBase, FileReporter{fileCallback_, userData_},
                             [this, levelBase](const FoundFileRecord& child, const std::string& path) {
                               return WriteItemData(child, path, levelBase);
                             });
  }
  return WriteItemData(*record, destination, levelBase);
}

Result CFastFatRecovery::ExtractForPreview(const FoundFileRecord* record, std::string& outPath, std::uint8_t* buffer,
                                           std::uint32_t* byteCount, PreviewProgressCallback callback,
                                           void* userData) {
  outPath.clear();
  if (record == nullptr) return kErrInvalidParameter;
  PreviewSink sink;
  if (Result r = sink.Begin(*record, outPath, buffer, byteCount, callback, userData); r != kSuccess)
    return sink.Finish(r);
  if (static_cast<std::uint32_t>(record->clusterBytes) > kMaxCopyClusterBytes) return sink.Finish(kErrClusterTooLarge);
  if (sink.BytesWanted() == 0) {
    (void)sink.ReportEmpty();
    return sink.Finish(kSuccess);
  }
  const Result r = ReadFileData(*record, sink.BytesWanted(),
                                [&](const std::uint8_t* data, std::size_t length, Result) { return sink.Put(data, length); });
  return sink.Finish(r);
}

// --- free-space map -------------------------------------------------------------------------------------

Result CFastFatRecovery::BuildFreeSpaceMap() {
  if (!open_) return kErrInvalidHandle;
  mapBuilt_ = false;
  const std::uint64_t dataSectors = layout_.totalSectors - layout_.dataAreaSector;
  // A partial cluster at the end counts, so that the sweep also covers the volume's last sectors.
  std::uint64_t clusters = (dataSectors + layout_.sectorsPerCluster - 1) / layout_.sectorsPerCluster;
  clusters = std::min<std::uint64_t>(clusters, kFat32MaxClusterNumber);
  try {
    clusterUseMap_.assign(static_cast<std::size_t>((clusters + 7) / 8), 0);
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  mapClusters_ = clusters;
  auto mark = [&](std::uint64_t cluster) {
    const std::uint64_t bit = cluster - kFirstCluster;
    if (bit < mapClusters_) clusterUseMap_[bit / 8] |= static_cast<std::uint8_t>(1u << (bit % 8));
  };
  const std::uint64_t last = std::min<std::uint64_t>(layout_.maxCluster, clusters + 1);
  for (std::uint64_t i = kFirstCluster; i <= last; ++i) {
    std::uint32_t entry = 0;
    if (ReadFatEntry(static_cast<std::uint32_t>(i), entry) != kSuccess || entry == 0) continue;
    mark(i);
    // A link names a cluster in use as well; links that name no cluster are ignored.
    if (!IsEndOfChain(layout_.type, entry) && layout_.IsValidCluster(entry)) mark(entry);
  }
  mapBuilt_ = true;
  return kSuccess;
}

bool CFastFatRecovery::IsClusterUsed(std::uint32_t cluster) const {
  if (!mapBuilt_ || cluster < kFirstCluster) return false;
  const std::uint64_t bit = cluster - kFirstCluster;
  return bit < mapClusters_ && (clusterUseMap_[bit / 8] & (1u << (bit % 8))) != 0;
}

std::int32_t CFastFatRecovery::GetNextFreeRange(std::uint64_t* start, std::uint64_t* length) {
  if (start == nullptr || length == nullptr || !mapBuilt_) return 0;
  *length = 0;
  if (*start >= volumeSectors_) {
    *start = volumeSectors_;
    return 1;
  }
  const std::uint64_t spc = layout_.sectorsPerCluster;
  const std::uint64_t relative = *start > layout_.dataAreaSector ? *start - layout_.dataAreaSector : 0;
  std::uint64_t k = relative / spc;
  std::uint64_t within = relative % spc;
  auto used = [&](std::uint64_t bit) { return (clusterUseMap_[bit / 8] & (1u << (bit % 8))) != 0; };
  const std::uint64_t from = k;
  while (k < mapClusters_) {
    if (k % 8 == 0 && clusterUseMap_[k / 8] == 0xFF) {
      k += 8;
      continue;
    }
    if (!used(k)) break;
    ++k;
  }
  if (k != from) within = 0;  // a later run starts at its cluster's first sector
  if (k >= mapClusters_) {
    *start = std::max(*start, std::min(volumeSectors_, layout_.dataAreaSector + mapClusters_ * spc));
    return 1;
  }
  std::uint64_t end = k;
  while (end < mapClusters_ && !used(end)) ++end;
  const std::uint64_t first = layout_.dataAreaSector + k * spc + within;
  if (first >= volumeSectors_) {
    *start = volumeSectors_;
    return 1;
  }
  *start = first;
  *length = std::min((end - k) * spc - within, volumeSectors_ - first);
  return 1;
}

}  // namespace rexmoor
