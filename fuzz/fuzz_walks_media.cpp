#include <cstddef>
#include <cstdint>
#include <span>

#include "formats/walk_media.h"

// The audio and video structure walks over a file in memory. The first input byte chooses the
// limit (odd: a fraction of the input, even: none); the rest is the file. A measured length must
// lie within both the limit and the bytes there are.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace rexmoor::formats;
  if (size < 1) return 0;
  const std::span<const std::uint8_t> bytes(data + 1, size - 1);
  const std::uint64_t limit = (data[0] & 1) != 0 ? bytes.size() * (data[0] >> 1) / 127 : std::uint64_t{1} << 40;
  using Walk = WalkResult (*)(FileBytes&, std::uint64_t);
  static constexpr Walk kWalks[] = {
      MeasureMpegAudio, MeasureIsoMedia, MeasureMatroska, MeasureFlv,  MeasureMpegPs,
      MeasureAsf,       MeasureRealMedia, MeasureMxf,     MeasureMidi, MeasureApe,
      MeasureMmf,       MeasureHeif,      MeasureJxlContainer,
      MeasureFlac,      MeasureOgg,       MeasureAiff,
      MeasureAdts,      MeasureAmr,       MeasureCaf,     MeasureWavPack, MeasureDsf,
      [](FileBytes& f, std::uint64_t l) { return MeasureTransportStream(f, l, 188); },
      [](FileBytes& f, std::uint64_t l) { return MeasureTransportStream(f, l, 192); },
  };
  for (Walk walk : kWalks) {
    MemoryFileBytes file(bytes);
    const WalkResult r = walk(file, limit);
    if (r.verdict == WalkVerdict::kMeasured && (r.length > limit || r.length > bytes.size())) __builtin_trap();
  }
  return 0;
}
