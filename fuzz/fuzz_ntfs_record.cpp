#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "formats/ntfs_record.h"
#include "formats/ntfs_runs.h"

// One MFT record as found on a damaged volume: fix-up, attribute walk, names and run lists.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> record(data, data + size);
  auto header = rexmoor::PrepareFileRecord(record);
  if (!header) return 0;
  rexmoor::AttributeWalker walker(record, *header);
  for (int i = 0; i < 1024; ++i) {
    auto attribute = walker.Next();
    if (!attribute) break;
    if (attribute->nonResident) {
      rexmoor::RunList runs;
      rexmoor::RunDecodeLimits limits;
      limits.clusterCount = 1u << 20;
      limits.maxRuns = 4096;
      (void)rexmoor::DecodeRunList(attribute->runs, attribute->lowestVcn, limits, runs);
    } else if (auto name = rexmoor::ParseFileName(attribute->value)) {
      (void)rexmoor::FileNameText(*name, 257);
    }
  }
  return 0;
}
