#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "formats/ntfs_record.h"

// One MFT record as found on a damaged volume: fix-up, attribute walk, names and attribute lists.
// Every attribute the walk yields must lie inside the record.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> record(data, data + size);
  (void)rexmoor::HasFileSignature(record);
  (void)rexmoor::ParseRecordHeader(record);
  auto header = rexmoor::PrepareFileRecord(record);
  if (!header) return 0;
  const std::uint8_t* begin = record.data();
  const std::uint8_t* end = begin + record.size();
  auto inside = [&](std::span<const std::uint8_t> part) {
    return part.empty() || (part.data() >= begin && part.data() + part.size() <= end);
  };
  rexmoor::AttributeWalker walker(record, *header);
  for (int i = 0; i < 1024; ++i) {
    auto attribute = walker.Next();
    if (!attribute) break;
    if (attribute->offset + attribute->length > record.size()) __builtin_trap();
    if (!inside(attribute->value) || !inside(attribute->runs)) __builtin_trap();
    if (attribute->nonResident) continue;
    if (auto name = rexmoor::ParseFileName(attribute->value)) {
      if (!inside(name->nameBytes)) __builtin_trap();
      (void)rexmoor::FileNameRank(name->nameSpace);
      if (rexmoor::FileNameText(*name, 257).size() > 257) __builtin_trap();
    }
    if (attribute->type == rexmoor::kAttrAttributeList) {
      std::size_t offset = 0;
      for (int n = 0; n < 4096; ++n) {
        std::size_t next = 0;
        if (!rexmoor::ParseAttributeListEntry(attribute->value, offset, next)) break;
        if (next <= offset) __builtin_trap();  // the walk over the list must move on
        offset = next;
      }
    }
  }
  for (std::uint32_t type : {rexmoor::kAttrStandardInformation, rexmoor::kAttrAttributeList, rexmoor::kAttrFileName,
                             rexmoor::kAttrData, rexmoor::kAttrIndexAllocation})
    (void)rexmoor::FindAttribute(record, *header, type, type == rexmoor::kAttrData);
  return 0;
}
