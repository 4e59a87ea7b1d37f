// Block-device geometry and length. An image file standing in for a drive reports 512-byte
// sectors and a 255 x 63 geometry with the cylinders its size gives.
#pragma once

#include <cstdint>

#include "platform/file_handle.h"

namespace rexmoor {

struct DiskGeometry {
  std::uint64_t cylinders = 0;
  std::uint32_t tracksPerCylinder = 0;
  std::uint32_t sectorsPerTrack = 0;
  std::uint32_t bytesPerSector = 0;
};

Result GetDriveGeometry(const FileHandle& handle, DiskGeometry& out);
Result GetLengthBytes(const FileHandle& handle, std::uint64_t& bytes);

}  // namespace rexmoor
