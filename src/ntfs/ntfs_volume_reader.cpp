#include "ntfs/ntfs_volume_reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <set>
#include <utility>

#include "formats/carve_at_sector.h"
#include "formats/file_format_table.h"
#include "formats/lznt1.h"
#include "engine/file_digest.h"
#include "platform/byte_view.h"
#include "platform/text.h"

namespace rexmoor {

namespace {

std::string_view ExtensionOf(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
}

}  // namespace

void NtfsVolumeReader::Reset(const SectorSource* source, const NtfsGeometry& geometry, std::uint64_t origin,
                             std::uint64_t volumeSectors) {
  source_ = source;
  geometry_ = geometry;
  origin_ = origin;
  volumeSectors_ = volumeSectors;
  readableFrom_ = 0;
  // The boot sector's count, where it is smaller, is the volume; the medium bounds it either way.
  std::uint64_t sectors = volumeSectors;
  if (geometry.totalSectors != 0) sectors = std::min(sectors, geometry.totalSectors + 1);
  clusterCount_ = sectors / geometry.sectorsPerCluster;
  mftRuns_.clear();
  mftRecords_ = 0;
}

Result NtfsVolumeReader::ReadVolume(std::uint64_t sector, std::uint32_t count, std::uint8_t* buffer,
                                    std::uint32_t* got) const {
  if (got != nullptr) *got = 0;
  if (source_ == nullptr) return kErrInvalidHandle;
  if (sector < readableFrom_) return kErrInvalidParameter;
  return ReadVolumeSectors(*source_, origin_, volumeSectors_, sector, count,
                           static_cast<std::int32_t>(geometry_.bytesPerSector), buffer, got);
}

void NtfsVolumeReader::SetMftRuns(RunList runs, std::uint64_t mftBytes) {
  mftRuns_ = std::move(runs);
  std::uint64_t bytes = RunListEnd(mftRuns_) * ClusterBytes();
  if (mftBytes != 0) bytes = std::min(bytes, mftBytes);
  mftRecords_ = std::min<std::uint64_t>(bytes / geometry_.recordSize, std::uint64_t{UINT32_MAX} + 1);
}

Result NtfsVolumeReader::LoadMftRuns() {
  mftRuns_.clear();
  mftRecords_ = 0;
  if (source_ == nullptr) return kErrInvalidHandle;
  const std::uint64_t mftSector = geometry_.mftCluster * geometry_.sectorsPerCluster;
  if (geometry_.mftCluster >= clusterCount_) return kErrInvalidParameter;
  std::vector<std::uint8_t> record(geometry_.recordSize);
  RecordHeader header;
  if (Result r = ReadRecordAt(origin_ + mftSector, record, header); r != kSuccess) return r;
  // Extension records of $MFT are found through the runs its base record holds, so those come
  // first; where the base record holds none, the MFT is taken to start contiguously at its cluster.
  const RunDecodeLimits limits{clusterCount_, kMaxRunsPerAttribute};
  RunList baseRuns;
  if (auto data = FindAttribute(record, header, kAttrData, true); data && data->nonResident) {
    (void)DecodeRunList(data->runs, data->lowestVcn, limits, baseRuns);
  }
  if (baseRuns.empty() && geometry_.mftCluster < clusterCount_) {
    const std::uint64_t clusters =
        (std::uint64_t{geometry_.recordSize} * kFirstUserRecord + ClusterBytes() - 1) / ClusterBytes();
    baseRuns.push_back(DataRun{0, std::min(clusters, clusterCount_ - geometry_.mftCluster), geometry_.mftCluster, false});
  }
  SetMftRuns(baseRuns, 0);
  NtfsDataStream stream;
  if (Result r = FindStream(record, header, kAttrData, stream); r != kSuccess || !stream.found || stream.resident) {
    mftRuns_.clear();
    mftRecords_ = 0;
    return r != kSuccess ? r : kErrInvalidParameter;
  }
  SetMftRuns(std::move(stream.runs), stream.realSize);
  return mftRecords_ != 0 ? kSuccess : kErrInvalidParameter;
}

std::optional<std::uint64_t> NtfsVolumeReader::RecordSector(std::uint64_t number) const {
  if (number >= mftRecords_) return std::nullopt;
  const std::uint64_t byte = number * geometry_.recordSize;
  const std::uint64_t clusterBytes = ClusterBytes();
  auto run = FindRun(mftRuns_, byte / clusterBytes);
  if (!run || mftRuns_[*run].sparse) return std::nullopt;
  const DataRun& r = mftRuns_[*run];
  const std::uint64_t within = byte - r.vcn * clusterBytes;
  return r.lcn * geometry_.sectorsPerCluster + within / geometry_.bytesPerSector;
}

Result NtfsVolumeReader::ReadRecord(std::uint64_t number, std::span<std::uint8_t> buffer,
                                    RecordHeader& header) const {
  const std::uint32_t size = geometry_.recordSize;
  if (buffer.size() < size) return kErrInvalidParameter;
  if (number >= mftRecords_) return kErrInvalidParameter;
  const std::uint32_t bps = geometry_.bytesPerSector;
  for (std::uint32_t i = 0; i < geometry_.sectorsPerRecord;) {
    // Sectors of the record that lie one after the other on the volume are read together.
    const std::uint64_t byte = number * size + std::uint64_t{i} * bps;
    auto run = FindRun(mftRuns_, byte / ClusterBytes());
    if (!run || mftRuns_[*run].sparse) return kErrInvalidParameter;
    const DataRun& r = mftRuns_[*run];
    const std::uint64_t runEndByte = (r.vcn + r.length) * ClusterBytes();
    const std::uint32_t count = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(geometry_.sectorsPerRecord - i, (runEndByte - byte) / bps));
    const std::uint64_t sector = r.lcn * geometry_.sectorsPerCluster + (byte - r.vcn * ClusterBytes()) / bps;
    if (count == 0) return kErrInvalidParameter;
    if (Result res = ReadVolume(sector, count, buffer.data() + std::size_t{i} * bps, nullptr); res != kSuccess)
      return res;
    i += count;
  }
  auto prepared = PrepareFileRecord(buffer.first(size));
  if (!prepared) return kErrInvalidParameter;
  header = *prepared;
  return kSuccess;
}

