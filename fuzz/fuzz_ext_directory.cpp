#include <cstddef>
#include <cstdint>
#include <span>

#include "formats/ext_layout.h"

// A damaged directory block: the live entries, the deleted ones in the slack behind them, with
// and without the file-type byte, and the same bytes cut at odd lengths.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> bytes(data, size);
  const std::uint32_t inodesCount = size >= 4 ? (data[0] | (data[1] << 8) | (data[2] << 16)) + 16 : 1024;
  for (bool fileType : {true, false}) {
    for (std::size_t cut : {size, size / 2, size - size % 4}) {
      for (const rexmoor::ExtDirEntry& e : rexmoor::ParseExtDirBlock(bytes.first(cut), inodesCount, fileType)) {
        if (e.offset >= cut || e.inode > inodesCount || e.name.empty() || e.name.size() > 255 ||
            e.name.find('/') != std::string::npos || e.name.find('\0') != std::string::npos || e.name == "." ||
            e.name == "..")
          __builtin_trap();
      }
    }
  }
  return 0;
}
