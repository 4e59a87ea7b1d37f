#include "scan/engine_factory.h"

#include <new>
#include <vector>

#include "device/sector_source.h"
#include "exfat/fast_exfat_recovery.h"
#include "ext/fast_ext_recovery.h"
#include "fat/fast_fat_recovery.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "platform/drives.h"
#include "platform/geometry.h"
#include "scan/professional_recovery.h"

namespace rexmoor {

EnginePtr CreateEngineOfKind(VolumeKind kind, bool deepMode) {
  // Every deep scan is the orchestrator's, whatever the volume holds.
  if (deepMode) return EnginePtr(new (std::nothrow) CProfessionalRecovery());
  switch (kind) {
    case VolumeKind::Ext: return EnginePtr(new (std::nothrow) CFastExtRecovery());
    case VolumeKind::Fat: return EnginePtr(new (std::nothrow) CFastFatRecovery());
    case VolumeKind::Ntfs: return EnginePtr(new (std::nothrow) CFastNtfsRecovery());
    case VolumeKind::Exfat: return EnginePtr(new (std::nothrow) CFastExfatRecovery());
    case VolumeKind::None: break;
  }
  return nullptr;
}

namespace {

// Lets the running system write out what it caches for the partition before it is read raw.
void FlushPartitionDevice(std::int32_t driveNumber, std::uint64_t startSector, std::uint32_t sectorSize) {
  auto device = PartitionDeviceAt(driveNumber, startSector * sectorSize / 512);
  if (!device) return;
  FileHandle partition;
  if (FileHandle::OpenReadOnly(*device, partition) == kSuccess) (void)partition.Sync();
}

}  // namespace

EnginePtr CreateEngineForDisk(std::int32_t driveNumber, std::uint64_t startSector, std::uint64_t sectorCount,
                              std::uint16_t driveLetter, bool deepMode) {
  std::string path;
  if (DrivePath(driveNumber, path) != kSuccess) return nullptr;
  VolumeKind kind;
  {
    SectorSource drive;
    if (OpenDriveSource(drive, driveNumber) != kSuccess) return nullptr;
    const auto sectorSize = static_cast<std::uint32_t>(SourceSectorSize(drive));
    if (drive.handle.IsBlockDevice()) FlushPartitionDevice(driveNumber, startSector, sectorSize);
    std::uint64_t offset = 0;
    if (__builtin_mul_overflow(startSector, std::uint64_t{sectorSize}, &offset)) return nullptr;
    std::vector<std::uint8_t> bootArea(kBootAreaSize, 0);
    if (ReadMediumBytes(drive, offset, bootArea.data(), bootArea.size()) != kSuccess) return nullptr;
    kind = ClassifyBootArea(bootArea);
  }
  EnginePtr engine = CreateEngineOfKind(kind, deepMode);
  if (!engine) return nullptr;
  // An engine that fails to open simply finds nothing.
  (void)engine->OpenDisk(driveNumber, startSector, sectorCount, driveLetter);
  return engine;
}

EnginePtr CreateEngineForImage(const std::string& imagePath, std::uint16_t sourceTag, bool deepMode) {
  VolumeKind kind;
  {
    SectorSource image;
    if (OpenImageSource(imagePath, image) != kSuccess) return nullptr;
    std::vector<std::uint8_t> bootArea(kBootAreaSize, 0);
    if (ReadMediumBytes(image, 0, bootArea.data(), bootArea.size()) != kSuccess) return nullptr;
    kind = ClassifyBootArea(bootArea);
  }
  EnginePtr engine = CreateEngineOfKind(kind, deepMode);
  if (!engine) return nullptr;
  (void)engine->OpenImageFile(imagePath, sourceTag);
  return engine;
}

}  // namespace rexmoor
