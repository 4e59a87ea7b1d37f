#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz_support.h"
#include "ntfs/pro_ntfs_recovery.h"
#include "platform/byte_view.h"
#include "scan/sector_dispatch.h"

// A medium after a re-format, as the deep scan hands it to the formatted NTFS engine: every file
// record in ascending order (a record running past the end is padded), then the finishing pass;
// then the rebuilt tree browsed and written out.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kSector = 512;
  rexmoor::fuzz::FuzzDataDir();
  rexmoor::fuzz::MemoryMedium medium(data, size);
  if (!medium.ok()) return 0;
  rexmoor::CProfessionalNtfsRecovery engine;
  if (engine.OpenImageFile(medium.path(), 1) != rexmoor::kSuccess) return 0;
  (void)engine.BeginNtfsCatalogue(nullptr);
  const std::size_t recordSize = rexmoor::SweepRecordSize(kSector);
  std::vector<std::uint8_t> record(recordSize);
  for (std::size_t at = 0; at + kSector <= size; at += kSector) {
    const std::span<const std::uint8_t> sector(data + at, kSector);
    if (rexmoor::ClassifySweepSector(sector, static_cast<std::uint32_t>(recordSize)) !=
            rexmoor::SweepSectorKind::NtfsFileRecord ||
        (rexmoor::LoadU16LE(sector.data() + 22) & 0x02) != 0)
      continue;
    std::fill(record.begin(), record.end(), 0);
    std::copy_n(data + at, std::min(recordSize, size - at), record.begin());
    (void)engine.TakeFileRecord(record, at / kSector);
  }
  (void)engine.FinishNtfsSweep();
  rexmoor::fuzz::ScratchFolder out;
  rexmoor::fuzz::BrowseAndRecover(engine, out.path());
  return 0;
}
