// The frame of an engine that reads one file-system volume (FAT or NTFS, quick or formatted): it
// opens the medium and places the volume on it, keeps the callbacks and the catalogue, answers
// the browsing and filtering slots from the catalogue, runs the scan inside the catalogue's
// creation and flush, writes files and folder trees out and extracts previews, and hands out the
// free runs of its cluster map. An engine adds its boot-sector decoding (Prepare), its walk
// (RunScan) and how a found file's data is read (ReadItemData).
//
// Sector numbers the frame hands out (free runs, the partition start in records) count in the
// volume's own sector size, which Prepare sets through PlaceVolume.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>

#include "device/sector_source.h"
#include "engine/cluster_use_map.h"
#include "engine/engine_callbacks.h"
#include "engine/file_digest.h"
#include "engine/file_recovery_parse.h"
#include "engine/scan_catalogue.h"
#include "engine/volume_open.h"

namespace rexmoor {

// Receives a file's data piece by piece; readResult is the read that delivered the piece (not
// kSuccess when the piece is what arrived before a read fault). Non-zero stops the read.
using ItemDataSink = std::function<Result(const std::uint8_t* data, std::size_t length, Result readResult)>;

class CVolumeRecoveryBase : public IFileRecoveryParse {
 public:
  ~CVolumeRecoveryBase() override;
  CVolumeRecoveryBase(const CVolumeRecoveryBase&) = delete;
  CVolumeRecoveryBase& operator=(const CVolumeRecoveryBase&) = delete;

  Result OpenImageFile(const std::string& imagePath, std::uint16_t sourceTag) final;
  Result OpenDisk(std::int32_t driveNumber, std::uint64_t startSector, std::uint64_t sectorCount,
                  std::uint16_t sourceTag) final;
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
  Result ExtractForPreview(const FoundFileRecord* record, std::string& outPath, std::uint8_t* buffer,
                           std::uint32_t* byteCount, PreviewProgressCallback callback, void* userData) override;

  bool IsOpen() const { return open_; }
  // The volume's bytes per sector, the unit of the sector numbers the engine hands out.
  std::int32_t VolumeSectorSize() const { return sectorSize_; }
  // Where a found file's data begins on the medium, in bytes: how the deep scan recognises a
  // carved file that is a file-system find over again. Nothing when the file has no data on the
  // volume or its start cannot be told.
  virtual std::optional<std::uint64_t> FirstDataByte(const FoundFileRecord&) { return std::nullopt; }
  // The key of the folder a found record was catalogued under (folder object and level).
  std::optional<std::uint64_t> ParentKeyOf(const FoundFileRecord& record) {
    return catalogue_.ParentKeyOf(record.recordId);
  }
  // The partition start in volume sectors, as records carry it.
  std::uint64_t PartitionBase() const { return partitionBase_; }
  // The first failure to write the catalogue since it was begun (kSuccess when none).
  Result CatalogueError() const { return catalogue_.Error(); }

 protected:
  CVolumeRecoveryBase() = default;

  // Decodes the boot area and sets the engine's geometry; calls PlaceVolume, then MarkOpen.
  virtual Result Prepare(const VolumeOpening& volume) = 0;
  // Drops what the engine keeps of an opened volume (the frame closes the medium itself).
  virtual void ReleaseVolume() {}
  // Clears what one scan gathers; called at the start of every Scan.
  virtual void ResetScanState() {}
  // The scan proper, into the catalogue the frame created. The frame flushes the catalogue and
  // sends the final report.
  virtual Result RunScan() = 0;
  // The catalogue's object number of the root folder.
  virtual std::uint32_t RootObject() const = 0;
  // Reads a file's data from its start, at most size bytes, handing each piece to sink.
  virtual Result ReadItemData(const FoundFileRecord& record, std::uint64_t size, const ItemDataSink& sink) = 0;
  // The most bytes a file of this record can occupy on the volume; no file is written longer.
  virtual std::uint64_t ItemByteLimit(const FoundFileRecord& record) const = 0;
  // Whether the record's data may be read at all (before any byte is).
  virtual Result CheckItemReadable(const FoundFileRecord&) const { return kSuccess; }

  // Places the volume on the medium in the volume's sector size: its partition base and length.
  // 87 when the volume does not start on a sector boundary of that size.
  Result PlaceVolume(std::uint32_t bytesPerSector, const VolumeOpening& volume);
  void MarkOpen() { open_ = true; }
  // Closes the medium and forgets the volume (on a failed open).
  void Reset();
  std::uint64_t AbsoluteSector(std::uint64_t volumeSector) const { return partitionBase_ + volumeSector; }
  // Byte offset on the medium (from the image's or drive's first byte) of a volume sector.
  std::uint64_t ImageByteOf(std::uint64_t volumeSector) const {
    return AbsoluteSector(volumeSector) * static_cast<std::uint64_t>(sectorSize_);
  }
  // Reads count volume sectors; outRead gets the whole sectors that arrived. Nothing beyond the
  // volume is read.
  Result ReadVolume(std::uint64_t sector, std::uint32_t count, std::uint8_t* buffer, std::uint32_t* outRead);
  // Reads size bytes from the consecutive sectors that begin at absolute volume sector first (a
  // file whose clusters are taken to follow one another), a megabyte of whole clusters at a time,
  // handing each piece to sink. Stops at the volume's end.
  Result ReadContiguous(std::uint64_t first, std::uint64_t clusterBytes, std::uint64_t size, const ItemDataSink& sink);

  // A record with the frame's fields filled in: source, engine, the partition start.
  FoundFileRecord NewRecord(std::uint16_t engineTag, bool isFolder) const;
  // Appends the record to the catalogue under the folder key (its record id is set here); folder
  // records are listed with their name, so that children can be sorted by it.
  void CatalogueRecord(FoundFileRecord& record, std::uint64_t parentKey, bool withName);
  // The quick engines' walk: the root and every folder queued while walking, breadth-first and
  // each once, between the scan's opening report and the one that closes the walk (80), with a
  // report at most every few seconds in between. finish runs even when a report stopped the walk,
  // so that what was found can be browsed. Non-zero when a report asked to stop.
  Result WalkFoldersBreadthFirst(std::uint32_t root, std::deque<std::uint32_t>& pending,
                                 std::unordered_set<std::uint32_t>& walked,
                                 const std::function<void(std::uint32_t)>& walkFolder,
                                 const std::function<void()>& finish);
  // Writes one file below destination.
  Result WriteItem(const FoundFileRecord& record, const std::string& destination, std::int32_t levelBase);

  SectorSource source_;
  ScanCatalogue catalogue_;
  EngineCallbacks callbacks_;
  ClusterUseMap useMap_;
  std::uint64_t partitionStartSector_ = 0;  // as given by the caller, in medium sectors
  std::uint64_t partitionBase_ = 0;         // the same in volume sectors
  std::uint64_t volumeSectors_ = 0;         // partition length in volume sectors
  std::uint16_t sourceTag_ = 0;
  std::int32_t sectorSize_ = 512;           // the volume's bytes per sector

 private:
  Result Open(Result opened, const VolumeOpening& volume, std::uint64_t startSector, std::uint16_t sourceTag);

  bool open_ = false;
};

}  // namespace rexmoor
