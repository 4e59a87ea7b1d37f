#include "fat/pro_fat_recovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "engine/folder_recovery.h"
#include "engine/scan_log_index.h"
#include "fat/fat_engine_test_util.h"
#include "fat/fat_volume_builder.h"
#include "scan/formatted_sweep_harness.h"
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

void PrintTo(const FormatOptions& f, std::ostream* out) { *out << "FAT" << f.fatBits << " " << f.options; }

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

// The folders of a volume's root (short names as stored) and their first clusters.
std::map<std::string, std::uint32_t> RootFolders(const std::string& image, const FatLayout& layout) {
  std::map<std::string, std::uint32_t> folders;
  const std::uint64_t sector = layout.IsFat32() ? *layout.ClusterSector(layout.rootCluster) : layout.rootDirSector;
  const std::vector<std::uint8_t> root =
      test::ReadBytesAt(image, sector * layout.bytesPerSector, layout.IsFat32() ? layout.ClusterBytes() : 16384);
  LongNameAssembler longName;
  WalkDirectoryEntries(root, longName, [&](const DirWalkEntry& found) {
    if (found.entry.IsFolder()) {
      std::string name = !found.longName.empty() ? found.longName : DecodeShortName(found.raw, false);
      folders[name] = layout.IsFat32() ? found.entry.FirstCluster() : found.entry.clusterLow;
    }
    return true;
  });
  return folders;
}

// Paths below the top folder: a top folder's own entry lived in the old root, which the format
// rewrote, so it comes back as a lost folder with everything below it in place.
std::string BelowTop(const std::string& path) {
  const std::size_t slash = path.find('/', 1);
  return slash == std::string::npos ? "" : path.substr(slash + 1);
}

using test::Folded;

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
  std::unique_ptr<CProfessionalFatRecovery> engine;
  std::map<std::string, TreeItem> tree;
  fattest::FormattedSweep sweep;
  std::vector<VolumeLayout> layouts;
  bool bootLayout = false;
};

SweptCard SweepCard(const std::string& image) {
  SweptCard card;
  card.engine = std::make_unique<CProfessionalFatRecovery>();
  card.sweep = fattest::SweepFormattedFat(*card.engine, image);
  card.tree = BrowseTree(*card.engine);
  card.layouts = card.engine->Layouts();
  card.bootLayout = card.engine->BootLayoutPresent();
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
  const std::map<std::string, std::uint32_t> topFolders = RootFolders(v.image(), before);
  ASSERT_TRUE(topFolders.contains("dcim"));
  int written = 0;
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
      // Every file here was written in one piece and the format left the data alone.
      const std::string out = temp_.path() + "/out" + std::to_string(++written) + ".bin";
      ASSERT_EQ(card.engine->RecoverItem(&r, out, 0), kSuccess) << path;
      EXPECT_EQ(test::ReadFileBytes(out), file.bytes) << path;
    }
    // A top folder's entry went with the old root: it is listed by its cluster, the folders
    // below it by their names.
    for (const auto& [name, cluster] : topFolders) {
      const std::string lost = "LostFolder" + std::to_string(cluster) + "/";
      EXPECT_TRUE(card.tree.contains(lost) || card.tree.contains(name + "/")) << name;
    }
    EXPECT_TRUE(card.tree.contains("LostFolder" + std::to_string(topFolders.at("dcim")) + "/100canon/"));
  }
}

INSTANTIATE_TEST_SUITE_P(Fat, FormattedCards,
                         ::testing::Values(FormatOptions{2048, 12, "-s 4"}, FormatOptions{16384, 16, "-s 4"},
                                           FormatOptions{40960, 32, "-s 1"}),
                         [](const auto& info) { return "Fat" + std::to_string(info.param.fatBits); });

}  // namespace
}  // namespace rexmoor

