// The devices list as the front ends show it: every drive with its partitions, unallocated areas
// and bare drives, each row with the source text that scan, recover and image accept for it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/volume_map.h"

namespace rexmoor {

struct DeviceRow {
  enum class Kind {
    Partition,    // an entry of the drive's partition table
    Volume,       // a file system filling a drive that has no partition table
    Unallocated,  // space between or after the partitions
    WholeDrive,   // a drive with neither partitions nor a file system
  };
  Kind kind = Kind::Partition;
  VolumeEntry entry;
  std::string source;    // drive:N@START+COUNT (or IMAGE@START+COUNT for image files named by the user)
  std::string device;    // the partition's block device, where it has one
  std::string sizeText;
};

struct DeviceDrive {
  std::int32_t number = -1;
  DriveFacts facts;
  std::string source;    // the whole drive: drive:N, its block device, or the image file
  std::string sizeText;
  std::vector<DeviceRow> rows;
};

const char* DeviceRowKindName(DeviceRow::Kind kind);  // "partition", "volume", "unallocated", "drive"

// The drives of the machine (or those REXMOOR_DRIVES stands in).
std::vector<DeviceDrive> ListDevices();
// Image files named by the user, each read as a drive; rows are addressed as IMAGE@START+COUNT.
std::vector<DeviceDrive> ListImageDevices(const std::vector<std::string>& images);

}  // namespace rexmoor
