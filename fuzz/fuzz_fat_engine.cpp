#include <cstddef>
#include <cstdint>

#include "fat/fast_fat_recovery.h"
#include "fuzz_support.h"

// A whole FAT volume: boot sector, FATs, directory tree, deleted entries and their chains.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  rexmoor::fuzz::FuzzDataDir();
  rexmoor::fuzz::MemoryMedium medium(data, size);
  if (!medium.ok()) return 0;
  rexmoor::CFastFatRecovery engine;
  if (engine.OpenImageFile(medium.path(), 1) != rexmoor::kSuccess) return 0;
  if (engine.Scan(nullptr) != rexmoor::kSuccess) return 0;
  rexmoor::fuzz::ScratchFolder out;
  rexmoor::fuzz::BrowseAndRecover(engine, out.path());
  rexmoor::fuzz::WalkFreeSpace(engine);
  return 0;
}
