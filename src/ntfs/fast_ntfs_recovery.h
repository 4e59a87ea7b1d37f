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

#include "formats/carving_context.h"
#include "device/sector_source.h"
#include "engine/file_recovery_parse.h"
#include "engine/volume_open.h"
#include "engine/scan_catalogue.h"
#include "ntfs/ntfs_folders.h"
#include "formats/ntfs_record.h"
#include "ntfs/ntfs_volume_reader.h"

namespace rexmoor {

// Bytes of the boot area read when a volume is opened.
inline constexpr std::size_t kNtfsBootAreaBytes = kVolumeBootAreaBytes;
// The MFT is read this many records per request.
inline constexpr std::size_t kMftChunkRecords = 1024;
// Estimates of the time left come at most this often.
inline constexpr std::uint32_t kNtfsEstimateIntervalMs = 5000;

class CFastNtfsRecovery final : public IFileRecoveryParse {
 public:
  CFastNtfsRecovery();
  ~CFastNtfsRecovery() override;
  CFastNtfsRecovery(const CFastNtfsRecovery&) = delete;
  CFastNtfsRecovery& operator=(const CFastNtfsRecovery&) = delete;

  Result OpenImageFile(const std::string& imagePath, std::uint16_t sourceTag) override;
  Result OpenDisk(std::int32_t driveNumber, std::uint64_t startSector, std::uint64_t sectorCount,
                  std::uint16_t sourceTag) override;
  Result SetCallbacks(ScanProgressCallback scanCallback, FileProgressCallback fileCallback, void* userData,
                      std::int32_t weight) override;
  Result Scan(const char* logName) override;
  Result GetChildren(const FoundFileRecord* folder, std::int32_t level, RecordList& out) override;
  Result CountFiles(const FoundFileRecord* folder, std::int32_t level, std::int32_t* count) override;
  std::uint64_t GetFoundCount() override;
  Result GetFolderPath(const FoundFileRecord* record, std::string& out) override;
  Result RecoverItem(const FoundFileRecord* record, const std::string& destination, std::int32_t levelBase) override;
  std::int32_t GetNextFreeRange(std::uint64_t* start, std::uint64_t* length) override;
  Result SetFilterCallback(FilterProgressCallback callback, void* userData) override;
  std::int32_t FilterByType(const std::string& extensions, RecordList& out) override;
  Result BuildFreeSpaceMap() override;
  Result ExtractForPreview(const FoundFileRecord* record, std::string& outPath, std::uint8_t* buffer,
                           std::uint32_t* byteCount, PreviewProgressCallback callback, void* userData) override;

  // The volume once opened (null before).
  const NtfsVolumeReader* Volume() const { return open_ ? &reader_ : nullptr; }
  // The partition start in volume sectors, as records carry it.
  std::uint64_t PartitionBase() const { return partitionBase_; }
  // Records of the MFT the last scan read (diagnostics and the benchmark).
  std::uint64_t RecordsScanned() const { return recordsScanned_; }
  // Whether the free-space map marks the cluster as used (false before the map was built).
  bool IsClusterUsed(std::uint64_t cluster) const;

 private:
  Result Prepare(std::span<const std::uint8_t> bootArea, std::uint64_t mediumBytes, std::uint64_t startByte,
                 std::uint64_t lengthBytes);
  void Reset();
  std::int32_t Report(std::int32_t progress, std::int32_t secondsLeft);

  // The scan.
  Result ReadMft();
  void ProcessDeletedRecord(std::uint64_t number, std::span<std::uint8_t> record);
  void CatalogueFolders();
  std::uint64_t AbsoluteRecordSector(std::uint64_t number) const;

  // Writing out and preview: the record's data as its file record at locationSector describes it.
  Result LoadItemStream(const FoundFileRecord& record, NtfsDataStream& stream);
  Result WriteNtfsItemData(const FoundFileRecord& record, const std::string& destination, std::int32_t levelBase);
  std::uint64_t KeyObject(const FoundFileRecord* folder) const;

  ScratchBufferLease scratchLease_;
  SectorSource source_;
  bool open_ = false;
  std::uint64_t partitionStartSector_ = 0;  // as given by the caller, in medium sectors
  std::uint64_t partitionBase_ = 0;         // the same in volume sectors
  std::uint64_t volumeSectors_ = 0;         // partition length in volume sectors
  std::uint16_t sourceTag_ = 0;
  NtfsGeometry geometry_;
  NtfsVolumeReader reader_;

  ScanCatalogue catalogue_;
  ScanProgressCallback scanCallback_ = nullptr;
  FileProgressCallback fileCallback_ = nullptr;
  void* userData_ = nullptr;
  std::int32_t weight_ = 100;
  FilterProgressCallback filterCallback_ = nullptr;
  void* filterUserData_ = nullptr;

  // Scan state.
  NtfsFolderChains chains_;
  std::vector<std::uint8_t> chunk_;       // kMftChunkRecords records
  std::vector<std::uint8_t> itemRecord_;  // one record, for writing out and preview
  NtfsDataStream scanStream_;
  std::uint64_t recordsScanned_ = 0;

  // Free-space map ($Bitmap): bit k for cluster k.
  std::vector<std::uint8_t> bitmap_;
  std::uint64_t mapClusters_ = 0;
  bool mapBuilt_ = false;
};

}  // namespace rexmoor
