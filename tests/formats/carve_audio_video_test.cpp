// The newer audio and video formats, documents and personal data, carved from a raw image by the
// carving step: each real sample lies at a sector boundary between random sectors (with random
// slack after its end) or between zero sectors, and must come back typed, named and cut to the byte.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <set>

#include "carve_test_support.h"
#include "fat/fat_volume_builder.h"
#include "formats/carve_at_sector.h"
#include "formats/carving_context.h"
#include "formats/file_format_table.h"

namespace rexmoor {
namespace {

using carvetest::Bytes;

std::string Sha256Of(const Bytes& bytes) {
  const std::string path = ::testing::TempDir() + "/carved_audio_video.bin";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                             static_cast<std::streamsize>(bytes.size()));
  return test::Sha256Hex(path);
}

TEST(CarveAudioVideo, RealSamplesAmongRandomOrZeroSectorsComeBackWhole) {
  const std::set<FileTypeId> types = {kTypeFlac, kTypeOgg,  kTypeOpus, kTypeM4a, kTypeAiff,  kTypeWebm, kTypeAac,
                                      kTypeAmr,  kTypeCaf,  kTypeWv,   kTypeDsf, kTypeM4v,   kTypeOdt,  kTypeOds,
                                      kTypeOdp,  kTypeOdg,  kTypeEpub, kTypeRtf, kTypeMbox,  kTypeVcf,  kTypeIcs,
                                      kTypePlist, kTypeSvg};
  // Newer codecs and packet sizes in the older containers, which keep their types.
  const std::set<std::string> alsoOlder = {"hevc.mp4", "hevc.mov", "av1.mp4", "sample.m2ts"};
  std::mt19937 rng(5906);
  std::set<FileTypeId> seen;
  for (const auto& sample : carvetest::LoadManifest()) {
    if (types.count(sample.type) == 0 && alsoOlder.count(sample.name) == 0) continue;
    SCOPED_TRACE(sample.name);
    const Bytes file = carvetest::LoadSample(sample.name);
    ASSERT_EQ(Sha256Of(file), sample.sha256);
    for (const bool random : {true, false}) {
      carvetest::ImageBuilder builder;
      random ? builder.Random(3, rng()) : builder.Zeros(3);
      const std::uint64_t start = random ? builder.PlaceWithRandomSlack(file, rng()) : builder.Place(file);
      random ? builder.Random(6, rng()) : builder.Zeros(6);
      carvetest::Medium medium(builder.bytes());
      const std::uint64_t sectors = medium.image().size() / 512;
      CarvingContext ctx;
      CarvedFile out;
      ASSERT_EQ(CarveAtSector(ctx, 512, medium.source(), medium.Sector(start), start, 0, sectors, -1, 0, &out),
                kSuccess);
      EXPECT_EQ(out.typeId, sample.type);
      EXPECT_EQ(out.Name(), std::to_string(start) + "." + std::string(ExtensionForType(sample.type)));
      EXPECT_FALSE(out.endEstimated);
      ASSERT_LE(start * 512 + out.length, medium.image().size());
      const auto from = medium.image().begin() + static_cast<std::ptrdiff_t>(start * 512);
      EXPECT_EQ(Sha256Of(Bytes(from, from + static_cast<std::ptrdiff_t>(out.length))), sample.sha256)
          << (random ? "random" : "zeros") << " around, carved " << out.length << " of " << file.size();
    }
    if (types.count(sample.type) != 0) seen.insert(sample.type);
  }
  EXPECT_EQ(seen, types);  // every new type has a real sample
}

}  // namespace
}  // namespace rexmoor
