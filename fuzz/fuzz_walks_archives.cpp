#include <cstddef>
#include <cstdint>
#include <span>

#include "formats/walk_archives.h"
#include "formats/walk_documents.h"

// The archive, document and database walks over hostile bytes. The first input byte picks the
// limit (the whole input, or a cut through it); the rest is the candidate file.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace rexmoor;
  using namespace rexmoor::formats;
  if (size < 1) return 0;
  const std::span<const std::uint8_t> bytes(data + 1, size - 1);
  const std::uint64_t limit = (data[0] & 1) ? bytes.size() * (data[0] >> 1) / 128 : bytes.size() + (data[0] >> 1);
  using Walk = WalkResult (*)(FileBytes&, std::uint64_t);
  static constexpr Walk kWalks[] = {
      MeasureZip, Measure7z, MeasureRar, MeasureGzip, MeasurePdf, MeasureSqlite, MeasureCompoundDocument, MeasureCab,
      MeasureSwf, MeasureRtf, MeasureBinaryPlist,
      // The closing-line walks run over a text the text walk measured: here, the bytes up to the limit.
      [](FileBytes& f, std::uint64_t l) { return MeasureClosedText(f, l, kTypeVcf); },
      [](FileBytes& f, std::uint64_t l) { return MeasureClosedText(f, l, kTypeIcs); },
      [](FileBytes& f, std::uint64_t l) { return MeasureClosedText(f, l, kTypeSvg); },
      [](FileBytes& f, std::uint64_t l) { return MeasureClosedText(f, l, kTypePlist); },
  };
  for (const Walk walk : kWalks) {
    MemoryFileBytes file(bytes);
    const WalkResult r = walk(file, limit);
    // A measured file lies within both the limit and the bytes there are.
    if (r.verdict == WalkVerdict::kMeasured && (r.length > limit || r.length > bytes.size())) __builtin_trap();
  }
  return 0;
}
