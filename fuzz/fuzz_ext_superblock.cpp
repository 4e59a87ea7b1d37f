#include <cstddef>
#include <cstdint>
#include <span>

#include "formats/ext_layout.h"

// The start of a damaged ext volume: the superblock at byte 1024 (or at 0 for short inputs) and
// the group descriptors that follow it.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> bytes(data, size);
  const std::size_t at = size >= 2048 ? rexmoor::kExtSuperblockOffset : 0;
  if (size - at < rexmoor::kExtSuperblockSize) return 0;
  rexmoor::ExtSuperblock sb;
  const rexmoor::ExtSuperStatus status = rexmoor::ParseExtSuperblock(bytes.subspan(at), sb);
  if (status != rexmoor::ExtSuperStatus::Ok && status != rexmoor::ExtSuperStatus::Unsupported) return 0;
  if (sb.blockSize < 1024 || sb.blockSize > 65536 || sb.groupCount == 0 || sb.inodeSize > sb.blockSize ||
      sb.descSize < 32 || sb.firstInode >= sb.inodesCount)
    __builtin_trap();
  (void)rexmoor::ExtVariantName(sb);
  const auto descs = rexmoor::ParseExtGroupDescs(bytes.subspan(at + rexmoor::kExtSuperblockSize), sb);
  if (descs.size() > sb.groupCount) __builtin_trap();
  for (const rexmoor::ExtGroupDesc& d : descs)
    if (d.blockBitmap >= sb.blocksCount || d.inodeBitmap >= sb.blocksCount || d.inodeTable >= sb.blocksCount)
      __builtin_trap();
  return 0;
}
