// The carving engine: owns the files found by their content alone. It never scans by itself; the
// deep scan offers it, one at a time, every sector that no file-system engine claimed, and each
// sector that begins a recognised file becomes a record named after its first sector
// ("8192.jpg") in the root of this engine's catalogue. Carved files have no folders, no times
// and no cluster chain: their data is the run of sectors from their first sector on.
//
// Records read back from a catalogue are untrusted: a size or a location beyond the medium is
// written out only as far as the medium goes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "formats/carve_at_sector.h"
#include "formats/carving_context.h"
#include "formats/file_type_id.h"
#include "device/sector_source.h"
#include "engine/engine_callbacks.h"
#include "engine/file_recovery_parse.h"
#include "engine/scan_catalogue.h"

namespace rexmoor {

// Drive number recorded for an image source.
inline constexpr std::int32_t kImageDriveNumber = 128;
// Bytes read per step when a carved file is written out or extracted.
inline constexpr std::uint32_t kCarveCopyChunkBytes = 1 << 20;

class CFileTypeRecovery final : public IFileRecoveryParse {
 public:
  CFileTypeRecovery();
  ~CFileTypeRecovery() override;
  CFileTypeRecovery(const CFileTypeRecovery&) = delete;
  CFileTypeRecovery& operator=(const CFileTypeRecovery&) = delete;

  // Both opens start over: the medium is reopened and a new, empty catalogue is begun under a
  // name made of the partition start and the local time, in the current scan folder.
  Result OpenImageFile(const std::string& imagePath, std::uint16_t sourceTag) override;
  Result OpenDisk(std::int32_t driveNumber, std::uint64_t startSector, std::uint64_t sectorCount,
                  std::uint16_t sourceTag) override;
  Result SetCallbacks(ScanProgressCallback scanCallback, FileProgressCallback fileCallback, void* userData,
                      std::int32_t weight) override;
  // Does nothing: the deep scan drives this engine through CarveStep.
  Result Scan(const char* logName) override;
  Result GetChildren(const FoundFileRecord* folder, std::int32_t level, RecordList& out) override;
  Result CountFiles(const FoundFileRecord* folder, std::int32_t level, std::int32_t* count) override;
  std::uint64_t GetFoundCount() override;
  Result GetFolderPath(const FoundFileRecord* record, std::string& out) override;
  Result RecoverItem(const FoundFileRecord* record, const std::string& destination, std::int32_t levelBase) override;
  std::int32_t GetNextFreeRange(std::uint64_t* start, std::uint64_t* length) override;
  Result SetFilterCallback(FilterProgressCallback callback, void* userData) override;
  std::int32_t FilterByType(const std::string& extensions, RecordList& out) override;
  // Adds the matching finds to the end of out and sorts only those.
  std::int32_t FilterAppended(const std::string& extensions, RecordList& out);
  Result BuildFreeSpaceMap() override;
  Result ExtractForPreview(const FoundFileRecord* record, std::string& outPath, std::uint8_t* buffer,
                           std::uint32_t* byteCount, PreviewProgressCallback callback, void* userData) override;

  // Continuing an earlier deep scan: open the medium and the earlier catalogue of that name in the
  // scan-log index's current folder (its records stay, new ones are appended after them).
  Result ResumeOpenDisk(std::int32_t sectorSize, std::int32_t driveNumber, const std::string& logName,
                        std::uint16_t sourceTag);
  Result ResumeOpenImage(std::int32_t sectorSize, const std::string& logName, std::uint16_t sourceTag,
                         const std::string& imagePath);

  // The deep scan's step for one sector it did not hand to a file-system engine. sector holds the
  // sector's bytes (one sector of sectorSize), sectorNumber its absolute number on the medium.
  // On a recognised file start the file is measured, catalogued, filesFound grows by one and
  // advance (preset to 1 by the caller) becomes the number of sectors the sweep moves on: 1 for
  // containers whose content may hold further files, else the whole file.
  // Returns 0, 87 when nothing carvable begins here (advance untouched), kCancelled when the
  // progress callback cancelled the measuring walk (nothing catalogued), or kErrInvalidHandle
  // before the engine was opened.
  Result CarveStep(std::int32_t sectorSize, std::span<const std::uint8_t> sector, std::uint64_t sectorNumber,
                   std::uint64_t sectorsDone, std::uint64_t sectorsTotal, std::int32_t secondsLeft,
                   std::uint64_t& advance, std::uint64_t& filesFound);

