// The deep scan: the engine the factory hands out for every deep scan, whatever the source holds.
// It runs the quick engine of the volume's live file system first (which also tells which sectors
// are unallocated), then sweeps those sectors, or the whole partition when there is no map of
// them, feeding the formatted FAT, NTFS and exFAT engines and the carver (sector_sweep.h), and
// lets the file-system engines close their work. Browsing, recovery and preview are routed to the
// engine that made a record; filtering merges the engines' finds and drops carved files that a
// file-system engine found already.
//
// Where the sweep stood is saved in the scan-log index, so that a later deep scan of the same,
// unchanged source can continue from there with the catalogues of the earlier one.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include "carve/file_type_recovery.h"
#include "device/sector_source.h"
#include "engine/engine_callbacks.h"
#include "engine/file_recovery_parse.h"
#include "engine/resumable_engine.h"
#include "engine/scan_log_index.h"
#include "exfat/pro_exfat_recovery.h"
#include "fat/pro_fat_recovery.h"
#include "ntfs/pro_ntfs_recovery.h"
#include "scan/sector_sweep.h"

namespace rexmoor {

// The share of the overall progress the quick phase and the sweep are given.
inline constexpr std::int32_t kQuickPhaseWeight = 9;
inline constexpr std::int32_t kSweepWeight = 90;

class CProfessionalRecovery final : public IFileRecoveryParse, public IResumableEngine {
 public:
  CProfessionalRecovery();
  ~CProfessionalRecovery() override;
  CProfessionalRecovery(const CProfessionalRecovery&) = delete;
  CProfessionalRecovery& operator=(const CProfessionalRecovery&) = delete;

  Result OpenImageFile(const std::string& imagePath, std::uint16_t sourceTag) override;
  Result OpenDisk(std::int32_t driveNumber, std::uint64_t startSector, std::uint64_t sectorCount,
                  std::uint16_t sourceTag) override;
  Result SetCallbacks(ScanProgressCallback scanCallback, FileProgressCallback fileCallback, void* userData,
                      std::int32_t weight) override;
  // The deep scan; returns 0, kCancelled, or the quick engine's failed scan result.
  Result Scan(const char* logName) override;
  Result GetChildren(const FoundFileRecord* folder, std::int32_t level, RecordList& out) override;
  Result CountFiles(const FoundFileRecord* folder, std::int32_t level, std::int32_t* count) override;
  // Every record of every engine, folders and carved duplicates included.
  std::uint64_t GetFoundCount() override;
  // The files a search for every type lists: the engines' finds merged and de-duplicated as
  // FilterByType does. This is the figure the progress reports carry.
  std::uint64_t CountResultFiles();
  Result GetFolderPath(const FoundFileRecord* record, std::string& out) override;
  Result RecoverItem(const FoundFileRecord* record, const std::string& destination, std::int32_t levelBase) override;
  std::int32_t GetNextFreeRange(std::uint64_t*, std::uint64_t*) override { return 0; }
  Result SetFilterCallback(FilterProgressCallback callback, void* userData) override;
  std::int32_t FilterByType(const std::string& extensions, RecordList& out) override;
  Result BuildFreeSpaceMap() override { return kSuccess; }
  Result ExtractForPreview(const FoundFileRecord* record, std::string& outPath, std::uint8_t* buffer,
                           std::uint32_t* byteCount, PreviewProgressCallback callback, void* userData) override;

  // IResumableEngine: an earlier deep scan of this unchanged source was found when it opened.
  bool FoundPreviousScan() const override { return resumeFound_; }
  void ClearPreviousScan() override;
  // Threads of the sweep (0: the program's default, DefaultSweepJobs) and the bytes of its pages
  // (0: kSweepReadBytes). The finds are the same for any of them.
  void SetSweepJobs(unsigned jobs, std::uint32_t pageBytes = 0) {
    sweepJobs_ = jobs;
    sweepPageBytes_ = pageBytes;
  }
  std::string PreviousScanFolder() const override;
  bool SavedItsPlace() const override { return report_.saved; }

  // The engines it drives, for reports and tests.
  IFileRecoveryParse* QuickEngine() { return quickEngine_.get(); }
  CProfessionalFatRecovery& FatEngine() { return fatEngine_; }
  CProfessionalNtfsRecovery& NtfsEngine() { return ntfsEngine_; }
  CProfessionalExfatRecovery& ExfatEngine() { return exfatEngine_; }
  CFileTypeRecovery& CarvingEngine() { return carvingEngine_; }

