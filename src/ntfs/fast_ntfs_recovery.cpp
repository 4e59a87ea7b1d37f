#include "ntfs/fast_ntfs_recovery.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "engine/volume_open.h"
#include "engine/folder_recovery.h"
#include "engine/preview_target.h"
#include "engine/scan_log_index.h"
#include "platform/byte_view.h"
#include "platform/clock.h"
#include "platform/text.h"

namespace rexmoor {

CFastNtfsRecovery::CFastNtfsRecovery() = default;

CFastNtfsRecovery::~CFastNtfsRecovery() {
  catalogue_.Close();
  CloseSource(source_);
}

void CFastNtfsRecovery::Reset() {
  CloseSource(source_);
  open_ = false;
  reader_ = NtfsVolumeReader();
  chunk_.clear();
  chunk_.shrink_to_fit();
}

// --- opening --------------------------------------------------------------------------------------

Result CFastNtfsRecovery::OpenImageFile(const std::string& imagePath, std::uint16_t sourceTag) {
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

Result CFastNtfsRecovery::OpenDisk(std::int32_t driveNumber, std::uint64_t startSector, std::uint64_t sectorCount,
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

Result CFastNtfsRecovery::Prepare(std::span<const std::uint8_t> bootArea, std::uint64_t mediumBytes,
                                  std::uint64_t startByte, std::uint64_t lengthBytes) {
  auto geometry = ParseNtfsGeometry(bootArea);
  if (!geometry || startByte % geometry->bytesPerSector != 0) {
    Reset();
    return kErrInvalidParameter;
  }
  geometry_ = *geometry;
  const std::uint32_t bps = geometry_.bytesPerSector;
  // Everything from here on counts in the volume's own sectors.
  partitionBase_ = startByte / bps;
  source_.totalSectors = mediumBytes / bps;
  const std::uint64_t mediumSectors = source_.totalSectors > partitionBase_ ? source_.totalSectors - partitionBase_ : 0;
  volumeSectors_ = std::min(lengthBytes / bps, mediumSectors);
  try {
    chunk_.assign(std::size_t{geometry_.recordSize} * kMftChunkRecords, 0);
    itemRecord_.assign(geometry_.recordSize, 0);
  } catch (const std::bad_alloc&) {
    Reset();
    return kErrNotEnoughMemory;
  }
  reader_.Reset(&source_, geometry_, partitionBase_, volumeSectors_);
  open_ = true;
  // Without the MFT's runs the scan reads nothing and finds nothing; the volume stays open.
  (void)reader_.LoadMftRuns();
  return kSuccess;
}

// --- callbacks and the catalogue -----------------------------------------------------------------

Result CFastNtfsRecovery::SetCallbacks(ScanProgressCallback scanCallback, FileProgressCallback fileCallback,
                                       void* userData, std::int32_t weight) {
  scanCallback_ = scanCallback;
  fileCallback_ = fileCallback;
  userData_ = userData;
  weight_ = weight;
  return kSuccess;
}

Result CFastNtfsRecovery::SetFilterCallback(FilterProgressCallback callback, void* userData) {
  filterCallback_ = callback;
  filterUserData_ = userData;
  catalogue_.SetFilterCallback(callback, userData);
  return kSuccess;
}

std::uint64_t CFastNtfsRecovery::KeyObject(const FoundFileRecord* folder) const {
  // The root folder is record 5; a record without a number means the root as well.
  if (folder == nullptr || folder->objectNumber == 0) return kRootFolderRecord;
  return folder->objectNumber;
}

Result CFastNtfsRecovery::GetChildren(const FoundFileRecord* folder, std::int32_t level, RecordList& out) {
  if (level < 0 || (folder == nullptr && level != 0)) return kErrInvalidParameter;
  catalogue_.Flush();
  const auto object = static_cast<std::uint32_t>(KeyObject(folder));
  return catalogue_.ListChildren(ScanCatalogue::MakeFolderKey(object, static_cast<std::uint32_t>(level)), out);
}

Result CFastNtfsRecovery::CountFiles(const FoundFileRecord* folder, std::int32_t level, std::int32_t* count) {
  if (count == nullptr || level < 0 || (folder == nullptr && level != 0)) return kErrInvalidParameter;
  catalogue_.Flush();
  const auto object = static_cast<std::uint32_t>(KeyObject(folder));
  return catalogue_.CountFilesBelow(ScanCatalogue::MakeFolderKey(object, static_cast<std::uint32_t>(level)), *count);
}

std::uint64_t CFastNtfsRecovery::GetFoundCount() { return catalogue_.IsOpen() ? catalogue_.RecordCount() : 0; }

Result CFastNtfsRecovery::GetFolderPath(const FoundFileRecord* record, std::string& out) {
  out.clear();
  if (record == nullptr) return kErrInvalidParameter;
  catalogue_.Flush();
  return catalogue_.FolderPathOf(record, out);
}

std::int32_t CFastNtfsRecovery::FilterByType(const std::string& extensions, RecordList& out) {
  return catalogue_.FilterByExtensions(extensions, out);
}

// --- the scan -------------------------------------------------------------------------------------

std::int32_t CFastNtfsRecovery::Report(std::int32_t progress, std::int32_t secondsLeft) {
  if (scanCallback_ == nullptr) return 0;
  return scanCallback_(userData_, progress, weight_, secondsLeft, 0, 0, 0, 0);
}

std::uint64_t CFastNtfsRecovery::AbsoluteRecordSector(std::uint64_t number) const {
  auto sector = reader_.RecordSector(number);
  return sector ? partitionBase_ + *sector : partitionBase_;
}

Result CFastNtfsRecovery::Scan(const char* logName) {
  chains_.Reset(
      [this](std::uint32_t number, std::span<std::uint8_t> buffer, RecordHeader& header) {
        return reader_.ReadRecord(number, buffer, header);
      },
      geometry_.recordSize);
  recordsScanned_ = 0;
  catalogue_.Close();
  catalogue_.SetFilterCallback(filterCallback_, filterUserData_);
  if (logName != nullptr) return catalogue_.OpenCatalogue(logName);
  if (!open_) return kErrInvalidHandle;

  // Without a catalogue file the scan still runs; its records simply stay unwritten.
  (void)catalogue_.CreateCatalogue("Fast_", partitionStartSector_);

  const Result result = ReadMft();
  // The folders above the finds are written even when the read was stopped, so that whatever was
  // found can be browsed.
  CatalogueFolders();
  catalogue_.Flush();
  if (result != kSuccess) return result;
  return Report(100, 0);
}

Result CFastNtfsRecovery::ReadMft() {
  const RunList& runs = reader_.MftRuns();
  const std::uint32_t recordSize = geometry_.recordSize;
  const std::uint32_t bps = geometry_.bytesPerSector;
  const std::uint64_t clusterBytes = geometry_.ClusterBytes();
  const std::uint64_t mftBytes = reader_.MftRecordCount() * recordSize;
  const std::uint64_t totalSectors = mftBytes / bps;
  const std::size_t chunkBytes = chunk_.size();

  const std::uint32_t started = TickCountMs();
  std::uint32_t lastEstimate = started;
  std::int32_t secondsLeft = -1;
  std::uint64_t sectorsDone = 0;
  std::uint64_t position = 0;     // bytes of the MFT passed so far
  std::uint64_t nextRecord = 0;   // number of the record that starts chunk_
  std::size_t filled = 0;         // bytes of chunk_ holding data not yet taken
  std::uint64_t skipBytes = 0;    // after a hole in the MFT: the rest of a record cut by it

  for (const DataRun& run : runs) {
    if (position >= mftBytes) break;
    std::uint64_t runBytes = std::min(run.length * clusterBytes, mftBytes - position);
    if (run.sparse) {
      // Records in a hole of the MFT are gone, and so is any record the hole cut in two.
      position += runBytes;
      sectorsDone += runBytes / bps;
      filled = 0;
      nextRecord = (position + recordSize - 1) / recordSize;
      skipBytes = nextRecord * recordSize - position;
      continue;
    }
    std::uint64_t sector = run.lcn * geometry_.sectorsPerCluster;
    if (skipBytes != 0) {
      const std::uint64_t skip = std::min(skipBytes, runBytes);
      sector += skip / bps;
      runBytes -= skip;
      position += skip;
      sectorsDone += skip / bps;
      skipBytes -= skip;
    }
    std::uint64_t sectorsLeft = runBytes / bps;
    while (sectorsLeft != 0) {
      const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>((chunkBytes - filled) / bps, sectorsLeft));
      if (Result r = reader_.ReadVolume(sector, count, chunk_.data() + filled, nullptr); r != kSuccess) return r;
      filled += std::size_t{count} * bps;
      sector += count;
      sectorsLeft -= count;
      position += std::uint64_t{count} * bps;
      sectorsDone += count;

      const std::size_t whole = filled / recordSize;
      for (std::size_t i = 0; i < whole; ++i) {
        std::uint8_t* record = chunk_.data() + i * recordSize;
        // The deletion test first: a record neither in use nor a folder (flags 0). It lies in the
        // first stride, which the update sequence does not touch.
        if (LoadU16LE(record + kRecFlags) != 0 || std::memcmp(record, "FILE", 4) != 0) continue;
        const std::uint64_t number = nextRecord + i;
        if (number < kFirstUserRecord) continue;
        ProcessDeletedRecord(number, std::span(record, recordSize));
      }
      recordsScanned_ += whole;
      nextRecord += whole;
      const std::size_t used = whole * recordSize;
      if (used != filled) std::memmove(chunk_.data(), chunk_.data() + used, filled - used);
      filled -= used;

      const std::uint32_t tick = TickCountMs();
      if (weight_ == 100 && tick - lastEstimate >= kNtfsEstimateIntervalMs) {
        lastEstimate = tick;
        std::uint64_t speed = position / std::max<std::uint64_t>(1, (tick - started) / 1000);
        if (speed == 0) speed = 1;
        secondsLeft = static_cast<std::int32_t>(std::min<std::uint64_t>((mftBytes - position) / speed, INT32_MAX));
      }
      const auto progress = static_cast<std::int32_t>(totalSectors == 0 ? 100 : sectorsDone * 100 / totalSectors);
      if (std::int32_t verdict = Report(std::min(progress, 100), secondsLeft); verdict != 0) return verdict;
    }
  }
  return kSuccess;
}

void CFastNtfsRecovery::ProcessDeletedRecord(std::uint64_t number, std::span<std::uint8_t> record) {
  auto header = PrepareFileRecord(record);
  // Extension records of some other file carry no name of their own.
  if (!header || header->baseRecord != 0) return;
  auto name = ChooseFileName(record, *header);
  if (!name) return;
  NtfsDataStream& stream = scanStream_;  // keeps its run list's storage from record to record
  (void)reader_.FindStream(record, *header, kAttrData, stream);
  std::uint64_t size = stream.found ? stream.realSize : name->realSize;
  size = std::min(size, reader_.VolumeBytes());
  const std::string text = FoundNameOf(*name);

  FoundFileRecord r = MakeEmptyRecord();
  r.sourceTag = sourceTag_;
  r.engineTag = kTagFastNtfs;
  r.isFolder = 0;
  r.deletedMark = 1;
  r.objectNumber = static_cast<std::uint32_t>(number);
  r.clusterBytes = static_cast<std::int32_t>(geometry_.ClusterBytes());
  r.createdTime = name->created;
  r.accessedTime = name->accessed;
  r.modifiedTime = name->modified;
  r.size = size;
  r.dataAreaSector = 0;
  r.locationSector = AbsoluteRecordSector(number);
  r.partitionStartSector = partitionBase_;
  SetRecordName(r, text);
  r.contentState = reader_.CheckContent(stream, text, r.locationSector);

  // A parent of 0 names no folder at all: such a file is shown in the root.
  std::uint32_t parent = name->ParentNumber();
  if (parent == 0) parent = kRootFolderRecord;
  const std::uint32_t level = chains_.Depth(parent);
  r.recordId = catalogue_.RecordCount() + 1;
  *catalogue_.AppendRecord() = r;
  catalogue_.AddRelation(ScanCatalogue::MakeFolderKey(parent, level), r.recordId, r.objectNumber);
}

void CFastNtfsRecovery::CatalogueFolders() {
  // Deferred() does not grow here: every folder's chain was followed to its end when it was met.
  const std::vector<std::uint32_t>& deferred = chains_.Deferred();
  for (std::size_t i = 0; i < deferred.size(); ++i) {
    const std::uint32_t number = deferred[i];
    const NtfsFolder* folder = chains_.Find(number);
    if (folder == nullptr) continue;
    FoundFileRecord r;
    std::uint64_t parentKey = 0;
    if (folder->kind == NtfsFolder::Kind::Lost) {
      r = MakeLostFolderRecord(sourceTag_, kTagFastNtfs, number);
      parentKey = ScanCatalogue::MakeFolderKey(kRootFolderRecord, 0);
    } else {
      r = MakeEmptyRecord();
      r.sourceTag = sourceTag_;
      r.engineTag = kTagFastNtfs;
      r.isFolder = 1;
      r.deletedMark = folder->inUse ? 0 : 1;
      r.contentState = 1;
      r.objectNumber = number;
      r.clusterBytes = static_cast<std::int32_t>(geometry_.ClusterBytes());
      r.createdTime = folder->created;
      r.accessedTime = folder->accessed;
      r.modifiedTime = folder->modified;
      r.locationSector = AbsoluteRecordSector(number);
      SetRecordName(r, folder->name);
      const std::uint32_t parent = folder->parent;
      parentKey = ScanCatalogue::MakeFolderKey(parent, chains_.Depth(parent));
    }
    r.partitionStartSector = partitionBase_;
    r.recordId = catalogue_.RecordCount() + 1;
    *catalogue_.AppendRecord() = r;
    catalogue_.AddRelation(parentKey, r.recordId, r.objectNumber, RecordName(r));
  }
}

// --- writing out and preview ------------------------------------------------------------------------

Result CFastNtfsRecovery::LoadItemStream(const FoundFileRecord& record, NtfsDataStream& stream) {
  if (!open_) return kErrInvalidHandle;
  RecordHeader header;
  const std::uint64_t location = record.locationSector;
  const std::uint32_t number = record.objectNumber;
  Result r = kSuccess;
  // The engine's own records are read through the MFT's runs, which also joins a record that a run
  // boundary cut in two; anything else is read where the record says it lies.
  if (number < reader_.MftRecordCount() && AbsoluteRecordSector(number) == location) {
    r = reader_.ReadRecord(number, itemRecord_, header);
  } else {
    r = reader_.ReadRecordAt(location, itemRecord_, header);
  }
  if (r != kSuccess) return r;
  return reader_.FindStream(itemRecord_, header, kAttrData, stream);
}

Result CFastNtfsRecovery::WriteNtfsItemData(const FoundFileRecord& record, const std::string& destination,
                                            std::int32_t levelBase) {
  RecoveredFileSink sink(FileReporter{fileCallback_, userData_}, destination, levelBase, record.size);
  Result result = sink.Open();
  if (result != kSuccess || record.size == 0) return sink.Finish(result);
  NtfsDataStream stream;
  result = LoadItemStream(record, stream);
  if (result != kSuccess) return sink.Finish(result);
  // A size read from a record is not trusted to fit on the volume: no file is written longer than
  // the volume itself, so a hostile size or sparse run cannot fill the target.
  std::uint64_t volumeBytes = 0;
  if (__builtin_mul_overflow(reader_.ClusterCount(), geometry_.ClusterBytes(), &volumeBytes)) volumeBytes = UINT64_MAX;
  const std::uint64_t size = std::min<std::uint64_t>(std::uint64_t{record.size}, volumeBytes);
  result = reader_.ReadFileData(stream, size,
                                [&sink](const std::uint8_t* data, std::size_t length) { return sink.Put(data, length); });
  return sink.Finish(result);
}

Result CFastNtfsRecovery::RecoverItem(const FoundFileRecord* record, const std::string& destination,
                                      std::int32_t levelBase) {
  if (record == nullptr) return kErrInvalidParameter;
  if (record->isFolder != 0) {
    return RecoverFolderTree(*this, *record, destination, levelBase, FileReporter{fileCallback_, userData_},
                             [this, levelBase](const FoundFileRecord& child, const std::string& path) {
                               return WriteNtfsItemData(child, path, levelBase);
                             });
  }
  return WriteNtfsItemData(*record, destination, levelBase);
}

Result CFastNtfsRecovery::ExtractForPreview(const FoundFileRecord* record, std::string& outPath, std::uint8_t* buffer,
                                            std::uint32_t* byteCount, PreviewProgressCallback callback,
                                            void* userData) {
  outPath.clear();
  if (record == nullptr) return kErrInvalidParameter;
  PreviewSink sink;
  if (Result r = sink.Begin(*record, outPath, buffer, byteCount, callback, userData); r != kSuccess)
    return sink.Finish(r);
  if (sink.BytesWanted() == 0) {
    (void)sink.ReportEmpty();
    return sink.Finish(kSuccess);
  }
  NtfsDataStream stream;
  if (Result r = LoadItemStream(*record, stream); r != kSuccess) return sink.Finish(r);
  const Result r = reader_.ReadFileData(stream, sink.BytesWanted(),
                                        [&](const std::uint8_t* data, std::size_t length) { return sink.Put(data, length); });
  return sink.Finish(r);
}

// --- free-space map -------------------------------------------------------------------------------------

Result CFastNtfsRecovery::BuildFreeSpaceMap() {
  if (!open_) return kErrInvalidHandle;
  mapBuilt_ = false;
  bitmap_.clear();
  std::vector<std::uint8_t> record(geometry_.recordSize);
  RecordHeader header;
  if (Result r = reader_.ReadRecord(kBitmapRecord, record, header); r != kSuccess) return r;
  NtfsDataStream stream;
  if (Result r = reader_.FindStream(record, header, kAttrData, stream); r != kSuccess) return r;
  if (!stream.found) return kErrInvalidParameter;
  // One bit per cluster: anything longer than the volume needs is not read.
  std::uint64_t bytes = std::min<std::uint64_t>(stream.realSize, (reader_.ClusterCount() + 7) / 8);
  if (!stream.resident) bytes = std::min<std::uint64_t>(bytes, RunListEnd(stream.runs) * geometry_.ClusterBytes());
  try {
    bitmap_.reserve(static_cast<std::size_t>(bytes));
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  const Result r = reader_.ReadFileData(stream, bytes, [&](const std::uint8_t* data, std::size_t length) {
    bitmap_.insert(bitmap_.end(), data, data + length);
    return kSuccess;
  });
  if (r != kSuccess) {
    bitmap_.clear();
    return r;
  }
  mapClusters_ = std::min<std::uint64_t>(reader_.ClusterCount(), std::uint64_t{bitmap_.size()} * 8);
  mapBuilt_ = true;
  return kSuccess;
}

bool CFastNtfsRecovery::IsClusterUsed(std::uint64_t cluster) const {
  if (!mapBuilt_ || cluster >= mapClusters_) return false;
  return (bitmap_[cluster / 8] & (1u << (cluster % 8))) != 0;
}

std::int32_t CFastNtfsRecovery::GetNextFreeRange(std::uint64_t* start, std::uint64_t* length) {
  if (start == nullptr || length == nullptr || !mapBuilt_) return 0;
  *length = 0;
  if (*start >= volumeSectors_) {
    *start = volumeSectors_;
    return 1;
  }
  const std::uint64_t spc = geometry_.sectorsPerCluster;
  std::uint64_t k = *start / spc;
  std::uint64_t within = *start % spc;
  auto used = [&](std::uint64_t bit) { return (bitmap_[bit / 8] & (1u << (bit % 8))) != 0; };
  const std::uint64_t from = k;
  while (k < mapClusters_) {
    if (k % 8 == 0 && bitmap_[k / 8] == 0xFF) {
      k += 8;
      continue;
    }
    if (!used(k)) break;
    ++k;
  }
  if (k != from) within = 0;  // a later run starts at its cluster's first sector
  if (k >= mapClusters_) {
    *start = std::max(*start, std::min(volumeSectors_, mapClusters_ * spc));
    return 1;
  }
  std::uint64_t end = k;
  while (end < mapClusters_ && !used(end)) ++end;
  const std::uint64_t first = k * spc + within;
  if (first >= volumeSectors_) {
    *start = volumeSectors_;
    return 1;
  }
  *start = first;
  *length = std::min((end - k) * spc - within, volumeSectors_ - first);
  return 1;
}

}  // namespace rexmoor
