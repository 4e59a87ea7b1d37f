#include <cstddef>
#include <cstdint>

#include "exfat/fast_exfat_recovery.h"
#include "fuzz_support.h"

// A whole exFAT volume: boot regions, FAT, bitmap, up-case table, entry sets, deleted sets and
// their chains.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return rexmoor::fuzz::RunVolumeEngine<rexmoor::CFastExfatRecovery>(data, size);
}
