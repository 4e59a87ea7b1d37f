#include <cstddef>
#include <cstdint>

#include "ntfs/fast_ntfs_recovery.h"
#include "fuzz_support.h"

// A whole NTFS volume: boot sector, the MFT and its records, folders, runs and compressed data.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return rexmoor::fuzz::RunVolumeEngine<rexmoor::CFastNtfsRecovery>(data, size);
}
