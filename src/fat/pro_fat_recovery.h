// The formatted FAT engine: rebuilds the folders and files of a FAT volume whose boot sector and
// FAT can no longer be trusted (a quick format, a destroyed FAT) from its directory sectors alone.
// It does not scan by itself: the deep scan sweeps the medium and hands it every sector that opens
// a sub-folder (the "."/".." pair) and every other sector that reads as directory entries, in
// ascending order. From the folder starts the engine infers where clusters lie (cluster size and
// the sector of cluster 2), or takes that from a boot sector that still holds; it parses each
// directory sector, stitches long names that run across sectors, places what it could not place
// yet once a layout appears, and catalogues every file entry it can place, live or deleted. A
// found file's data is taken to occupy consecutive clusters from its first one.
//
// Sectors it is handed and hands out are absolute on the medium, in the medium's sector size.
// Everything read is untrusted: every walk is bounded and loops end, what it keeps in memory is
// capped, and nothing beyond the volume it was opened on is read.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/volume_recovery_base.h"
#include "fat/volume_layout.h"
#include "formats/carving_context.h"
#include "formats/fat_dir_entry.h"

namespace rexmoor {

// How much of the sweep the engine keeps in memory at most; past a cap the oldest is dropped.
struct FormattedFatLimits {
  std::size_t orphanBytes = 64u << 20;      // directory sectors waiting for a layout or a name
  std::size_t pendingRecords = 131072;      // file entries waiting for a layout
  std::size_t folderEntries = 131072;       // folder entries, and folders above finds
  std::size_t waitingTails = 1024;          // long names cut off at the end of a sector
  std::size_t anchors = 1024;               // folder starts no layout explains yet
  std::size_t layouts = 64;
};

class CProfessionalFatRecovery final : public CVolumeRecoveryBase {
 public:
  CProfessionalFatRecovery();
  ~CProfessionalFatRecovery() override;

  // Scanning is driven by the deep scan; there is no free-space map.
  Result Scan(const char* logName) override;
  Result BuildFreeSpaceMap() override { return kSuccess; }
  std::int32_t GetNextFreeRange(std::uint64_t*, std::uint64_t*) override { return 0; }
  std::optional<std::uint64_t> FirstDataByte(const FoundFileRecord& record) override;

  // The intake, in this order.
  // Forgets every earlier sweep and opens the named catalogue (a resumed scan's), or a new one.
  Result BeginFormattedCatalogue(const char* logName);
  // Seeds a layout from the volume's boot sector when it still describes a FAT volume.
  Result PrepareSweep();
  // A sector that opens a sub-folder, and every other directory sector, in ascending order.
  void TakeFolderStart(std::span<const std::uint8_t> sector, std::uint64_t sectorNumber);
  void TakeDirectorySector(std::span<const std::uint8_t> sector, std::uint64_t sectorNumber);
  // Places what is left and catalogues the folders above the finds; also after a cancelled sweep.
  Result FinishSweep();

  void SetLimits(const FormattedFatLimits& limits) { limits_ = limits; }
  const std::vector<VolumeLayout>& Layouts() const { return layouts_; }
  bool BootLayoutPresent() const { return bootLayoutPresent_; }
  std::size_t OrphanCount() const { return orphans_.size(); }
  std::size_t PendingCount() const { return pending_.size(); }
  // What the caps dropped during the sweep.
  std::uint64_t DroppedCount() const { return dropped_; }

 private:
  using LayoutIndex = std::optional<std::size_t>;

  // A long-name run cut off at the end of a parsed block, waiting for the sector that goes on.
  struct NameTail {
    std::uint8_t checksum = 0;
    std::uint64_t sector = 0;    // where the block holding it began
    std::uint32_t cluster = 0;   // the cluster that block belongs to
    std::uint32_t owner = 0;     // the folder that block was found to belong to
    LayoutIndex layout;
    std::uint64_t nextSector = 0;     // the sector after the block's last one
    std::vector<std::uint8_t> bytes;  // from the first entry of the run to the end of the block
  };
  struct Orphan {
    bool used = false;
    std::vector<std::uint8_t> bytes;
  };
  struct PendingRecord {
    bool placed = false;
    FoundFileRecord record;  // recordId holds the owner folder's cluster
  };
  struct FolderInfo {
    FoundFileRecord record;  // recordId holds the owner folder's cluster
    LayoutIndex layout;
  };
  struct FolderWithFind {
    LayoutIndex layout;
    std::uint64_t sector = 0;
  };
  // What a cluster's first sector says about it.
  struct ClusterHead {
    bool read = false;
    bool dotPair = false;   // "." then ".."
    bool label = false;     // a volume label first: a root
    std::uint32_t up = 0;   // the ".." entry's cluster
  };
  struct ParseOutcome {
    bool cut = false;  // ended inside a long name
    NameTail tail;
    std::uint64_t lastSector = 0;  // the block's last sector
  };

  Result Prepare(const VolumeOpening& volume) override;
  void ResetScanState() override {}
  Result RunScan() override { return kSuccess; }
  std::uint32_t RootObject() const override { return rootCluster_; }
  Result ReadItemData(const FoundFileRecord& record, std::uint64_t size, const ItemDataSink& sink) override;
  std::uint64_t ItemByteLimit(const FoundFileRecord& record) const override;
  Result CheckItemReadable(const FoundFileRecord& record) const override;
  // A found file's data: size bytes from consecutive clusters starting at its first cluster, under
  // the layout it was found with (a fragmented file gets whatever follows its first fragment).
  Result WriteContiguousData(const FoundFileRecord& record, std::uint64_t size, const ItemDataSink& sink);

