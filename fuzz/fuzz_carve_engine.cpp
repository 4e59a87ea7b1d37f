#include <cstddef>
#include <cstdint>
#include <span>

#include "carve/file_type_recovery.h"
#include "formats/carving_context.h"
#include "fuzz_support.h"

// The deep scan over a raw medium: every sector offered to the carver in turn, as the sweep does,
// then the carved files listed and written out.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kSector = 512;
  rexmoor::fuzz::FuzzDataDir();
  rexmoor::fuzz::MemoryMedium medium(data, size);
  if (!medium.ok()) return 0;
  rexmoor::CFileTypeRecovery engine;
  if (engine.OpenImageFile(medium.path(), 1) != rexmoor::kSuccess) return 0;
  (void)engine.Scan(nullptr);
  const std::uint64_t sectors = size / kSector;
  std::uint64_t found = 0;
  for (std::uint64_t at = 0; at < sectors;) {
    std::uint64_t advance = 1;
    const std::span<const std::uint8_t> sector(data + at * kSector, kSector);
    const rexmoor::Result r = engine.CarveStep(kSector, sector, at, at, sectors, -1, advance, found);
    if (r == rexmoor::kCancelled) break;
    at += advance == 0 ? 1 : advance;
  }
  rexmoor::fuzz::ScratchFolder out;
  rexmoor::fuzz::BrowseAndRecover(engine, out.path());
  return 0;
}
