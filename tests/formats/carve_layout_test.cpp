// Real and synthetic files laid out back to back in a raw image, as deleted files lie on a
// formatted card: each one sector-aligned, its last sector zero-padded, then a gap of random
// sectors and zero sectors. Every file is carved at its start and measured.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "formats/carve_at_sector.h"
#include "formats/carving_context.h"
#include "formats/file_format_table.h"
#include "carve_test_support.h"
#include "fat/fat_volume_builder.h"  // Sha256Hex
#include "test_support.h"

namespace rexmoor {
namespace {

using carvetest::Bytes;

struct Entry {
  std::string name;
  Bytes bytes;
  FileTypeId type = kTypeNone;  // kTypeNone: not recognised
  bool carved = true;           // false: recognised, but never carved
  bool exact = false;           // the rule measures the file itself (size field or footer present)
  bool text = false;            // typed by the text test: no footer or size rule, and stops no walk
  std::uint64_t selfStop = 0;   // a stop sector inside the file (bytes from its start), 0 if none
  std::uint64_t start = 0;      // sector in the image
};

std::vector<Entry> Entries() {
  std::vector<Entry> out;
  for (const auto& sample : carvetest::LoadManifest()) {
    Entry e;
    e.name = sample.name;
    e.bytes = carvetest::LoadSample(sample.name);
    e.type = sample.headerCheck == "NO-MATCH" ? kTypeNone : sample.type;
    e.carved = e.type != kTypeNone && sample.extent != "not carved";
    // Exact where the manifest measured the file's size; the Exif picture (thumbnail skipped) and
    // the PDFs (their final end of line kept) are exact here too.
    e.exact = sample.measured.find("=size") != std::string::npos || sample.name == "camera_exif.jpg" ||
              sample.ext == "pdf";
    e.selfStop = sample.walkStop;
    e.text = IsTextType(e.type) && !e.bytes.empty() && e.bytes[0] != 'b';  // a binary plist has its own test
    out.push_back(e);
  }
  // Formats without a real sample.
  const Bytes pptClass = {0x10, 0x8D, 0x81, 0x64, 0x9B, 0x4F, 0xCF, 0x11,
                          0x86, 0xEA, 0x00, 0xAA, 0x00, 0xB9, 0x29, 0xE8};
  out.push_back({"word.doc", carvetest::MakeCompound(9, {0xEC, 0xA5, 0xC1, 0x00}, {}, "WordDocument", 900), kTypeDoc,
                 true, true});
  out.push_back({"slides.ppt", carvetest::MakeCompound(5, {}, pptClass, "PowerPoint Document", 901), kTypePpt, true,
                 true});
  Bytes rar = carvetest::SyntheticHeader(kTypeRar, 902);
  carvetest::AppendBytes(rar, carvetest::RandomAvoiding(5000, 903, {0xC4}));
  carvetest::Append(rar, {0xC4, 0x3D, 0x7B, 0x00, 0x40, 0x07, 0x00});
  out.push_back({"archive.rar", rar, kTypeRar, true, true});
  Bytes ape = {'M', 'A', 'C', ' ', 0x96, 0x0F};
  carvetest::AppendBytes(ape, carvetest::RandomAvoiding(7000, 904, {'A'}));
  Bytes tag = {'A', 'P', 'E', 'T', 'A', 'G', 'E', 'X', 0xD0, 0x07, 0, 0, 32, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  tag.resize(32, 0);
  carvetest::AppendBytes(ape, tag);
  out.push_back({"song.ape", ape, kTypeApe, true, true});
  out.push_back({"clip.mts", carvetest::MakeMts(100, 905), kTypeMts, true, false});
  Bytes pst = carvetest::SyntheticHeader(kTypePst, 906);
  carvetest::AppendBytes(pst, test::RandomBytes(3000, 907));
  out.push_back({"mail.pst", pst, kTypePst, true, false});
  Bytes dbx = carvetest::SyntheticHeader(kTypeDbx, 908);
  carvetest::AppendBytes(dbx, test::RandomBytes(2000, 909));
  out.push_back({"mail.dbx", dbx, kTypeDbx, true, false});
  Bytes fla = carvetest::SyntheticHeader(kTypeFla, 910);
  carvetest::AppendBytes(fla, test::RandomBytes(2500, 911));
  out.push_back({"movie.fla", fla, kTypeFla, true, false});
  out.push_back({"driver.sys", carvetest::MakePe(0x1022), kTypeSys, false, false});
  Bytes gho = carvetest::SyntheticHeader(kTypeGho, 912);
  out.push_back({"backup.gho", gho, kTypeGho, false, false});
  Bytes docx = carvetest::MakeZip({{"[Content_Types].xml", 1200}, {"word/document.xml", 4000}}, 913, "x");
  out.push_back({"letter.docx", docx, kTypeDocx, true, true});
  return out;
}

// The footer and size-field rules over a medium of every sample: what measures a file whose own
// structure breaks off. (Measuring by structure is tested over the same samples by identify.)
TEST(CarveLayout, EveryFileIsMeasuredToItsEndOrTheNextFile) {
  CarvingContext ctx;
  ctx.structureWalks = false;
  std::vector<Entry> entries = Entries();
  ASSERT_GE(entries.size(), 60u);
  std::mt19937 rng(31337);
  std::shuffle(entries.begin(), entries.end(), rng);

  carvetest::ImageBuilder builder;
  builder.Zeros(4);
  for (Entry& e : entries) {
    e.start = builder.Place(e.bytes);
    const int randomSectors = static_cast<int>(rng() % 4);
    const int zeroSectors = 1 + static_cast<int>(rng() % 3);
    builder.Random(randomSectors, static_cast<std::uint32_t>(rng()));
    builder.Zeros(zeroSectors);  // nothing before a file continues a packet grid into it
  }
  builder.Zeros(4);
  carvetest::Medium medium(builder.bytes());

  // A walk ends at the next file that is recognised (an MPEG walk looks past MPEG files).
  const auto nextStop = [&entries, &medium](std::size_t i) -> std::uint64_t {
    const Entry& e = entries[i];
    std::uint64_t stop = ~std::uint64_t{0};
    if (e.selfStop != 0) stop = e.start + e.selfStop / 512;
    for (std::size_t j = i + 1; j < entries.size(); ++j) {
      const Entry& n = entries[j];
      // Raw ADTS is told by frames read from the medium, which a stop scan does not do.
      if (n.type == kTypeNone || n.text || n.type == kTypeAac || (e.type == kTypeMpeg && n.type == kTypeMpeg)) continue;
      return std::min(stop, n.start);
    }
    return std::min<std::uint64_t>(stop, medium.image().size() / 512);
  };

  int measured = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    CarvedFile out;
    const Result rc = CarveAtSector(ctx, 512, medium.source(), medium.Sector(e.start), e.start, 0,
                                    medium.image().size() / 512, -1, i, &out);
    if (!e.carved) {
      EXPECT_EQ(rc, kErrInvalidParameter) << e.name;
      continue;
    }
    if (e.text) continue;  // measured by its content alone (the text carving tests)
    ASSERT_EQ(rc, kSuccess) << e.name;
    EXPECT_EQ(out.typeId, e.type) << e.name;
    EXPECT_EQ(out.Name(), std::to_string(e.start) + "." + std::string(ExtensionForType(e.type))) << e.name;
    const std::uint64_t expected = e.exact ? e.bytes.size() : (nextStop(i) - e.start) * 512;
    EXPECT_EQ(out.length, expected) << e.name << (e.exact ? " (exact)" : " (walk)");
    ++measured;
  }
  EXPECT_GE(measured, 50);
  // The transport streams carved here are on record.
  EXPECT_GE(ctx.tsExtents.size(), 1u);
}

// Camera raws measured by their directories: each sample, sector-aligned after random and zero
// sectors and followed by zeros or by random bytes (its slack too), carves back to its sha256.
TEST(CarveLayout, CameraRawsCarveBackByteForByte) {
  const std::set<std::string> raws = {"cr2", "nef", "arw", "dng", "orf", "rw2", "pef", "srw", "cr3", "raf",
                                      "crw", "mrw", "x3f", "erf", "3fr", "kdc", "dcr", "mef", "mos", "iiq"};
  std::mt19937 rng(59);
  test::TempDir dir;
  int checked = 0;
  for (const auto& sample : carvetest::LoadManifest()) {
    if (raws.count(sample.ext) == 0) continue;
    const Bytes file = carvetest::LoadSample(sample.name);
    for (const bool randomAfter : {false, true}) {
      carvetest::ImageBuilder builder;
      builder.Random(1 + static_cast<int>(rng() % 3), static_cast<std::uint32_t>(rng()));
      builder.Zeros(1);
      const std::uint64_t start = randomAfter ? builder.PlaceWithRandomSlack(file, static_cast<std::uint32_t>(rng()))
                                              : builder.Place(file);
      if (randomAfter) {
        builder.Random(16, static_cast<std::uint32_t>(rng()));
      } else {
        builder.Zeros(16);
      }
      carvetest::Medium medium(builder.bytes());
      CarvingContext ctx;
      CarvedFile out;
      ASSERT_EQ(CarveAtSector(ctx, 512, medium.source(), medium.Sector(start), start, 0, medium.image().size() / 512, -1,
                              0, &out),
                kSuccess)
          << sample.name;
      EXPECT_EQ(out.typeId, sample.type) << sample.name;
      EXPECT_EQ(out.Name(), std::to_string(start) + "." + sample.ext) << sample.name;
      EXPECT_FALSE(out.endEstimated) << sample.name;
      ASSERT_LE(start * 512 + out.length, medium.image().size()) << sample.name;
      const auto from = medium.image().begin() + static_cast<std::ptrdiff_t>(start * 512);
      const std::string path = dir / sample.name;
      test::WriteFileBytes(path, Bytes(from, from + static_cast<std::ptrdiff_t>(out.length)));
      EXPECT_EQ(test::Sha256Hex(path), sample.sha256) << sample.name << (randomAfter ? " before random bytes" : "");
      ++checked;
    }
  }
  EXPECT_EQ(checked, 40);
}

}  // namespace
}  // namespace rexmoor
