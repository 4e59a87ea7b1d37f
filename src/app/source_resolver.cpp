#include "app/source_resolver.h"

#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "device/sector_source.h"
#include "formats/volume_detect.h"
#include "platform/drives.h"
#include "platform/geometry.h"
#include "platform/text.h"

namespace rexmoor {

namespace {

bool ParseNumber(std::string_view text, std::uint64_t& out) {
  if (text.empty()) return false;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && ptr == text.data() + text.size();
}

Result DriveFacts(std::int32_t driveNumber, std::string& path, std::uint64_t& totalSectors,
                  std::uint32_t& sectorSize, std::string& error) {
  if (DrivePath(driveNumber, path) != kSuccess) {
    error = "no drive number " + std::to_string(driveNumber);
    return kErrFileNotFound;
  }
  SectorSource source;
  if (Result r = OpenDriveSource(source, driveNumber); r != kSuccess) {
    error = "cannot open " + path + ": " + ResultMessage(r);
    return r;
  }
  totalSectors = source.totalSectors;
  sectorSize = static_cast<std::uint32_t>(SourceSectorSize(source));
  return kSuccess;
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
    if (!ParseNumber(number, drive) || drive > 1000) {
      error = "bad drive source '" + text + "' (expected drive:N or drive:N@START+COUNT)";
      return kErrInvalidParameter;
    }
    out.kind = ResolvedSource::Kind::Drive;
    out.driveNumber = static_cast<std::int32_t>(drive);
    std::uint32_t sectorSize = 512;
    std::uint64_t total = 0;
    if (Result r = DriveFacts(out.driveNumber, out.path, total, sectorSize, error); r != kSuccess) return r;
    if (number.size() == rest.size()) {
      out.startSector = 0;
      out.sectorCount = total;
      return kSuccess;
    }
    std::string_view range = rest.substr(number.size() + 1);
    std::size_t plus = range.find('+');
    if (plus == std::string_view::npos || !ParseNumber(range.substr(0, plus), out.startSector) ||
        !ParseNumber(range.substr(plus + 1), out.sectorCount) || out.sectorCount == 0) {
      error = "bad sector range in '" + text + "' (expected drive:N@START+COUNT)";
      return kErrInvalidParameter;
    }
    if (out.startSector > total || out.sectorCount > total - out.startSector) {
      error = "sector range of '" + text + "' lies outside the drive (" + std::to_string(total) + " sectors)";
      return kErrInvalidParameter;
    }
    return kSuccess;
  }

  struct stat st {};
  if (::stat(text.c_str(), &st) != 0) {
    Result r = ResultFromErrno(errno);
    error = "cannot open " + text + ": " + ResultMessage(r);
    return r;
  }
  if (S_ISBLK(st.st_mode)) {
    if (auto drive = DriveNumberOf(text)) {
      out.kind = ResolvedSource::Kind::Drive;
      out.driveNumber = *drive;
      std::uint32_t sectorSize = 512;
      std::uint64_t total = 0;
      if (Result r = DriveFacts(out.driveNumber, out.path, total, sectorSize, error); r != kSuccess) return r;
      out.sectorCount = total;
      return kSuccess;
    }
    if (auto part = LocatePartition(text)) {
      out.kind = ResolvedSource::Kind::Drive;
      out.driveNumber = part->driveNumber;
      std::uint32_t sectorSize = 512;
      std::uint64_t total = 0;
      if (Result r = DriveFacts(out.driveNumber, out.path, total, sectorSize, error); r != kSuccess) return r;
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
    error = "cannot open " + text + ": " + ResultMessage(r);
    return r;
  }
  out.kind = ResolvedSource::Kind::Image;
  out.path = text;
  return kSuccess;
}

Result ReadSourceBootArea(const ResolvedSource& source, std::vector<std::uint8_t>& bootArea, std::string& error) {
  FileHandle medium;
  if (Result r = FileHandle::OpenReadOnly(source.path, medium); r != kSuccess) {
    error = "cannot open " + source.path + ": " + ResultMessage(r);
    return r;
  }
  std::uint64_t offset = 0;
  if (source.kind == ResolvedSource::Kind::Drive) {
    DiskGeometry geometry;
    std::uint64_t sectorSize = 512;
    if (GetDriveGeometry(medium, geometry) == kSuccess && geometry.bytesPerSector != 0)
      sectorSize = geometry.bytesPerSector;
    offset = source.startSector * sectorSize;
  }
  if (Result r = ReadBootArea(medium, offset, bootArea); r != kSuccess) {
    error = source.text + " is too short to hold a volume";
    return r;
  }
  return kSuccess;
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

}  // namespace rexmoor