  // Layouts (pro_fat_intake.cpp).
  LayoutIndex FindLayoutAt(std::uint32_t cluster, std::uint64_t sector) const;
  LayoutIndex FindLayoutFor(std::uint64_t sector) const;
  LayoutIndex LearnFromAnchor(std::uint32_t cluster, std::uint64_t sector);
  void PlacePendingRecords();
  void PlacePending(PendingRecord& pending, std::size_t layout);

  // Stitching long names.
  void KeepTail(ParseOutcome&& outcome);
  bool ContinuesTail(const NameTail& tail, std::span<const std::uint8_t> sector, std::uint64_t sectorNumber) const;
  bool TakeWaitingTail(std::span<const std::uint8_t> sector, std::uint64_t sectorNumber);
  void FollowCutName(ParseOutcome outcome);
  void KeepOrphan(std::span<const std::uint8_t> sector, std::uint64_t sectorNumber);
  void ParseOrphan(std::uint64_t sectorNumber, const std::vector<std::uint8_t>& bytes);
  void ParseInCluster(std::span<const std::uint8_t> sector, std::uint64_t sectorNumber, std::uint32_t cluster,
                      LayoutIndex layout);

  // Parsing (pro_fat_parse.cpp).
  // knownOwner: the block continues a name cut off in a block of that folder.
  ParseOutcome ParseDirectoryBlock(std::span<const std::uint8_t> block, std::uint64_t startSector,
                                   std::uint32_t cluster, LayoutIndex layout,
                                   std::optional<std::uint32_t> knownOwner = std::nullopt);
  std::uint32_t IdentifyOwner(std::span<const std::uint8_t> block, std::uint64_t& startSector, std::uint32_t cluster,
                              LayoutIndex layout);
  void NoteFolderEntry(const DirWalkEntry& found, std::uint32_t owner, std::uint64_t startSector, LayoutIndex layout);
  void NoteFileEntry(const DirWalkEntry& found, std::uint32_t owner, std::uint64_t startSector, LayoutIndex layout,
                     std::set<std::uint32_t>& seen);
  void NoteAncestors(std::uint32_t owner, std::uint64_t startSector, LayoutIndex layout,
                     std::set<std::uint32_t>& seen);
  std::uint32_t FolderCluster(const DirEntry& entry, LayoutIndex layout);
  std::uint32_t FileCluster(const DirEntry& entry, const std::string& name, LayoutIndex layout);
  ClusterHead HeadOf(std::uint32_t cluster, std::size_t layout);
  std::optional<std::uint32_t> ParentOf(std::uint32_t cluster, std::size_t layout);
  std::uint32_t LayoutDepth(std::uint32_t cluster, std::size_t layout);
  std::uint64_t FolderKey(std::uint32_t folder, std::size_t layout);
  std::int32_t CheckContiguousContent(const FoundFileRecord& record);
  bool IsRoot(std::uint32_t cluster) const { return cluster == rootCluster_ || cluster == 0; }
  std::uint32_t Normalised(std::uint32_t cluster) const { return cluster == 0 ? rootCluster_ : cluster; }

  // The folder pass (pro_fat_intake.cpp).
  void CatalogueFolder(std::uint32_t cluster, const FolderWithFind& where);
  FoundFileRecord NewFolderRecord(std::uint32_t cluster, LayoutIndex layout) const;
  void FillFromLayout(FoundFileRecord& record, std::size_t layout) const;
  void NoteDropped(const char* what);

  // Reading.
  bool ReadSectorAt(std::uint64_t sector, std::vector<std::uint8_t>& out);
  bool InVolume(std::uint64_t sector) const {
    return sector >= partitionBase_ && sector - partitionBase_ < volumeSectors_;
  }

  FormattedFatLimits limits_;
  std::uint32_t rootCluster_ = 0;
  bool bootLayoutPresent_ = false;
  std::vector<VolumeLayout> layouts_;
  std::deque<FolderAnchor> anchors_;
  std::deque<PendingRecord> pending_;
  std::size_t placedUpTo_ = 0;  // layouts PlacePendingRecords has tried on every pending record
  std::map<std::uint64_t, Orphan> orphans_;
  std::size_t orphanBytes_ = 0;
  std::deque<NameTail> tails_;
  std::map<std::uint32_t, FolderInfo> folderInfos_;
  std::map<std::uint32_t, FolderWithFind> foldersWithFinds_;
  std::map<std::uint32_t, std::uint32_t> folderLevels_;  // catalogued folder -> its children's level
  std::array<std::set<std::uint64_t>, 256> orphanKeys_;  // unused orphans by the checksum they offer
  struct Context {
    LayoutIndex layout;
    std::uint32_t cluster = 0;
    std::uint64_t sector = 0;
  };
  // The first layout under which a cluster starts at the sector, with that cluster.
  std::optional<Context> ClusterStartAt(std::uint64_t sectorNumber) const;
  Context runContext_;
  Context sweepContext_;
  std::unordered_map<std::uint64_t, ClusterHead> heads_;     // (layout, cluster) -> first sector
  std::unordered_map<std::uint64_t, std::uint32_t> depths_;  // (layout, cluster) -> depth
  std::unordered_map<std::string, std::uint16_t> highWords_;
  std::uint64_t dropped_ = 0;
  std::set<std::string> droppedSaid_;
  std::vector<std::uint8_t> sectorBuffer_;
};

}  // namespace rexmoor