  // What the last scan did.
  struct ScanReport {
    bool resumed = false;
    bool freeRangesMode = false;
    bool saved = false;  // the place was saved: a later scan can continue from it
    bool swept = false;  // the sweep ran: the carver's state at its stop is worth keeping
    std::uint64_t sectorsTotal = 0;
    SweepPosition position;       // where the sweep stopped
    std::uint64_t filesFound = 0;  // the last figure reported
    SweepCounts sweep;
  };
  const ScanReport& LastScan() const { return report_; }
  std::int32_t SectorSize() const { return sectorSize_; }
  std::uint64_t PartitionSectors() const { return partitionSectors_; }

 private:
  // The engine that made a record, by its engine tag; null for an unknown tag.
  IFileRecoveryParse* Route(const FoundFileRecord& record);
  // Opens the sub-engines' catalogues, new or (resuming) the earlier ones.
  Result BeginCatalogues();
  // The first failure of any engine to keep its finds.
  Result CatalogueError() const;
  // The quick engine's free ranges, converted to the medium's sectors and the partition.
  bool UsesFreeRanges();
  void NextFreeRange(std::uint64_t from, std::uint64_t& start, std::uint64_t& length);
  std::uint64_t FreeRangeSectors();
  Result ReportSweep(const SweepPosition& position, std::int32_t secondsLeft);
  // Every sweep report goes out through here, the carver's from inside its measuring walks too:
  // a walk reads ahead of the sweep, so the figures are held at the highest reported so far
  // and never run backwards.
  static std::int32_t ForwardReport(void* self, std::int32_t progress, std::int32_t weight, std::int32_t secondsLeft,
                                    std::uint64_t sectorsDone, std::uint64_t sectorsTotal, std::uint64_t filesFound,
                                    std::int32_t reserved);
  void SaveResumeState();
  // The carver's state at the sweep's stop, in the scan's folder beside the logs, and back.
  void SaveSweepState(const std::string& folder);
  void RestoreSweepState(const SweepPosition& at);
  // The figure the reports carry, counted again when finds were added and enough time passed
  // (or when forced): a count reads every catalogue, so it must not run for each buffer.
  std::uint64_t ShownFileCount(bool force);
  // Where a record's data begins on the medium, in medium sectors.
  std::optional<std::uint64_t> FirstDataSector(const FoundFileRecord& record);
  // A FAT file by its directory entry: the folder it is in (by first cluster), its name, size
  // and stamps. Nothing for other records, or one outside every folder.
  using FatEntryKey = std::tuple<std::uint32_t, std::string, std::uint64_t, std::uint64_t, std::uint64_t>;
  std::optional<FatEntryKey> EntryKeyOf(const FoundFileRecord& record);
  // The earlier scan's catalogue of an engine, found by its name's prefix; empty when there is none.
  std::string EarlierLog(const char* prefix) const;
  // Whether the earlier scan the index offers can be taken up as it stands: its logs all there,
  // whole, and holding the records it counted; its place inside the medium and agreeing with the
  // sectors it says were swept. why says what does not hold.
  bool EarlierScanHoldsUp(std::string& why);

  std::uint16_t sourceTag_ = 0;
  std::int32_t sectorSize_ = 512;
  std::int32_t driveNumber_ = kImageDriveNumber;
  std::uint64_t partitionStartSector_ = 0;
  std::uint64_t partitionSectors_ = 0;
  std::string imagePath_;
  bool open_ = false;

  CProfessionalFatRecovery fatEngine_;
  CProfessionalNtfsRecovery ntfsEngine_;
  CProfessionalExfatRecovery exfatEngine_;
  CFileTypeRecovery carvingEngine_;
  std::unique_ptr<IFileRecoveryParse> quickEngine_;
  // Sectors of the quick engine's volume per medium sector ratio (its free ranges count in them).
  std::uint64_t volumeSectorFactor_ = 1;

  EngineCallbacks callbacks_;
  std::int32_t highProgress_ = 0;
  std::uint64_t highSectorsDone_ = 0;
  std::uint64_t shownFiles_ = 0;
  std::uint64_t shownAtRaw_ = 0;   // GetFoundCount when shownFiles_ was counted
  std::uint32_t shownAtMs_ = 0;
  std::uint32_t countCostMs_ = 0;  // how long that count took
  bool shownCounted_ = false;
  bool resumeFound_ = false;
  ScanLogEntry resumeEntry_;
  std::string resumeFolder_;
  std::uint64_t freeBytes_ = 0;  // disk sources: the fingerprint of the partition
  unsigned sweepJobs_ = 0;
  std::uint32_t sweepPageBytes_ = 0;

  ScanReport report_;
};

}  // namespace rexmoor
