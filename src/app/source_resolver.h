// What the user names as a source: an image file, a block device (a whole drive or one of its
// partitions), "drive:N" / "drive:N@START+COUNT", or "IMAGE@START+COUNT" (a range of an image
// file, which is then read as a drive: a partition inside a partitioned image).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/scan_job.h"
#include "device/same_medium.h"
#include "formats/volume_detect.h"
#include "platform/result_codes.h"

namespace rexmoor {

struct ResolvedSource {
  enum class Kind { Image, Drive };
  Kind kind = Kind::Image;
  std::string text;          // as the user wrote it
  std::string path;          // image file, or the drive's device path
  std::int32_t driveNumber = -1;
  std::uint64_t startSector = 0;  // drive sectors
  std::uint64_t sectorCount = 0;  // drive sectors
};

// Parses and resolves a source. On failure returns a result code and a one-line reason.
Result ResolveSource(const std::string& text, ResolvedSource& out, std::string& error);

// Reads the 16 KiB boot area of the source's volume.
Result ReadSourceBootArea(const ResolvedSource& source, std::vector<std::uint8_t>& bootArea, std::string& error);

// The kind of volume the source's boot area holds; None when it is too short to hold one.
VolumeKind DetectSourceKind(const ResolvedSource& source);
// What detect prints for the source: the kind's name, for ext volumes EXT2, EXT3 or EXT4.
std::string DetectSourceKindText(const ResolvedSource& source);
// Whether the quick scan reads volumes of this kind: FAT, exFAT, NTFS and ext.
bool HasQuickEngine(VolumeKind kind);

// Whether a folder lies on the source's medium, where recovered files would overwrite what is
// still to be recovered.
SameMediumAnswer TargetOnSource(const ResolvedSource& source, const std::string& targetFolder);

// The partitions of a source that is a whole partitioned drive or image file, each as a source
// of its own (IMAGE@START+COUNT or drive:N@START+COUNT), with the unallocated areas between them
// when withUnallocated is set; empty when the source holds no partition table.
// unallocated (when given) receives how many of them are unallocated areas.
std::vector<ResolvedSource> PartitionSources(const ResolvedSource& source, bool withUnallocated,
                                             std::size_t* unallocated = nullptr);

// Bytes of the disk an image file holds: its length, or for a container the length of the disk
// inside; UINT64_MAX when it cannot be opened.
std::uint64_t ImageDiskBytes(const std::string& path);

// The scan-job entry for a source.
ScanSourceEntry MakeScanSource(const ResolvedSource& source, std::uint16_t tag);

}  // namespace rexmoor
