// The formatted NTFS engine: recovers the files of NTFS volumes that the current file system no
// longer leads to, for example after a format that wrote a new master file table over the old
// volume. It reads no MFT from start to end: the deep scan sweeps the medium and hands it every
// file record ("FILE", not a folder) wherever it lies. Each record is tied to the MFT it belongs
// to, found as the run list of some "$MFT" record met on the medium (or of the current volume's,
// from its boot sector); that layout gives the record's volume origin, the cluster size its data
// runs count in, and where its parent folders' records lie. Records of an MFT whose "$MFT" record
// was never met are taken to belong to a contiguous MFT at the partition start's volume.
//
// Sectors handed in and out are absolute on the medium, in its sector size. Every record is
// bounds-checked by the shared NTFS code; the layouts, the assumed MFTs and the folder chains
// are capped, and nothing beyond the partition is read.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <span>
#include <vector>

#include "engine/volume_recovery_base.h"
#include "formats/carving_context.h"
#include "formats/ntfs_record.h"
#include "ntfs/ntfs_folders.h"
#include "ntfs/ntfs_volume_reader.h"

namespace rexmoor {

// The partition's cluster size, as a format would choose it for its size, before any record
// tells better.
std::uint32_t EstimateNtfsSectorsPerCluster(std::uint64_t partitionSectors, std::uint32_t sectorSize);

struct FormattedNtfsLimits {
  std::size_t layouts = 256;          // "$MFT" records met
  std::size_t assumedLayouts = 1024;  // MFTs only guessed from where records lie
};

class CProfessionalNtfsRecovery final : public CVolumeRecoveryBase {
 public:
  CProfessionalNtfsRecovery();
  ~CProfessionalNtfsRecovery() override;

  // Scanning is driven by the deep scan; there is no free-space map.
  Result Scan(const char* logName) override;
  Result BuildFreeSpaceMap() override { return kSuccess; }
  std::int32_t GetNextFreeRange(std::uint64_t*, std::uint64_t*) override { return 0; }

  // Forgets the folders of an earlier sweep and opens the named catalogue, or a new one.
  Result BeginNtfsCatalogue(const char* logName);
  // A file record of recordSize bytes found at an absolute sector. 87 for a record that fails the
  // checks; -1 for one that is not a file record.
  Result TakeFileRecord(std::span<const std::uint8_t> record, std::uint64_t sector);
  // Catalogues the folders above the finds; also after a cancelled sweep.
  Result FinishNtfsSweep();
  // The data runs of a found file's record, as the de-duplication of the deep scan compares them.
  Result ReadRecordRuns(const FoundFileRecord& record, RunList& out);
  std::optional<std::uint64_t> FirstDataByte(const FoundFileRecord& record) override;

  void SetLimits(const FormattedNtfsLimits& limits) { limits_ = limits; }
  std::uint32_t RecordSize() const { return recordSize_; }
  std::uint32_t SectorsPerCluster() const { return sectorsPerCluster_; }
  // The layouts known: the absolute sector of each MFT's record 0, with its volume's origin.
  struct LayoutInfo {
    std::uint64_t mftSector = 0;
    std::uint64_t origin = 0;
    std::uint32_t sectorsPerCluster = 0;
    bool assumed = false;
  };
  std::vector<LayoutInfo> Layouts() const;

 private:
  struct MftLayout {
    NtfsVolumeReader reader;
    NtfsFolderChains chains;
    bool assumed = false;
  };

  Result Prepare(const VolumeOpening& volume) override;
  void ResetScanState() override {}
  Result RunScan() override { return kSuccess; }
  std::uint32_t RootObject() const override { return kRootFolderRecord; }
  Result ReadItemData(const FoundFileRecord& record, std::uint64_t size, const ItemDataSink& sink) override;
  std::uint64_t ItemByteLimit(const FoundFileRecord& record) const override;

  // Layouts.
  // The layout's folder chains, empty, reading records through its MFT.
  void ResetChains(MftLayout& layout) const;
  NtfsGeometry GeometryWith(std::uint32_t sectorsPerCluster, std::uint64_t mftCluster) const;
  // runs: the MFT's runs as a copy of its record gives them (else they are read from its record 0).
  void RegisterLayout(std::uint64_t origin, const NtfsGeometry& geometry, bool assumed,
                      const RunList* runs = nullptr);
  void RegisterMftRecord(std::span<const std::uint8_t> record, const RecordHeader& header, std::uint64_t sector);
  // Where record 1 ($MFTMirr) of the MFT whose record 0 lies at sector says the mirror lies.
  std::optional<std::uint64_t> MirrorCluster(std::uint64_t origin, const NtfsGeometry& geometry, std::uint64_t sector);
  bool HoldsMftRecord(std::uint64_t sector);
  MftLayout* LayoutOf(std::uint32_t number, std::uint64_t sector);
  MftLayout* AssumedLayout(std::uint32_t number, std::uint64_t sector);
  bool ContinuesMft(MftLayout& layout, std::uint32_t number, std::uint64_t sector);
  // The record's unnamed non-resident $DATA with its runs and their clusters; nothing when resident.
  std::optional<Attribute> NonResidentData(std::span<const std::uint8_t> record, const RecordHeader& header,
                                           RunList& runs, std::uint64_t& clusters) const;
  void RefineClusterSize(std::span<const std::uint8_t> record, const RecordHeader& header);
  // A reader for a found record's volume: its layout's, or one made from the record's fields.
  const NtfsVolumeReader* ReaderFor(const FoundFileRecord& record, NtfsVolumeReader& scratch) const;
  // The record's data as its file record at locationSector describes it, and the reader of its volume.
  Result LoadItemStream(const FoundFileRecord& record, NtfsVolumeReader& scratch, const NtfsVolumeReader*& reader,
                        NtfsDataStream& stream);
  std::uint64_t PartitionEnd() const { return partitionBase_ + volumeSectors_; }

  FormattedNtfsLimits limits_;
  std::uint32_t recordSize_ = 1024;
  std::uint32_t sectorsPerRecord_ = 2;
  std::uint32_t sectorsPerCluster_ = 8;
  // Keyed by the absolute sector of the layout's record 0.
  std::map<std::uint64_t, std::unique_ptr<MftLayout>> layouts_;
  std::size_t realLayouts_ = 0;
  std::size_t assumedLayouts_ = 0;
  bool saidLayouts_ = false;
  std::vector<std::uint8_t> record_;
  std::vector<std::uint8_t> itemRecord_;
  NtfsDataStream stream_;
};

}  // namespace rexmoor