Result NtfsVolumeReader::ReadRecordAt(std::uint64_t absoluteSector, std::span<std::uint8_t> buffer,
                                      RecordHeader& header) const {
  const std::uint32_t size = geometry_.recordSize;
  if (buffer.size() < size || absoluteSector < origin_) return kErrInvalidParameter;
  if (Result r = ReadVolume(absoluteSector - origin_, geometry_.sectorsPerRecord, buffer.data(), nullptr);
      r != kSuccess)
    return r;
  auto prepared = PrepareFileRecord(buffer.first(size));
  if (!prepared) return kErrInvalidParameter;
  header = *prepared;
  return kSuccess;
}

Result NtfsVolumeReader::ReadRuns(const RunList& runs, std::uint64_t bytes, std::vector<std::uint8_t>& out) const {
  out.clear();
  try {
    out.reserve(static_cast<std::size_t>(bytes));
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  NtfsDataStream stream;
  stream.found = true;
  stream.runs = runs;
  stream.realSize = bytes;
  stream.initializedSize = bytes;
  return ReadFileData(stream, bytes, [&](const std::uint8_t* data, std::size_t length) {
    out.insert(out.end(), data, data + length);
    return kSuccess;
  });
}

Result NtfsVolumeReader::ReadListBytes(const Attribute& list, std::vector<std::uint8_t>& bytes) const {
  bytes.clear();
  if (!list.nonResident) {
    bytes.assign(list.value.begin(), list.value.end());
    return kSuccess;
  }
  RunList runs;
  (void)DecodeRunList(list.runs, 0, RunDecodeLimits{clusterCount_, 4096}, runs);
  const std::uint64_t want =
      std::min<std::uint64_t>({list.realSize, RunListEnd(runs) * ClusterBytes(), kMaxAttributeListBytes});
  return ReadRuns(runs, want, bytes);
}

namespace {

// Back to "no stream", field by field: the run list keeps its storage from one record to the next.
void ClearStream(NtfsDataStream& out) {
  out.found = false;
  out.resident = false;
  out.value = {};
  out.runs.clear();
  out.realSize = 0;
  out.initializedSize = 0;
  out.flags = 0;
  out.compressionShift = 0;
}

// The sizes and kind of the attribute whose first extent (vcn 0, or the only one) is a, read from
// the record bytes in.
void TakeStreamSizes(const Attribute& a, std::span<const std::uint8_t> in, NtfsDataStream& out) {
  out.found = true;
  out.resident = !a.nonResident;
  out.flags = a.flags;
  if (!a.nonResident) {
    out.value = a.value;
    out.realSize = a.value.size();
    out.initializedSize = a.value.size();
  } else {
    out.realSize = a.realSize;
    out.initializedSize = std::min(a.initializedSize, a.realSize);
    // The walk saw the whole non-resident header inside the record.
    if (a.offset + kAttrCompressionUnit < in.size()) out.compressionShift = in[a.offset + kAttrCompressionUnit];
  }
}

// Whether a name (UTF-16LE, as stored) is the one wanted; an empty one wants the unnamed stream.
bool SameName(std::span<const std::uint8_t> name, std::span<const std::uint8_t> wanted) {
  return name.size() == wanted.size() && std::equal(name.begin(), name.end(), wanted.begin());
}

// The non-resident attribute of the type and name whose extent starts at vcn in a record.
std::optional<Attribute> FindExtentIn(std::span<const std::uint8_t> record, const RecordHeader& header,
                                      std::uint32_t type, std::span<const std::uint8_t> streamName,
                                      std::uint64_t vcn) {
  AttributeWalker walk(record, header);
  while (auto a = walk.Next()) {
    if (a->type == type && SameName(a->name, streamName) && a->nonResident && a->lowestVcn == vcn) return a;
  }
  return std::nullopt;
}

}  // namespace

Result NtfsVolumeReader::FindDataStream(std::span<const std::uint8_t> record, const RecordHeader& header,
                                        std::uint16_t stream, NtfsDataStream& out) const {
  if (stream == 0) return FindStream(record, header, kAttrData, out);
  ClearStream(out);
  const std::vector<Attribute> named = NamedDataStreams(record, header);
  if (stream > named.size()) return kErrInvalidParameter;
  return FindStream(record, header, kAttrData, out, named[stream - 1u].name);
}

Result NtfsVolumeReader::FindStream(std::span<const std::uint8_t> record, const RecordHeader& header,
                                    std::uint32_t type, NtfsDataStream& out,
                                    std::span<const std::uint8_t> streamName) const {
  ClearStream(out);
  const RunDecodeLimits limits{clusterCount_, kMaxRunsPerAttribute};
  std::optional<Attribute> list;
  std::optional<Attribute> own;
  {
    AttributeWalker walk(record, header);
    while (auto a = walk.Next()) {
      if (a->type == kAttrAttributeList && !list) list = a;
      if (a->type == type && SameName(a->name, streamName) && !own) own = a;
    }
  }
  auto takeOwn = [&] {
    TakeStreamSizes(*own, record, out);
    if (own->nonResident) (void)DecodeRunList(own->runs, own->lowestVcn, limits, out.runs);
    return kSuccess;
  };
  if (own && (!own->nonResident || !list)) return takeOwn();
  if (!list) return kSuccess;  // no such attribute

  // The attribute list names every extent of the attribute, the base record's own included.
  std::vector<std::uint8_t> listBytes;
  if (Result r = ReadListBytes(*list, listBytes); r != kSuccess && listBytes.empty()) return own ? takeOwn() : r;
  const bool sizesTaken = GatherListedExtents(listBytes, type, streamName, record, own, out);
  if (out.runs.empty() && own && own->nonResident) {
    // A list that leads nowhere: the base record's own runs are still good.
    (void)DecodeRunList(own->runs, own->lowestVcn, limits, out.runs);
  }
  if (!sizesTaken && out.found) {
    // No extent started at vcn 0: the sizes are what the runs cover.
    out.realSize = RunListEnd(out.runs) * ClusterBytes();
    out.initializedSize = out.realSize;
  }
  return kSuccess;
}

bool NtfsVolumeReader::GatherListedExtents(std::span<const std::uint8_t> listBytes, std::uint32_t type,
                                           std::span<const std::uint8_t> streamName,
                                           std::span<const std::uint8_t> record, const std::optional<Attribute>& own,
                                           NtfsDataStream& out) const {
  const RunDecodeLimits limits{clusterCount_, kMaxRunsPerAttribute};
  std::vector<std::uint8_t> extent(geometry_.recordSize);
  std::set<std::pair<std::uint64_t, std::uint64_t>> tried;  // (record, vcn) pairs already looked at
  std::size_t offset = 0;
  std::size_t extents = 0;
  bool sizesTaken = false;
  if (own) {
    TakeStreamSizes(*own, record, out);
    sizesTaken = own->lowestVcn == 0;
  }
  while (extents < kMaxAttributeExtents) {
    std::size_t next = 0;
    auto entry = ParseAttributeListEntry(listBytes, offset, next);
    if (!entry || next <= offset) break;
    offset = next;
    if (entry->type != type || entry->nameLength * 2u != streamName.size() || !SameName(entry->name, streamName))
      continue;
    ++extents;
    if (entry->lowestVcn < RunListEnd(out.runs)) continue;  // repeated or overlapping: already have it
    if (!tried.emplace(entry->recordReference, entry->lowestVcn).second) continue;
    std::optional<Attribute> found;
    std::span<const std::uint8_t> source;
    if (own && own->lowestVcn == entry->lowestVcn && own->nonResident) {
      found = own;
      source = record;
    } else {
      // An extension record names its base; one that names another is not this file's.
      RecordHeader extentHeader;
      if (ReadRecord(entry->RecordNumber(), extent, extentHeader) != kSuccess) continue;
      found = FindExtentIn(extent, extentHeader, type, streamName, entry->lowestVcn);
      source = extent;
    }
    if (!found) continue;
    if (!sizesTaken && found->lowestVcn == 0) {
      TakeStreamSizes(*found, source, out);
      sizesTaken = true;
    }
    out.found = true;
    out.resident = false;
    RunList runs;
    (void)DecodeRunList(found->runs, found->lowestVcn, limits, runs);
    (void)AppendExtent(out.runs, runs);
    if (out.runs.size() >= kMaxRunsPerAttribute) break;
  }
  return sizesTaken;
}

Result NtfsVolumeReader::ReadFileData(const NtfsDataStream& stream, std::uint64_t size,
                                      const NtfsDataSink& sink) const {
  if (!stream.found || size == 0) return kSuccess;
  if (stream.resident) {
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(size, stream.value.size()));
    for (const ByteRun& run : stream.residentRuns) {
      if (run.fileOffset >= take) break;
      NoteDataRun(ByteRun{run.fileOffset, run.imageOffset, std::min<std::uint64_t>(run.length, take - run.fileOffset), 0,
                          ByteRun::Kind::Resident});
    }
    return take == 0 ? kSuccess : sink(stream.value.data(), take);
  }
  if (source_ == nullptr) return kErrInvalidHandle;
  if (stream.Compressed()) return ReadCompressedData(stream, size, sink);
  const std::uint64_t clusterBytes = ClusterBytes();
  const std::uint32_t bps = geometry_.bytesPerSector;
  std::vector<std::uint8_t> piece;
  try {
    piece.resize(kNtfsDataPieceBytes);
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  const std::uint64_t initialized = std::min(stream.initializedSize, size);
  std::uint64_t done = 0;  // bytes of the file handed on; also its position
  for (const DataRun& run : stream.runs) {
    if (done >= size) break;
    // Runs follow one another without gaps (a gap was filled with a sparse run).
    std::uint64_t runStart = 0;
    if (__builtin_mul_overflow(run.vcn, clusterBytes, &runStart) || runStart != done) break;
    const std::uint64_t runBytes = std::min(run.length * clusterBytes, size - done);
    std::uint64_t inRun = 0;
    while (inRun < runBytes) {
      std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(kNtfsDataPieceBytes, runBytes - inRun));
      Result readResult = kSuccess;
      if (run.sparse || done >= initialized) {
        // Never allocated, or never written: zeros.
        std::memset(piece.data(), 0, take);
        NoteZeroFill(done, take);
      } else {
        take = static_cast<std::size_t>(std::min<std::uint64_t>(take, initialized - done));
        const std::uint32_t sectors = static_cast<std::uint32_t>((take + bps - 1) / bps);
        const std::uint64_t sector = run.lcn * geometry_.sectorsPerCluster + inRun / bps;
        std::uint32_t got = 0;
        readResult = ReadVolume(sector, sectors, piece.data(), &got);
        if (readResult != kSuccess) take = std::min<std::size_t>(take, std::size_t{got} * bps);
        NoteDataRead(done, (origin_ + sector) * bps, take);
      }
      if (take != 0) {
        if (Result verdict = sink(piece.data(), take); verdict != kSuccess) return verdict;
      }
      if (readResult != kSuccess) return readResult;
      inRun += take;
      done += take;
    }
  }
  return kSuccess;
}

