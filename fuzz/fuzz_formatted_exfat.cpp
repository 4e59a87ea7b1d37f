#include <cstddef>
#include <cstdint>
#include <span>

#include "exfat/pro_exfat_recovery.h"
#include "fuzz_support.h"
#include "scan/sector_dispatch.h"

// A medium after a quick format, as the deep scan hands it to the formatted exFAT engine: every
// sector that holds an entry set in ascending order, then the end of the sweep (the layout settled
// from the boot region or the folders); then the rebuilt tree browsed and written out.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kSector = 512;
  rexmoor::fuzz::FuzzDataDir();
  rexmoor::fuzz::MemoryMedium medium(data, size);
  if (!medium.ok()) return 0;
  rexmoor::CProfessionalExfatRecovery engine;
  if (engine.OpenImageFile(medium.path(), 1) != rexmoor::kSuccess) return 0;
  (void)engine.BeginFormattedCatalogue(nullptr);
  (void)engine.PrepareSweep();
  for (std::size_t at = 0; at + kSector <= size; at += kSector) {
    const std::span<const std::uint8_t> sector(data + at, kSector);
    if (rexmoor::ClassifySweepSector(sector, rexmoor::SweepRecordSize(kSector)) ==
        rexmoor::SweepSectorKind::ExfatDirectory)
      engine.TakeDirectorySector(sector, at / kSector);
  }
  (void)engine.FinishSweep();
  rexmoor::fuzz::ScratchFolder out;
  rexmoor::fuzz::BrowseAndRecover(engine, out.path());
  return 0;
}
