#include "engine/volume_open.h"

namespace rexmoor {

Result OpenImageVolume(const std::string& imagePath, SectorSource& source, VolumeOpening& out) {
  if (Result r = OpenImageSource(imagePath, source); r != kSuccess) return r;
  std::uint64_t size = source.totalSectors * 512;
  if (!source.reader) {
    if (Result r = source.handle.Size(size); r != kSuccess) {
      CloseSource(source);
      return r;
    }
  }
  if (ReadMediumBytes(source, 0, out.boot.data(), out.boot.size()) != kSuccess) {
    CloseSource(source);
    return kErrReadFault;
  }
  out.mediumBytes = size;
  out.startByte = 0;
  out.lengthBytes = size;
  return kSuccess;
}

Result OpenDiskVolume(std::int32_t driveNumber, std::uint64_t startSector, std::uint64_t sectorCount,
                      SectorSource& source, VolumeOpening& out) {
  if (Result r = OpenDriveSource(source, driveNumber); r != kSuccess) {
    CloseSource(source);
    return r;
  }
  const auto mediumSector = static_cast<std::uint64_t>(SourceSectorSize(source));
  if (__builtin_mul_overflow(startSector, mediumSector, &out.startByte) ||
      __builtin_mul_overflow(sectorCount, mediumSector, &out.lengthBytes) ||
      __builtin_mul_overflow(source.totalSectors, mediumSector, &out.mediumBytes)) {
    CloseSource(source);
    return kErrInvalidParameter;
  }
  if (ReadMediumBytes(source, out.startByte, out.boot.data(), out.boot.size()) != kSuccess) {
    CloseSource(source);
    return kErrReadFault;
  }
  return kSuccess;
}

}  // namespace rexmoor
