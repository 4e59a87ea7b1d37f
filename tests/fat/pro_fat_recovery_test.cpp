#include "fat/pro_fat_recovery.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "engine/scan_log_index.h"
#include "fat/fat_engine_test_util.h"
#include "fat/fat_volume_builder.h"
#include "fat/formatted_sweep_harness.h"
#include "formats/fat_dir_entry.h"
#include "formats/fat_layout.h"
#include "platform/byte_view.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using test::BrowseTree;
using test::FatVolumeBuilder;
using test::TreeItem;

class ProFatRecovery : public ::testing::Test {
 protected:
  void SetUp() override { ScanLogIndex::ResetForTesting(); }
  void TearDown() override { ScanLogIndex::ResetForTesting(); }
  test::ScopedDataDir data_;
  test::TempDir temp_;
};

// --- layouts from two folder starts ---------------------------------------------------------------

TEST(VolumeLayoutInference, TwoFolderStartsGiveClusterSizeAndDataStart) {
  auto layout = InferVolumeLayout({100, 10400}, {140, 11680}, 0);
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->sectorsPerCluster, 32u);
  EXPECT_EQ(layout->DataStart(), 7264u);
  EXPECT_EQ(layout->ClusterSector(100), 10400u);
  EXPECT_EQ(layout->ClusterStartingAt(11680), 140u);
  EXPECT_EQ(layout->ClusterStartingAt(11681), std::nullopt);
  EXPECT_EQ(layout->ClusterContaining(11711), 140u);
  // Either order; the partition start is where layouts count from.
  auto swapped = InferVolumeLayout({140, 11680}, {100, 10400}, 2048);
  ASSERT_TRUE(swapped);
  EXPECT_EQ(swapped->baseSector, 2048u);
  EXPECT_EQ(swapped->dataAreaSector, 7264u - 2048u);
  EXPECT_EQ(swapped->DataStart(), 7264u);
}

TEST(VolumeLayoutInference, PairsThatFitNoRealGeometryGiveNone) {
  EXPECT_FALSE(InferVolumeLayout({100, 10400}, {140, 11681}, 0));  // not a multiple
  EXPECT_FALSE(InferVolumeLayout({100, 10400}, {140, 10400 + 40 * 3}, 0));  // 3 sectors a cluster
  EXPECT_FALSE(InferVolumeLayout({100, 10400}, {101, 10400 + 256}, 0));     // above 128
  EXPECT_FALSE(InferVolumeLayout({100, 10400}, {100, 10400}, 0));           // one cluster
  EXPECT_FALSE(InferVolumeLayout({100, 10400}, {140, 9000}, 0));            // order disagrees
  EXPECT_FALSE(InferVolumeLayout({100, 300}, {140, 300 + 40 * 32}, 0));     // cluster 2 before sector 0
  EXPECT_FALSE(InferVolumeLayout({100, 10400}, {140, 11680}, 8000));        // cluster 2 before the volume
  EXPECT_FALSE(InferVolumeLayout({0, 10}, {140, 11680}, 0));                // no cluster 0 or 1 folder
  // Clusters far apart stay exact.
  auto far = InferVolumeLayout({3, 4000}, {0x0FFFFFF0u, 4000 + (0x0FFFFFF0ull - 3) * 8}, 0);
  ASSERT_TRUE(far);
  EXPECT_EQ(far->sectorsPerCluster, 8u);
}

// --- volumes made by the real tools ---------------------------------------------------------------

struct FormatOptions {
  int kib;
  int fatBits;
  std::string options;
};

std::string FormatCommand(const FatVolumeBuilder& v, const FormatOptions& f) {
  return "mkfs.fat --invariant -F " + std::to_string(f.fatBits) + " -i 5EED0001 -n RXTEST " + f.options + " " +
         test::ShellQuote(v.image());
}

// A camera card's worth of folders: nested, long and non-ASCII names, short-only accented names,
// a folder whose listing spans several sectors, multi-cluster files and a few deletions.
bool FillCard(FatVolumeBuilder& v) {
  const std::string t = "2021-06-05 10:20:30";
  bool ok = v.MakeFolder("/DCIM") && v.MakeFolder("/DCIM/100CANON") && v.MakeFolder("/Documents") &&
            v.MakeFolder("/Documents/Reports") && v.MakeFolder("/Documents/Reports/2024") &&
            v.MakeFolder("/Música") && v.MakeFolder("/ÉTÉ") && v.MakeFolder("/Documents/Many");
  for (int i = 1; ok && i <= 4; ++i) {
    char name[64];
    std::snprintf(name, sizeof(name), "/DCIM/100CANON/IMG_%04d.JPG", i);
    ok = v.Put(name, test::JpegBytes(5000 + 2500 * i, 10 + i), t);
  }
  ok = ok && v.Put("/Documents/Reports/2024/quarterly report.pdf", test::PdfBytes(12000, 3), t) &&
       v.Put("/Documents/Reports/notes.txt", test::TextBytes(700, 4), t) &&
       v.Put("/Música/canción de cuna.txt", test::TextBytes(3000, 5), t) &&
       v.Put("/ÉTÉ/CAFÉ.TXT", test::TextBytes(900, 6), t) && v.Put("/Documents/RÉSUMÉ.TXT", test::TextBytes(800, 7), t) &&
       v.Put("/Documents/deleted later.txt", test::TextBytes(1500, 8), t) &&
       v.Put("/DCIM/100CANON/IMG_0099.JPG", test::JpegBytes(7000, 9), t) && v.Put("/readme.txt", test::TextBytes(100, 1), t);
  std::vector<std::pair<std::string, std::vector<std::uint8_t>>> many;
  for (int i = 1; i <= 24; ++i) {
    char name[80];
    std::snprintf(name, sizeof(name), "a rather long file name number %02d.txt", i);
    many.emplace_back(name, test::TextBytes(200 + 37 * i, 100 + i));
  }
  ok = ok && v.PutMany("/Documents/Many", many, t);
  return ok && v.Delete("/Documents/deleted later.txt") && v.Delete("/DCIM/100CANON/IMG_0099.JPG");
}