Result NtfsVolumeReader::ReadCompressedData(const NtfsDataStream& stream, std::uint64_t size,
                                            const NtfsDataSink& sink) const {
  const std::uint64_t clusterBytes = ClusterBytes();
  if (stream.compressionShift >= 32 || (clusterBytes << stream.compressionShift) > kMaxCompressionUnitBytes)
    return kErrInvalidParameter;
  const std::uint64_t unitClusters = std::uint64_t{1} << stream.compressionShift;
  const std::size_t unitBytes = static_cast<std::size_t>(clusterBytes * unitClusters);
  std::vector<std::uint8_t> packed;
  std::vector<std::uint8_t> unit;
  try {
    packed.resize(unitBytes);
    unit.resize(unitBytes);
  } catch (const std::bad_alloc&) {
    return kErrNotEnoughMemory;
  }
  const RunList& runs = stream.runs;
  // Reads the first `clusters` clusters of the unit at vcn (all allocated) into dest; arrived gets
  // the bytes that came.
  auto readUnit = [&](std::uint64_t vcn, std::uint64_t clusters, std::uint8_t* dest, std::size_t& arrived) {
    arrived = 0;
    for (std::uint64_t c = 0; c < clusters;) {
      auto at = FindRun(runs, vcn + c);
      if (!at || runs[*at].sparse) return kErrInvalidParameter;
      const DataRun& r = runs[*at];
      const std::uint64_t count = std::min(clusters - c, r.vcn + r.length - (vcn + c));
      const std::uint64_t sector = (r.lcn + (vcn + c - r.vcn)) * geometry_.sectorsPerCluster;
      std::uint32_t got = 0;
      const Result res = ReadVolume(sector, static_cast<std::uint32_t>(count * geometry_.sectorsPerCluster),
                                    dest + c * clusterBytes, &got);
      arrived += std::size_t{got} * geometry_.bytesPerSector;
      if (res != kSuccess) return res;
      c += count;
    }
    return kSuccess;
  };

  const std::uint64_t initialized = std::min(stream.initializedSize, size);
  const std::uint64_t end = RunListEnd(runs);
  std::uint64_t done = 0;
  for (std::uint64_t vcn = 0; done < size && vcn < end; vcn += unitClusters) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(unitBytes, size - done));
    const std::uint64_t needed = (want + clusterBytes - 1) / clusterBytes;
    // The allocated clusters at the head of the unit, and whether a sparse run follows them.
    std::uint64_t allocated = 0;
    bool sparseTail = false;
    while (allocated < unitClusters) {
      auto at = FindRun(runs, vcn + allocated);
      if (!at || runs[*at].sparse) {
        sparseTail = at.has_value();
        break;
      }
      allocated = std::min(unitClusters, runs[*at].vcn + runs[*at].length - vcn);
    }
    Result verdict = kSuccess;
    std::size_t take = want;
    // Where the bytes handed on came from, for an observer of the recovery.
    const std::size_t written = done >= initialized ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(want, initialized - done));
    if (allocated == 0) {
      std::memset(unit.data(), 0, want);
      NoteZeroFill(done, take);
    } else if (allocated == unitClusters || (!sparseTail && allocated >= needed)) {
      // A unit allocated whole is stored as it is; so is a last unit whose runs end without the
      // sparse run that marks compressed data, where they hold all its bytes.
      std::size_t arrived = 0;
      verdict = readUnit(vcn, std::min(needed, allocated), unit.data(), arrived);
      if (verdict != kSuccess) take = std::min(take, arrived);
      const std::size_t read = std::min(take, written);
      NoteUnitRuns(runs, vcn, read, done, ByteRun::Kind::Data, 0);
      NoteZeroFill(done + read, take - read);
    } else {
      std::size_t arrived = 0;
      if (Result r = readUnit(vcn, allocated, packed.data(), arrived); r != kSuccess) return r;
      std::size_t produced = 0;
      verdict = DecompressLznt1(std::span(packed.data(), arrived), unit, produced);
      // What the chunks did not cover is zeros (also the rest of a unit that did not decompress).
      if (produced < want) std::memset(unit.data() + produced, 0, want - produced);
      NoteUnitRuns(runs, vcn, arrived, done, ByteRun::Kind::Compressed, take);
    }
    // Never written: zeros, whatever the clusters hold.
    if (done + take > initialized) {
      const std::size_t from = initialized > done ? static_cast<std::size_t>(initialized - done) : 0;
      std::memset(unit.data() + from, 0, take - from);
    }
    if (take != 0) {
      if (Result r = sink(unit.data(), take); r != kSuccess) return r;
    }
    if (verdict != kSuccess) return verdict;
    done += take;
  }
  return kSuccess;
}

