// Opening a file-system engine's medium: the image or the partition of a drive, read-only, with
// the first 4 KiB of the volume and where the volume lies on the medium in bytes.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "device/sector_source.h"

namespace rexmoor {

inline constexpr std::size_t kVolumeBootAreaBytes = 4096;

struct VolumeOpening {
  std::array<std::uint8_t, kVolumeBootAreaBytes> boot{};
  std::uint64_t mediumBytes = 0;  // the whole image or drive
  std::uint64_t startByte = 0;    // where the volume starts on it
  std::uint64_t lengthBytes = 0;  // the volume's length as the caller gave it (the image: all of it)
};

// Both leave the source closed on failure. A boot area shorter than 4 KiB is a read fault.
Result OpenImageVolume(const std::string& imagePath, SectorSource& source, VolumeOpening& out);
Result OpenDiskVolume(std::int32_t driveNumber, std::uint64_t startSector, std::uint64_t sectorCount,
                      SectorSource& source, VolumeOpening& out);

}  // namespace rexmoor
