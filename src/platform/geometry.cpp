#include "platform/geometry.h"

#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace rexmoor {

Result GetLengthBytes(const FileHandle& handle, std::uint64_t& bytes) { return handle.Size(bytes); }

Result GetDriveGeometry(const FileHandle& handle, DiskGeometry& out) {
  if (!handle.IsValid()) return kErrInvalidHandle;
  std::uint64_t length = 0;
  if (Result r = handle.Size(length); r != kSuccess) return r;
  out = DiskGeometry{};
  out.bytesPerSector = 512;
  out.tracksPerCylinder = 255;
  out.sectorsPerTrack = 63;
  if (handle.IsBlockDevice()) {
    int logical = 0;
    if (::ioctl(handle.fd(), BLKSSZGET, &logical) != 0) return ResultFromErrno(errno);
    if (logical > 0) out.bytesPerSector = static_cast<std::uint32_t>(logical);
    hd_geometry geo{};
    if (::ioctl(handle.fd(), HDIO_GETGEO, &geo) == 0 && geo.heads != 0 && geo.sectors != 0) {
      out.tracksPerCylinder = geo.heads;
      out.sectorsPerTrack = geo.sectors;
    }
  }
  // The kernel's cylinder field is 16 bits wide; derive the count from the length instead.
  std::uint64_t perCylinder =
      std::uint64_t{out.tracksPerCylinder} * out.sectorsPerTrack * out.bytesPerSector;
  out.cylinders = perCylinder == 0 ? 0 : length / perCylinder;
  return kSuccess;
}

}  // namespace rexmoor