namespace rexmoor {
namespace {

using test::FatVolumeBuilder;

// --- geometry from folder starts alone ---------------------------------------------------------------

TEST_F(ProFatRecovery, GeometryInferredFromFolderStartsMatchesTheRealOne) {
  for (const int spc : {1, 2, 4, 8, 16, 32, 64}) {
    SCOPED_TRACE("sectors per cluster " + std::to_string(spc));
    test::TempDir dir;
    FatVolumeBuilder v(dir);
    const FormatOptions f{8192, spc <= 2 ? 16 : 12, "-s " + std::to_string(spc)};
    ASSERT_TRUE(v.Format(f.kib, f.fatBits, f.options)) << v.lastError();
    const std::string t = "2019-03-04 05:06:08";
    // Files between the folders keep their first clusters apart.
    ASSERT_TRUE(v.MakeFolder("/Alpha") && v.Put("/Alpha/one.txt", test::TextBytes(3 * 512 * spc, 1), t) &&
                v.MakeFolder("/Alpha/Beta") && v.Put("/Alpha/Beta/two.txt", test::TextBytes(700, 2), t) &&
                v.MakeFolder("/Gamma") && v.Put("/Gamma/three.txt", test::TextBytes(2 * 512 * spc + 5, 3), t))
        << v.lastError();
    FatLayout real;
    ASSERT_EQ(ParseFatLayout(test::ReadBytesAt(v.image(), 0, 512), real), kSuccess);
    ASSERT_TRUE(v.Run(FormatCommand(v, f) + " && dd if=/dev/zero of=" + test::ShellQuote(v.image()) +
                      " bs=512 count=1 conv=notrunc status=none"))
        << v.lastError();

    CProfessionalFatRecovery engine;
    const fattest::FormattedSweep sweep = fattest::SweepFormattedFat(engine, v.image());
    ASSERT_EQ(sweep.open, kSuccess);
    EXPECT_FALSE(engine.BootLayoutPresent());
    ASSERT_FALSE(engine.Layouts().empty());
    EXPECT_EQ(engine.Layouts().front().sectorsPerCluster, real.sectorsPerCluster);
    EXPECT_EQ(engine.Layouts().front().DataStart(), real.dataAreaSector);
    const auto tree = BrowseTree(engine);
    std::set<std::string> names;
    for (const auto& [key, item] : tree) names.insert(key.substr(key.find('/') + 1));
    EXPECT_TRUE(names.contains("one.txt") && names.contains("Beta/two.txt") && names.contains("three.txt"));
  }
}

TEST_F(ProFatRecovery, ASurvivingBootSectorSeedsTheLayoutAndNarrowClusters) {
  FatVolumeBuilder v(temp_);
  const FormatOptions f{16384, 16, "-s 8"};
  ASSERT_TRUE(v.Format(f.kib, f.fatBits, f.options) && v.MakeFolder("/Only") &&
              v.Put("/Only/file.txt", test::TextBytes(5000, 4), "2020-01-02 03:04:06"))
      << v.lastError();
  ASSERT_TRUE(v.Run(FormatCommand(v, f))) << v.lastError();
  FatLayout real;
  ASSERT_EQ(ParseFatLayout(test::ReadBytesAt(v.image(), 0, 512), real), kSuccess);
  CProfessionalFatRecovery engine;
  fattest::SweepFormattedFat(engine, v.image());
  // One folder start cannot give a layout; the boot sector's is used from the first one on.
  ASSERT_TRUE(engine.BootLayoutPresent());
  ASSERT_EQ(engine.Layouts().size(), 1u);
  EXPECT_EQ(engine.Layouts()[0].sectorsPerCluster, 8u);
  EXPECT_EQ(engine.Layouts()[0].DataStart(), real.dataAreaSector);
  EXPECT_EQ(engine.Layouts()[0].rootSectors, real.rootDirSectors);
  EXPECT_TRUE(engine.Layouts()[0].narrowClusters);
  EXPECT_EQ(engine.PendingCount(), 0u);
  const auto tree = BrowseTree(engine);
  bool found = false;
  for (const auto& [key, item] : tree) found = found || key.ends_with("/file.txt");
  EXPECT_TRUE(found);
}

TEST_F(ProFatRecovery, AVolumeWhoseFatIsDestroyedKeepsItsTopFolderNames) {
  FatVolumeBuilder v(temp_);
  ASSERT_TRUE(v.Format(16384, 16, "-s 4") && FillCard(v)) << v.lastError();
  FatLayout layout;
  ASSERT_EQ(ParseFatLayout(test::ReadBytesAt(v.image(), 0, 512), layout), kSuccess);
  // Both FATs gone, boot sector and root left as they were.
  test::PatchBytes(v.image(), layout.fatStartSector * 512,
                   std::vector<std::uint8_t>(std::size_t{layout.numberOfFats} * layout.fatSectors * 512, 0));
  CProfessionalFatRecovery engine;
  fattest::SweepFormattedFat(engine, v.image());
  std::map<std::string, TreeItem> tree;
  for (const auto& [key, item] : BrowseTree(engine)) tree[test::Folded(key)] = item;
  // The root's sectors lie in front of the data area: they are placed as the root, so its
  // folders keep their names and its own files are found too.
  EXPECT_TRUE(tree.contains("readme.txt"));
  for (const char* key : {"dcim/100canon/img_0003.jpg", "documents/reports/2024/quarterly report.pdf",
                          "música/canción de cuna.txt", "été/café.txt", "documents/résumé.txt"}) {
    ASSERT_TRUE(tree.contains(key)) << key;
    const FoundFileRecord r = tree.at(key).record;
    const std::string out = temp_.path() + "/" + std::to_string(r.objectNumber);
    ASSERT_EQ(engine.RecoverItem(&r, out, 0), kSuccess);
    const std::string path = std::string("/") + key;
    for (const auto& [written, file] : v.files())
      if (test::Folded(written) == test::Folded(path)) {
        EXPECT_EQ(test::ReadFileBytes(out), file.bytes) << key;
      }
  }
  for (const auto& [key, item] : tree) EXPECT_FALSE(key.starts_with("lostfolder")) << key;
}

// --- data from consecutive clusters ---------------------------------------------------------------------

TEST_F(ProFatRecovery, AFragmentedFileIsWrittenFromConsecutiveClusters) {
  FatVolumeBuilder v(temp_);
  const FormatOptions f{8192, 16, "-s 1"};
  const std::string t = "2018-08-09 10:11:12";
  const std::vector<std::uint8_t> c = test::TextBytes(2500, 33);
  ASSERT_TRUE(v.Format(f.kib, f.fatBits, f.options) && v.MakeFolder("/F") &&
              v.Put("/F/a.bin", test::RandomBytes(1500, 31), t) && v.Put("/F/b.bin", test::RandomBytes(400, 32), t) &&
              v.Delete("/F/a.bin") && v.Put("/F/c.txt", c, t))
      << v.lastError();
  ASSERT_TRUE(v.Run(FormatCommand(v, f))) << v.lastError();
  CProfessionalFatRecovery engine;
  fattest::SweepFormattedFat(engine, v.image());
  const auto tree = BrowseTree(engine);
  const TreeItem* item = nullptr;
  for (const auto& [key, found] : tree)
    if (key.ends_with("/c.txt")) item = &found;
  ASSERT_NE(item, nullptr);
  const FoundFileRecord r = item->record;
  const std::string out = temp_.path() + "/c.txt";
  ASSERT_EQ(engine.RecoverItem(&r, out, 0), kSuccess);
  const std::vector<std::uint8_t> written = test::ReadFileBytes(out);
  // What lies on disk from the first cluster on: the hole's three clusters, then b.bin's.
  const std::uint64_t first = r.partitionStartSector + r.dataAreaSector + (r.objectNumber - 2) * 1ull;
  EXPECT_EQ(written, test::ReadBytesAt(v.image(), first * 512, c.size()));
  EXPECT_TRUE(std::equal(c.begin(), c.begin() + 1536, written.begin()));
  EXPECT_NE(written, c);
}

void StoreU16LE(std::uint8_t* at, std::uint16_t v) {
  at[0] = static_cast<std::uint8_t>(v);
  at[1] = static_cast<std::uint8_t>(v >> 8);
}
void StoreU32LE(std::uint8_t* at, std::uint32_t v) {
  StoreU16LE(at, static_cast<std::uint16_t>(v));
  StoreU16LE(at + 2, static_cast<std::uint16_t>(v >> 16));
}

// --- hostile media ------------------------------------------------------------------------------------------

// A directory entry every test of a real one accepts, with random name, clusters and size.
std::vector<std::uint8_t> PlausibleEntry(std::mt19937& rng, bool folder, std::uint32_t maxCluster) {
  std::vector<std::uint8_t> e(kDirEntrySize, ' ');
  for (int i = 0; i < 8; ++i) e[i] = static_cast<std::uint8_t>('A' + rng() % 26);
  for (int i = 8; i < 11; ++i) e[i] = static_cast<std::uint8_t>('A' + rng() % 26);
  if (rng() % 4 == 0) e[0] = kDeletedMark;
  e[kEntryAttr] = folder ? kAttrFolder : kAttrArchive;
  e[12] = 0;
  e[kEntryCreateHundredths] = 0;
  const std::uint16_t date = static_cast<std::uint16_t>(((2000 + rng() % 40 - 1980) << 9) | ((1 + rng() % 12) << 5) |
                                                        (1 + rng() % 28));
  const std::uint16_t time = static_cast<std::uint16_t>(((rng() % 24) << 11) | ((rng() % 60) << 5) | (rng() % 30));
  const std::uint32_t cluster = 2 + rng() % maxCluster;
  StoreU16LE(e.data() + kEntryCreateTime, time);
  StoreU16LE(e.data() + kEntryCreateDate, date);
  StoreU16LE(e.data() + kEntryAccessDate, date);
  StoreU16LE(e.data() + kEntryClusterHigh, static_cast<std::uint16_t>(cluster >> 16));
  StoreU16LE(e.data() + kEntryWriteTime, time);
  StoreU16LE(e.data() + kEntryWriteDate, date);
  StoreU16LE(e.data() + kEntryClusterLow, static_cast<std::uint16_t>(cluster));
  StoreU32LE(e.data() + kEntryFileSize, folder ? 0 : 1 + rng() % 100000000);
  return e;
}

// A sector that passes the directory test (or, with a dot pair, opens a folder) but holds noise.
std::vector<std::uint8_t> NoiseDirectorySector(std::mt19937& rng, bool folderStart, std::uint32_t maxCluster,
                                               std::size_t entries) {
  std::vector<std::uint8_t> sector(512, 0);
  for (std::size_t i = 0; i < entries && i < 16; ++i) {
    const auto e = PlausibleEntry(rng, rng() % 3 == 0, maxCluster);
    std::copy(e.begin(), e.end(), sector.begin() + static_cast<std::ptrdiff_t>(i * kDirEntrySize));
  }
  if (folderStart) {
    for (int i = 0; i < 2; ++i) {
      std::uint8_t* d = sector.data() + i * kDirEntrySize;
      std::fill(d, d + 11, ' ');
      d[0] = '.';
      if (i == 1) d[1] = '.';
      d[kEntryAttr] = kAttrFolder;
      StoreU32LE(d + kEntryFileSize, 0);
    }
  }
  return sector;
}

std::size_t CountLines(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

TEST_F(ProFatRecovery, NoiseThatPassesTheDirectoryTestEndsInAResult) {
  std::mt19937 rng(20261208);
  std::vector<std::uint8_t> image;
  for (int i = 0; i < 6000; ++i) {
    const bool start = rng() % 10 == 0;
    const auto sector = NoiseDirectorySector(rng, start, 5000, 1 + rng() % 16);
    if (!start) {
      ASSERT_TRUE(IsFatDirectorySector(sector));
    }
    image.insert(image.end(), sector.begin(), sector.end());
  }
  const std::string path = temp_.path() + "/noise.img";
  test::WriteFileBytes(path, image);
  CProfessionalFatRecovery engine;
  const fattest::FormattedSweep sweep = fattest::SweepFormattedFat(engine, path);
  EXPECT_EQ(sweep.finish, kSuccess);
  EXPECT_GT(sweep.directorySectors, 4000u);
  EXPECT_LE(engine.Layouts().size(), FormattedFatLimits{}.layouts);
  EXPECT_EQ(engine.OrphanCount(), 0u);
  EXPECT_EQ(engine.PendingCount(), 0u);
  // Browsing and writing out noise stays inside the target and ends.
  const auto tree = BrowseTree(engine, 2000);
  int written = 0;
  for (const auto& [key, item] : tree) {
    if (item.record.isFolder != 0 || ++written > 50) continue;
    const FoundFileRecord r = item.record;
    (void)engine.RecoverItem(&r, temp_.path() + "/noise-out/" + std::to_string(written), 0);
  }
}

TEST_F(ProFatRecovery, DamagedDirectorySectorsOfARealCardNeverBreakTheSweep) {
  FatVolumeBuilder v(temp_);
  const FormatOptions f{16384, 16, "-s 4"};
  ASSERT_TRUE(v.Format(f.kib, f.fatBits, f.options) && FillCard(v)) << v.lastError();
  ASSERT_TRUE(v.Run(FormatCommand(v, f))) << v.lastError();
  const std::vector<std::uint8_t> pristine = test::ReadFileBytes(v.image());
  std::vector<std::size_t> directorySectors;
  for (std::size_t s = 0; (s + 1) * 512 <= pristine.size(); ++s) {
    const std::span<const std::uint8_t> sector(pristine.data() + s * 512, 512);
    if (ClassifySweepSector(sector, 1024) != SweepSectorKind::Other && s > 0) directorySectors.push_back(s);
  }
  ASSERT_GT(directorySectors.size(), 5u);
  for (std::uint32_t seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> damaged = pristine;
    for (std::size_t s : directorySectors) {
      for (int k = 0; k < 1 + static_cast<int>(rng() % 24); ++k)
        damaged[s * 512 + rng() % 512] = static_cast<std::uint8_t>(rng());
      // Now and then a whole entry of clusters, sizes and dates from nowhere.
      if (rng() % 3 == 0) {
        for (int k = 12; k < 32; ++k) damaged[s * 512 + (rng() % 16) * 32 + k] = static_cast<std::uint8_t>(rng());
      }
    }
    const std::string path = temp_.path() + "/damaged.img";
    test::WriteFileBytes(path, damaged);
    CProfessionalFatRecovery engine;
    const fattest::FormattedSweep sweep = fattest::SweepFormattedFat(engine, path);
    EXPECT_EQ(sweep.finish, kSuccess);
    test::RecoverFirst(engine, BrowseTree(engine, 5000), temp_.path() + "/d" + std::to_string(seed), 40);
  }
}

TEST_F(ProFatRecovery, AHundredThousandDirectoryLookingSectorsStayWithinTheCaps) {
  // Nothing here gives a layout: every sector waits in memory until the caps let it go.
  std::mt19937 rng(7);
  const std::string path = temp_.path() + "/many.img";
  {
    std::vector<std::uint8_t> image;
    image.reserve(100000 * 512);
    for (int i = 0; i < 100000; ++i) {
      const auto sector = NoiseDirectorySector(rng, false, 60000, 1 + rng() % 4);
      image.insert(image.end(), sector.begin(), sector.end());
    }
    test::WriteFileBytes(path, image);
  }
  CProfessionalFatRecovery engine;
  FormattedFatLimits limits;
  limits.orphanBytes = 4u << 20;
  engine.SetLimits(limits);
  testing::internal::CaptureStderr();
  const fattest::FormattedSweep sweep = fattest::SweepFormattedFat(engine, path, false);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(sweep.directorySectors, 100000u);
  EXPECT_LE(engine.OrphanCount(), limits.orphanBytes / 512);
  EXPECT_GT(engine.DroppedCount(), 90000u);
  // Said once, not once a sector.
  EXPECT_EQ(CountLines(said, "directory sectors"), 1u) << said;
  EXPECT_EQ(engine.FinishSweep(), kSuccess);
  EXPECT_EQ(engine.OrphanCount(), 0u);
  EXPECT_EQ(engine.GetFoundCount(), 0u);

  // The same medium with folder starts of one volume among the noise: everything is parsed as it
  // comes, the caps hold, and the sweep ends.
  {
    std::vector<std::uint8_t> image = test::ReadFileBytes(path);
    for (std::uint32_t k = 0; k < 100; ++k) {
      const std::uint32_t cluster = 10 + k * 240;  // cluster c at sector 1000 + (c - 2) * 4
      const std::uint64_t sector = 1000 + (cluster - 2) * 4ull;
      auto start = NoiseDirectorySector(rng, true, 60000, 3);
      StoreU16LE(start.data() + kEntryClusterLow, static_cast<std::uint16_t>(cluster));
      StoreU16LE(start.data() + kEntryClusterHigh, 0);
      std::copy(start.begin(), start.end(), image.begin() + static_cast<std::ptrdiff_t>(sector * 512));
    }
    test::WriteFileBytes(path, image);
  }
  CProfessionalFatRecovery placed;
  const fattest::FormattedSweep second = fattest::SweepFormattedFat(placed, path);
  EXPECT_EQ(second.finish, kSuccess);
  ASSERT_FALSE(placed.Layouts().empty());
  EXPECT_EQ(placed.Layouts()[0].sectorsPerCluster, 4u);
  EXPECT_EQ(placed.Layouts()[0].DataStart(), 1000u);
  EXPECT_GT(placed.GetFoundCount(), 1000u);
}

}  // namespace
}  // namespace rexmoor
