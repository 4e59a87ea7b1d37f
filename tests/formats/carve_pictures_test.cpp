// WebP, HEIC, AVIF and JPEG XL pictures made by their own encoders, laid on a medium between random
// and zero sectors and carved by the real carver: each comes back byte for byte. A burst of
// pictures and a live photo (the picture, then its movie) stand byte against byte, and still each
// picture ends where it ends.
#include <gtest/gtest.h>

#include <random>

#include "carve_test_support.h"
#include "formats/carve_at_sector.h"
#include "formats/carving_context.h"
#include "formats/file_format_table.h"

namespace rexmoor {
namespace {

using carvetest::Bytes;

Bytes Joined(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

struct Picture {
  std::string name;
  Bytes bytes;        // what is laid on the medium
  std::size_t size;   // the picture's own length at its start
  FileTypeId type;
  bool declaresLength;  // false: a bare JPEG XL codestream, measured to the next file
  std::uint64_t start = 0;
};

TEST(CarvePictures, ModernPicturesComeBackByteExactFromAMedium) {
  std::vector<Picture> pictures;
  for (const auto& s : carvetest::LoadManifest()) {
    if (s.type != kTypeWebp && s.type != kTypeHeic && s.type != kTypeAvif && s.type != kTypeJxl) continue;
    const Bytes file = carvetest::LoadSample(s.name);
    pictures.push_back({s.name, file, file.size(), s.type, s.extent != "estimate"});
  }
  ASSERT_GE(pictures.size(), 11u);
  const Bytes heic = carvetest::LoadSample("sample.heic");
  const Bytes avif = carvetest::LoadSample("sample.avif");
  const Bytes jxl = carvetest::LoadSample("container.jxl");
  pictures.push_back({"burst", Joined(heic, heic), heic.size(), kTypeHeic, true});
  pictures.push_back({"live photo", Joined(heic, carvetest::LoadSample("sample.mov")), heic.size(),
                      kTypeHeic, true});
  pictures.push_back({"avif then jxl", Joined(avif, jxl), avif.size(), kTypeAvif, true});
  pictures.push_back({"jxl twice", Joined(jxl, jxl), jxl.size(), kTypeJxl, true});

  std::mt19937 rng(5902);
  std::shuffle(pictures.begin(), pictures.end(), rng);
  carvetest::ImageBuilder builder;
  builder.Zeros(2);
  for (Picture& p : pictures) {
    p.start = builder.PlaceWithRandomSlack(p.bytes, static_cast<std::uint32_t>(rng()));
    builder.Random(1 + rng() % 3, static_cast<std::uint32_t>(rng()));
    builder.Zeros(1 + rng() % 2);
  }
  carvetest::Medium medium(builder.bytes());
  const Bytes& image = medium.image();

  CarvingContext ctx;
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    const Picture& p = pictures[i];
    SCOPED_TRACE(p.name);
    CarvedFile out;
    ASSERT_EQ(CarveAtSector(ctx, 512, medium.source(), medium.Sector(p.start), p.start, 0, image.size() / 512, -1, i,
                            &out),
              kSuccess);
    EXPECT_EQ(out.typeId, p.type);
    EXPECT_EQ(out.Name(), std::to_string(p.start) + "." + std::string(ExtensionForType(p.type)));
    const auto at = image.begin() + static_cast<std::ptrdiff_t>(p.start * 512);
    if (p.declaresLength) {
      EXPECT_EQ(ctx.extentBasis, CarvingContext::ExtentBasis::kStructure);
      ASSERT_EQ(out.length, p.size);
      EXPECT_TRUE(std::equal(p.bytes.begin(), p.bytes.begin() + static_cast<std::ptrdiff_t>(p.size), at));
    } else {
      // No length of its own: the whole picture, then up to the next file, marked as an estimate.
      EXPECT_EQ(ctx.extentBasis, CarvingContext::ExtentBasis::kFallback);
      const std::uint64_t next = i + 1 < pictures.size() ? pictures[i + 1].start : image.size() / 512;
      EXPECT_EQ(out.length, (next - p.start) * 512);
      EXPECT_TRUE(std::equal(p.bytes.begin(), p.bytes.end(), at));
    }
  }
}

}  // namespace
}  // namespace rexmoor
