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
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/volume_recovery_base.h"
#include "fat/fat_table.h"
#include "formats/carving_context.h"
#include "formats/fat_dir_entry.h"
#include "formats/fat_layout.h"

namespace rexmoor {

// The root of a FAT12/16 volume is read in blocks of this size.
inline constexpr std::uint32_t kRootBlockBytes = 16384;
// A folder holds at most 65,536 entries; no walk reads more of one.
inline constexpr std::uint64_t kMaxFolderBytes = 65536ull * 32;

class CFastFatRecovery final : public CVolumeRecoveryBase {
 public:
  CFastFatRecovery();
  ~CFastFatRecovery() override;

  Result BuildFreeSpaceMap() override;
  std::optional<std::uint64_t> FirstDataByte(const FoundFileRecord& record) override;

  // The volume's geometry once opened (null before).
  const FatLayout* Layout() const { return IsOpen() ? &layout_ : nullptr; }
  // The entry of a cluster as the engine reads it (through its FAT window).
  Result ReadFatEntry(std::uint32_t cluster, std::uint32_t& entry) { return fat_.ReadEntry(cluster, entry); }
  // Whether the free-space map marks the cluster as used (false before the map was built).
  bool IsClusterUsed(std::uint32_t cluster) const { return useMap_.IsUsed(cluster); }

 private:
  struct FolderSeen {
    FoundFileRecord record;
    std::uint32_t parent = 0;
  };
  // Where a folder walk stands: the folder it catalogues into, and how its blocks are found.
  struct FolderWalk {
    std::uint32_t parent = 0;     // the folder's own cluster, as its "." entry gives it
    bool knownSubFolder = false;  // reached through an entry of a walked folder
    bool inDeleted = false;       // inside a deleted folder: every file is found
    LongNameAssembler longName;
  };

  Result Prepare(const VolumeOpening& volume) override;
  void ReleaseVolume() override;
  void ResetScanState() override;
  Result RunScan() override;
  std::uint32_t RootObject() const override { return layout_.rootCluster; }
  Result ReadItemData(const FoundFileRecord& record, std::uint64_t size, const ItemDataSink& sink) override;
  std::uint64_t ItemByteLimit(const FoundFileRecord& record) const override;
  Result CheckItemReadable(const FoundFileRecord& record) const override;

  // The walk (fat_folder_walk.cpp).
  void CatalogueFoldersWithFinds();
  void WalkFolder(std::uint32_t cluster);
  // Catalogues the entries of one directory block; false when the folder ends in it.
  bool WalkBlock(std::span<const std::uint8_t> block, std::uint64_t blockSector, FolderWalk& walk);
  void NoteSubFolder(const DirEntry& entry, std::span<const std::uint8_t> raw, const std::string& longName,
                     std::uint64_t entrySector, const FolderWalk& walk);
  void CatalogueFile(const DirEntry& entry, std::span<const std::uint8_t> raw, const std::string& name,
                     std::uint64_t entrySector, std::uint32_t parent, bool inDeleted);
  FoundFileRecord EntryRecord(const DirEntry& entry, std::span<const std::uint8_t> raw, bool isFolder,
                              bool deleted, std::uint32_t first, std::uint64_t entrySector) const;
  void NoteFolderWithFind(std::uint32_t folder);
  std::uint32_t CountParentDepth(std::uint32_t cluster);
  // The folder a sub-folder's ".." entry names (the root by its own cluster); nothing when the
  // cluster does not open with the "."/".." pair.
  std::optional<std::uint32_t> DotDotOf(std::uint32_t cluster);

  // Clusters the entries do not name in full (fat_high_word.cpp). Both searches are remembered
  // for the scan: many entries may share a low word.
  std::uint16_t FindFolderHighWord(std::uint16_t lowWord);
  std::uint16_t SearchFolderHighWord(std::uint16_t lowWord);
  std::uint16_t FindFileHighWord(const std::string& name, std::uint16_t lowWord);
  bool FirstSectorOf(std::uint32_t cluster, std::vector<std::uint8_t>& sector);
  std::int32_t CheckContentByExtension(const FoundFileRecord& record);
  bool ContentMatches(std::span<const std::uint8_t> sector, std::string_view extension, std::uint64_t volumeSector);

  FatLayout layout_;
  FatTable fat_;

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
};

}  // namespace rexmoor
