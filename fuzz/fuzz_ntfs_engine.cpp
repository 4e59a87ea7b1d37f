#include <cstddef>
#include <cstdint>

#include "ntfs/fast_ntfs_recovery.h"
#include "fuzz_support.h"

// A whole NTFS volume: boot sector, the MFT and its records, folders, runs and compressed data.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  rexmoor::fuzz::FuzzDataDir();
  rexmoor::fuzz::MemoryMedium medium(data, size);
  if (!medium.ok()) return 0;
  rexmoor::CFastNtfsRecovery engine;
  if (engine.OpenImageFile(medium.path(), 1) != rexmoor::kSuccess) return 0;
  if (engine.Scan(nullptr) != rexmoor::kSuccess) return 0;
  rexmoor::fuzz::ScratchFolder out;
  rexmoor::fuzz::BrowseAndRecover(engine, out.path());
  rexmoor::fuzz::WalkFreeSpace(engine);
  return 0;
}
