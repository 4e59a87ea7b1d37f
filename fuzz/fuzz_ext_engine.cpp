#include <cstddef>
#include <cstdint>

#include "ext/fast_ext_recovery.h"
#include "fuzz_support.h"

// A whole ext volume: superblock, group descriptors, bitmaps, inode tables, extent trees and
// block maps, folders with deleted entries, and the journal.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return rexmoor::fuzz::RunVolumeEngine<rexmoor::CFastExtRecovery>(data, size);
}
