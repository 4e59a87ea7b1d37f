// Placeholder engine for ext2/3/4 volumes: every operation succeeds and finds nothing.
#pragma once

#include "device/sector_source.h"
#include "engine/file_recovery_parse.h"

namespace rexmoor {

class CFastExtRecovery final : public IFileRecoveryParse {
 public:
  Result OpenImageFile(const std::string& imagePath, std::uint16_t sourceTag) override;
  Result OpenDisk(std::int32_t driveNumber, std::uint64_t startSector, std::uint64_t sectorCount,
                  std::uint16_t sourceTag) override;
  Result SetCallbacks(ScanProgressCallback, FileProgressCallback, void*, std::int32_t) override { return kSuccess; }
  Result Scan(const char*) override { return kSuccess; }
  Result GetChildren(const FoundFileRecord*, std::int32_t, RecordList&) override { return kSuccess; }
  Result CountFiles(const FoundFileRecord*, std::int32_t, std::int32_t*) override { return kSuccess; }
  std::uint64_t GetFoundCount() override { return 0; }
  Result GetFolderPath(const FoundFileRecord*, std::string&) override { return kSuccess; }
  Result RecoverItem(const FoundFileRecord*, const std::string&, std::int32_t) override { return kSuccess; }
  std::int32_t GetNextFreeRange(std::uint64_t*, std::uint64_t*) override { return 0; }
  Result SetFilterCallback(FilterProgressCallback, void*) override { return kSuccess; }
  std::int32_t FilterByType(const std::string&, RecordList&) override { return 0; }
  Result BuildFreeSpaceMap() override { return kSuccess; }
  Result ExtractForPreview(const FoundFileRecord*, std::string&, std::uint8_t*, std::uint32_t*,
                           PreviewProgressCallback, void*) override {
    return kSuccess;
  }

 private:
  SectorSource source_;
  std::int32_t driveNumber_ = -1;
  std::uint64_t startSector_ = 0;
  std::uint64_t sectorCount_ = 0;
  std::uint16_t sourceTag_ = 0;
};

}  // namespace rexmoor
