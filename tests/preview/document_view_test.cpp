#include "preview/document_view.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "platform/text.h"
#include "test_support.h"

namespace rexmoor {
namespace {

namespace fs = std::filesystem;

const fs::path kSamples = fs::path(REXMOOR_TEST_SOURCE_DIR) / "samples" / "files";

std::vector<std::string> Lines(const std::string& dump) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = dump.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(dump.substr(start, end - start));
  EXPECT_EQ(start, dump.size()) << "the dump does not end with a line break";
  return lines;
}

TEST(PreviewPlan, FlagsAndConverterFollowTheTypeLists) {
  const PreviewPlan mp3 = PlanPreview("song.MP3");
  EXPECT_TRUE(mp3.media);
  EXPECT_TRUE(mp3.audio);
  EXPECT_FALSE(mp3.document);
  const PreviewPlan mp4 = PlanPreview("clip.mp4");
  EXPECT_TRUE(mp4.media);
  EXPECT_FALSE(mp4.audio);
  const PreviewPlan pdf = PlanPreview("report.pdf");
  EXPECT_TRUE(pdf.document);
  EXPECT_TRUE(pdf.pdf);
  EXPECT_EQ(pdf.converter, ConverterKind::Pdf);
  // The word processor's list is tried first, so OpenDocument text goes there.
  EXPECT_EQ(PlanPreview("thesis.odt").converter, ConverterKind::Word);
  EXPECT_EQ(PlanPreview("slides.pptx").converter, ConverterKind::PowerPoint);
  EXPECT_EQ(PlanPreview("sheet.xlsx").converter, ConverterKind::Excel);
  const PreviewPlan ods = PlanPreview("budget.ODS");
  EXPECT_TRUE(ods.document);
  EXPECT_EQ(ods.converter, ConverterKind::Excel);
  EXPECT_EQ(PlanPreview("table.csv").converter, ConverterKind::Excel);
  EXPECT_EQ(PlanPreview("photos.tar").converter, ConverterKind::Archive);
  EXPECT_EQ(PlanPreview("photos.7z").converter, ConverterKind::Archive);
  // Pictures and unknown files have no converter; a name without an extension is nothing.
  for (const char* name : {"IMG_0001.JPG", "data.bin", "README", "trailing."}) {
    const PreviewPlan plan = PlanPreview(name);
    EXPECT_EQ(plan.converter, ConverterKind::None) << name;
    EXPECT_FALSE(plan.document || plan.media) << name;
  }
}

TEST(CharacterDump, LinesOf1024WithZerosAsDots) {
  std::vector<std::uint8_t> bytes(2500, 'a');
  bytes[0] = 0;
  bytes[1500] = 0;
  const std::vector<std::string> lines = Lines(CharacterDump(bytes));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].size(), 1024u);
  EXPECT_EQ(lines[1].size(), 1024u);
  EXPECT_EQ(lines[2].size(), 452u);
  EXPECT_EQ(lines[0][0], '.');
  EXPECT_EQ(lines[1][1500 - 1024], '.');

  // Exactly two lines' worth gives two lines, not an empty third.
  EXPECT_EQ(Lines(CharacterDump(std::vector<std::uint8_t>(2048, 'x'))).size(), 2u);
  EXPECT_EQ(CharacterDump({}), "\r\n");
}

TEST(CharacterDump, EveryByteIsOneCharacterOfValidText) {
  std::vector<std::uint8_t> bytes(256);
  for (int i = 0; i < 256; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
  const std::string dump = CharacterDump(bytes);
  const std::u16string wide = Utf8ToUtf16(dump);
  // 256 characters and the final line break; no replacement characters.
  ASSERT_EQ(wide.size(), 258u);
  EXPECT_EQ(wide.find(u'\uFFFD'), std::u16string::npos);
  EXPECT_EQ(wide['\r'], u'.');
  EXPECT_EQ(wide['\n'], u'.');
  EXPECT_EQ(wide['A'], u'A');
  EXPECT_EQ(wide[0xE9], u'\u00E9');
}

TEST(ArchiveListing, ListsTheNamesInRealArchives) {
  ArchiveListing listing;
  for (const char* name : {"sample.zip", "sample.7z", "sample.cab", "sample.gz"}) {
    std::string text;
    ASSERT_EQ(listing.Convert((kSamples / name).string(), text), kSuccess) << name;
    EXPECT_FALSE(text.empty()) << name;
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << name;
  }
  std::string zip;
  ASSERT_EQ(listing.Convert((kSamples / "sample.zip").string(), zip), kSuccess);
  for (const char* name : {"readme.txt", "notes1.txt", "notes2.txt", "picture.png"})
    EXPECT_NE(zip.find(name), std::string::npos) << name << " in\n" << zip;
  // A tar.gz made here with known names.
  test::TempDir dir;
  fs::create_directories(fs::path(dir.path()) / "in" / "photos");
  std::ofstream(fs::path(dir.path()) / "in" / "photos" / "beach.jpg") << "jpeg";
  std::ofstream(fs::path(dir.path()) / "in" / "notes.txt") << "some notes";
  const std::string command = "tar -czf '" + (fs::path(dir.path()) / "a.tar.gz").string() + "' -C '" +
                              (fs::path(dir.path()) / "in").string() + "' photos notes.txt";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::string text;
  ASSERT_EQ(listing.Convert((fs::path(dir.path()) / "a.tar.gz").string(), text), kSuccess);
  EXPECT_NE(text.find("photos/beach.jpg"), std::string::npos) << text;
  EXPECT_NE(text.find("notes.txt"), std::string::npos) << text;
  EXPECT_NE(text.find("          10  notes.txt"), std::string::npos) << text;
}

// Found archives are hostile: truncated, random and mutated ones give a listing or a failure,
// never a crash or a hang (the sanitizers watch).
TEST(ArchiveListing, HostileArchivesFailCleanly) {
  ArchiveListing listing;
  test::TempDir dir;
  std::mt19937 random(14);
  std::string text;
  EXPECT_EQ(listing.Convert((fs::path(dir.path()) / "missing.zip").string(), text), kErrInvalidParameter);
  for (const char* name : {"sample.zip", "sample.7z", "sample.cab", "sample.gz", "sample.docx"}) {
    std::ifstream in(kSamples / name, std::ios::binary);
    std::vector<char> original((std::istreambuf_iterator<char>(in)), {});
    ASSERT_FALSE(original.empty()) << name;
    for (int round = 0; round < 40; ++round) {
      std::vector<char> bytes = original;
      if (round % 3 == 0) bytes.resize(random() % bytes.size());
      const std::size_t flips = 1 + random() % 16;
      for (std::size_t i = 0; i < flips && !bytes.empty(); ++i) bytes[random() % bytes.size()] = static_cast<char>(random());
      const fs::path path = fs::path(dir.path()) / ("mutated_" + std::string(name));
      std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
      const Result result = listing.Convert(path.string(), text);
      EXPECT_TRUE(result == kSuccess || result == kErrInvalidParameter);
      EXPECT_LE(text.size(), ArchiveListing::kMaxText + 8192);
    }
  }
  std::vector<char> noise(100000);
  for (char& c : noise) c = static_cast<char>(random());
  std::ofstream(fs::path(dir.path()) / "noise.zip", std::ios::binary).write(noise.data(), static_cast<std::streamsize>(noise.size()));
  EXPECT_EQ(listing.Convert((fs::path(dir.path()) / "noise.zip").string(), text), kErrInvalidParameter);
}

}  // namespace
}  // namespace rexmoor