void NtfsVolumeReader::NoteUnitRuns(const RunList& runs, std::uint64_t vcn, std::uint64_t bytes,
                                    std::uint64_t fileOffset, ByteRun::Kind kind, std::uint64_t unitBytes) const {
  if (CurrentFileObserver() == nullptr) return;
  const std::uint64_t clusterBytes = ClusterBytes();
  std::uint64_t noted = 0;
  // Every extent the bytes came from, in file order; a unit spans at most a few runs.
  while (noted < bytes) {
    auto at = FindRun(runs, vcn + noted / clusterBytes);
    if (!at || runs[*at].sparse) return;
    const DataRun& r = runs[*at];
    const std::uint64_t cluster = vcn + noted / clusterBytes;
    const std::uint64_t length = std::min(bytes - noted, (r.vcn + r.length - cluster) * clusterBytes);
    const std::uint64_t image = ((r.lcn + (cluster - r.vcn)) * geometry_.sectorsPerCluster + origin_) * geometry_.bytesPerSector;
    if (kind == ByteRun::Kind::Compressed) {
      NoteDataRun(ByteRun{fileOffset, image, length, unitBytes, kind});
    } else {
      NoteDataRead(fileOffset + noted, image, length);
    }
    noted += length;
  }
}

void NtfsVolumeReader::PlaceResidentValue(NtfsDataStream& stream, std::span<const std::uint8_t> record,
                                          std::uint64_t recordSector) const {
  stream.residentRuns.clear();
  if (!stream.found || !stream.resident || stream.value.empty() || record.size() < kRecUsaOffset + 2) return;
  const std::uint8_t* begin = record.data();
  const std::uint8_t* value = stream.value.data();
  // Only a value inside this record has a place that the record's sector tells.
  if (value < begin || value > begin + record.size() ||
      stream.value.size() > record.size() - static_cast<std::size_t>(value - begin))
    return;
  const std::uint64_t recordByte = recordSector * geometry_.bytesPerSector;
  const std::size_t usaOffset = LoadU16LE(begin + kRecUsaOffset);
  const std::size_t first = static_cast<std::size_t>(value - begin);
  const std::size_t end = first + stream.value.size();
  // The record was prepared from these bytes: the last word of stride i came from the array's
  // entry i + 1.
  for (std::size_t at = first; at < end;) {
    const std::size_t strideTail = (at / kFixupStride + 1) * kFixupStride - 2;
    std::size_t length = 0;
    std::uint64_t image = 0;
    if (at < strideTail) {
      length = std::min(end, strideTail) - at;
      image = recordByte + at;
    } else {
      length = std::min(end, strideTail + 2) - at;
      image = recordByte + usaOffset + 2 * (at / kFixupStride + 1) + (at - strideTail);
    }
    (void)AppendByteRun(stream.residentRuns, ByteRun{at - first, image, length, 0, ByteRun::Kind::Resident});
    at += length;
  }
}

