// NTFS data runs ("mapping pairs"): where the clusters of a non-resident attribute lie. Decoding
// is a pure function over the run-list bytes; runs are kept with their absolute cluster numbers, so
// that the runs of several extents of one attribute can be put one after the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace rexmoor {

struct DataRun {
  std::uint64_t vcn = 0;     // first cluster of the run within the attribute
  std::uint64_t length = 0;  // clusters
  std::uint64_t lcn = 0;     // first cluster on the volume; meaningless for a sparse run
  bool sparse = false;       // a run without offset bytes: it reads as zeros
};
using RunList = std::vector<DataRun>;

// No attribute needs more runs than this; a longer list is damage.
inline constexpr std::size_t kMaxRunsPerAttribute = 1u << 20;

struct RunDecodeLimits {
  std::uint64_t clusterCount = 0;  // clusters of the volume: runs must lie below it
  std::size_t maxRuns = kMaxRunsPerAttribute;
};

// Decodes the run list of one attribute (or one extent of it) starting at virtual cluster
// startVcn and appends its runs to out. A header byte of 0 ends the list, as does a length or
// offset field of 8 bytes or more, a run of length 0, a cluster number below 0, and a run that
// does not lie wholly on the volume (a run that starts on the volume is clipped to its end, and the
// list ends there). Returns false when the list ended at damage rather than at its end marker;
// the runs decoded before stay in out.
bool DecodeRunList(std::span<const std::uint8_t> bytes, std::uint64_t startVcn, const RunDecodeLimits& limits,
                   RunList& out);

// Virtual clusters covered by the list (the end of its last run).
std::uint64_t RunListEnd(const RunList& runs);
// The run holding virtual cluster vcn, or nothing.
std::optional<std::size_t> FindRun(const RunList& runs, std::uint64_t vcn);
// Appends an extent's runs to a list, filling a gap before it with a sparse run; an extent that
// starts before the list's end (a repeated or overlapping extent) is dropped. False when dropped.
bool AppendExtent(RunList& list, const RunList& extent);

}  // namespace rexmoor
