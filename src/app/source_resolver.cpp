#include "app/source_resolver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "app/device_listing.h"
#include "device/container_source.h"
#include "device/sector_source.h"
#include "formats/ext_layout.h"
#include "formats/volume_detect.h"
#include "platform/drives.h"
#include "platform/geometry.h"
#include "platform/text.h"
#include "platform/udisks_open.h"

namespace rexmoor {

namespace {

bool ParseNumber(std::string_view text, std::uint64_t& out) {
  if (text.empty()) return false;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && ptr == text.data() + text.size();
}

// One line for a source that cannot be opened; a permission problem says how to get access.
std::string OpenError(const std::string& path, Result r) {
  // udisks2 was asked (--udisks, or a device this user may not open) and said why not.
  if (const std::string udisks = LastUdisksRefusal(); !udisks.empty()) {
    if (r == kErrAccessDenied && ::geteuid() != 0)
      return "cannot read " + path + ": permission denied, and " + udisks + " (run rexmoor as root, e.g. with " +
             "sudo, or as a member of the group that owns " + path + ")";
    return "cannot read " + path + ": " + udisks;
  }
  if (r == kErrAccessDenied && ::geteuid() == 0)
    return "cannot read " + path + ": access denied, even to root (the system does not let programs read it)";
  if (r == kErrAccessDenied)
    return "cannot read " + path + ": permission denied (run rexmoor as root, e.g. with sudo, or as a member of " +
           "the group that owns " + path + ")";
  return "cannot open " + path + ": " + ResultMessage(r);
}

Result LookUpDrive(std::int32_t driveNumber, std::string& path, std::uint64_t& totalSectors,
                  std::uint32_t& sectorSize, std::string& error) {
  if (DrivePath(driveNumber, path) != kSuccess) {
    error = "no drive number " + std::to_string(driveNumber);
    return kErrFileNotFound;
  }
  SectorSource source;
  if (Result r = OpenDriveSource(source, driveNumber); r != kSuccess) {
    error = OpenError(path, r);
    return r;
  }
  totalSectors = source.totalSectors;
  sectorSize = static_cast<std::uint32_t>(SourceSectorSize(source));
  return kSuccess;
}

// START+COUNT of a drive of total sectors.
Result ParseRange(const std::string& text, std::string_view range, std::uint64_t total, const char* form,
                  ResolvedSource& out, std::string& error) {
  const std::size_t plus = range.find('+');
  if (plus == std::string_view::npos || !ParseNumber(range.substr(0, plus), out.startSector) ||
      !ParseNumber(range.substr(plus + 1), out.sectorCount) || out.sectorCount == 0) {
    error = "bad sector range in '" + text + "' (expected " + form + ")";
    return kErrInvalidParameter;
  }
  if (out.startSector > total || out.sectorCount > total - out.startSector) {
    error = "sector range of '" + text + "' lies outside the drive (" + std::to_string(total) + " sectors)";
    return kErrInvalidParameter;
  }
  return kSuccess;
}

// IMAGE@START+COUNT: a range of an image file, which is then read like a drive.
bool SplitImageRange(const std::string& text, std::string& image, std::string_view& range) {
  const std::size_t at = text.rfind('@');
  if (at == std::string::npos || at == 0 || text.rfind("drive:", 0) == 0) return false;
  struct stat st {};
  image = text.substr(0, at);
  if (::stat(image.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  range = std::string_view(text).substr(at + 1);
  return true;
}

}  // namespace

Result ResolveSource(const std::string& text, ResolvedSource& out, std::string& error) {
  out = ResolvedSource{};
  out.text = text;
  if (text.rfind("drive:", 0) == 0) {
    std::string_view rest(text);
    rest.remove_prefix(6);
    std::string_view number = rest.substr(0, rest.find('@'));
    std::uint64_t drive = 0;
    if (!ParseNumber(number, drive) || (drive > 1000 && drive < kFirstAddedImageDrive) || drive > INT32_MAX) {
      error = "bad drive source '" + text + "' (expected drive:N or drive:N@START+COUNT)";
      return kErrInvalidParameter;
    }
    out.kind = ResolvedSource::Kind::Drive;
    out.driveNumber = static_cast<std::int32_t>(drive);
    std::uint32_t sectorSize = 512;
    std::uint64_t total = 0;
    if (Result r = LookUpDrive(out.driveNumber, out.path, total, sectorSize, error); r != kSuccess) return r;
    if (number.size() == rest.size()) {
      out.startSector = 0;
      out.sectorCount = total;
      return kSuccess;
    }
    return ParseRange(text, rest.substr(number.size() + 1), total, "drive:N@START+COUNT", out, error);
  }

  struct stat st {};
  if (::stat(text.c_str(), &st) != 0) {
    Result r = ResultFromErrno(errno);
    std::string image;
    std::string_view range;
    if (SplitImageRange(text, image, range)) {
      std::shared_ptr<MediumReader> container;
      if (Result opened = OpenContainer(image, container, error); opened != kSuccess) return opened;
      out.kind = ResolvedSource::Kind::Drive;
      out.driveNumber = AddImageDrive(image);
      std::uint32_t sectorSize = 512;
      std::uint64_t total = 0;
      if (Result opened = LookUpDrive(out.driveNumber, out.path, total, sectorSize, error); opened != kSuccess)
        return opened;
      return ParseRange(text, range, total, "IMAGE@START+COUNT", out, error);
    }
    error = "cannot open " + text + ": " + ResultMessage(r);
    return r;
  }
  if (S_ISBLK(st.st_mode)) {
    if (auto drive = DriveNumberOf(text)) {
      out.kind = ResolvedSource::Kind::Drive;
      out.driveNumber = *drive;
      std::uint32_t sectorSize = 512;
      std::uint64_t total = 0;
      if (Result r = LookUpDrive(out.driveNumber, out.path, total, sectorSize, error); r != kSuccess) return r;
      out.sectorCount = total;
      return kSuccess;
    }
    if (auto part = LocatePartition(text)) {
      out.kind = ResolvedSource::Kind::Drive;
      out.driveNumber = part->driveNumber;
      std::uint32_t sectorSize = 512;
      std::uint64_t total = 0;
      if (Result r = LookUpDrive(out.driveNumber, out.path, total, sectorSize, error); r != kSuccess) return r;
      // The kernel counts partitions in 512-byte units whatever the drive's sector size.
      out.startSector = part->startSector * 512 / sectorSize;
      out.sectorCount = part->sectorCount * 512 / sectorSize;
      return kSuccess;
    }
    // A block device that is neither a listed drive nor a partition of one is read like an image.
  } else if (!S_ISREG(st.st_mode)) {
    error = text + " is neither a file nor a block device";
    return kErrInvalidParameter;
  }
  FileHandle probe;
  if (Result r = FileHandle::OpenReadOnly(text, probe); r != kSuccess) {
    error = OpenError(text, r);
    return r;
  }
  // A container that cannot be read (a missing segment or parent disk) is refused here, with
  // its reason, rather than scanned as the raw bytes of its file.
  std::shared_ptr<MediumReader> container;
  if (Result r = OpenContainer(text, container, error); r != kSuccess) return r;
  out.kind = ResolvedSource::Kind::Image;
  out.path = text;
  return kSuccess;
}

Result ReadSourceBootArea(const ResolvedSource& source, std::vector<std::uint8_t>& bootArea, std::string& error) {
  SectorSource medium;
  const Result opened = source.kind == ResolvedSource::Kind::Drive ? OpenDriveSource(medium, source.driveNumber)
                                                                   : OpenImageSource(source.path, medium);
  if (opened != kSuccess) {
    error = OpenError(source.path, opened);
    return opened;
  }
  std::uint64_t offset = 0;
  if (source.kind == ResolvedSource::Kind::Drive)
    offset = source.startSector * static_cast<std::uint64_t>(SourceSectorSize(medium));
  bootArea.assign(kBootAreaSize, 0);
  if (Result r = ReadMediumBytes(medium, offset, bootArea.data(), bootArea.size()); r != kSuccess) {
    error = source.text + " is too short to hold a volume";
    return r;
  }
  return kSuccess;
}

std::vector<ResolvedSource> PartitionSources(const ResolvedSource& source, bool withUnallocated,
                                             std::size_t* unallocated) {
  std::vector<ResolvedSource> parts;
  if (unallocated != nullptr) *unallocated = 0;
  std::vector<DeviceDrive> drives;
  // An image added as a drive (a range of it was named) is not among the machine's drives.
  if (source.kind == ResolvedSource::Kind::Image || source.driveNumber >= kFirstAddedImageDrive) {
    drives = ListImageDevices({source.path});
  } else if (source.startSector == 0) {
    for (DeviceDrive& drive : ListDevices())
      if (drive.number == source.driveNumber) drives.push_back(std::move(drive));
  }
  if (drives.size() != 1) return parts;
  const DeviceDrive& drive = drives.front();
  // Only the whole drive: a range of it is what the user chose.
  const std::uint64_t driveSectors = drive.facts.totalBytes / std::max<std::uint32_t>(drive.facts.bytesPerSector, 1);
  if (source.kind == ResolvedSource::Kind::Drive && source.sectorCount != driveSectors) return parts;
  bool partitioned = false;
  for (const DeviceRow& row : drive.rows) {
    if (row.kind == DeviceRow::Kind::Partition) partitioned = true;
    if (row.kind != DeviceRow::Kind::Partition && !(withUnallocated && row.kind == DeviceRow::Kind::Unallocated))
      continue;
    ResolvedSource part;
    std::string ignored;
    if (ResolveSource(row.source, part, ignored) != kSuccess) continue;
    parts.push_back(std::move(part));
    if (unallocated != nullptr && row.kind == DeviceRow::Kind::Unallocated) ++*unallocated;
  }
  if (!partitioned) {
    parts.clear();
    if (unallocated != nullptr) *unallocated = 0;
  }
  return parts;
}

std::uint64_t ImageDiskBytes(const std::string& path) {
  std::shared_ptr<MediumReader> container;
  std::string ignored;
  if (OpenContainer(path, container, ignored) != kSuccess) return UINT64_MAX;
  if (container) return container->Size();
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : UINT64_MAX;
}

ScanSourceEntry MakeScanSource(const ResolvedSource& source, std::uint16_t tag) {
  ScanSourceEntry entry;
  if (source.kind == ResolvedSource::Kind::Drive) {
    entry.kind = ScanSourceEntry::Kind::Partition;
    entry.driveLetter = tag;
    entry.driveNumber = source.driveNumber;
    entry.startSector = source.startSector;
    entry.sectorCount = source.sectorCount;
  } else {
    entry.kind = ScanSourceEntry::Kind::Image;
    entry.imagePath = source.path;
    entry.displayName = source.text;
    entry.sourceTag = tag;
  }
  return entry;
}

SameMediumAnswer TargetOnSource(const ResolvedSource& source, const std::string& targetFolder) {
  return TargetOnSourceMedium(source.path, targetFolder);
}

VolumeKind DetectSourceKind(const ResolvedSource& source) {
  std::vector<std::uint8_t> bootArea;
  std::string ignored;
  if (ReadSourceBootArea(source, bootArea, ignored) != kSuccess) return VolumeKind::None;
  return ClassifyBootArea(bootArea);
}

std::string DetectSourceKindText(const ResolvedSource& source) {
  std::vector<std::uint8_t> bootArea;
  std::string ignored;
  if (ReadSourceBootArea(source, bootArea, ignored) != kSuccess) return VolumeKindName(VolumeKind::None);
  const VolumeKind kind = ClassifyBootArea(bootArea);
  ExtSuperblock sb;
  if (kind == VolumeKind::Ext &&
      ParseExtSuperblock(std::span(bootArea).subspan(kExtSuperblockOffset, kExtSuperblockSize), sb) !=
          ExtSuperStatus::NotExt)
    return ExtVariantName(sb);
  return VolumeKindName(kind);
}

bool HasQuickEngine(VolumeKind kind) {
  return kind == VolumeKind::Fat || kind == VolumeKind::Exfat || kind == VolumeKind::Ntfs || kind == VolumeKind::Ext;
}

}  // namespace rexmoor
