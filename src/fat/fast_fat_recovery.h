// The quick FAT engine: walks the live directory tree of a FAT12/16/32 volume breadth-first from
// the root and catalogues every deleted file, every file inside a deleted folder, and the folders
// on the way to them. A found file's data is taken to follow its FAT chain while there is one, and
// to run on through consecutive free clusters where the chain was cleared. It also keeps the map
// of free clusters that the deep scan sweeps.
//
// Sector numbers it hands out (free runs, record locations, the partition start in records) count
// in the volume's own sector size from its boot sector, which is the medium's on every ordinary
// volume. Nothing read from the volume is trusted: the boot sector is checked before use, every
// cluster number against the volume, and every chain and parent walk is bounded.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "formats/carving_context.h"
#include "device/sector_source.h"
#include "engine/file_recovery_parse.h"
#include "engine/volume_open.h"
#include "engine/scan_catalogue.h"
#include "formats/fat_dir_entry.h"
#include "formats/fat_layout.h"

namespace rexmoor {

// Bytes of the boot area read when a volume is opened.
inline constexpr std::size_t kFatBootAreaBytes = kVolumeBootAreaBytes;
// The cache of the first FAT: one window of at most this many bytes.
inline constexpr std::size_t kFatWindowBytes = 0x1000000;
// A folder holds at most 65,536 entries; no walk reads more of one.
inline constexpr std::uint64_t kMaxFolderBytes = 65536ull * 32;
// Progress reports during the walk come at most this often.
inline constexpr std::uint32_t kScanReportIntervalMs = 5000;

class CFastFatRecovery final : public IFileRecoveryParse {
 public:
  CFastFatRecovery();
  ~CFastFatRecovery() override;
  CFastFatRecovery(const CFastFatRecovery&) = delete;
  CFastFatRecovery& operator=(const CFastFatRecovery&) = delete;

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

  // The volume's geometry once opened (null before).
  const FatLayout* Layout() const { return open_ ? &layout_ : nullptr; }
  // The catalogue's key of the root folder: the FAT32 root cluster, 0 on FAT12/16.
  std::uint32_t RootKey() const { return layout_.rootCluster; }
  // The entry of a cluster as the engine reads it (through its FAT window).
  Result ReadFatEntry(std::uint32_t cluster, std::uint32_t& entry);
  // The cluster after c in a file's data, or 0 when there is none: the FAT's link, else, where
  // the entry was cleared, c + 1 when that cluster's entry is clear too.
  std::uint32_t NextClusterOf(std::uint32_t cluster);
  // Whether the free-space map marks the cluster as used (false before the map was built).
  bool IsClusterUsed(std::uint32_t cluster) const;

 private:
  struct FolderSeen {
    FoundFileRecord record;
    std::uint32_t parent = 0;
  };

  Result Prepare(std::span<const std::uint8_t> bootArea, std::uint64_t mediumBytes, std::uint64_t startByte,
                 std::uint64_t lengthBytes);
  void Reset();
  // Reads count volume sectors at a volume-relative sector; outRead gets the whole sectors that
  // arrived.
  Result ReadVolume(std::uint64_t sector, std::uint32_t count, std::uint8_t* buffer, std::uint32_t* outRead);
  Result LoadFatWindow(std::uint64_t firstFatSector);
  std::uint64_t AbsoluteSector(std::uint64_t volumeSector) const { return partitionBase_ + volumeSector; }
  std::int32_t ReportScan(std::int32_t progress, std::int32_t secondsLeft);

  // The walk.
  void WalkFolder(std::uint32_t cluster);
  void CatalogueFile(const DirEntry& entry, std::span<const std::uint8_t> raw, const std::string& name,
                     std::uint64_t entrySector, std::uint32_t parent, bool inDeleted);
  void NoteFolderWithFind(std::uint32_t folder);
  std::uint32_t CountParentDepth(std::uint32_t cluster);
  // Both searches are remembered for the scan: many entries may share a low word.
  std::uint16_t FindFolderHighWord(std::uint16_t lowWord);
  std::uint16_t SearchFolderHighWord(std::uint16_t lowWord);
  std::uint16_t FindFileHighWord(const std::string& name, std::uint16_t lowWord);
  bool FirstSectorOf(std::uint32_t cluster, std::vector<std::uint8_t>& sector);
  std::int32_t CheckContentByExtension(const FoundFileRecord& record);
  bool ContentMatches(std::span<const std::uint8_t> sector, std::string_view extension, std::uint64_t volumeSector);

  // Writing out and preview.
  Result WriteItemData(const FoundFileRecord& record, const std::string& destination, std::int32_t levelBase);
  // The most bytes a file starting at the record's cluster can occupy on this volume.
  std::uint64_t ReachableBytes(const FoundFileRecord& record) const;
  // Walks a file's data from its first cluster, handing each piece to sink; stops when size bytes
  // were produced, the chain ends, or sink returns non-zero.
  template <typename Sink>
  Result ReadFileData(const FoundFileRecord& record, std::uint64_t size, Sink&& sink);

  ScratchBufferLease scratchLease_;
  SectorSource source_;
  bool open_ = false;
  std::uint64_t partitionStartSector_ = 0;  // as given by the caller, in medium sectors
  std::uint64_t partitionBase_ = 0;         // the same in volume sectors
  std::uint64_t volumeSectors_ = 0;         // partition length in volume sectors
  std::uint16_t sourceTag_ = 0;
  std::int32_t sectorSize_ = 512;
  FatLayout layout_;

  std::vector<std::uint8_t> fatWindow_;
  std::uint64_t windowStartSector_ = 0;  // FAT-relative sector of the window's first byte
  std::size_t windowBytes_ = 0;          // bytes of the window that hold FAT data

  ScanCatalogue catalogue_;
  ScanProgressCallback scanCallback_ = nullptr;
  FileProgressCallback fileCallback_ = nullptr;
  void* userData_ = nullptr;
  std::int32_t weight_ = 100;
  FilterProgressCallback filterCallback_ = nullptr;
  void* filterUserData_ = nullptr;

  // Scan state.
  std::map<std::uint32_t, FolderSeen> folderRecords_;
  std::deque<std::uint32_t> pendingFolders_;
  std::vector<std::uint32_t> foldersWithFinds_;
  std::unordered_set<std::uint32_t> foldersWithFindsSet_;
  std::unordered_set<std::uint32_t> walkedFolders_;
  std::unordered_map<std::uint32_t, std::uint32_t> depthCache_;
  std::unordered_map<std::uint16_t, std::uint16_t> folderHighWords_;
  std::unordered_map<std::string, std::uint16_t> fileHighWords_;
  std::uint64_t blockBudget_ = 0;  // directory blocks the scan may still read
  std::vector<std::uint8_t> blockBuffer_;
  std::vector<std::uint8_t> sectorBuffer_;

  // Free-space map: bit k for cluster k + 2.
  std::vector<std::uint8_t> clusterUseMap_;
  std::uint64_t mapClusters_ = 0;
  bool mapBuilt_ = false;
};

}  // namespace rexmoor
