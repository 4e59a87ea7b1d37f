#include "ntfs/pro_ntfs_recovery.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "formats/sector_size.h"
#include "platform/byte_view.h"
#include "platform/text.h"

namespace rexmoor {

namespace {

// A contiguous MFT from the given cluster to the end of the reader's volume; false when that
// cluster lies beyond it.
bool SetContiguousMft(NtfsVolumeReader& reader, std::uint64_t cluster) {
  if (cluster >= reader.ClusterCount()) return false;
  reader.SetMftRuns(RunList{DataRun{0, reader.ClusterCount() - cluster, cluster, false}}, 0);
  return true;
}

// $Extend: the folder of the file system's own extension files ($ObjId, $Quota, $Reparse, ...).
constexpr std::uint32_t kExtendRecord = 11;

}  // namespace

std::uint32_t EstimateNtfsSectorsPerCluster(std::uint64_t partitionSectors, std::uint32_t sectorSize) {
  const double mib = static_cast<double>(partitionSectors) * sectorSize / (1 << 20);
  const double d = sectorSize / 512.0;
  if (mib <= 7 * d) return 8;
  if (mib <= sectorSize) return 1;
  if (mib <= 1024 * d) return 2;
  if (mib <= 2048 * d) return 4;
  return 8;
}

CProfessionalNtfsRecovery::CProfessionalNtfsRecovery() = default;
CProfessionalNtfsRecovery::~CProfessionalNtfsRecovery() = default;

Result CProfessionalNtfsRecovery::Prepare(const VolumeOpening& volume) {
  const auto sectorSize = static_cast<std::uint32_t>(SourceSectorSize(source_));
  if (Result r = PlaceVolume(sectorSize, volume); r != kSuccess) return r;
  recordSize_ = sectorSize == 512 ? 1024 : sectorSize;
  sectorsPerRecord_ = recordSize_ / sectorSize;
  sectorsPerCluster_ = EstimateNtfsSectorsPerCluster(volumeSectors_, sectorSize);
  try {
    record_.assign(recordSize_, 0);
    itemRecord_.assign(recordSize_, 0);
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  layouts_.clear();
  realLayouts_ = 0;
  assumedLayouts_ = 0;
  MarkOpen();
  // The current volume's MFT, when its boot sector still describes one.
  if (IsNtfsBootSector(volume.boot)) {
    const std::optional<NtfsGeometry> geometry = ParseNtfsGeometry(volume.boot);
    if (geometry && geometry->bytesPerSector == sectorSize && geometry->recordSize == recordSize_)
      RegisterLayout(partitionBase_, *geometry, false);
  }
  return kSuccess;
}

Result CProfessionalNtfsRecovery::Scan(const char*) { return kSuccess; }

Result CProfessionalNtfsRecovery::BeginNtfsCatalogue(const char* logName) {
  // The folders of an earlier sweep are forgotten; the layouts describe the medium and stay.
  for (auto& [key, layout] : layouts_) ResetChains(*layout);
  catalogue_.Close();
  catalogue_.SetFilterCallback(callbacks_.filter, callbacks_.filterUserData);
  if (logName != nullptr) return catalogue_.OpenCatalogue(logName);
  return catalogue_.CreateCatalogue("Pro_Ntfs_", partitionStartSector_);
}

void CProfessionalNtfsRecovery::ResetChains(MftLayout& layout) const {
  NtfsVolumeReader* reader = &layout.reader;
  layout.chains.Reset(
      [reader](std::uint32_t number, std::span<std::uint8_t> buffer, RecordHeader& header) {
        const Result r = reader->ReadRecord(number, buffer, header);
        // A record that names another number is not the one the parent reference meant.
        return r == kSuccess && header.number != number ? kErrInvalidParameter : r;
      },
      recordSize_);
}

// --- layouts ------------------------------------------------------------------------------------------

NtfsGeometry CProfessionalNtfsRecovery::GeometryWith(std::uint32_t sectorsPerCluster, std::uint64_t mftCluster) const {
  NtfsGeometry g;
  g.bytesPerSector = static_cast<std::uint32_t>(sectorSize_);
  g.sectorsPerCluster = sectorsPerCluster;
  g.recordSize = recordSize_;
  g.sectorsPerRecord = sectorsPerRecord_;
  g.totalSectors = 0;
  g.mftCluster = mftCluster;
  return g;
}

void CProfessionalNtfsRecovery::RegisterLayout(std::uint64_t origin, const NtfsGeometry& geometry, bool assumed,
                                               const RunList* runs) {
  // A volume may begin before the partition being read (a range that starts inside it): its
  // clusters are still counted from its own origin, and only the partition is read.
  if (origin >= PartitionEnd()) return;
  std::size_t& count = assumed ? assumedLayouts_ : realLayouts_;
  if (count >= (assumed ? limits_.assumedLayouts : limits_.layouts)) {
    if (!saidLayouts_) {
      saidLayouts_ = true;
      std::fprintf(stderr, "rexmoor: too many master file tables on this medium; later ones are not followed\n");
    }
    return;
  }
  auto layout = std::make_unique<MftLayout>();
  layout->assumed = assumed;
  NtfsVolumeReader& reader = layout->reader;
  reader.Reset(&source_, geometry, origin, PartitionEnd() - origin);
  reader.LimitReadsFrom(partitionBase_);
  if (assumed) {
    if (!SetContiguousMft(reader, geometry.mftCluster)) return;
  } else if (runs != nullptr) {
    reader.SetMftRuns(*runs, 0);
  } else if (reader.LoadMftRuns() != kSuccess) {
    return;
  }
  const std::optional<std::uint64_t> first = reader.RecordSector(0);
  if (!first) return;
  const std::uint64_t key = origin + *first;
  if (auto it = layouts_.find(key); it != layouts_.end()) {
    // An MFT only assumed so far is now known: its records stay where they were found, and are
    // located and read through the runs from here on.
    if (it->second->assumed && !assumed) {
      it->second->reader = reader;
      it->second->assumed = false;
      --assumedLayouts_;
      ++realLayouts_;
    }
    return;
  }
  ResetChains(*layout);
  layouts_.emplace(key, std::move(layout));
  ++count;
}

std::optional<Attribute> CProfessionalNtfsRecovery::NonResidentData(std::span<const std::uint8_t> record,
                                                                    const RecordHeader& header, RunList& runs,
                                                                    std::uint64_t& clusters) const {
  std::optional<Attribute> data = FindAttribute(record, header, kAttrData, true);
  if (!data || !data->nonResident) return std::nullopt;
  runs.clear();
  (void)DecodeRunList(data->runs, data->lowestVcn, RunDecodeLimits{volumeSectors_, kMaxRunsPerAttribute}, runs);
  clusters = 0;
  for (const DataRun& run : runs) clusters += run.length;
  return data;
}

void CProfessionalNtfsRecovery::RegisterMftRecord(std::span<const std::uint8_t> record, const RecordHeader& header,
                                                  std::uint64_t sector) {
  RunList runs;
  std::uint64_t clusters = 0;
  const std::optional<Attribute> data = NonResidentData(record, header, runs, clusters);
  if (!data || runs.empty() || runs.front().sparse || clusters == 0 || data->lowestVcn != 0) return;
  // The MFT's own allocation tells its volume's cluster size.
  if (data->allocatedSize % clusters != 0) return;
  const std::uint64_t clusterBytes = data->allocatedSize / clusters;
  if (clusterBytes % static_cast<std::uint64_t>(sectorSize_) != 0) return;
  const std::uint64_t spc = clusterBytes / static_cast<std::uint64_t>(sectorSize_);
  if (!IsNtfsClusterSectorCount(spc, static_cast<std::uint32_t>(sectorSize_))) return;
  const std::uint64_t lcn = runs.front().lcn;
  if (lcn > sector / spc) return;
  const std::uint64_t origin = sector - lcn * spc;
  const NtfsGeometry geometry = GeometryWith(static_cast<std::uint32_t>(spc), lcn);
  // The MFT mirror holds a copy of this record: taken for the MFT, it would put the volume's
  // origin off by the distance between the two. Record 1 ($MFTMirr), next to record 0 in both,
  // says where the mirror lies.
  const std::optional<std::uint64_t> mirror = MirrorCluster(origin, geometry, sector);
  if (mirror && !HoldsMftRecord(origin + *mirror * spc) && *mirror * spc <= sector) {
    // No copy where this record's mirror should be: it may be the mirror itself. If so, its
    // volume's MFT lies where the runs say, counted from the origin the mirror gives.
    const std::uint64_t mirrorOrigin = sector - *mirror * spc;
    if (HoldsMftRecord(mirrorOrigin + lcn * spc)) return;  // the mirror of an MFT met elsewhere
    RegisterLayout(mirrorOrigin, geometry, false, &runs);
  }
  RegisterLayout(origin, geometry, false);
}

std::optional<std::uint64_t> CProfessionalNtfsRecovery::MirrorCluster(std::uint64_t origin, const NtfsGeometry& geometry,
                                                                      std::uint64_t sector) {
  if (origin < partitionBase_ || origin >= PartitionEnd()) return std::nullopt;
  NtfsVolumeReader reader;
  reader.Reset(&source_, geometry, origin, PartitionEnd() - origin);
  std::vector<std::uint8_t> record(recordSize_);
  RecordHeader header;
  if (reader.ReadRecordAt(sector + sectorsPerRecord_, record, header) != kSuccess || header.number != 1)
    return std::nullopt;
  const std::optional<Attribute> data = FindAttribute(record, header, kAttrData, true);
  if (!data || !data->nonResident) return std::nullopt;
  RunList runs;
  (void)DecodeRunList(data->runs, data->lowestVcn, RunDecodeLimits{reader.ClusterCount(), 16}, runs);
  if (runs.empty() || runs.front().sparse) return std::nullopt;
  return runs.front().lcn;
}

bool CProfessionalNtfsRecovery::HoldsMftRecord(std::uint64_t sector) {
  if (sector < partitionBase_ || sector >= PartitionEnd() || PartitionEnd() - sector < sectorsPerRecord_) return false;
  std::vector<std::uint8_t> record(recordSize_);
  if (ReadVolume(sector - partitionBase_, sectorsPerRecord_, record.data(), nullptr) != kSuccess) return false;
  const std::optional<RecordHeader> header = PrepareFileRecord(record);
  if (!header || header->number != 0) return false;
  const std::optional<FileNameInfo> name = ChooseFileName(record, *header);
  return name && ToLowerAscii(FileNameText(*name, 16)) == "$mft";
}

CProfessionalNtfsRecovery::MftLayout* CProfessionalNtfsRecovery::LayoutOf(std::uint32_t number, std::uint64_t sector) {
  for (auto& [key, layout] : layouts_) {
    if (layout->assumed) continue;
    const std::optional<std::uint64_t> at = layout->reader.RecordSector(number);
    if (at && layout->reader.Origin() + *at == sector) return layout.get();
    if (!at && ContinuesMft(*layout, number, sector)) return layout.get();
  }
  // An assumed MFT holds the record where contiguity puts it.
  const std::uint64_t before = std::uint64_t{number} * sectorsPerRecord_;
  if (before > sector) return nullptr;
  auto it = layouts_.find(sector - before);
  if (it != layouts_.end() && it->second->assumed) return it->second.get();
  return nullptr;
}

bool CProfessionalNtfsRecovery::ContinuesMft(MftLayout& layout, std::uint32_t number, std::uint64_t sector) {
  // A format that wrote its new MFT where the old one began leaves an MFT shorter than the old
  // one: the old records after its end lie where the MFT would have gone on growing. Such a record
  // extends the layout's MFT: to the whole of its runs, or its last run to the end of the volume.
  NtfsVolumeReader& reader = layout.reader;
  const RunList& runs = reader.MftRuns();
  if (runs.empty() || runs.back().sparse || number < reader.MftRecordCount()) return false;
  const DataRun& last = runs.back();
  const std::uint64_t clusterBytes = reader.ClusterBytes();
  const std::uint64_t covered = RunListEnd(runs) * clusterBytes;
  const std::uint64_t wanted = std::uint64_t{number} * recordSize_;
  const std::uint64_t spc = reader.Geometry().sectorsPerCluster;
  if (wanted < covered) {
    // Inside the runs but past the size $MFT now gives its data.
    const std::optional<std::size_t> run = FindRun(runs, wanted / clusterBytes);
    if (!run || runs[*run].sparse) return false;
    const std::uint64_t at = reader.Origin() + runs[*run].lcn * spc +
                             (wanted - runs[*run].vcn * clusterBytes) / static_cast<std::uint64_t>(sectorSize_);
    if (at != sector) return false;
    RunList same = runs;
    reader.SetMftRuns(std::move(same), 0);
    return true;
  }
  if (last.lcn + last.length >= reader.ClusterCount()) return false;
  const std::uint64_t end = reader.Origin() + (last.lcn + last.length) * spc;
  if (end + (wanted - covered) / static_cast<std::uint64_t>(sectorSize_) != sector) return false;
  RunList longer = runs;
  longer.push_back(DataRun{RunListEnd(runs), reader.ClusterCount() - (last.lcn + last.length), last.lcn + last.length,
                           false});
  reader.SetMftRuns(std::move(longer), 0);
  return true;
}

CProfessionalNtfsRecovery::MftLayout* CProfessionalNtfsRecovery::AssumedLayout(std::uint32_t number,
                                                                               std::uint64_t sector) {
  // No "$MFT" record met places this one: its MFT is taken to run contiguously from where its
  // record 0 would lie, on the volume that starts with the partition.
  const std::uint64_t before = std::uint64_t{number} * sectorsPerRecord_;
  if (before > sector || sector - before < partitionBase_) return nullptr;
  const std::uint64_t relative = sector - before - partitionBase_;
  if (relative % sectorsPerCluster_ != 0) return nullptr;
  RegisterLayout(partitionBase_, GeometryWith(sectorsPerCluster_, relative / sectorsPerCluster_), true);
  return LayoutOf(number, sector);
}

void CProfessionalNtfsRecovery::RefineClusterSize(std::span<const std::uint8_t> record, const RecordHeader& header) {
  RunList runs;
  std::uint64_t clusters = 0;
  const std::optional<Attribute> data = NonResidentData(record, header, runs, clusters);
  if (!data || clusters == 0) return;
  const std::uint64_t q = data->allocatedSize / static_cast<std::uint64_t>(sectorSize_) / clusters;
  if (!IsNtfsClusterSectorCount(q, static_cast<std::uint32_t>(sectorSize_)) || q == sectorsPerCluster_) return;
  sectorsPerCluster_ = static_cast<std::uint32_t>(q);
  // The assumed MFTs count their files' clusters in the size now known; where they lie does not
  // change.
  for (auto& [key, layout] : layouts_) {
    if (!layout->assumed) continue;
    const std::uint64_t relative = key - partitionBase_;
    if (relative % q != 0) continue;
    NtfsVolumeReader& reader = layout->reader;
    reader.Reset(&source_, GeometryWith(sectorsPerCluster_, relative / q), partitionBase_, volumeSectors_);
    (void)SetContiguousMft(reader, relative / q);
  }
}

std::vector<CProfessionalNtfsRecovery::LayoutInfo> CProfessionalNtfsRecovery::Layouts() const {
  std::vector<LayoutInfo> out;
  for (const auto& [key, layout] : layouts_)
    out.push_back(LayoutInfo{key, layout->reader.Origin(), layout->reader.Geometry().sectorsPerCluster, layout->assumed});
  return out;
}

// --- the intake -----------------------------------------------------------------------------------------

Result CProfessionalNtfsRecovery::TakeFileRecord(std::span<const std::uint8_t> record, std::uint64_t sector) {
  if (!IsOpen() || record.size() < recordSize_) return kErrInvalidParameter;
  if (sector < partitionBase_ || sector >= PartitionEnd()) return kErrInvalidParameter;
  std::copy_n(record.begin(), recordSize_, record_.begin());
  if (!HasFileSignature(record_)) return -1;
  // Folders are read as the parents of what is found, not for themselves.
  if ((LoadU16LE(record_.data() + kRecFlags) & kRecFlagDirectory) != 0) return kSuccess;
  const std::optional<RecordHeader> header = PrepareFileRecord(record_);
  if (!header) return kErrInvalidParameter;
  // Extension records carry no name of their own.
  if (header->baseRecord != 0) return kSuccess;
  const std::optional<FileNameInfo> name = ChooseFileName(record_, *header);
  if (!name) return kSuccess;
  const std::uint32_t number = header->number;
  if (number == 0) {
    if (ToLowerAscii(FileNameText(*name, 16)) == "$mft") RegisterMftRecord(record_, *header, sector);
    return kSuccess;
  }
  if (number < kFirstUserRecord) return kSuccess;
  std::uint32_t parent = name->ParentNumber();
  if (parent == kExtendRecord) return kSuccess;
  if (parent == 0) parent = kRootFolderRecord;

  RefineClusterSize(record_, *header);
  MftLayout* layout = LayoutOf(number, sector);
  if (layout == nullptr) layout = AssumedLayout(number, sector);
  // Without a layout the record's volume origin is not known: its record is read where it lies,
  // but its clusters cannot be placed (the partition's start is no better than a guess: a range
  // can start inside a volume).
  NtfsVolumeReader fallback;
  const NtfsVolumeReader* reader = &fallback;
  if (layout != nullptr) {
    reader = &layout->reader;
  } else {
    fallback.Reset(&source_, GeometryWith(sectorsPerCluster_, 0), partitionBase_, volumeSectors_);
  }
  const bool placed = layout != nullptr;
  (void)reader->FindStream(record_, *header, kAttrData, stream_);
  std::uint64_t size = stream_.found ? stream_.realSize : name->realSize;
  size = std::min(size, reader->VolumeBytes());
  const std::string text = FoundNameOf(*name);
  FoundFileRecord r = NewRecord(kTagProNtfs, false);
  r.deletedMark = header->InUse() ? 0 : 1;
  r.objectNumber = number;
  r.clusterBytes = placed ? static_cast<std::int32_t>(reader->ClusterBytes()) : -1;
  const NtfsTimes times = FileTimesOf(record_, *header, *name);
  r.createdTime = times.created;
  r.accessedTime = times.accessed;
  r.modifiedTime = times.modified;
  r.size = size;
  r.dataAreaSector = 0;
  r.locationSector = sector;
  r.partitionStartSector = reader->Origin();
  SetRecordName(r, text);
  r.contentState = placed || stream_.resident ? reader->CheckContent(stream_, text, sector) : 1;
  // Without a layout its folders cannot be found: it is listed in the root.
  const std::uint64_t key = layout != nullptr
                                ? ScanCatalogue::MakeFolderKey(parent, layout->chains.Depth(parent))
                                : ScanCatalogue::MakeFolderKey(kRootFolderRecord, 0);
  CatalogueRecord(r, key, false);
  ForEachNamedStream(*reader, record_, *header, *name, r, stream_,
                     [&](FoundFileRecord& found) { CatalogueRecord(found, key, false); });
  return kSuccess;
}

Result CProfessionalNtfsRecovery::FinishNtfsSweep() {
  // A folder number is catalogued once, from the first layout that reached it.
  std::set<std::uint32_t> catalogued;
  for (auto& [key, layout] : layouts_) {
    const std::vector<std::uint32_t> deferred = layout->chains.Deferred();
    for (const std::uint32_t number : deferred) {
      if (!catalogued.insert(number).second) continue;
      std::optional<ChainFolderRecord> folder = MakeChainFolderRecord(layout->chains, number, sourceTag_, kTagProNtfs);
      if (!folder) continue;
      FoundFileRecord& r = folder->record;
      const NtfsVolumeReader& reader = layout->reader;
      if (!folder->lost) {
        r.clusterBytes = static_cast<std::int32_t>(reader.ClusterBytes());
        const std::optional<std::uint64_t> at = reader.RecordSector(number);
        r.locationSector = at ? reader.Origin() + *at : 0;
      }
      r.partitionStartSector = reader.Origin();
      CatalogueRecord(r, folder->parentKey, true);
    }
  }
  catalogue_.Flush();
  return kSuccess;
}

// --- reading a found file ---------------------------------------------------------------------------------

const NtfsVolumeReader* CProfessionalNtfsRecovery::ReaderFor(const FoundFileRecord& record,
                                                            NtfsVolumeReader& scratch) const {
  const std::uint64_t origin = record.partitionStartSector;
  const std::int64_t clusterBytes = record.clusterBytes;
  for (const auto& [key, layout] : layouts_) {
    if (layout->reader.Origin() == origin && static_cast<std::int64_t>(layout->reader.ClusterBytes()) == clusterBytes)
      return &layout->reader;
  }
  if (origin >= PartitionEnd() || clusterBytes <= 0 || clusterBytes % sectorSize_ != 0) return nullptr;
  const std::int64_t spc = clusterBytes / sectorSize_;
  if (!IsNtfsClusterSectorCount(static_cast<std::uint64_t>(spc), static_cast<std::uint32_t>(sectorSize_)))
    return nullptr;
  scratch.Reset(&source_, GeometryWith(static_cast<std::uint32_t>(spc), 0), origin, PartitionEnd() - origin);
  scratch.LimitReadsFrom(partitionBase_);
  return &scratch;
}

Result CProfessionalNtfsRecovery::LoadItemStream(const FoundFileRecord& record, NtfsVolumeReader& scratch,
                                                 const NtfsVolumeReader*& reader, NtfsDataStream& stream) {
  if (!IsOpen()) return kErrInvalidHandle;
  reader = ReaderFor(record, scratch);
  if (reader == nullptr && record.clusterBytes == -1 && record.isFolder == 0) {
    // Found before the record that tells its layout: the layouts the whole sweep met may place it.
    if (MftLayout* layout = LayoutOf(record.objectNumber, record.locationSector)) reader = &layout->reader;
  }
  const bool placed = reader != nullptr;
  if (!placed) {
    // A record no layout placed: only data held in the record itself can be told.
    scratch.Reset(&source_, GeometryWith(sectorsPerCluster_, 0), partitionBase_, volumeSectors_);
    reader = &scratch;
  }
  RecordHeader header;
  if (Result r = reader->ReadRecordAt(record.locationSector, itemRecord_, header); r != kSuccess) return r;
  if (Result r = reader->FindDataStream(itemRecord_, header, record.extra, stream); r != kSuccess) return r;
  reader->PlaceResidentValue(stream, itemRecord_, record.locationSector);
  return placed || !stream.found || stream.resident ? kSuccess : kErrInvalidParameter;
}

Result CProfessionalNtfsRecovery::ReadItemData(const FoundFileRecord& record, std::uint64_t size,
                                               const ItemDataSink& sink) {
  NtfsVolumeReader scratch;
  const NtfsVolumeReader* reader = nullptr;
  NtfsDataStream stream;
  if (Result r = LoadItemStream(record, scratch, reader, stream); r != kSuccess) return r;
  return reader->ReadFileData(stream, size, [&sink](const std::uint8_t* data, std::size_t length) {
    return sink(data, length, kSuccess);
  });
}

std::uint64_t CProfessionalNtfsRecovery::ItemByteLimit(const FoundFileRecord& record) const {
  const std::uint64_t origin = record.partitionStartSector;
  if (origin >= PartitionEnd()) return 0;
  return (PartitionEnd() - origin) * static_cast<std::uint64_t>(sectorSize_);
}

Result CProfessionalNtfsRecovery::ReadRecordRuns(const FoundFileRecord& record, RunList& out) {
  out.clear();
  NtfsVolumeReader scratch;
  const NtfsVolumeReader* reader = nullptr;
  NtfsDataStream stream;
  if (Result r = LoadItemStream(record, scratch, reader, stream); r != kSuccess) return r;
  if (!stream.found || stream.resident || stream.runs.empty()) return kErrInvalidParameter;
  out = stream.runs;
  return kSuccess;
}

std::optional<std::uint64_t> CProfessionalNtfsRecovery::FirstDataByte(const FoundFileRecord& record) {
  if (record.isFolder != 0) return std::nullopt;
  NtfsVolumeReader scratch;
  const NtfsVolumeReader* reader = nullptr;
  NtfsDataStream stream;
  if (LoadItemStream(record, scratch, reader, stream) != kSuccess) return std::nullopt;
  return reader->FirstDataByte(stream);
}

}  // namespace rexmoor
