// Drive numbering: drive N is the N-th whole-disk block device under /sys/block sorted by name
// (RAM disks, zram and loop devices without backing left out). REXMOOR_DRIVES, a ':'-separated list
// of image files, replaces that list so tests and demos can address partitioned images as drives.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/result_codes.h"

namespace rexmoor {

struct DriveInfo {
  std::string path;        // /dev/sdb or the image file standing in for the drive
  std::string sysName;     // name under /sys/block (empty for stand-in images)
  bool isImageStandIn = false;
  int number = -1;         // as ListDrives numbers it; -1 in a list made by hand (numbered by position)
};

// The number of the first image added as a drive. Added images are numbered from here, apart from
// the system's drives, so that a drive plugged in or taken out never moves an image's number onto
// another drive.
inline constexpr int kFirstAddedImageDrive = 1 << 16;

// The listed drives (numbered by position), then the images added as drives (numbered from
// kFirstAddedImageDrive).
std::vector<DriveInfo> ListDrives();
// The system's drives alone (or the REXMOOR_DRIVES stand-ins), numbered by position: what a
// listing of the machine's drives shows. Images added as drives are the program's own way of
// addressing them, not drives of the machine.
std::vector<DriveInfo> ListSystemDrives();
// The first line of a sysfs (or other small system) file; empty when it cannot be read.
std::string ReadSysfsLine(const std::string& path);
// A decimal number from such a file, when it holds one.
std::optional<std::uint64_t> ReadSysfsNumber(const std::string& path);
// Lets an image file be addressed as a drive for the rest of the process: it is listed after the
// system's drives, under a number of its own that stays the same however they change (once; a
// second call gives the same number). Returns its drive number.
int AddImageDrive(const std::string& imagePath);
// Path of drive N, or kErrFileNotFound when there is no such drive.
Result DrivePath(int driveNumber, std::string& path);

// A partition block device (/dev/sdb1) resolved to its whole drive and sector range.
struct PartitionLocation {
  int driveNumber = -1;
  std::uint64_t startSector = 0;  // in 512-byte units, as the kernel reports them
  std::uint64_t sectorCount = 0;
};
std::optional<PartitionLocation> LocatePartition(const std::string& devicePath);
// The number of a whole-drive block device (/dev/sdb), if it is one of the listed drives.
std::optional<int> DriveNumberOf(const std::string& devicePath);
// The partition device of a drive whose range starts at startSector (512-byte units), if any.
std::optional<std::string> PartitionDeviceAt(int driveNumber, std::uint64_t startSector);

}  // namespace rexmoor
