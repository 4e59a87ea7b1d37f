#include <cstddef>
#include <cstdint>
#include <span>

#include "formats/exfat_dir_entry.h"
#include "formats/exfat_layout.h"

// The first sectors of a damaged exFAT volume and a directory cluster: the boot regions judged,
// the bytes loaded as an up-case table, and an entry set decoded at every slot under both the
// default table and the loaded one.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> bytes(data, size);
  if (auto layout = rexmoor::FindExfatLayout(bytes)) {
    if (!layout->IsValidCluster(layout->rootCluster) || !layout->ClusterSector(layout->rootCluster)) __builtin_trap();
    (void)layout->ActiveFatSector();
  }
  rexmoor::ExfatUpcase upcase;
  (void)upcase.Load(bytes);
  (void)rexmoor::ExfatTableChecksum(bytes);
  const rexmoor::ExfatUpcase ascii;
  for (std::size_t at = 0; at + rexmoor::kExfatEntrySize <= size; at += rexmoor::kExfatEntrySize) {
    rexmoor::ExfatEntrySet set;
    for (const rexmoor::ExfatUpcase* table : {&ascii, static_cast<const rexmoor::ExfatUpcase*>(&upcase)}) {
      if (rexmoor::ParseExfatEntrySet(bytes.subspan(at), *table, set) != rexmoor::ExfatSetStatus::Ok) continue;
      if (set.entryCount * rexmoor::kExfatEntrySize > size - at || set.validDataLength > set.dataLength ||
          set.name16.empty() || set.name16.size() > rexmoor::kExfatMaxNameUnits)
        __builtin_trap();
      (void)rexmoor::ExfatTimeToFileTime(set.created);
      (void)rexmoor::ExfatTimeToFileTime(set.modified);
    }
  }
  for (std::size_t at = 0; at < size; at += 512) (void)rexmoor::HoldsExfatEntrySet(bytes.subspan(at));
  return 0;
}
