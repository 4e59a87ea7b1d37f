// The quick NTFS engine: reads the whole master file table through $MFT's own data runs in large
// sequential chunks, catalogues every file record that is neither in use nor a folder, and then
// builds the folder chain above those files from their parent references; folders whose records no
// longer describe a folder become "LostFolder%d" folders in the root. A found file's data is read
// from its resident $DATA value or from the runs its record still describes. It also keeps the map
// of free clusters ($Bitmap) that the deep scan sweeps.
//
// Sector numbers it hands out (free runs, record locations, the partition start in records) count
// in the volume's own sector size from its boot sector, as the quick FAT engine's do. Nothing read
// from the volume is trusted: the geometry is whitelisted, every record and attribute is bounds-
// checked, run lists are clipped to the volume, and every chain and list walk is bounded.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/volume_recovery_base.h"
#include "formats/carving_context.h"
#include "formats/ntfs_record.h"
#include "ntfs/ntfs_folders.h"
#include "ntfs/ntfs_volume_reader.h"

namespace rexmoor {

// The MFT is read this many records per request.
inline constexpr std::size_t kMftChunkRecords = 1024;
// Estimates of the time left come at most this often.
inline constexpr std::uint32_t kNtfsEstimateIntervalMs = 5000;

class CFastNtfsRecovery final : public CVolumeRecoveryBase {
 public:
  CFastNtfsRecovery();
  ~CFastNtfsRecovery() override;

  Result BuildFreeSpaceMap() override;
  std::optional<std::uint64_t> FirstDataByte(const FoundFileRecord& record) override;

  // The volume once opened (null before).
  const NtfsVolumeReader* Volume() const { return IsOpen() ? &reader_ : nullptr; }
  // Records of the MFT the last scan read (diagnostics and the benchmark).
  std::uint64_t RecordsScanned() const { return recordsScanned_; }
  // Whether the free-space map marks the cluster as used (false before the map was built).
  bool IsClusterUsed(std::uint64_t cluster) const { return useMap_.IsUsed(cluster); }

 private:
  // Where the pass over the MFT stands.
  struct MftPass {
    std::uint64_t mftBytes = 0;
    std::uint64_t totalSectors = 0;
    std::uint32_t started = 0;
    std::uint32_t lastEstimate = 0;
    std::int32_t secondsLeft = -1;
    std::uint64_t sectorsDone = 0;
    std::uint64_t position = 0;    // bytes of the MFT passed so far
    std::uint64_t nextRecord = 0;  // number of the record that starts chunk_
    std::size_t filled = 0;        // bytes of chunk_ holding data not yet taken
    std::uint64_t skipBytes = 0;   // after a hole in the MFT: the rest of a record cut by it
  };

  Result Prepare(const VolumeOpening& volume) override;
  void ReleaseVolume() override;
  void ResetScanState() override;
  Result RunScan() override;
  std::uint32_t RootObject() const override { return kRootFolderRecord; }
  Result ReadItemData(const FoundFileRecord& record, std::uint64_t size, const ItemDataSink& sink) override;
  std::uint64_t ItemByteLimit(const FoundFileRecord& record) const override;

  // The scan.
  Result ReadMft();
  void SkipMftHole(std::uint64_t runBytes, MftPass& pass) const;
  Result ReadMftRun(std::uint64_t sector, std::uint64_t runBytes, MftPass& pass);
  // Takes the whole records at the front of chunk_ and keeps the cut one for the next read.
  void TakeChunkRecords(MftPass& pass);
  std::int32_t ReportMftProgress(MftPass& pass) const;
  void ProcessDeletedRecord(std::uint64_t number, std::span<std::uint8_t> record);
  void CatalogueFolders();
  std::uint64_t AbsoluteRecordSector(std::uint64_t number) const;

  // The record's data as its file record at locationSector describes it.
  Result LoadItemStream(const FoundFileRecord& record, NtfsDataStream& stream);

  NtfsGeometry geometry_;
  NtfsVolumeReader reader_;

  // Scan state.
  NtfsFolderChains chains_;
  std::vector<std::uint8_t> chunk_;       // kMftChunkRecords records
  std::vector<std::uint8_t> itemRecord_;  // one record, for writing out and preview
  NtfsDataStream scanStream_;
  std::uint64_t recordsScanned_ = 0;
};

}  // namespace rexmoor
