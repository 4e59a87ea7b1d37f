#include "ntfs/fast_ntfs_recovery.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/byte_view.h"
#include "platform/clock.h"

namespace rexmoor {

CFastNtfsRecovery::CFastNtfsRecovery() = default;
CFastNtfsRecovery::~CFastNtfsRecovery() = default;

void CFastNtfsRecovery::ReleaseVolume() {
  reader_ = NtfsVolumeReader();
  chunk_.clear();
  chunk_.shrink_to_fit();
}

// --- opening --------------------------------------------------------------------------------------

Result CFastNtfsRecovery::Prepare(const VolumeOpening& volume) {
  auto geometry = ParseNtfsGeometry(volume.boot);
  if (!geometry) return kErrInvalidParameter;
  if (Result r = PlaceVolume(geometry->bytesPerSector, volume); r != kSuccess) return r;
  geometry_ = *geometry;
  try {
    chunk_.assign(std::size_t{geometry_.recordSize} * kMftChunkRecords, 0);
    itemRecord_.assign(geometry_.recordSize, 0);
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  reader_.Reset(&source_, geometry_, partitionBase_, volumeSectors_);
  MarkOpen();
  // Without the MFT's runs the scan reads nothing and finds nothing; the volume stays open.
  (void)reader_.LoadMftRuns();
  return kSuccess;
}

// --- the scan -------------------------------------------------------------------------------------

std::uint64_t CFastNtfsRecovery::AbsoluteRecordSector(std::uint64_t number) const {
  auto sector = reader_.RecordSector(number);
  return sector ? partitionBase_ + *sector : partitionBase_;
}

void CFastNtfsRecovery::ResetScanState() {
  chains_.Reset(
      [this](std::uint32_t number, std::span<std::uint8_t> buffer, RecordHeader& header) {
        return reader_.ReadRecord(number, buffer, header);
      },
      geometry_.recordSize);
  recordsScanned_ = 0;
}

Result CFastNtfsRecovery::RunScan() {
  const Result result = ReadMft();
  // The folders above the finds are written even when the read was stopped, so that whatever was
  // found can be browsed.
  CatalogueFolders();
  return result;
}

Result CFastNtfsRecovery::ReadMft() {
  const std::uint64_t clusterBytes = geometry_.ClusterBytes();
  MftPass pass;
  pass.mftBytes = reader_.MftRecordCount() * geometry_.recordSize;
  pass.totalSectors = pass.mftBytes / geometry_.bytesPerSector;
  pass.started = TickCountMs();
  pass.lastEstimate = pass.started;
  for (const DataRun& run : reader_.MftRuns()) {
    if (pass.position >= pass.mftBytes) break;
    const std::uint64_t runBytes = std::min(run.length * clusterBytes, pass.mftBytes - pass.position);
    if (run.sparse) {
      SkipMftHole(runBytes, pass);
      continue;
    }
    if (Result r = ReadMftRun(run.lcn * geometry_.sectorsPerCluster, runBytes, pass); r != kSuccess) return r;
  }
  return kSuccess;
}

void CFastNtfsRecovery::SkipMftHole(std::uint64_t runBytes, MftPass& pass) const {
  // Records in a hole of the MFT are gone, and so is any record the hole cut in two.
  const std::uint32_t recordSize = geometry_.recordSize;
  pass.position += runBytes;
  pass.sectorsDone += runBytes / geometry_.bytesPerSector;
  pass.filled = 0;
  pass.nextRecord = (pass.position + recordSize - 1) / recordSize;
  pass.skipBytes = pass.nextRecord * recordSize - pass.position;
}

Result CFastNtfsRecovery::ReadMftRun(std::uint64_t sector, std::uint64_t runBytes, MftPass& pass) {
  const std::uint32_t bps = geometry_.bytesPerSector;
  if (pass.skipBytes != 0) {
    const std::uint64_t skip = std::min(pass.skipBytes, runBytes);
    sector += skip / bps;
    runBytes -= skip;
    pass.position += skip;
    pass.sectorsDone += skip / bps;
    pass.skipBytes -= skip;
  }
  std::uint64_t sectorsLeft = runBytes / bps;
  while (sectorsLeft != 0) {
    const auto count =
        static_cast<std::uint32_t>(std::min<std::uint64_t>((chunk_.size() - pass.filled) / bps, sectorsLeft));
    if (Result r = reader_.ReadVolume(sector, count, chunk_.data() + pass.filled, nullptr); r != kSuccess) return r;
    pass.filled += std::size_t{count} * bps;
    sector += count;
    sectorsLeft -= count;
    pass.position += std::uint64_t{count} * bps;
    pass.sectorsDone += count;
    TakeChunkRecords(pass);
    if (std::int32_t verdict = ReportMftProgress(pass); verdict != 0) return verdict;
  }
  return kSuccess;
}

void CFastNtfsRecovery::TakeChunkRecords(MftPass& pass) {
  const std::uint32_t recordSize = geometry_.recordSize;
  const std::size_t whole = pass.filled / recordSize;
  for (std::size_t i = 0; i < whole; ++i) {
    std::uint8_t* record = chunk_.data() + i * recordSize;
    // The deletion test first: a record neither in use nor a folder (flags 0). It lies in the
    // first stride, which the update sequence does not touch.
    if (LoadU16LE(record + kRecFlags) != 0 || std::memcmp(record, "FILE", 4) != 0) continue;
    const std::uint64_t number = pass.nextRecord + i;
    if (number < kFirstUserRecord) continue;
    ProcessDeletedRecord(number, std::span(record, recordSize));
  }
  recordsScanned_ += whole;
  pass.nextRecord += whole;
  const std::size_t used = whole * recordSize;
  if (used != pass.filled) std::memmove(chunk_.data(), chunk_.data() + used, pass.filled - used);
  pass.filled -= used;
}

std::int32_t CFastNtfsRecovery::ReportMftProgress(MftPass& pass) const {
  const std::uint32_t tick = TickCountMs();
  if (callbacks_.weight == 100 && tick - pass.lastEstimate >= kNtfsEstimateIntervalMs) {
    pass.lastEstimate = tick;
    std::uint64_t speed = pass.position / std::max<std::uint64_t>(1, (tick - pass.started) / 1000);
    if (speed == 0) speed = 1;
    pass.secondsLeft =
        static_cast<std::int32_t>(std::min<std::uint64_t>((pass.mftBytes - pass.position) / speed, INT32_MAX));
  }
  const auto progress =
      static_cast<std::int32_t>(pass.totalSectors == 0 ? 100 : pass.sectorsDone * 100 / pass.totalSectors);
  return callbacks_.ReportScan(std::min(progress, 100), pass.secondsLeft);
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

  FoundFileRecord r = NewRecord(kTagFastNtfs, false);
  r.deletedMark = 1;
  r.objectNumber = static_cast<std::uint32_t>(number);
  r.clusterBytes = static_cast<std::int32_t>(geometry_.ClusterBytes());
  const NtfsTimes times = FileTimesOf(record, *header, *name);
  r.createdTime = times.created;
  r.accessedTime = times.accessed;
  r.modifiedTime = times.modified;
  r.size = size;
  r.dataAreaSector = 0;
  r.locationSector = AbsoluteRecordSector(number);
  SetRecordName(r, text);
  r.contentState = reader_.CheckContent(stream, text, r.locationSector);

  // A parent of 0 names no folder at all: such a file is shown in the root.
  std::uint32_t parent = name->ParentNumber();
  if (parent == 0) parent = kRootFolderRecord;
  const std::uint32_t level = chains_.Depth(parent);
  const std::uint64_t key = ScanCatalogue::MakeFolderKey(parent, level);
  CatalogueRecord(r, key, false);
  ForEachNamedStream(reader_, record, *header, *name, r, stream,
                     [&](FoundFileRecord& found) { CatalogueRecord(found, key, false); });
}

void CFastNtfsRecovery::CatalogueFolders() {
  // Deferred() does not grow here: every folder's chain was followed to its end when it was met.
  const std::vector<std::uint32_t>& deferred = chains_.Deferred();
  for (std::size_t i = 0; i < deferred.size(); ++i) {
    std::optional<ChainFolderRecord> folder = MakeChainFolderRecord(chains_, deferred[i], sourceTag_, kTagFastNtfs);
    if (!folder) continue;
    FoundFileRecord& r = folder->record;
    if (!folder->lost) {
      r.clusterBytes = static_cast<std::int32_t>(geometry_.ClusterBytes());
      r.locationSector = AbsoluteRecordSector(r.objectNumber);
    }
    r.partitionStartSector = partitionBase_;
    CatalogueRecord(r, folder->parentKey, true);
  }
}

// --- reading a file's data ------------------------------------------------------------------------

Result CFastNtfsRecovery::LoadItemStream(const FoundFileRecord& record, NtfsDataStream& stream) {
  if (!IsOpen()) return kErrInvalidHandle;
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
  if (r = reader_.FindDataStream(itemRecord_, header, record.extra, stream); r != kSuccess) return r;
  reader_.PlaceResidentValue(stream, itemRecord_, location);
  return kSuccess;
}

Result CFastNtfsRecovery::ReadItemData(const FoundFileRecord& record, std::uint64_t size, const ItemDataSink& sink) {
  NtfsDataStream stream;
  if (Result r = LoadItemStream(record, stream); r != kSuccess) return r;
  return reader_.ReadFileData(stream, size,
                              [&sink](const std::uint8_t* data, std::size_t length) { return sink(data, length, kSuccess); });
}

std::uint64_t CFastNtfsRecovery::ItemByteLimit(const FoundFileRecord&) const {
  // No file is written longer than the volume itself, so a hostile size or sparse run cannot fill
  // the target.
  std::uint64_t volumeBytes = 0;
  if (__builtin_mul_overflow(reader_.ClusterCount(), geometry_.ClusterBytes(), &volumeBytes)) return UINT64_MAX;
  return volumeBytes;
}

// --- free-space map -------------------------------------------------------------------------------------

Result CFastNtfsRecovery::BuildFreeSpaceMap() {
  if (!IsOpen()) return kErrInvalidHandle;
  useMap_.Clear();
  std::vector<std::uint8_t> record(geometry_.recordSize);
  RecordHeader header;
  if (Result r = reader_.ReadRecord(kBitmapRecord, record, header); r != kSuccess) return r;
  NtfsDataStream stream;
  if (Result r = reader_.FindStream(record, header, kAttrData, stream); r != kSuccess) return r;
  if (!stream.found) return kErrInvalidParameter;
  // One bit per cluster: anything longer than the volume needs is not read.
  std::uint64_t bytes = std::min<std::uint64_t>(stream.realSize, (reader_.ClusterCount() + 7) / 8);
  if (!stream.resident) bytes = std::min<std::uint64_t>(bytes, RunListEnd(stream.runs) * geometry_.ClusterBytes());
  std::vector<std::uint8_t> bitmap;
  try {
    bitmap.reserve(static_cast<std::size_t>(bytes));
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  const Result r = reader_.ReadFileData(stream, bytes, [&](const std::uint8_t* data, std::size_t length) {
    bitmap.insert(bitmap.end(), data, data + length);
    return kSuccess;
  });
  if (r != kSuccess) return r;
  if (Result m = useMap_.Reset(0, 0, 0, geometry_.sectorsPerCluster, volumeSectors_); m != kSuccess) return m;
  useMap_.AssignBits(std::move(bitmap), reader_.ClusterCount());
  useMap_.SetBuilt();
  return kSuccess;
}

std::optional<std::uint64_t> CFastNtfsRecovery::FirstDataByte(const FoundFileRecord& record) {
  if (record.isFolder != 0) return std::nullopt;
  NtfsDataStream stream;
  if (LoadItemStream(record, stream) != kSuccess) return std::nullopt;
  return reader_.FirstDataByte(stream);
}

}  // namespace rexmoor
