#include "engine/fast_ext_recovery.h"

namespace rexmoor {

Result CFastExtRecovery::OpenImageFile(const std::string&, std::uint16_t sourceTag) {
  sourceTag_ = sourceTag;
  return kSuccess;
}

Result CFastExtRecovery::OpenDisk(std::int32_t driveNumber, std::uint64_t startSector, std::uint64_t sectorCount,
                                  std::uint16_t sourceTag) {
  if (source_.handle.IsValid()) return kSuccess;
  driveNumber_ = driveNumber;
  startSector_ = startSector;
  sectorCount_ = sectorCount;
  sourceTag_ = sourceTag;
  return OpenDriveSource(source_, driveNumber);
}

}  // namespace rexmoor
