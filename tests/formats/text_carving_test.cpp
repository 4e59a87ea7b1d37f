#include "formats/text_carving.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "carve_test_support.h"
#include "formats/carve_at_sector.h"
#include "formats/carving_context.h"
#include "formats/file_format_table.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using carvetest::Bytes;

struct TextSample {
  const char* file;
  const char* type;  // the extension it is carved under
};

// Real text files of every kind the carver tells apart, each carved from a medium where it stands
// after random bytes and before the zeros or the random slack that fill its last sector, then
// directly followed by a JPEG: every one is typed by its content and ends at its last byte.
TEST(TextCarving, EveryKindOfTextEndsAtItsLastByte) {
  const TextSample samples[] = {
      {"page.html", "html"},   {"icon.svg", "svg"},        {"data.json", "json"},     {"table.csv", "csv"},
      {"letter.eml", "eml"},   {"source.cpp", "c"},        {"seeds.py", "py"},        {"script.sh", "sh"},
      {"readme.txt", "txt"},   {"list-utf16.txt", "txt"},  {"notes-crlf.txt", "txt"},
  };
  const std::string dir = std::string(REXMOOR_TEST_SOURCE_DIR) + "/samples/text/";
  const Bytes jpeg = carvetest::LoadSample("sample.jpg");
  for (bool randomSlack : {false, true}) {
    carvetest::ImageBuilder b;
    std::vector<std::pair<std::uint64_t, Bytes>> placed;
    std::uint32_t seed = 1;
    for (const TextSample& s : samples) {
      const Bytes text = test::ReadFileBytes(dir + s.file);
      // Text without a line break at its end cannot be told from printable junk after it.
      if (randomSlack && text.back() != '\n') continue;
      b.Random(2, ++seed);
      placed.emplace_back(randomSlack ? b.PlaceWithRandomSlack(text, seed) : b.Place(text), text);
      b.Place(jpeg);
    }
    carvetest::Medium medium(b.bytes());
    CarvingContext ctx;
    for (std::size_t i = 0; i < placed.size(); ++i) {
      const auto& [sector, text] = placed[i];
      CarvedFile out;
      ASSERT_EQ(CarveAtSector(ctx, 512, medium.source(), medium.Sector(sector), sector, 0, 1, -1, 0, &out), kSuccess)
          << samples[i].file;
      EXPECT_EQ(ExtensionForType(out.typeId), samples[i].type) << samples[i].file;
      EXPECT_EQ(out.length, text.size()) << samples[i].file << (randomSlack ? " (random slack)" : "");
      EXPECT_FALSE(out.endEstimated) << samples[i].file;
    }
  }
}

// Printable runs inside binary data and random bytes are not text files; neither are sectors of
// spaces or punctuation.
TEST(TextCarving, NoTextInRandomBytesOrPadding) {
  const Bytes random = test::RandomBytes(64u << 20, 5150);
  std::size_t found = 0;
  for (std::size_t at = 0; at + 512 <= random.size(); at += 512)
    found += formats::TextTest({random.data() + at, 512}) != kTypeNone;
  EXPECT_EQ(found, 0u);
  const Bytes spaces(512, ' ');
  EXPECT_EQ(formats::TextTest(spaces), kTypeNone);
  Bytes shortThenJunk = test::RandomBytes(512, 3);
  const std::string label = "Canon EOS 5D Mark IV";  // printable, then binary: a camera's maker field
  std::copy(label.begin(), label.end(), shortThenJunk.begin());
  shortThenJunk[label.size()] = 0x01;
  EXPECT_EQ(formats::TextTest(shortThenJunk), kTypeNone);
}

}  // namespace
}  // namespace rexmoor
