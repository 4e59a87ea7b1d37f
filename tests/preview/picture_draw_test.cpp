// The picture program over real files: HEIF/AVIF and JPEG XL pictures made by their encoders come
// out as pictures of their size, camera raw files as the very JPEG preview they carry, and damaged
// copies end in a clean refusal that leaves the target alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "preview/picture_draw.h"
#include "test_support.h"

namespace rexmoor {
namespace {

const std::string kSamples = REXMOOR_TEST_SOURCE_DIR "/samples/files/";

struct Ppm {
  int width = 0, height = 0;
  std::vector<std::uint8_t> pixels;
};

// A binary PPM as the program writes it ("P6\nW H\n255\n" and the pixels), or width 0.
Ppm ParsePpm(const std::vector<std::uint8_t>& bytes) {
  Ppm ppm;
  const std::string text(bytes.begin(), bytes.begin() + static_cast<long>(std::min<std::size_t>(bytes.size(), 32)));
  // The header is three lines; the pixels may begin with bytes that look like white space.
  std::size_t consumed = 0;
  for (int lines = 0; lines < 3; ++consumed)
    if (consumed >= text.size()) return {};
    else if (text[consumed] == '\n') ++lines;
  int maxValue = 0;
  if (std::sscanf(text.substr(0, consumed).c_str(), "P6 %d %d %d", &ppm.width, &ppm.height, &maxValue) != 3 ||
      maxValue != 255 || bytes.size() != consumed + static_cast<std::size_t>(ppm.width) * ppm.height * 3)
    return {};
  ppm.pixels.assign(bytes.begin() + static_cast<long>(consumed), bytes.end());
  return ppm;
}

// Width and height from a JPEG's start-of-frame segment; (0, 0) when there is none.
std::pair<int, int> JpegSize(const std::vector<std::uint8_t>& jpeg) {
  for (std::size_t at = 2; at + 9 < jpeg.size();) {
    if (jpeg[at] != 0xFF) return {0, 0};
    const std::uint8_t marker = jpeg[at + 1];
    if (marker >= 0xC0 && marker <= 0xC3) return {(jpeg[at + 7] << 8) | jpeg[at + 8], (jpeg[at + 5] << 8) | jpeg[at + 6]};
    at += 2 + ((jpeg[at + 2] << 8) | jpeg[at + 3]);
  }
  return {0, 0};
}

TEST(DrawnPictures, RealSamplesComeOutAsPicturesOfTheirSize) {
  test::TempDir dir;
  // Pictures: the size the encoder was given (tests/samples/make_picture_samples.sh).
  struct Picture {
    const char* name;
    int width, height;
  };
  for (const Picture& p : {Picture{"sample.heic", 160, 120}, Picture{"sample.avif", 160, 120},
                           Picture{"alpha.avif", 64, 48}, Picture{"sample.jxl", 160, 120},
                           Picture{"container.jxl", 160, 120}, Picture{"lossless.jxl", 64, 48},
                           Picture{"recompressed.jxl", 160, 120}}) {
    SCOPED_TRACE(p.name);
    for (int side : {1600, 40}) {
      const std::string out = dir / (std::string(p.name) + ".drawn");
      std::string failure;
      ASSERT_EQ(DrawPicture(kSamples + p.name, out, side, {}, failure), kSuccess) << failure;
      const Ppm ppm = ParsePpm(test::ReadFileBytes(out));
      ASSERT_GT(ppm.width, 0) << "no PPM";
      if (side >= std::max(p.width, p.height)) {
        EXPECT_EQ(ppm.width, p.width);
        EXPECT_EQ(ppm.height, p.height);
      } else {  // shrunk to the side asked for, the shape kept
        EXPECT_EQ(std::max(ppm.width, ppm.height), side);
        EXPECT_EQ(ppm.width * p.height / p.width, ppm.height);
      }
      // A picture, not a blank: the samples are gradients.
      const auto [low, high] = std::minmax_element(ppm.pixels.begin(), ppm.pixels.end());
      EXPECT_GT(*high - *low, 64);
    }
  }
  // Camera raw files: the JPEG preview they carry (the LibRaw path for the cameras it knows, which
  // may put an Exif header before it; the file's own directories for the rest): its coded picture
  // data is the embedded preview's.
  // (tests/samples/make_modern_samples.sh gives ORF and SRW only the 64 x 48 thumbnail.)
  struct Raw {
    const char* name;
    int width, height;
  };
  for (const auto& [name, width, height] :
       {Raw{"canon.cr2", 160, 120}, Raw{"canon.cr3", 160, 120}, Raw{"nikon.nef", 160, 120}, Raw{"fujifilm.raf", 160, 120},
        Raw{"olympus.orf", 64, 48}, Raw{"panasonic.rw2", 160, 120}, Raw{"pentax.pef", 160, 120},
        Raw{"samsung.srw", 64, 48}, Raw{"sony.arw", 160, 120}}) {
    SCOPED_TRACE(name);
    const std::string out = dir / (std::string(name) + ".drawn");
    std::string failure;
    ASSERT_EQ(DrawPicture(kSamples + name, out, 400, {}, failure), kSuccess) << failure;
    const std::vector<std::uint8_t> jpeg = test::ReadFileBytes(out);
    const std::vector<std::uint8_t> raw = test::ReadFileBytes(kSamples + name);
    ASSERT_GT(jpeg.size(), 128u);
    EXPECT_TRUE(jpeg[0] == 0xFF && jpeg[1] == 0xD8 && jpeg[jpeg.size() - 2] == 0xFF && jpeg.back() == 0xD9);
    EXPECT_NE(std::search(raw.begin(), raw.end(), jpeg.end() - 256, jpeg.end()), raw.end()) << "not an embedded preview";
    // The largest the file carries: the 160 x 120 preview, not the 64 x 48 thumbnail beside it.
    EXPECT_EQ(JpegSize(jpeg), std::make_pair(width, height));
  }
}

TEST(DrawnPictures, DamagedCopiesAreRefusedAndLeaveTheTargetAlone) {
  test::TempDir dir;
  std::mt19937 random(20261210);
  const std::string out = dir / "target";
  const std::vector<std::uint8_t> before = {'k', 'e', 'p', 't'};
  int refused = 0, drawn = 0;
  for (const char* name : {"sample.heic", "sample.avif", "sample.jxl", "container.jxl", "canon.cr2", "canon.cr3",
                           "fujifilm.raf", "nikon.nef"}) {
    const std::vector<std::uint8_t> whole = test::ReadFileBytes(kSamples + name);
    for (int round = 0; round < 12; ++round) {
      std::vector<std::uint8_t> bytes = whole;
      if (round % 3 == 0) {
        bytes.resize(random() % bytes.size());  // cut short
      } else {
        for (int flips = 1 + static_cast<int>(random() % 24); flips > 0; --flips)  // header bytes first
          bytes[random() % std::min<std::size_t>(bytes.size(), round % 3 == 1 ? 512 : bytes.size())] =
              static_cast<std::uint8_t>(random());
      }
      const std::string in = dir / "damaged";
      test::WriteFileBytes(in, bytes);
      test::WriteFileBytes(out, before);
      std::string failure;
      const Result r = DrawPicture(in, out, 200, {}, failure);
      ASSERT_TRUE(r == kSuccess || r == kErrInvalidParameter) << name << " round " << round;
      if (r == kSuccess) {
        ++drawn;
        EXPECT_NE(test::ReadFileBytes(out), before);
      } else {
        ++refused;
        EXPECT_EQ(test::ReadFileBytes(out), before) << name << " round " << round;
      }
    }
  }
  EXPECT_GT(refused, 0);
  // Nothing but the input and the target is left in the folder: no half-written file.
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 2u);
  EXPECT_GT(drawn + refused, 0);
}

TEST(DrawnPictures, TheNamesAndFirstBytesThatNeedTheProgram) {
  const std::vector<std::uint8_t> none;
  for (const char* name : {"IMG_0001.HEIC", "x.heif", "a.avif", "p.jxl", "_MG_1.CR2", "d.nef", "f.raf", "s.x3f",
                           "h.3fr", "p.iiq"})
    EXPECT_TRUE(NeedsPictureDrawing(name, none)) << name;
  for (const char* name : {"a.jpg", "b.png", "c.webp", "d.tif", "noextension", "e.avi", "heic"})
    EXPECT_FALSE(NeedsPictureDrawing(name, none)) << name;
  // Whatever the name says, the first bytes of HEIF/AVIF and JPEG XL.
  for (const char* sample : {"sample.heic", "sample.avif", "sample.jxl", "container.jxl"}) {
    std::vector<std::uint8_t> head = test::ReadFileBytes(kSamples + sample);
    head.resize(64);
    EXPECT_TRUE(NeedsPictureDrawing("recovered.jpg", head)) << sample;
  }
  std::vector<std::uint8_t> mp4 = test::ReadFileBytes(kSamples + "sample.mp4");  // ISO media, no picture brand
  mp4.resize(64);
  EXPECT_FALSE(NeedsPictureDrawing("recovered.jpg", mp4));
}

}  // namespace
}  // namespace rexmoor
