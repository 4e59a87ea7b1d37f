// The drives of the machine (or image files standing in for drives) with their partitions,
// their unallocated areas and the drives that hold no partition: what a user picks a source from.
// Built from the kernel's view (sysfs, /proc/self/mountinfo) and the partition tables and file
// systems as libblkid reads them from the drive itself.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/drives.h"
#include "platform/file_handle.h"
#include "platform/result_codes.h"

namespace rexmoor {

// Volumes on Linux carry no drive letter: every entry is numbered by its position instead.
inline constexpr char16_t kNoLetter = u'*';
inline constexpr std::uint8_t kKindNtfs = 7;
inline constexpr std::uint8_t kKindFat32 = 11;
inline constexpr std::uint8_t kKindFat = 6;

// One partition, one unallocated area, or one whole drive without volumes.
struct VolumeEntry {
  char16_t letter = kNoLetter;  // after numbering: the 1-based position number
  std::uint8_t kind = 0;        // 7 NTFS, 11 FAT32, 6 FAT, else the partition type; 0 areas and bare drives
  std::int32_t driveNumber = -1;
  std::int32_t partitionNumber = -1;
  std::uint64_t totalBytes = 0;
  std::uint64_t usedBytes = 0;
  std::uint64_t freeBytes = 0;
  std::uint64_t start = 0;   // first sector on the drive, in the drive's sectors
  std::uint64_t length = 0;  // sectors
  std::string fileSystemName;  // "NTFS", "FAT32", "FAT", "exFAT", "ext4", ...; empty if none found
  std::string volumePath;      // the partition's block device (/dev/sdb1); empty where there is none
  std::string label;
  std::string mountPoint;      // where the volume is mounted; empty if it is not
};

// What the enumeration learnt about one drive.
struct DriveFacts {
  std::string path;              // /dev/sdb or the image file standing in for the drive
  std::uint64_t totalBytes = 0;
  std::uint32_t bytesPerSector = 512;
  bool removable = false;
  bool imageFile = false;
  // This user may not read the drive: it is listed from the kernel's view only (run as root).
  bool unreadable = false;
  std::string tableType;         // "dos", "gpt", ... or empty when the drive has no partition table
};

struct VolumeMap {
  std::map<std::int32_t, std::vector<VolumeEntry>> drives;  // each list in ascending start
  std::map<std::int32_t, DriveFacts> facts;
  std::uint32_t bytesPerSector = 512;  // of the last drive whose geometry was read
};

// Enumerates the system's drives (ListSystemDrives). Returns true; an empty machine gives an empty map.
bool EnumerateVolumes(VolumeMap& map);
// The same over a given drive list, numbered by position (image files named on a command line).
bool EnumerateVolumes(VolumeMap& map, const std::vector<DriveInfo>& drives);
// Every entry: drives in ascending number, each drive's entries in ascending start.
void FlattenVolumes(const VolumeMap& map, std::vector<VolumeEntry>& out);
// Enumerates again into map and appends to out every previous entry that is gone (no current
// entry with the same drive and start): devices that were unplugged.
void FindRemovedVolumes(VolumeMap& map, const std::vector<VolumeEntry>& previous, std::vector<VolumeEntry>& out);

bool IsRemovableDrive(std::int32_t driveNumber);
// Removable media, or a drive behind a USB or SD/MMC bus whatever its media flag says.
// sysfsDevicePath is the resolved /sys/devices/... path of the block device.
bool RemovableFromFacts(bool removableFlag, const std::string& sysfsDevicePath);
Result GetDriveLength(std::int32_t driveNumber, std::uint64_t& bytes);

struct FileSystemFacts {
  std::string name;   // as in VolumeEntry::fileSystemName
  std::string label;
};
// Looks for a file system in lengthBytes at offsetBytes of an open medium; false when none.
bool ProbeFileSystem(const FileHandle& medium, std::uint64_t offsetBytes, std::uint64_t lengthBytes,
                     FileSystemFacts& out);

// Adds the gaps between a drive's entries (sorted by start) larger than one cylinder as
// unallocated areas; the first track is never free. Keeps the list sorted.
void AddUnallocatedAreas(std::vector<VolumeEntry>& entries, std::int32_t driveNumber, std::uint64_t totalSectors,
                         std::uint32_t bytesPerSector, std::uint64_t sectorsPerTrack,
                         std::uint64_t sectorsPerCylinder);
// Gives every entry without a letter its 1-based position over the whole map.
void NumberVolumes(VolumeMap& map);

}  // namespace rexmoor
