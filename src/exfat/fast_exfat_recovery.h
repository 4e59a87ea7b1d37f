// The quick exFAT engine: walks the live folder tree of an exFAT volume breadth-first from the
// root and catalogues every deleted file, every file inside a deleted folder, and the folders on
// the way to them. Entry sets are judged by their checksum and name hash, so only sets that are
// whole are listed. A NoFatChain stream's data runs contiguously from its first cluster; a
// chained one follows its FAT chain where that chain is still whole and fits the file's size,
// and otherwise (deleting clears the chain) runs from its first cluster through the clusters the
// bitmap shows free. The allocation bitmap also gives the free clusters the deep scan sweeps and
// tells which deleted files have had their clusters handed out again.
//
// Records of this engine:
//   objectNumber    the first cluster of the file's (or folder's) data; 0 when it has none
//   extra           the stream's GeneralSecondaryFlags (bit 1: NoFatChain)
//   dataAreaSector  the stream's ValidDataLength: bytes past it read as zeros
//   locationSector  the sector of the set's File entry (medium-absolute, volume sector size)
//   size            the stream's DataLength
//   times           FILETIME in UTC (the stamp's own UTC offset applied when it has one)
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/volume_recovery_base.h"
#include "formats/exfat_dir_entry.h"
#include "formats/exfat_layout.h"

namespace rexmoor {

// No folder is read past this many bytes (a folder holds at most 2^23 entries of 32 bytes).
inline constexpr std::uint64_t kExfatMaxFolderBytes = 256ull << 20;
// The up-case table is at most 128 KiB (one unit per UTF-16 code point, uncompressed).
inline constexpr std::uint64_t kExfatMaxUpcaseBytes = 128ull << 10;
// The bitmap of more clusters than this is not held (64 MiB of bits).
inline constexpr std::uint64_t kExfatMaxBitmapBytes = 64ull << 20;

class CFastExfatRecovery final : public CVolumeRecoveryBase {
 public:
  CFastExfatRecovery();
  ~CFastExfatRecovery() override;

  Result BuildFreeSpaceMap() override;
  std::optional<std::uint64_t> FirstDataByte(const FoundFileRecord& record) override;

  // The volume's geometry once opened (null before).
  const ExfatLayout* Layout() const { return IsOpen() ? &layout_ : nullptr; }
  // Whether the allocation bitmap marks a cluster as in use (false when it could not be read).
  bool BitmapSaysUsed(std::uint32_t cluster) const;
  // Whether the volume's own up-case table was loaded (name hashes of any script are checked).
  bool UpcaseLoaded() const { return upcase_.Loaded(); }

 private:
  // A run of consecutive clusters.
  struct Run {
    std::uint32_t first = 0;
    std::uint32_t count = 0;
  };
  struct FolderSeen {
    FoundFileRecord record;
    std::uint32_t parent = 0;
    std::uint64_t dataLength = 0;
    bool noFatChain = false;
  };

  Result Prepare(const VolumeOpening& volume) override;
  void ReleaseVolume() override;
  void ResetScanState() override;
  Result RunScan() override;
  std::uint32_t RootObject() const override { return layout_.rootCluster; }
  Result ReadItemData(const FoundFileRecord& record, std::uint64_t size, const ItemDataSink& sink) override;
  std::uint64_t ItemByteLimit(const FoundFileRecord& record) const override;
  Result CheckItemReadable(const FoundFileRecord& record) const override;

  // The boot region: the main one when whole, else the backup.
  Result ReadLayout(const VolumeOpening& volume, ExfatLayout& layout);
  // The bitmap and the up-case table, as the root folder's entries name them.
  void LoadRootTables();

  // The FAT entry of a cluster, through a window over the active FAT.
  Result ReadFatEntry(std::uint32_t cluster, std::uint32_t& entry);
  // The clusters of a stream: contiguous when noFatChain; otherwise its FAT chain when that chain
  // is whole for the size (clusters valid, end-of-chain after the last, no loop), else contiguous
  // from the first cluster. Runs stop at the cluster heap's end; *clipped says that they did.
  std::vector<Run> StreamRuns(std::uint32_t first, std::uint64_t bytes, bool noFatChain, bool* clipped = nullptr);
  // The FAT chain from first, as far as it is sound, at most maxClusters long; *ended says that it
  // closed with an end-of-chain mark.
  std::vector<Run> ChainRuns(std::uint32_t first, std::uint64_t maxClusters, bool* ended);
  // Reads the clusters of runs into out, at most maxBytes.
  Result ReadRuns(const std::vector<Run>& runs, std::uint64_t maxBytes, std::vector<std::uint8_t>& out);
  // Whether any cluster of the runs is marked in use by the bitmap.
  bool AnyInUse(const std::vector<Run>& runs) const;

  // The walk (exfat_folder_walk.cpp).
  void WalkFolder(std::uint32_t cluster);
  void WalkEntries(std::span<const std::uint8_t> bytes, const std::vector<Run>& runs, std::uint32_t folder,
                   bool inDeleted);
  // Sector of the byte at offset within a folder read from runs.
  std::uint64_t SectorOfFolderByte(const std::vector<Run>& runs, std::uint64_t offset) const;
  FoundFileRecord SetRecord(const ExfatEntrySet& set, bool isFolder, bool deleted, std::uint64_t entrySector) const;
  void NoteSubFolder(const ExfatEntrySet& set, std::uint64_t entrySector, std::uint32_t parent, bool inDeleted);
  void CatalogueFile(const ExfatEntrySet& set, std::uint64_t entrySector, std::uint32_t parent, bool inDeleted);
  void NoteFolderWithFind(std::uint32_t folder);
  std::uint32_t FolderDepth(std::uint32_t folder) const;
  void CatalogueFoldersWithFinds();

  ExfatLayout layout_;
  ExfatUpcase upcase_;
  std::vector<std::uint8_t> bitmap_;  // bit k: cluster k + 2 in use; empty when unreadable
  std::uint32_t bitmapClusters_ = 0;  // clusters the bitmap covers

  // The FAT window.
  std::vector<std::uint8_t> fatWindow_;
  std::uint64_t fatWindowSector_ = 0;  // FAT-relative first sector of the window
  std::uint32_t fatWindowSectors_ = 0; // sectors of the window that hold FAT data

  // Scan state.
  std::map<std::uint32_t, FolderSeen> folderRecords_;
  std::deque<std::uint32_t> pendingFolders_;
  std::vector<std::uint32_t> foldersWithFinds_;
  std::unordered_set<std::uint32_t> foldersWithFindsSet_;
  std::unordered_set<std::uint32_t> walkedFolders_;
  std::uint64_t clusterBudget_ = 0;  // folder clusters the scan may still read
  std::vector<std::uint8_t> folderBytes_;
};

}  // namespace rexmoor