std::int32_t NtfsVolumeReader::CheckContent(const NtfsDataStream& stream, std::string_view name,
                                            std::uint64_t recordSector) const {
  const std::string_view extension = ExtensionOf(name);
  if (stream.found && stream.resident && stream.value.empty()) return 0;
  if (extension.empty() || !stream.found || source_ == nullptr) return 1;
  // Unknown extensions pass the check anyway; they cost no read. Found files come in runs of one
  // type, so the last answer is kept.
  if (!EqualsNoCase(extension, lastExtension_)) {
    lastExtension_.assign(extension);
    lastExtensionKnown_ = FindFormatByExtension(extension) != nullptr;
  }
  if (!lastExtensionKnown_) return 1;
  // The first cluster of compressed data holds no signature to compare with.
  if (stream.Compressed()) return 1;
  std::array<std::uint8_t, kMaxRecordSize> sector{};
  const std::uint32_t bps = geometry_.bytesPerSector;
  if (stream.resident) {
    const std::size_t n = std::min<std::size_t>(stream.value.size(), bps);
    std::memcpy(sector.data(), stream.value.data(), n);
    return CheckSignatureByExtension(std::span(sector.data(), bps), extension, *source_,
                                     static_cast<std::int32_t>(bps), recordSector)
               ? 1
               : 0;
  }
  if (stream.runs.empty() || stream.runs.front().sparse) return 1;
  const std::uint64_t at = stream.runs.front().lcn * geometry_.sectorsPerCluster;
  if (ReadVolume(at, 1, sector.data(), nullptr) != kSuccess) return 1;
  return CheckSignatureByExtension(std::span(sector.data(), bps), extension, *source_, static_cast<std::int32_t>(bps),
                                   origin_ + at)
             ? 1
             : 0;
}

std::optional<std::uint64_t> NtfsVolumeReader::FirstDataByte(const NtfsDataStream& stream) const {
  if (!stream.found || stream.resident || stream.runs.empty()) return std::nullopt;
  const DataRun& run = stream.runs.front();
  if (run.sparse || run.vcn != 0 || run.lcn >= clusterCount_) return std::nullopt;
  // lcn < clusterCount_ keeps the product within the volume.
  const std::uint64_t sector = origin_ + run.lcn * geometry_.sectorsPerCluster;
  return sector * geometry_.bytesPerSector;
}

}  // namespace rexmoor
