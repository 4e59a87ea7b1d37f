#include "engine/volume_recovery_base.h"

#include <algorithm>
#include <new>
#include <vector>

#include "engine/folder_recovery.h"
#include "engine/preview_target.h"
#include "platform/clock.h"

namespace rexmoor {

namespace {

// Progress reports during a folder walk come at most this often.
constexpr std::uint32_t kScanReportIntervalMs = 5000;

// The progress of a quick engine's folder walk, which cannot tell how far it is: the figure
// creeps up, in the quick phase of a deep scan (weight 9) inside that phase's share, and stays
// below the 80 that reports the walk's end.
class WalkProgress {
 public:
  explicit WalkProgress(const EngineCallbacks& callbacks) : callbacks_(callbacks), lastReport_(TickCountMs()) {}
  // Called after each folder; reports when the interval has passed. Non-zero asks to stop.
  std::int32_t Tick() {
    const std::uint32_t tick = TickCountMs();
    if (tick - lastReport_ < kScanReportIntervalMs) return 0;
    lastReport_ = tick;
    std::int32_t verdict = 0;
    if (callbacks_.weight == 100) {
      verdict = callbacks_.ReportScanWeighted(progress_, 100, secondsLeft_);
      progress_ = std::min(progress_ + 1, kProgressCap);
      secondsLeft_ = std::max(secondsLeft_ - 1, kSecondsFloor);
    } else if (callbacks_.weight == 9) {
      verdict = callbacks_.ReportScanWeighted(quickProgress_, 9, -1);
      quickProgress_ = std::min(quickProgress_ + 1, kProgressCap);
    }
    return verdict;
  }

 private:
  static constexpr std::int32_t kProgressCap = 79;
  static constexpr std::int32_t kSecondsFloor = 11;

