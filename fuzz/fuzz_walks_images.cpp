#include <cstddef>
#include <cstdint>
#include <span>

#include "formats/file_bytes.h"
#include "formats/walk_images.h"

// The picture, font and RIFF structure walks over the input as a file's bytes. The first byte's
// low bit sets a limit inside the file; a walk must never measure past the limit or the bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::span<const std::uint8_t> bytes(data + 1, size - 1);
  const std::uint64_t limit = (data[0] & 1) ? bytes.size() / 2 : ~std::uint64_t{0};
  using Walk = rexmoor::formats::WalkResult (*)(rexmoor::formats::FileBytes&, std::uint64_t);
  for (Walk walk : {rexmoor::formats::MeasureJpeg, rexmoor::formats::MeasurePng, rexmoor::formats::MeasureGif,
                    rexmoor::formats::MeasureBmp, rexmoor::formats::MeasureTiff, rexmoor::formats::MeasurePsd,
                    rexmoor::formats::MeasureIco, rexmoor::formats::MeasureTtf, rexmoor::formats::MeasureRiff,
                    rexmoor::formats::MeasureRaf, rexmoor::formats::MeasureCrw, rexmoor::formats::MeasureMrw,
                    rexmoor::formats::MeasureX3f}) {
    rexmoor::formats::MemoryFileBytes file(bytes);
    const rexmoor::formats::WalkResult r = walk(file, limit);
    if (r.verdict == rexmoor::formats::WalkVerdict::kMeasured && (r.length > bytes.size() || r.length > limit))
      __builtin_trap();
  }
  return 0;
}
