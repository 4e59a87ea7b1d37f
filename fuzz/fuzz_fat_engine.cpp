#include <cstddef>
#include <cstdint>

#include "fat/fast_fat_recovery.h"
#include "fuzz_support.h"

// A whole FAT volume: boot sector, FATs, directory tree, deleted entries and their chains.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return rexmoor::fuzz::RunVolumeEngine<rexmoor::CFastFatRecovery>(data, size);
}