  const EngineCallbacks& callbacks_;
  std::uint32_t lastReport_;
  std::int32_t progress_ = 2;
  std::int32_t secondsLeft_ = 99;
  std::int32_t quickProgress_ = 21;
};

}  // namespace

CVolumeRecoveryBase::~CVolumeRecoveryBase() {
  catalogue_.Close();
  CloseSource(source_);
}

void CVolumeRecoveryBase::Reset() {
  CloseSource(source_);
  open_ = false;
  ReleaseVolume();
}

// --- opening --------------------------------------------------------------------------------------

Result CVolumeRecoveryBase::Open(Result opened, const VolumeOpening& volume, std::uint64_t startSector,
                                 std::uint16_t sourceTag) {
  if (opened != kSuccess) {
    Reset();
    return opened;
  }
  partitionStartSector_ = startSector;
  sourceTag_ = sourceTag;
  const Result r = Prepare(volume);
  if (r != kSuccess) Reset();
  return r;
}

Result CVolumeRecoveryBase::OpenImageFile(const std::string& imagePath, std::uint16_t sourceTag) {
  if (open_) return kSuccess;
  VolumeOpening volume;
  const Result r = OpenImageVolume(imagePath, source_, volume);
  return Open(r, volume, 0, sourceTag);
}

Result CVolumeRecoveryBase::OpenDisk(std::int32_t driveNumber, std::uint64_t startSector, std::uint64_t sectorCount,
                                     std::uint16_t sourceTag) {
  if (open_) return kSuccess;
  VolumeOpening volume;
  const Result r = OpenDiskVolume(driveNumber, startSector, sectorCount, source_, volume);
  return Open(r, volume, startSector, sourceTag);
}

Result CVolumeRecoveryBase::PlaceVolume(std::uint32_t bytesPerSector, const VolumeOpening& volume) {
  if (bytesPerSector == 0 || volume.startByte % bytesPerSector != 0) return kErrInvalidParameter;
  // Everything from here on counts in the volume's own sectors.
  sectorSize_ = static_cast<std::int32_t>(bytesPerSector);
  partitionBase_ = volume.startByte / bytesPerSector;
  source_.totalSectors = volume.mediumBytes / bytesPerSector;
  const std::uint64_t mediumSectors = source_.totalSectors > partitionBase_ ? source_.totalSectors - partitionBase_ : 0;
  volumeSectors_ = std::min(volume.lengthBytes / bytesPerSector, mediumSectors);
  return kSuccess;
}

Result CVolumeRecoveryBase::ReadVolume(std::uint64_t sector, std::uint32_t count, std::uint8_t* buffer,
                                       std::uint32_t* outRead) {
  if (outRead != nullptr) *outRead = 0;
  if (!open_) return kErrInvalidHandle;
  return ReadVolumeSectors(source_, partitionBase_, volumeSectors_, sector, count, sectorSize_, buffer, outRead);
}

Result CVolumeRecoveryBase::ReadContiguous(std::uint64_t first, std::uint64_t clusterBytes, std::uint64_t size,
                                           const ItemDataSink& sink) {
  if (!open_) return kErrInvalidHandle;
  const auto bps = static_cast<std::uint64_t>(sectorSize_);
  if (clusterBytes == 0 || clusterBytes % bps != 0 || first < partitionBase_ || first - partitionBase_ >= volumeSectors_)
    return kErrInvalidParameter;
  // The clusters follow one another from the first: one read per megabyte, in whole clusters.
  constexpr std::uint64_t kRunBytes = 1 << 20;
  const std::uint64_t runClusters = std::max<std::uint64_t>(1, kRunBytes / clusterBytes);
  std::vector<std::uint8_t> buffer;
  try {
    buffer.resize(static_cast<std::size_t>(runClusters * clusterBytes));
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  std::uint64_t sector = first;
  std::uint64_t remaining = size;
  while (remaining > 0) {
    const std::uint64_t left = partitionBase_ + volumeSectors_ - sector;
    const std::uint64_t wanted = std::min<std::uint64_t>((remaining + bps - 1) / bps, runClusters * clusterBytes / bps);
    const auto count = static_cast<std::uint32_t>(std::min(wanted, left));
    if (count == 0) break;
    std::uint32_t got = 0;
    const Result read = ReadVolume(sector - partitionBase_, count, buffer.data(), &got);
    const std::uint64_t bytes = std::min<std::uint64_t>(remaining, std::uint64_t{got} * bps);
    if (bytes == 0 && read == kSuccess) return kErrReadFault;
    if (bytes != 0) {
      NoteDataRead(size - remaining, sector * bps, bytes);
      remaining -= bytes;
      if (Result verdict = sink(buffer.data(), static_cast<std::size_t>(bytes), read); verdict != kSuccess)
        return verdict;
    }
    if (read != kSuccess) return read;
    sector += count;
  }
  return kSuccess;
}

// --- callbacks and the catalogue -----------------------------------------------------------------

Result CVolumeRecoveryBase::SetCallbacks(ScanProgressCallback scanCallback, FileProgressCallback fileCallback,
                                         void* userData, std::int32_t weight) {
  callbacks_.Set(scanCallback, fileCallback, userData, weight);
  return kSuccess;
}

Result CVolumeRecoveryBase::SetFilterCallback(FilterProgressCallback callback, void* userData) {
  callbacks_.SetFilter(callback, userData);
  catalogue_.SetFilterCallback(callback, userData);
  return kSuccess;
}

Result CVolumeRecoveryBase::GetChildren(const FoundFileRecord* folder, std::int32_t level, RecordList& out) {
  if (level < 0 || (folder == nullptr && level != 0)) return kErrInvalidParameter;
  catalogue_.Flush();
  const std::uint32_t object = folder != nullptr && folder->objectNumber != 0 ? folder->objectNumber : RootObject();
  return catalogue_.ListChildren(ScanCatalogue::MakeFolderKey(object, static_cast<std::uint32_t>(level)), out);
}

Result CVolumeRecoveryBase::CountFiles(const FoundFileRecord* folder, std::int32_t level, std::int32_t* count) {
  if (count == nullptr || level < 0 || (folder == nullptr && level != 0)) return kErrInvalidParameter;
  catalogue_.Flush();
  const std::uint32_t object = folder != nullptr && folder->objectNumber != 0 ? folder->objectNumber : RootObject();
  return catalogue_.CountFilesBelow(ScanCatalogue::MakeFolderKey(object, static_cast<std::uint32_t>(level)), *count);
}

std::uint64_t CVolumeRecoveryBase::GetFoundCount() { return catalogue_.IsOpen() ? catalogue_.RecordCount() : 0; }

Result CVolumeRecoveryBase::GetFolderPath(const FoundFileRecord* record, std::string& out) {
  out.clear();
  if (record == nullptr) return kErrInvalidParameter;
  catalogue_.Flush();
  return catalogue_.FolderPathOf(record, out);
}

std::int32_t CVolumeRecoveryBase::FilterByType(const std::string& extensions, RecordList& out) {
  return catalogue_.FilterByExtensions(extensions, out);
}

FoundFileRecord CVolumeRecoveryBase::NewRecord(std::uint16_t engineTag, bool isFolder) const {
  FoundFileRecord r = MakeEmptyRecord();
  r.sourceTag = sourceTag_;
  r.engineTag = engineTag;
  r.isFolder = isFolder ? 1 : 0;
  r.partitionStartSector = partitionBase_;
  return r;
}

void CVolumeRecoveryBase::CatalogueRecord(FoundFileRecord& record, std::uint64_t parentKey, bool withName) {
  record.recordId = catalogue_.RecordCount() + 1;
  *catalogue_.AppendRecord() = record;
  if (withName) {
    catalogue_.AddRelation(parentKey, record.recordId, record.objectNumber, RecordName(record));
  } else {
    catalogue_.AddRelation(parentKey, record.recordId, record.objectNumber);
  }
}

// --- the scan -------------------------------------------------------------------------------------

Result CVolumeRecoveryBase::Scan(const char* logName) {
  ResetScanState();
  catalogue_.Close();
  catalogue_.SetFilterCallback(callbacks_.filter, callbacks_.filterUserData);
  if (logName != nullptr) return catalogue_.OpenCatalogue(logName);
  if (!open_) return kErrInvalidHandle;

  // A scan whose finds cannot be written would list nothing at its end: it does not start.
  if (Result r = catalogue_.CreateCatalogue("Fast_", partitionStartSector_); r != kSuccess) return r;
  // The walk writes what it found even when it was stopped, so that it can be browsed.
  const Result result = RunScan();
  catalogue_.Flush();
  if (result != kSuccess) return result;
  if (catalogue_.Error() != kSuccess) return catalogue_.Error();
  return callbacks_.ReportScan(100, 0);
}

Result CVolumeRecoveryBase::WalkFoldersBreadthFirst(std::uint32_t root, std::deque<std::uint32_t>& pending,
                                                    std::unordered_set<std::uint32_t>& walked,
                                                    const std::function<void(std::uint32_t)>& walkFolder,
                                                    const std::function<void()>& finish) {
  Result result = callbacks_.ReportScan(1, -1);
  if (result == kSuccess) {
    pending.push_back(root);
    WalkProgress progress(callbacks_);
    while (!pending.empty()) {
      const std::uint32_t folder = pending.front();
      if (walked.insert(folder).second) walkFolder(folder);
      pending.pop_front();
      if (const std::int32_t verdict = progress.Tick(); verdict != 0) {
        result = verdict;
        break;
      }
    }
  }
  if (result == kSuccess) result = callbacks_.ReportScan(80, 10);
  finish();
  return result;
}

// --- writing out and preview ------------------------------------------------------------------------

Result CVolumeRecoveryBase::WriteItem(const FoundFileRecord& record, const std::string& destination,
                                      std::int32_t levelBase) {
  RecoveredFileSink sink(callbacks_.Reporter(), destination, levelBase, record.size, &record);
  Result result = sink.Open();
  if (result == kSuccess) result = CheckItemReadable(record);
  if (result != kSuccess || record.size == 0) return sink.Finish(result);
  // A size read from the volume is not trusted to fit on it: what lies beyond is never read, so a
  // hostile size cannot fill the target.
  const std::uint64_t size = std::min<std::uint64_t>(std::uint64_t{record.size}, ItemByteLimit(record));
  result = ReadItemData(record, size, [&sink](const std::uint8_t* data, std::size_t length, Result read) {
    return sink.Put(data, length, read);
  });
  return sink.Finish(result);
}

Result CVolumeRecoveryBase::RecoverItem(const FoundFileRecord* record, const std::string& destination,
                                        std::int32_t levelBase) {
  if (record == nullptr) return kErrInvalidParameter;
  if (record->isFolder != 0) {
    return RecoverFolderTree(*this, *record, destination, levelBase, callbacks_.Reporter(),
                             [this, levelBase](const FoundFileRecord& child, const std::string& path) {
                               return WriteItem(child, path, levelBase);
                             });
  }
  return WriteItem(*record, destination, levelBase);
}

Result CVolumeRecoveryBase::ExtractForPreview(const FoundFileRecord* record, std::string& outPath,
                                              std::uint8_t* buffer, std::uint32_t* byteCount,
                                              PreviewProgressCallback callback, void* userData) {
  outPath.clear();
  if (record == nullptr) return kErrInvalidParameter;
  PreviewSink sink;
  if (Result r = sink.Begin(*record, outPath, buffer, byteCount, callback, userData); r != kSuccess)
    return sink.Finish(r);
  if (Result r = CheckItemReadable(*record); r != kSuccess) return sink.Finish(r);
  if (sink.BytesWanted() == 0) {
    (void)sink.ReportEmpty();
    return sink.Finish(kSuccess);
  }
  const Result r = ReadItemData(*record, sink.BytesWanted(), [&sink](const std::uint8_t* data, std::size_t length,
                                                                     Result) { return sink.Put(data, length); });
  return sink.Finish(r);
}

// --- free-space map -------------------------------------------------------------------------------------

std::int32_t CVolumeRecoveryBase::GetNextFreeRange(std::uint64_t* start, std::uint64_t* length) {
  return useMap_.NextFreeRange(start, length);
}

}  // namespace rexmoor
