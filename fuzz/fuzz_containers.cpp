#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "device/container_source.h"
#include "device/sector_source.h"
#include "platform/file_handle.h"

// A container file of any kind (the first byte picks its name, the rest is its content): opening
// it either fails with a reason or gives a disk whose reads stay within what was asked, at its
// start, its middle and its end.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const char* const kNames[] = {"disk.E01", "disk.vhd", "disk.vhdx", "disk.vmdk", "disk.qcow2", "disk.001"};
  if (size < 1 || size > (1u << 20)) return 0;
  static const std::string dir = [] {
    char pattern[] = "/tmp/rexmoor-fuzz-containers-XXXXXX";
    const char* made = mkdtemp(pattern);
    return std::string(made != nullptr ? made : "/tmp");
  }();
  const std::string path = dir + "/" + kNames[data[0] % (sizeof kNames / sizeof kNames[0])];
  {
    rexmoor::FileHandle file;
    if (rexmoor::FileHandle::OpenReadWrite(path, file, true) != rexmoor::kSuccess) return 0;
    (void)rexmoor::WriteAll(file, data + 1, size - 1, 0);
  }
  rexmoor::SectorSource source;
  if (rexmoor::OpenImageSource(path, source) == rexmoor::kSuccess) {
    std::vector<std::uint8_t> buffer(64 * 512);
    const std::uint64_t total = source.totalSectors;
    for (std::uint64_t at : {std::uint64_t{0}, total / 2, total > 64 ? total - 64 : 0}) {
      std::uint32_t got = 0;
      const auto count = static_cast<std::int32_t>(std::min<std::uint64_t>(64, total - std::min(at, total)));
      const rexmoor::Result r = rexmoor::ReadSectors(count, source, buffer.data(), at, 512, &got);
      if (r == rexmoor::kSuccess && got != static_cast<std::uint32_t>(count)) __builtin_trap();
      if (got > static_cast<std::uint32_t>(count)) __builtin_trap();
    }
    rexmoor::CloseSource(source);
  }
  (void)rexmoor::ContainerFiles(path);
  ::unlink(path.c_str());
  return 0;
}
