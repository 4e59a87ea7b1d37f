#include "formats/ntfs_runs.h"

#include <algorithm>

namespace rexmoor {

namespace {

// Little-endian unsigned value of n bytes (n <= 8).
std::uint64_t LoadUnsigned(const std::uint8_t* p, unsigned n) {
  std::uint64_t v = 0;
  for (unsigned i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  return v;
}

// Little-endian two's-complement value of n bytes (1 <= n <= 7).
std::int64_t LoadSigned(const std::uint8_t* p, unsigned n) {
  std::uint64_t v = LoadUnsigned(p, n);
  const std::uint64_t sign = std::uint64_t{1} << (8 * n - 1);
  if ((v & sign) != 0) v |= ~((sign << 1) - 1);
  return static_cast<std::int64_t>(v);
}

}  // namespace

bool DecodeRunList(std::span<const std::uint8_t> bytes, std::uint64_t startVcn, const RunDecodeLimits& limits,
                   RunList& out) {
  std::size_t at = 0;
  std::uint64_t vcn = startVcn;
  std::int64_t lcn = 0;
  std::size_t decoded = 0;
  while (at < bytes.size()) {
    const std::uint8_t header = bytes[at];
    if (header == 0) return true;
    const unsigned lengthBytes = header & 0x0F;
    const unsigned offsetBytes = header >> 4;
    if (lengthBytes == 0 || lengthBytes >= 8 || offsetBytes >= 8) return false;
    if (bytes.size() - at - 1 < lengthBytes + offsetBytes) return false;
    if (decoded >= limits.maxRuns || out.size() >= limits.maxRuns) return false;
    const std::uint8_t* p = bytes.data() + at + 1;
    DataRun run;
    run.vcn = vcn;
    run.length = LoadUnsigned(p, lengthBytes);
    if (run.length == 0) return false;
    if (offsetBytes == 0) {
      run.sparse = true;
    } else {
      const std::int64_t delta = LoadSigned(p + lengthBytes, offsetBytes);
      if (__builtin_add_overflow(lcn, delta, &lcn) || lcn < 0) return false;
      run.lcn = static_cast<std::uint64_t>(lcn);
      if (run.lcn >= limits.clusterCount) return false;
      if (run.length > limits.clusterCount - run.lcn) {
        run.length = limits.clusterCount - run.lcn;  // the part on the volume is still worth reading
        out.push_back(run);
        return false;
      }
    }
    // A sparse run may not stretch the attribute past anything a volume could hold either.
    if (run.length > limits.clusterCount || vcn > UINT64_MAX - run.length) return false;
    out.push_back(run);
    vcn += run.length;
    at += 1 + lengthBytes + offsetBytes;
    ++decoded;
  }
  return false;  // ran off the attribute without an end marker
}

std::uint64_t RunListEnd(const RunList& runs) { return runs.empty() ? 0 : runs.back().vcn + runs.back().length; }

std::optional<std::size_t> FindRun(const RunList& runs, std::uint64_t vcn) {
  // Runs are in vcn order without overlap: binary search on their starts.
  auto it = std::upper_bound(runs.begin(), runs.end(), vcn,
                             [](std::uint64_t v, const DataRun& r) { return v < r.vcn; });
  if (it == runs.begin()) return std::nullopt;
  --it;
  if (vcn - it->vcn >= it->length) return std::nullopt;
  return static_cast<std::size_t>(it - runs.begin());
}

bool AppendExtent(RunList& list, const RunList& extent) {
  if (extent.empty()) return true;
  const std::uint64_t end = RunListEnd(list);
  if (extent.front().vcn < end) return false;
  if (extent.front().vcn > end) list.push_back(DataRun{end, extent.front().vcn - end, 0, true});
  list.insert(list.end(), extent.begin(), extent.end());
  return true;
}

}  // namespace rexmoor
