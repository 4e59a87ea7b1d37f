// Reading one NTFS volume through its master file table: where a record lies (through the MFT's
// own data runs), reading and preparing records, finding an attribute's runs also where an
// attribute list spreads them over extension records, writing out a file's data (resident value or
// runs, sparse runs as zeros) and the check of a file's first bytes against its name.
//
// The volume is described by its origin (the absolute sector of cluster 0), its geometry and its
// length; the quick engine has one reader for the volume it opened, the formatted engine one per
// MFT layout it meets. All sector numbers here count in the volume's own sector size; the ones
// handed in and out are absolute unless a name says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device/sector_source.h"
#include "engine/file_digest.h"
#include "formats/ntfs_record.h"
#include "formats/ntfs_runs.h"
#include "platform/result_codes.h"

namespace rexmoor {

// File data is moved in pieces of this size.
inline constexpr std::size_t kNtfsDataPieceBytes = 0x10000;
// An attribute list longer than this is damage (real ones hold a few hundred entries).
inline constexpr std::size_t kMaxAttributeListBytes = 1u << 20;
// Extension records followed for one attribute.
inline constexpr std::size_t kMaxAttributeExtents = 4096;
// A compression unit larger than this is damage (NTFS makes them 16 clusters of at most 4 KiB).
inline constexpr std::uint64_t kMaxCompressionUnitBytes = 1u << 20;
// Non-resident attribute header: u8, log2 of the clusters in a compression unit (0: none).
inline constexpr std::size_t kAttrCompressionUnit = 34;

// Where a file's data lies, as its record describes it.
struct NtfsDataStream {
  bool found = false;
  bool resident = false;
  std::span<const std::uint8_t> value;  // resident: inside the record it was found in
  RunList runs;                         // non-resident
  std::uint64_t realSize = 0;
  std::uint64_t initializedSize = 0;
  std::uint16_t flags = 0;
  std::uint8_t compressionShift = 0;  // non-resident: log2 of the clusters per compression unit
  // Resident: where the value's bytes lie on the medium, in order (PlaceResidentValue): the value
  // itself, except the last word of each 512-byte stride of the record, which the record keeps
  // in its update sequence array. Empty when the record's place is not known.
  std::vector<ByteRun> residentRuns;

  // Data stored LZNT1-compressed, unit by unit (encrypted data is written out as it lies).
  bool Compressed() const {
    return found && !resident && (flags & kAttrFlagCompressed) != 0 && (flags & kAttrFlagEncrypted) == 0 &&
           compressionShift != 0;
  }
};

// Receives the pieces of a file's data in order; a non-zero result stops the reading.
using NtfsDataSink = std::function<Result(const std::uint8_t* data, std::size_t length)>;

class NtfsVolumeReader {
 public:
  NtfsVolumeReader() = default;

  // Describes the volume: origin is the absolute sector of cluster 0, volumeSectors how many
  // sectors from there may be read. The source is not owned and must outlive the reader.
  void Reset(const SectorSource* source, const NtfsGeometry& geometry, std::uint64_t origin,
             std::uint64_t volumeSectors);
  bool Ready() const { return source_ != nullptr; }
  // Refuses reads before an absolute sector: a volume whose origin lies before the partition being
  // read, where only the partition may be read.
  void LimitReadsFrom(std::uint64_t absoluteSector) {
    readableFrom_ = absoluteSector > origin_ ? absoluteSector - origin_ : 0;
  }

  const NtfsGeometry& Geometry() const { return geometry_; }
  std::uint64_t Origin() const { return origin_; }
  std::uint64_t VolumeSectors() const { return volumeSectors_; }
  std::uint64_t ClusterCount() const { return clusterCount_; }
  std::uint64_t ClusterBytes() const { return geometry_.ClusterBytes(); }
  std::uint64_t VolumeBytes() const { return volumeSectors_ * geometry_.bytesPerSector; }
  const SectorSource* Source() const { return source_; }

  // Reads count sectors at a volume-relative sector; refused (87) when any of them lies outside
  // the volume or before the sector reads are limited to. got receives the whole sectors that
  // arrived; a short read gives 30.
  Result ReadVolume(std::uint64_t sector, std::uint32_t count, std::uint8_t* buffer, std::uint32_t* got) const;

  // The MFT: its runs as $MFT (record 0, at the boot sector's MFT cluster) describes them,
  // extension records included, bounded by the volume and by $MFT's size. Without them nothing
  // can be located and the scan finds nothing.
  Result LoadMftRuns();
  void SetMftRuns(RunList runs, std::uint64_t mftBytes);
  const RunList& MftRuns() const { return mftRuns_; }
  std::uint64_t MftRecordCount() const { return mftRecords_; }