  // CarveStep in two halves, so that a sweep may recognise on other threads and catalogue in order.
  // Recognise measures the file starting in the sector with the given context and container end
  // (the first sector after the furthest container the sweep looks into), which it moves on like
  // CarveStep; it catalogues nothing and changes nothing in this engine. Same results as
  // CarveStep; the sector size must have been set (UseSweepSectorSize).
  Result Recognise(CarvingContext& ctx, std::uint64_t& containerEnd, std::int32_t sectorSize,
                   std::span<const std::uint8_t> sector, std::uint64_t sectorNumber, std::uint64_t sectorsDone,
                   std::uint64_t sectorsTotal, std::int32_t secondsLeft, std::uint64_t filesFound,
                   CarvedFile& carved, std::uint64_t& advance) const;
  // Catalogues a file that Recognise found at sectorNumber.
  void Catalogue(const CarvedFile& carved, std::uint64_t sectorNumber);
  void UseSweepSectorSize(std::int32_t sectorSize) { UseSectorSize(sectorSize); }
  bool HasCatalogue() const { return catalogue_ != nullptr; }
  // The first sector past the furthest container carved so far, of this engine's own sweep.
  std::uint64_t& ContainerEnd() { return containerEnd_; }
  const SectorSource& Source() const { return source_; }

  // The context this engine's carving steps work in: the deep scan clears its carved streams when
  // it starts and lends it the sweep's read block.
  CarvingContext& Carving() { return carving_; }

  // Sectors the sweep should move on after a carved file of this type and length.
  static std::uint64_t AdvanceFor(FileTypeId type, std::uint64_t length, std::int32_t sectorSize);

  std::int32_t SectorSize() const { return sectorSize_; }
  std::uint64_t PartitionStartSector() const { return partitionStartSector_; }
  std::uint64_t PartitionSectors() const { return partitionSectors_; }
  std::int32_t DriveNumber() const { return driveNumber_; }
  bool IsOpen() const { return source_.handle.IsValid(); }
  // The catalogue's main file, empty without catalogue.
  std::string CataloguePath() const;
  // The first failure to begin or write the catalogue (kSuccess when none).
  Result CatalogueError() const { return catalogue_ ? catalogue_->Error() : kErrInvalidHandle; }

 private:
  // Drops the medium and the catalogue.
  void Reset();
  // Reopens the earlier catalogue logName, or with an empty name starts a new one under a name of
  // its own.
  Result BeginCatalogue(const std::string& logName);
  // The resuming opens: openMedium opens the medium (and sets mediumBytes_); the earlier
  // catalogue logName is reopened even when the medium failed.
  Result Resume(std::int32_t sectorSize, const std::string& logName, std::uint16_t sourceTag, std::int32_t driveNumber,
                const std::function<Result()>& openMedium);
  // Sector size for every later read; the medium's length is recounted in it.
  void UseSectorSize(std::int32_t sectorSize);
  // Reads the carved file's data from its first sector in chunks, handing each piece to sink
  // (data, length), until size bytes went out, the medium ended, a read failed or the sink said
  // stop. 30 when a read delivered no sector.
  template <typename Sink>
  Result ReadCarvedData(const FoundFileRecord& record, std::uint64_t size, Sink&& sink);
  Result WriteCarvedFile(const FoundFileRecord& record, const std::string& destination, std::int32_t levelBase);

  // The context every carving step of this engine works in; the walk buffer lives with it.
  CarvingContext carving_;
  SectorSource source_;
  std::uint64_t mediumBytes_ = 0;  // the medium's length when it was opened
  std::uint64_t containerEnd_ = 0;  // sector after the furthest container carved with advance 1
  CarvedFile carvedScratch_;      // what CarveStep found
  std::uint16_t sourceTag_ = 0;
  std::int32_t driveNumber_ = 0;
  std::uint64_t partitionStartSector_ = 0;
  std::uint64_t partitionSectors_ = 0;
  std::int32_t sectorSize_ = 512;

  std::unique_ptr<ScanCatalogue> catalogue_;

  EngineCallbacks callbacks_;
};

}  // namespace rexmoor