// Paths below the top folder: a top folder's own entry lived in the old root, which the format
// rewrote, so it comes back as a lost folder with everything below it in place.
std::string BelowTop(const std::string& path) {
  const std::size_t slash = path.find('/', 1);
  return slash == std::string::npos ? "" : path.substr(slash + 1);
}

// Short names come back in small letters: compare names with ASCII and Latin-1 capitals folded.
std::string Folded(const std::string& text) {
  std::string out = text;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const auto c = static_cast<unsigned char>(out[i]);
    if (c >= 'A' && c <= 'Z') out[i] = static_cast<char>(c + 32);
    if (c == 0xC3 && i + 1 < out.size()) {
      const auto next = static_cast<unsigned char>(out[i + 1]);
      if (next >= 0x80 && next <= 0x9E && next != 0x97) out[i + 1] = static_cast<char>(next + 32);
      ++i;
    }
  }
  return out;
}

// The tree key of a file written at path: inside some top folder (named or lost), the same path
// below it. Empty when it is not there.
std::string FindKey(const std::map<std::string, TreeItem>& tree, const std::string& path) {
  const std::string rest = Folded(BelowTop(path));
  for (const auto& [key, item] : tree) {
    if (item.record.isFolder != 0) continue;
    const std::size_t slash = key.find('/');
    if (slash != std::string::npos && Folded(key.substr(slash + 1)) == rest) return key;
  }
  return {};
}

struct SweptCard {
  std::map<std::string, TreeItem> tree;
  fattest::FormattedSweep sweep;
  std::vector<VolumeLayout> layouts;
  bool bootLayout = false;
};

SweptCard SweepCard(const std::string& image) {
  SweptCard card;
  CProfessionalFatRecovery engine;
  card.sweep = fattest::SweepFormattedFat(engine, image);
  card.tree = BrowseTree(engine);
  card.layouts = engine.Layouts();
  card.bootLayout = engine.BootLayoutPresent();
  return card;
}

class FormattedCards : public ProFatRecovery, public ::testing::WithParamInterface<FormatOptions> {};

TEST_P(FormattedCards, FilesComeBackInTheirFoldersAfterAQuickFormat) {
  const FormatOptions f = GetParam();
  FatVolumeBuilder v(temp_);
  ASSERT_TRUE(v.Format(f.kib, f.fatBits, f.options)) << v.lastError();
  FatLayout before;
  ASSERT_TRUE(FillCard(v)) << v.lastError();
  ASSERT_EQ(ParseFatLayout(test::ReadBytesAt(v.image(), 0, 512), before), kSuccess);
  ASSERT_TRUE(v.Run(FormatCommand(v, f))) << v.lastError();
  const std::string noBoot = temp_.path() + "/noboot.img";
  ASSERT_TRUE(v.Run("cp " + test::ShellQuote(v.image()) + " " + test::ShellQuote(noBoot) +
                    " && dd if=/dev/zero of=" + test::ShellQuote(noBoot) + " bs=512 count=1 conv=notrunc status=none" +
                    " && dd if=/dev/zero of=" + test::ShellQuote(noBoot) + " bs=512 count=1 seek=6 conv=notrunc status=none"));

  for (const std::string& image : {v.image(), noBoot}) {
    SCOPED_TRACE(image);
    const SweptCard card = SweepCard(image);
    ASSERT_EQ(card.sweep.open, kSuccess);
    ASSERT_EQ(card.sweep.begin, kSuccess);
    EXPECT_GT(card.sweep.folderStarts, 0u);
    EXPECT_EQ(card.bootLayout, image == v.image());
    // The geometry in use is the real one.
    ASSERT_FALSE(card.layouts.empty());
    bool real = false;
    for (const VolumeLayout& l : card.layouts)
      real = real || (l.sectorsPerCluster == before.sectorsPerCluster && l.DataStart() == before.dataAreaSector);
    EXPECT_TRUE(real);

    for (const auto& [path, file] : v.files()) {
      if (BelowTop(path).empty()) continue;  // root files went with the old root
      std::string wanted = path;
      // A deleted short-only name lost its first letter to the deletion mark.
      if (path == "/DCIM/100CANON/IMG_0099.JPG") wanted = "/DCIM/100CANON/!MG_0099.JPG";
      const std::string key = FindKey(card.tree, wanted);
      EXPECT_FALSE(key.empty()) << path;
      if (key.empty()) continue;
      const FoundFileRecord& r = card.tree.at(key).record;
      const std::uint64_t size = r.size;
      const std::uint64_t modified = r.modifiedTime;
      EXPECT_EQ(size, file.bytes.size()) << path;
      EXPECT_EQ(modified, test::FileTimeOf(file.mtime)) << path;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Fat, FormattedCards,
                         ::testing::Values(FormatOptions{2048, 12, "-s 4"}, FormatOptions{16384, 16, "-s 4"},
                                           FormatOptions{40960, 32, "-s 1"}),
                         [](const auto& info) { return "Fat" + std::to_string(info.param.fatBits); });

}  // namespace
}  // namespace rexmoor
