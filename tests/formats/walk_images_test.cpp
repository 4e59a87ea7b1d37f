// The structure walks of pictures, fonts and RIFF files over real files: exact to the byte whatever
// follows them, never past the bytes there are on damaged copies, and not fooled by random bytes
// behind a format's magic.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "carve_test_support.h"
#include "formats/walk_images.h"

namespace rexmoor::formats {
namespace {

using carvetest::Bytes;
using Walk = WalkResult (*)(FileBytes&, std::uint64_t);

constexpr std::uint64_t kNoLimit = ~std::uint64_t{0};

struct Family {
  const char* ext;
  Walk walk;
  Bytes magic;  // a plausible start, so that the walk reads on into what follows it
};

const std::vector<Family>& Families() {
  static const std::vector<Family> families = {
      {"jpg", MeasureJpeg, {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0}},
      {"png", MeasurePng, {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'}},
      {"gif", MeasureGif, {'G', 'I', 'F', '8', '9', 'a'}},
      {"bmp", MeasureBmp, {'B', 'M'}},
      {"tif", MeasureTiff, {'I', 'I', 0x2A, 0, 8, 0, 0, 0}},
      {"psd", MeasurePsd, {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0, 0, 3}},
      {"ico", MeasureIco, {0, 0, 1, 0, 1, 0}},
      {"ttf", MeasureTtf, {0, 1, 0, 0, 0, 12, 0, 128, 0, 3, 0, 64}},
      {"wav", MeasureRiff, {'R', 'I', 'F', 'F', 0, 0, 1, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' '}},
      {"avi", MeasureRiff, {'R', 'I', 'F', 'F', 0, 0, 1, 0, 'A', 'V', 'I', ' ', 'L', 'I', 'S', 'T'}},
      {"cr2", MeasureTiff, {'I', 'I', 0x2A, 0, 16, 0, 0, 0, 'C', 'R', 2, 0}},
      {"nef", MeasureTiff, {'M', 'M', 0, 0x2A, 0, 0, 0, 8}},
      {"arw", MeasureTiff, {'I', 'I', 0x2A, 0, 8, 0, 0, 0}},
      {"dng", MeasureTiff, {'I', 'I', 0x2A, 0, 8, 0, 0, 0}},
      {"orf", MeasureTiff, {'I', 'I', 'R', 'O', 8, 0, 0, 0}},
      {"rw2", MeasureTiff, {'I', 'I', 'U', 0, 24, 0, 0, 0}},
      {"pef", MeasureTiff, {'M', 'M', 0, 0x2A, 0, 0, 0, 8}},
      {"srw", MeasureTiff, {'I', 'I', 0x2A, 0, 8, 0, 0, 0}},
      {"raf", MeasureRaf, {'F', 'U', 'J', 'I', 'F', 'I', 'L', 'M', 'C', 'C', 'D', '-', 'R', 'A', 'W', ' ', '0', '2', '0', '1'}},
      {"crw", MeasureCrw, {'I', 'I', 26, 0, 0, 0, 'H', 'E', 'A', 'P', 'C', 'C', 'D', 'R', 2, 0, 1, 0}},
      {"mrw", MeasureMrw, {0, 'M', 'R', 'M', 0, 0, 2, 0, 0, 'P', 'R', 'D', 0, 0, 0, 24}},
      {"x3f", MeasureX3f, {'F', 'O', 'V', 'b', 2, 0, 2, 0}},
      {"erf", MeasureTiff, {'I', 'I', 0x2A, 0, 8, 0, 0, 0}},
      {"3fr", MeasureTiff, {'I', 'I', 0x2A, 0, 8, 0, 0, 0}},
      {"kdc", MeasureTiff, {'I', 'I', 0x2A, 0, 8, 0, 0, 0}},
      {"dcr", MeasureTiff, {'I', 'I', 0x2A, 0, 8, 0, 0, 0}},
      {"mef", MeasureTiff, {'M', 'M', 0, 0x2A, 0, 0, 0, 8}},
      {"mos", MeasureTiff, {'M', 'M', 0, 0x2A, 0, 0, 0, 8}},
      {"iiq", MeasureTiff, {'I', 'I', 0x2A, 0, 16, 0, 0, 0, 'I', 'I', 'I', 'I', 1, 'w', 'a', 'R'}},
      {"webp", MeasureWebp, {'R', 'I', 'F', 'F', 0, 0, 1, 0, 'W', 'E', 'B', 'P', 'V', 'P', '8', 'L'}},
  };
  return families;
}

WalkResult Measure(Walk walk, std::span<const std::uint8_t> bytes, std::uint64_t limit = kNoLimit) {
  MemoryFileBytes file(bytes);
  return walk(file, limit);
}

struct Sample {
  std::string name;
  Bytes bytes;
  Walk walk;
  bool padded = false;  // ends in padding after its last structure (fonts)
};

Bytes Concat(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

// A Multi-Picture file as cameras write them: the primary image carries an APP2 "MPF" index
// (right after its APP0) whose entries point at the images after its end, relative to the
// index's own TIFF header.
Bytes MultiPicture(const Bytes& primary, const Bytes& second) {
  Bytes app2 = {0xFF, 0xE2, 0, 0, 'M', 'P', 'F', 0};
  const std::size_t tiff = app2.size();
  carvetest::Append(app2, {'I', 'I', 0x2A, 0, 8, 0, 0, 0, 1, 0});
  carvetest::Append(app2, {0x02, 0xB0, 7, 0, 32, 0, 0, 0, 26, 0, 0, 0, 0, 0, 0, 0});  // MP entries at 26
  app2.resize(tiff + 26 + 32, 0);
  carvetest::Put16BE(app2, 2, static_cast<std::uint16_t>(app2.size() - 2));
  const std::size_t at = 20;  // after SOI and the 16-byte APP0
  Bytes out(primary.begin(), primary.begin() + at);
  out.insert(out.end(), app2.begin(), app2.end());
  out.insert(out.end(), primary.begin() + at, primary.end());
  const std::size_t base = at + tiff;
  carvetest::Put32(out, base + 26 + 4, static_cast<std::uint32_t>(out.size()));  // the primary, offset 0
  carvetest::Put32(out, base + 26 + 16 + 4, static_cast<std::uint32_t>(second.size()));
  carvetest::Put32(out, base + 26 + 16 + 8, static_cast<std::uint32_t>(out.size() - base));
  return Concat(out, second);
}

// Every real sample of these formats, the fonts installed here, and files built from real ones.
std::vector<Sample> Samples() {
  std::vector<Sample> out;
  for (const auto& s : carvetest::LoadManifest()) {
    for (const Family& f : Families())
      if (s.ext == f.ext) out.push_back({s.name, carvetest::LoadSample(s.name), f.walk, s.ext == "ttf"});
  }
  std::vector<std::filesystem::path> fonts;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator("/usr/share/fonts", ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    const std::string e = it->path().extension().string();
    if (e == ".ttf" || e == ".otf" || e == ".ttc") fonts.push_back(it->path());
  }
  std::sort(fonts.begin(), fonts.end());
  if (fonts.size() > 60) fonts.resize(60);
  for (const auto& p : fonts) out.push_back({p.string(), test::ReadFileBytes(p.string()), MeasureTtf, true});

  const Bytes jpeg = carvetest::LoadSample("sample.jpg");
  out.push_back({"multi-picture jpg", MultiPicture(jpeg, carvetest::LoadSample("progressive.jpg")), MeasureJpeg});
  // A large AVI goes on in RIFF 'AVIX' lists; the sample's own lists stand in for one.
  Bytes avix = carvetest::LoadSample("sample.avi");
  std::copy_n("AVIX", 4, avix.begin() + 8);
  out.push_back({"avi with an AVIX part", Concat(carvetest::LoadSample("sample.avi"), avix), MeasureRiff});
  return out;
}

TEST(ImageWalks, RealFilesMeasureToTheByteWhateverFollows) {
  const std::vector<Sample> samples = Samples();
  ASSERT_GE(samples.size(), 20u);
  const Bytes random = test::RandomBytes(1 << 20, 31);
  const Bytes zeros(1 << 20, 0);
  for (const Sample& s : samples) {
    SCOPED_TRACE(s.name);
    const std::uint64_t size = s.bytes.size();
    for (const Bytes* after : {&random, &zeros, &s.bytes}) {
      const WalkResult r = Measure(s.walk, Concat(s.bytes, *after));
      EXPECT_EQ(r.verdict, WalkVerdict::kMeasured) << (after == &random ? "random" : after == &zeros ? "zeros" : "copy");
      EXPECT_EQ(r.length, size) << (after == &random ? "random" : after == &zeros ? "zeros" : "copy");
    }
    // The limit is honoured to the byte.
    const Bytes followed = Concat(s.bytes, random);
    EXPECT_EQ(Measure(s.walk, followed, size).length, size);
    const WalkResult cut = Measure(s.walk, followed, size - 1);
    EXPECT_TRUE(cut.verdict != WalkVerdict::kMeasured || cut.length < size);
  }
}

TEST(ImageWalks, DamagedCopiesNeverMeasurePastTheirBytes) {
  const Bytes random = test::RandomBytes(1 << 16, 32);
  for (const Sample& s : Samples()) {
    SCOPED_TRACE(s.name);
    const std::size_t size = s.bytes.size();
    std::vector<Bytes> variants;
    for (std::size_t keep : {size - 1, size * 2 / 3, std::min<std::size_t>(size, 512), std::size_t{16}})
      variants.emplace_back(s.bytes.begin(), s.bytes.begin() + static_cast<std::ptrdiff_t>(keep));
    // The header sector, then random bytes where the rest was overwritten.
    variants.push_back(Concat(variants[2], random));
    // Single bytes changed through the file, the rest intact and followed by random bytes.
    for (std::size_t k = 1; k < 16; ++k) {
      Bytes v = Concat(s.bytes, random);
      v[size * k / 16] ^= 0x5A;
      variants.push_back(std::move(v));
    }
    for (std::size_t i = 0; i < variants.size(); ++i) {
      const WalkResult r = Measure(s.walk, variants[i]);
      if (r.verdict == WalkVerdict::kMeasured) {
        EXPECT_LE(r.length, variants[i].size()) << "variant " << i;
      }
      // A cut-off file has no end to measure (a font cut in its last table's padding still has
      // all its tables).
      if (i == 1 || (i == 0 && !s.padded)) {
        EXPECT_NE(r.verdict, WalkVerdict::kMeasured) << "variant " << i;
      }
    }
  }
}

// The header tests pass on random bytes by chance; behind such a match the walk must say it is not
// the format (or that it cannot tell), not hand back a length.
TEST(ImageWalks, RandomBytesBehindAMagicAreRarelyMeasured) {
  constexpr std::size_t kBlock = 1 << 16;
  Bytes random = test::RandomBytes(64u << 20, 33);
  for (const Family& f : Families()) {
    std::size_t measured = 0;
    std::size_t trials = 0;
    for (std::size_t at = 0; at + kBlock <= random.size(); at += kBlock, ++trials) {
      const std::span<std::uint8_t> block(random.data() + at, kBlock);
      const Bytes saved(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(f.magic.size()));
      std::copy(f.magic.begin(), f.magic.end(), block.begin());
      const WalkResult r = Measure(f.walk, block);
      if (r.verdict == WalkVerdict::kMeasured) {
        ++measured;
        EXPECT_LE(r.length, kBlock) << f.ext;
      }
      std::copy(saved.begin(), saved.end(), block.begin());
    }
    EXPECT_LE(measured * 100, trials) << f.ext << ": " << measured << " of " << trials << " measured";
  }
}

}  // namespace
}  // namespace rexmoor::formats
