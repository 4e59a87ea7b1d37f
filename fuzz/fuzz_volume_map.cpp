#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "device/volume_map.h"

// The first 64 KiB of an 8 MiB drive (partition tables, boot sectors, GPT header and entries):
// every entry listed must lie on the drive, and labels stay within their bounds.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::uint64_t kDriveBytes = 8 << 20;
  if (size > 65536) return 0;
  const int fd = ::memfd_create("drive", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (::ftruncate(fd, kDriveBytes) == 0 && ::pwrite(fd, data, size, 0) == static_cast<ssize_t>(size)) {
    rexmoor::VolumeMap map;
    rexmoor::EnumerateVolumes(map, {rexmoor::DriveInfo{"/proc/self/fd/" + std::to_string(fd), "", true}});
    for (const auto& [drive, entries] : map.drives)
      for (const rexmoor::VolumeEntry& e : entries) {
        if (e.start > kDriveBytes / 512 || e.length > kDriveBytes / 512 - e.start) __builtin_trap();
        if (e.label.size() > 128 || e.fileSystemName.size() > 32) __builtin_trap();
      }
  }
  ::close(fd);
  return 0;
}