  // Volume-relative sector of the first sector of record n, or nothing when no run holds it.
  std::optional<std::uint64_t> RecordSector(std::uint64_t number) const;
  // Reads and prepares record n; each of its sectors is located through the runs, so a record
  // split between two runs still reads whole. buffer must hold a record.
  Result ReadRecord(std::uint64_t number, std::span<std::uint8_t> buffer, RecordHeader& header) const;
  // Reads and prepares the record at an absolute sector.
  Result ReadRecordAt(std::uint64_t absoluteSector, std::span<std::uint8_t> buffer, RecordHeader& header) const;

  // The first attribute of a type in a prepared base record, unnamed or with the given UTF-16LE
  // name, with its runs gathered from every extent that the record's attribute list names (the
  // list may be resident or not).
  Result FindStream(std::span<const std::uint8_t> record, const RecordHeader& header, std::uint32_t type,
                    NtfsDataStream& out, std::span<const std::uint8_t> streamName = {}) const;
  // The data of a found file: the unnamed $DATA for stream 0, else its named stream of that number
  // (NamedDataStreams); 87 when the record has no such stream.
  Result FindDataStream(std::span<const std::uint8_t> record, const RecordHeader& header, std::uint16_t stream,
                        NtfsDataStream& out) const;

  // Hands a file's data to sink: the resident value, or the runs in order with sparse runs and
  // bytes past the initialized size as zeros; never more than size bytes in all. A read that
  // yields nothing gives 30; a piece that arrived in part is handed on before the error returns.
  // Compressed data is read a compression unit at a time: allocated clusters followed by sparse
  // ones hold LZNT1 data (a unit that does not decompress gives 23, after what it did yield), a
  // unit allocated whole is stored as it is, one with none allocated is zeros.
  Result ReadFileData(const NtfsDataStream& stream, std::uint64_t size, const NtfsDataSink& sink) const;
  // Notes where a resident value lies: the record was read whole from the consecutive sectors at
  // recordSector (absolute) into record, which the value points into.
  void PlaceResidentValue(NtfsDataStream& stream, std::span<const std::uint8_t> record,
                          std::uint64_t recordSector) const;
  // Byte offset on the medium where the data's first run begins; nothing for resident data or a
  // first run that is sparse or lies outside the volume.
  std::optional<std::uint64_t> FirstDataByte(const NtfsDataStream& stream) const;

  // contentState of a found file: 0 when its data is empty (resident) or its first sector fails
  // the check for its extension, else 1. recordSector is the record's absolute sector, where a
  // resident value lies.
  std::int32_t CheckContent(const NtfsDataStream& stream, std::string_view name, std::uint64_t recordSector) const;

 private:
  Result ReadListBytes(const Attribute& list, std::vector<std::uint8_t>& bytes) const;
  // Adds the runs of every extent the attribute list names for the type; returns whether the
  // sizes of the first extent (vcn 0) were taken.
  bool GatherListedExtents(std::span<const std::uint8_t> listBytes, std::uint32_t type,
                           std::span<const std::uint8_t> streamName, std::span<const std::uint8_t> record,
                           const std::optional<Attribute>& own, NtfsDataStream& out) const;
  Result ReadRuns(const RunList& runs, std::uint64_t bytes, std::vector<std::uint8_t>& out) const;
  Result ReadCompressedData(const NtfsDataStream& stream, std::uint64_t size, const NtfsDataSink& sink) const;
  // Tells the recovery's observer where the bytes of one compression unit at vcn lay: stored
  // (Data, bytes of the file from fileOffset) or compressed (Compressed: bytes on the medium that
  // gave unitBytes of the file).
  void NoteUnitRuns(const RunList& runs, std::uint64_t vcn, std::uint64_t bytes, std::uint64_t fileOffset,
                    ByteRun::Kind kind, std::uint64_t unitBytes) const;

  const SectorSource* source_ = nullptr;
  NtfsGeometry geometry_;
  std::uint64_t origin_ = 0;
  std::uint64_t volumeSectors_ = 0;
  std::uint64_t readableFrom_ = 0;  // volume-relative
  std::uint64_t clusterCount_ = 0;
  RunList mftRuns_;
  std::uint64_t mftRecords_ = 0;
  // The last extension CheckContent looked up in the format table, and whether it was there.
  mutable std::string lastExtension_;
  mutable bool lastExtensionKnown_ = false;
};

}  // namespace rexmoor
