#include "carve/file_type_recovery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <vector>

#include "formats/carve_at_sector.h"
#include "formats/extent_walk.h"
#include "engine/folder_recovery.h"
#include "engine/preview_target.h"
#include "engine/scan_log_index.h"
#include "platform/clock.h"
#include "platform/text.h"

namespace rexmoor {

CFileTypeRecovery::CFileTypeRecovery() = default;

CFileTypeRecovery::~CFileTypeRecovery() {
  Reset();
}

void CFileTypeRecovery::Reset() {
  if (catalogue_) catalogue_->Close();
  catalogue_.reset();
  CloseSource(source_);
  mediumBytes_ = 0;
  containerEnd_ = 0;
}

void CFileTypeRecovery::UseSectorSize(std::int32_t sectorSize) {
  if (!IsSupportedSectorSize(sectorSize)) return;
  // Unchanged: nothing is written, as sweep threads may be reading the source meanwhile.
  const std::uint64_t total = mediumBytes_ / static_cast<std::uint64_t>(sectorSize);
  if (sectorSize == sectorSize_ && (!source_.handle.IsValid() || source_.totalSectors == total)) return;
  sectorSize_ = sectorSize;
  // The medium's sector count follows the size that reads use, so that reads near its end are
  // clipped where its bytes end.
  if (source_.handle.IsValid()) source_.totalSectors = mediumBytes_ / static_cast<std::uint64_t>(sectorSize);
}

std::string CFileTypeRecovery::CataloguePath() const { return catalogue_ ? catalogue_->MainPath() : std::string(); }

Result CFileTypeRecovery::BeginCatalogue(const std::string& logName) {
  try {
    catalogue_ = std::make_unique<ScanCatalogue>();
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  catalogue_->SetFilterCallback(callbacks_.filter, callbacks_.filterUserData);
  // A new catalogue takes a name of its own, so that no earlier log is ever overwritten.
  if (logName.empty()) return catalogue_->CreateCatalogue("File_Type_", partitionStartSector_);
  return catalogue_->OpenCatalogue(logName);
}

// --- opening ---------------------------------------------------------------------------------------

Result CFileTypeRecovery::OpenImageFile(const std::string& imagePath, std::uint16_t sourceTag) {
  Reset();
  sourceTag_ = sourceTag;
  driveNumber_ = kImageDriveNumber;
  partitionStartSector_ = 0;
  partitionSectors_ = 0;
  sectorSize_ = 512;
  Result result = OpenImageSource(imagePath, source_);
  if (result == kSuccess) {
    mediumBytes_ = source_.totalSectors * 512;
    partitionSectors_ = source_.totalSectors;
  } else {
    CloseSource(source_);
  }
  // The catalogue is begun even when the medium failed, as the deep scan expects one per engine;
  // without a catalogue file the engine simply keeps nothing.
  (void)BeginCatalogue(std::string());
  return result;
}

Result CFileTypeRecovery::OpenDisk(std::int32_t driveNumber, std::uint64_t startSector, std::uint64_t sectorCount,
                                   std::uint16_t sourceTag) {
  Reset();
  sourceTag_ = sourceTag;
  driveNumber_ = driveNumber;
  partitionStartSector_ = startSector;
  partitionSectors_ = sectorCount;
  Result result = OpenDriveSource(source_, driveNumber);
  if (result == kSuccess) {
    const auto native = static_cast<std::uint64_t>(SourceSectorSize(source_));
    if (__builtin_mul_overflow(source_.totalSectors, native, &mediumBytes_)) mediumBytes_ = 0;
    UseSectorSize(static_cast<std::int32_t>(native));
  } else {
    CloseSource(source_);
  }
  (void)BeginCatalogue(std::string());
  return result;
}

Result CFileTypeRecovery::ResumeOpenDisk(std::int32_t sectorSize, std::int32_t driveNumber, const std::string& logName,
                                         std::uint16_t sourceTag) {
  return Resume(sectorSize, logName, sourceTag, driveNumber, [&] {
    const Result result = OpenDriveSource(source_, driveNumber);
    if (result == kSuccess) {
      const auto native = static_cast<std::uint64_t>(SourceSectorSize(source_));
      if (__builtin_mul_overflow(source_.totalSectors, native, &mediumBytes_)) mediumBytes_ = 0;
    }
    return result;
  });
}

Result CFileTypeRecovery::ResumeOpenImage(std::int32_t sectorSize, const std::string& logName,
                                          std::uint16_t sourceTag, const std::string& imagePath) {
  return Resume(sectorSize, logName, sourceTag, kImageDriveNumber, [&] {
    const Result result = OpenImageSource(imagePath, source_);
    if (result == kSuccess) mediumBytes_ = source_.totalSectors * 512;
    return result;
  });
}

Result CFileTypeRecovery::Resume(std::int32_t sectorSize, const std::string& logName, std::uint16_t sourceTag,
                                 std::int32_t driveNumber, const std::function<Result()>& openMedium) {
  if (!IsSupportedSectorSize(sectorSize)) return kErrInvalidParameter;
  Reset();
  sourceTag_ = sourceTag;
  driveNumber_ = driveNumber;
  partitionStartSector_ = 0;
  partitionSectors_ = 0;
  const Result result = openMedium();
  if (result == kSuccess) {
    UseSectorSize(sectorSize);
    partitionSectors_ = source_.totalSectors;
  } else {
    CloseSource(source_);
  }
  const Result catalogue = BeginCatalogue(logName);
  return result != kSuccess ? result : catalogue;
}

// --- callbacks and the catalogue ---------------------------------------------------------------------

Result CFileTypeRecovery::SetCallbacks(ScanProgressCallback scanCallback, FileProgressCallback fileCallback,
                                       void* userData, std::int32_t weight) {
  callbacks_.Set(scanCallback, fileCallback, userData, weight);
  // The extent walks report progress on their own while a long file is measured.
  carving_.SetProgress(scanCallback, userData, weight);
  return kSuccess;
}

Result CFileTypeRecovery::Scan(const char*) { return kSuccess; }

Result CFileTypeRecovery::GetChildren(const FoundFileRecord* folder, std::int32_t level, RecordList& out) {
  if (!catalogue_) return kSuccess;
  catalogue_->Flush();
  // Every carved file sits in the root: a record has no children.
  if (folder != nullptr || level != 0) return kSuccess;
  return catalogue_->ListChildren(ScanCatalogue::MakeFolderKey(0, 0), out);
}

Result CFileTypeRecovery::CountFiles(const FoundFileRecord* folder, std::int32_t level, std::int32_t* count) {
  if (count == nullptr) return kErrInvalidParameter;
  *count = 0;
  if (!catalogue_) return kSuccess;
  catalogue_->Flush();
  if (folder != nullptr || level != 0) return kSuccess;
  return catalogue_->CountFilesBelow(ScanCatalogue::MakeFolderKey(0, 0), *count);
}

std::uint64_t CFileTypeRecovery::GetFoundCount() { return catalogue_ ? catalogue_->RecordCount() : 0; }

Result CFileTypeRecovery::GetFolderPath(const FoundFileRecord*, std::string& out) {
  out.clear();
  return kSuccess;
}

std::int32_t CFileTypeRecovery::GetNextFreeRange(std::uint64_t*, std::uint64_t*) { return 0; }

Result CFileTypeRecovery::SetFilterCallback(FilterProgressCallback callback, void* userData) {
  callbacks_.SetFilter(callback, userData);
  if (!catalogue_) return kErrInvalidParameter;
  catalogue_->SetFilterCallback(callback, userData);
  return kSuccess;
}

std::int32_t CFileTypeRecovery::FilterByType(const std::string& extensions, RecordList& out) {
  if (!catalogue_) return 0;
  return catalogue_->FilterByExtensions(extensions, out);
}

std::int32_t CFileTypeRecovery::FilterAppended(const std::string& extensions, RecordList& out) {
  if (!catalogue_) return 0;
  return catalogue_->FilterByExtensions(extensions, out, out.size());
}

Result CFileTypeRecovery::BuildFreeSpaceMap() { return kSuccess; }

// --- the carving step --------------------------------------------------------------------------------

std::uint64_t CFileTypeRecovery::AdvanceFor(FileTypeId type, std::uint64_t length, std::int32_t sectorSize) {
  switch (type) {
    // Containers whose content may hold whole files of other types: the sweep looks inside.
    case kTypeDoc:
    case kTypeOle:
    case kTypeXls:
    case kTypePpt:
    case kTypeWav:
    case kTypeAvi:
    case kTypeWmv:
    case kTypeSwf:
    case kTypeBmp:
    case kTypeCab:
    case kTypeTtf:
    case kTypeIco:
      return 1;
    default:
      break;
  }
  if (sectorSize <= 0) return 1;
  const auto s = static_cast<std::uint64_t>(sectorSize);
  const std::uint64_t sectors = length / s + (length % s != 0 ? 1 : 0);
  // The sweep always moves on, even past a file measured as empty.
  return std::max<std::uint64_t>(sectors, 1);
}

Result CFileTypeRecovery::Recognise(CarvingContext& ctx, std::uint64_t& containerEnd, std::int32_t sectorSize,
                                    std::span<const std::uint8_t> sector, std::uint64_t sectorNumber,
                                    std::uint64_t sectorsDone, std::uint64_t sectorsTotal, std::int32_t secondsLeft,
                                    std::uint64_t filesFound, CarvedFile& carved, std::uint64_t& advance) const {
  // Printable bytes inside a container the sweep looks into (a bitmap's pixels, a font's tables,
  // a cabinet's data) are that file's content, not a text file of their own.
  ctx.carveText = sectorNumber >= containerEnd;
  if (Result r = CarveAtSector(ctx, sectorSize, source_, sector, sectorNumber, sectorsDone, sectorsTotal, secondsLeft,
                               filesFound, &carved);
      r != kSuccess)
    return r;
  advance = AdvanceFor(carved.typeId, carved.length, sectorSize);
  if (advance == 1) {
    const std::uint64_t sectors = (carved.length + static_cast<std::uint64_t>(sectorSize) - 1) /
                                  static_cast<std::uint64_t>(sectorSize);
    containerEnd = std::max(containerEnd, sectorNumber + sectors);
  }
  return kSuccess;
}

void CFileTypeRecovery::Catalogue(const CarvedFile& carved, std::uint64_t sectorNumber) {
  if (!catalogue_) return;
  FoundFileRecord* slot = catalogue_->AppendRecord();
  slot->sourceTag = sourceTag_;
  slot->engineTag = kTagFileType;
  slot->isFolder = 0;
  // 2: carved, but where it ends is an estimate (its structure broke off or has no end marks).
  slot->contentState = carved.endEstimated ? 2 : 1;
  slot->recordId = catalogue_->RecordCount();
  slot->objectNumber = 0;
  slot->clusterBytes = -1;
  slot->size = carved.length;
  slot->locationSector = sectorNumber;
  SetRecordName(*slot, carved.Name());
  const std::uint32_t recordId = slot->recordId;
  catalogue_->AddRelation(ScanCatalogue::MakeFolderKey(0, 0), recordId, 0);
}

Result CFileTypeRecovery::CarveStep(std::int32_t sectorSize, std::span<const std::uint8_t> sector,
                                    std::uint64_t sectorNumber, std::uint64_t sectorsDone, std::uint64_t sectorsTotal,
                                    std::int32_t secondsLeft, std::uint64_t& advance, std::uint64_t& filesFound) {
  if (!catalogue_) return kErrInvalidHandle;
  UseSectorSize(sectorSize);
  std::uint64_t step = advance;
  // A find fills it in whole; clearing it for each of the sectors that find nothing costs more
  // than the test that finds nothing.
  if (Result r = Recognise(carving_, containerEnd_, sectorSize, sector, sectorNumber, sectorsDone, sectorsTotal,
                           secondsLeft, filesFound, carvedScratch_, step);
      r != kSuccess)
    return r;
  Catalogue(carvedScratch_, sectorNumber);
  advance = step;
  ++filesFound;
  return kSuccess;
}

// --- writing out and preview ----------------------------------------------------------------------------

template <typename Sink>
Result CFileTypeRecovery::ReadCarvedData(const FoundFileRecord& record, std::uint64_t size, Sink&& sink) {
  if (!source_.handle.IsValid()) return kErrInvalidHandle;
  const auto s = static_cast<std::uint64_t>(sectorSize_);
  // Room for the whole file when it is smaller than a step; left as it comes, since every byte
  // handed on was read into it first.
  const std::uint64_t chunkSectors =
      std::max<std::uint64_t>(1, std::min<std::uint64_t>(kCarveCopyChunkBytes / s, size / s + (size % s != 0 ? 1 : 0)));
  std::unique_ptr<std::uint8_t[]> buffer;
  try {
    buffer = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(chunkSectors * s));
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  std::uint64_t remaining = size;
  std::uint64_t sector = record.locationSector;
  // Every pass takes at least one sector of the medium or ends, so a size or location read from a
  // damaged catalogue cannot keep the loop going past the medium's end.
  while (remaining > 0) {
    if (sector >= source_.totalSectors) return kErrReadFault;
    const std::uint64_t wanted = std::min(chunkSectors, remaining / s + (remaining % s != 0 ? 1 : 0));
    const std::uint64_t count = std::min(wanted, source_.totalSectors - sector);
    std::uint32_t got = 0;
    const Result read =
        ReadSectorsWhole(static_cast<std::int32_t>(count), source_, buffer.get(), sector, sectorSize_, &got);
    if (got == 0) return kErrReadFault;
    const std::uint64_t bytes = std::min<std::uint64_t>(remaining, std::uint64_t{got} * s);
    NoteDataRead(size - remaining, sector * s, bytes);
    if (Result verdict = sink(buffer.get(), static_cast<std::size_t>(bytes)); verdict != kSuccess) return verdict;
    remaining -= bytes;
    sector += got;
    if (read != kSuccess) return read;
  }
  return kSuccess;
}

Result CFileTypeRecovery::WriteCarvedFile(const FoundFileRecord& record, const std::string& destination,
                                          std::int32_t levelBase) {
  RecoveredFileSink sink(callbacks_.Reporter(), destination, levelBase, record.size, &record);
  Result result = sink.Open();
  if (result != kSuccess || record.size == 0) return sink.Finish(result);
  // The medium ends where it ends: a length past it gives what is there, reported incomplete.
  const auto s = static_cast<std::uint64_t>(sectorSize_);
  if (record.locationSector >= source_.totalSectors) return sink.Finish(kErrReadFault);
  std::uint64_t available = 0;
  if (__builtin_mul_overflow(source_.totalSectors - record.locationSector, s, &available)) available = UINT64_MAX;
  const std::uint64_t size = std::min<std::uint64_t>(std::uint64_t{record.size}, available);
  result = ReadCarvedData(record, size,
                          [&sink](const std::uint8_t* data, std::size_t length) { return sink.Put(data, length); });
  return sink.Finish(result);
}

Result CFileTypeRecovery::RecoverItem(const FoundFileRecord* record, const std::string& destination,
                                      std::int32_t levelBase) {
  if (record == nullptr) return kErrInvalidParameter;
  const FoundFileRecord copy = *record;  // the caller's record may live in a packed list
  // This engine has no folders; a folder record can only come from a foreign or damaged log.
  if (copy.isFolder != 0) return kErrInvalidParameter;
  return WriteCarvedFile(copy, destination, levelBase);
}

Result CFileTypeRecovery::ExtractForPreview(const FoundFileRecord* record, std::string& outPath, std::uint8_t* buffer,
                                            std::uint32_t* byteCount, PreviewProgressCallback callback,
                                            void* userData) {
  outPath.clear();
  if (record == nullptr) return kErrInvalidParameter;
  const FoundFileRecord copy = *record;
  PreviewSink sink;
  if (Result r = sink.Begin(copy, outPath, buffer, byteCount, callback, userData); r != kSuccess)
    return sink.Finish(r);
  if (sink.BytesWanted() == 0) {
    (void)sink.ReportEmpty();
    return sink.Finish(kSuccess);
  }
  // A header that claims more than the medium holds: what is there is shown, as recovery writes
  // it, and the file is called incomplete.
  const auto s = static_cast<std::uint64_t>(sectorSize_);
  std::uint64_t available = 0;
  if (copy.locationSector < source_.totalSectors &&
      __builtin_mul_overflow(source_.totalSectors - copy.locationSector, s, &available))
    available = UINT64_MAX;
  const std::uint64_t wanted = copy.locationSector < source_.totalSectors ? std::min(sink.BytesWanted(), available)
                                                                           : sink.BytesWanted();
  Result r = ReadCarvedData(copy, wanted,
                            [&](const std::uint8_t* data, std::size_t length) { return sink.Put(data, length); });
  if (r == kSuccess && wanted < sink.BytesWanted()) r = kErrIncomplete;
  if ((r == kErrReadFault || r == kErrIncomplete) && callback != nullptr) (void)callback(userData, 100, r);
  return sink.Finish(r);
}

}  // namespace rexmoor
