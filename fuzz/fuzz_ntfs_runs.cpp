#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "formats/ntfs_runs.h"

// Run lists of two extents of one attribute. The first 12 bytes choose the volume size, the
// second extent's split point and its starting cluster; every decoded run must lie on the volume.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 12) return 0;
  std::uint32_t clusters = 0, split = 0, startVcn = 0;
  std::memcpy(&clusters, data, 4);
  std::memcpy(&split, data + 4, 4);
  std::memcpy(&startVcn, data + 8, 4);
  std::span<const std::uint8_t> bytes(data + 12, size - 12);
  split = bytes.empty() ? 0 : split % (bytes.size() + 1);

  rexmoor::RunDecodeLimits limits;
  limits.clusterCount = clusters;
  limits.maxRuns = 4096;
  rexmoor::RunList first, second;
  (void)rexmoor::DecodeRunList(bytes.first(split), 0, limits, first);
  (void)rexmoor::DecodeRunList(bytes.subspan(split), startVcn, limits, second);
  for (const auto* list : {&first, &second}) {
    if (list->size() > limits.maxRuns) __builtin_trap();
    for (const rexmoor::DataRun& run : *list) {
      if (run.length == 0) __builtin_trap();
      if (!run.sparse && (run.lcn >= clusters || run.length > clusters - run.lcn)) __builtin_trap();
    }
  }
  const std::uint64_t firstEnd = rexmoor::RunListEnd(first);
  rexmoor::RunList joined = first;
  (void)rexmoor::AppendExtent(joined, second);
  if (rexmoor::RunListEnd(joined) < firstEnd) __builtin_trap();
  for (std::uint64_t vcn : {std::uint64_t{0}, std::uint64_t{startVcn}, firstEnd, rexmoor::RunListEnd(joined)}) {
    if (auto index = rexmoor::FindRun(joined, vcn)) {
      const rexmoor::DataRun& run = joined[*index];
      if (vcn < run.vcn || vcn - run.vcn >= run.length) __builtin_trap();
    }
  }
  return 0;
}
