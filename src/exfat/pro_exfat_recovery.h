// The formatted exFAT engine: rebuilds the folders and files of an exFAT volume after a quick
// format (or with its boot region and FAT gone) from the old directory clusters that are still on
// the medium. It does not scan by itself: the deep scan hands it every sector that holds an exFAT
// entry set, in ascending order. The engine parses every set in them (live and deleted; a set
// whose checksum fails is not taken), reading the following sectors itself when a set runs past
// the one it was handed, and keeps what it parsed until the sweep ends. Then it settles where
// clusters lie (the boot region's layout when the old folders agree with it, else one inferred
// from the folders themselves: a folder's first cluster starts with entries), places every set in
// the folder whose clusters hold it, and catalogues them. A set whose folder's own set is gone
// goes under a "LostFolder<cluster>" folder in the root.
//
// The old FAT is gone: a found file's data is read contiguously from its first cluster up to its
// valid data length, and zeros stand for the rest of its size.
//
// Everything read is untrusted: what the engine keeps in memory is capped, every walk is bounded,
// and nothing outside the volume it was opened on is read.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "engine/volume_recovery_base.h"
#include "formats/exfat_dir_entry.h"
#include "formats/exfat_layout.h"

namespace rexmoor {

// How much of the sweep the engine keeps in memory at most; past a cap the oldest is let go.
struct FormattedExfatLimits {
  std::size_t sets = 262144;         // entry sets kept until the sweep ends
  std::size_t inferFolders = 256;    // folders tried when the layout is inferred
  std::size_t inferSectors = 1024;   // sectors that open with an entry set, tried likewise
};

// Where the old volume's clusters lie, in the medium's sectors, relative to the partition start.
struct ExfatHeapLayout {
  std::uint32_t sectorsPerCluster = 0;
  std::uint64_t heapSector = 0;    // sector of cluster 2
  std::uint32_t rootCluster = 0;   // 0 when the layout was inferred (the old root is unknown)
  bool fromBoot = false;
  std::uint32_t votes = 0;         // folders whose first cluster holds entries under this layout
};

class CProfessionalExfatRecovery final : public CVolumeRecoveryBase {
 public:
  CProfessionalExfatRecovery();
  ~CProfessionalExfatRecovery() override;

  // Scanning is driven by the deep scan; there is no free-space map.
  Result Scan(const char* logName) override;
  Result BuildFreeSpaceMap() override { return kSuccess; }
  std::int32_t GetNextFreeRange(std::uint64_t*, std::uint64_t*) override { return 0; }
  std::optional<std::uint64_t> FirstDataByte(const FoundFileRecord& record) override;

  // The intake, in this order.
  // Forgets every earlier sweep and opens the named catalogue (a resumed scan's), or a new one.
  Result BeginFormattedCatalogue(const char* logName);
  // Reads the boot region: the layout it describes is tried first when the sweep ends.
  Result PrepareSweep();
  // A sector that holds entry sets; absolute sector numbers, ascending.
  void TakeDirectorySector(std::span<const std::uint8_t> sector, std::uint64_t sectorNumber);
  // Settles the layout, places and catalogues what was found; also after a cancelled sweep.
  Result FinishSweep();

  void SetLimits(const FormattedExfatLimits& limits) { limits_ = limits; }
  // The layout the last FinishSweep used.
  const std::optional<ExfatHeapLayout>& Layout() const { return layout_; }
  std::size_t SetCount() const { return sets_.size(); }
  std::uint64_t DroppedCount() const { return dropped_; }

 private:
  // One parsed entry set, with where it lies.
  struct FoundSet {
    std::uint64_t sector = 0;   // absolute sector of its File entry
    std::uint16_t offset = 0;   // byte offset of the File entry in that sector
    bool deleted = false;
    bool folder = false;
    bool noFatChain = false;
    std::uint32_t firstCluster = 0;
    std::uint64_t dataLength = 0;
    std::uint64_t validDataLength = 0;
    std::uint64_t created = 0;
    std::uint64_t modified = 0;
    std::uint64_t accessed = 0;
    std::string name;  // UTF-8
  };
  // A directory's first cluster and the set that names it.
  struct Folder {
    std::size_t set = 0;
    std::uint64_t clusters = 1;
  };

  Result Prepare(const VolumeOpening& volume) override;
  Result RunScan() override { return kSuccess; }
  std::uint32_t RootObject() const override { return 0; }
  Result ReadItemData(const FoundFileRecord& record, std::uint64_t size, const ItemDataSink& sink) override;
  std::uint64_t ItemByteLimit(const FoundFileRecord& record) const override;
  Result CheckItemReadable(const FoundFileRecord& record) const override;

  // Intake.
  // Parses the sets whose File entry lies in window_[from, to) (window_ begins at firstSector) and
  // that end past mustEndAfter; window_ grows by the sectors after it when a set runs on.
  void ParseWindow(std::uint64_t firstSector, std::size_t from, std::size_t to, std::size_t mustEndAfter);
  void KeepSet(const ExfatEntrySet& set, std::uint64_t sector, std::size_t offset);
  // Reads count absolute sectors inside the volume; out holds the whole sectors that arrived.
  bool ReadSectors(std::uint64_t sector, std::uint32_t count, std::vector<std::uint8_t>& out);
  bool InVolume(std::uint64_t sector) const {
    return sector >= partitionBase_ && sector - partitionBase_ < volumeSectors_;
  }
  bool InVolumeRange(std::uint64_t sector, std::uint32_t count) const {
    return InVolume(sector) && count <= volumeSectors_ - (sector - partitionBase_);
  }

  // The end of the sweep.
  std::optional<ExfatHeapLayout> ChooseLayout();
  std::uint32_t VotesFor(const ExfatHeapLayout& layout, const std::vector<std::uint32_t>& folders,
                         const std::vector<std::uint64_t>& heads) const;
  std::optional<std::uint64_t> ClusterOf(std::uint64_t absoluteSector) const;
  std::optional<std::uint64_t> ClusterSector(std::uint64_t cluster) const;
  void FillFromLayout(FoundFileRecord& record) const;
  std::int32_t CheckContiguousContent(const FoundFileRecord& record);
  std::optional<std::uint64_t> ValidLength(const FoundFileRecord& record);
  void NoteDropped();

  FormattedExfatLimits limits_;
  std::optional<ExfatHeapLayout> boot_;  // what the boot region says, in the medium's sectors
  std::optional<ExfatHeapLayout> layout_;
  std::deque<FoundSet> sets_;
  std::uint64_t lastTaken_ = UINT64_MAX;  // the sector last handed in
  std::uint64_t parsedUpTo_ = 0;          // absolute byte past the last set kept
  std::uint64_t dropped_ = 0;
  bool droppedSaid_ = false;
  ExfatUpcase upcase_;
  std::vector<std::uint8_t> window_;
  std::vector<std::uint8_t> sectorBuffer_;
};

}  // namespace rexmoor
