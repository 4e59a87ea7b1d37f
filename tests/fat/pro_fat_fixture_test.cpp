// The formatted FAT engine on the quick-formatted fixture volumes, checked against what was
// written into them before the format (fmt_files.txt, MANIFEST.txt, fmt_geometry.txt).
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/scan_log_index.h"
#include "fat/fat_engine_test_util.h"
#include "fat/fat_volume_builder.h"
#include "scan/formatted_sweep_harness.h"
#include "fat/pro_fat_recovery.h"
#include "fixtures/fixture_paths.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using test::FixturePath;
using test::TreeItem;

using test::WrittenEntries;
using test::WrittenEntry;
using test::Folded;

// Whether mtools stored the name as a short name alone: 8.3, no spaces, one case in each part
// (a small-letter part is kept by the entry's case bits).
bool ShortOnly(const std::string& name) {
  const std::size_t dot = name.find('.');
  const std::string base = name.substr(0, dot);
  const std::string ext = dot == std::string::npos ? "" : name.substr(dot + 1);
  auto fits = [](const std::string& part, std::size_t most) {
    std::size_t letters = 0;
    bool lower = false, upper = false;
    for (unsigned char c : part) {
      if (c == ' ' || c == '.') return false;
      if ((c & 0xC0) != 0x80) ++letters;
      lower = lower || (c >= 'a' && c <= 'z');
      upper = upper || (c >= 'A' && c <= 'Z');
    }
    return letters <= most && !(lower && upper);
  };
  return fits(base, 8) && fits(ext, 3);
}

// The name a deleted short-only entry comes back under: its first letter went to the mark.
std::string ExpectedName(const std::string& name, bool deleted) {
  if (!deleted || !ShortOnly(name)) return name;
  std::size_t first = 1;
  while (first < name.size() && (static_cast<unsigned char>(name[first]) & 0xC0) == 0x80) ++first;
  return "!" + name.substr(first);
}

std::vector<std::string> Split(const std::string& path) {
  std::vector<std::string> parts;
  std::stringstream in(path);
  for (std::string part; std::getline(in, part, '/');)
    if (!part.empty()) parts.push_back(part);
  return parts;
}

class ProFatFixtures : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { ScanLogIndex::ResetForTesting(); }
  void TearDown() override { ScanLogIndex::ResetForTesting(); }
  test::ScopedDataDir data_;
  test::TempDir temp_;
};

TEST_P(ProFatFixtures, EveryFileBelowTheRootComesBackInItsFolder) {
  const std::string name = GetParam();
  REQUIRE_FIXTURE(name.c_str());
  const std::string image = FixturePath(name.c_str());
  const std::string before = test::Sha256Hex(image);
  const std::vector<WrittenEntry> written = WrittenEntries(name);
  ASSERT_GT(written.size(), 50u);
  std::map<std::string, std::uint32_t> folderClusters;
  for (const WrittenEntry& e : written)
    if (e.path.ends_with("/")) folderClusters[e.path] = e.firstCluster;
  // The boot-less copies hold their volume's files.
  const auto manifest = test::ManifestFiles(name.ends_with("_noboot.img") ? name.substr(0, name.size() - 11) + ".img"
                                                                          : name);

  CProfessionalFatRecovery engine;
  const fattest::FormattedSweep sweep = fattest::SweepFormattedFat(engine, image);
  ASSERT_EQ(sweep.open, kSuccess);
  EXPECT_EQ(engine.BootLayoutPresent(), !name.ends_with("_noboot.img"));
  const auto tree = test::BrowseTree(engine);
  std::map<std::string, const TreeItem*> folded;
  std::map<std::uint32_t, std::vector<std::string>> foldersByCluster;
  for (const auto& [key, item] : tree) {
    folded[Folded(key)] = &item;
    const std::uint32_t cluster = item.record.objectNumber;
    if (item.record.isFolder != 0) foldersByCluster[cluster].push_back(key);
  }
  int inLaterClusters = 0;

  int checked = 0;
  for (const WrittenEntry& e : written) {
    if (e.inRoot || e.path.ends_with("/")) continue;
    SCOPED_TRACE(e.path);
    // The file under its folder path, from some folder down: whichever record stands for that
    // folder's first cluster (its own name where its entry survived, else "LostFolder<cluster>").
    const std::vector<std::string> parts = Split(e.path);
    const std::string leaf = Folded(ExpectedName(parts.back(), e.deleted));
    const TreeItem* item = nullptr;
    std::string prefix = "/";
    for (std::size_t i = 0; i + 1 < parts.size() && item == nullptr; ++i) {
      prefix += parts[i] + "/";
      std::string below;
      for (std::size_t j = i + 1; j + 1 < parts.size(); ++j) below += parts[j] + "/";
      for (const std::string& folder : foldersByCluster[folderClusters[prefix]]) {
        auto it = folded.find(Folded(folder + below) + leaf);
        if (it != folded.end()) item = it->second;
      }
    }
    // A folder whose listing runs over clusters apart from one another: a later cluster that
    // neither opens with "."/".." nor goes on with a name cut at the end of an earlier one names
    // no folder, and is listed as a lost folder of its own.
    if (item == nullptr && parts.size() == 2 && parts[0] == "Many files") {
      for (const auto& [key, found] : folded)
        if (key.starts_with("lostfolder") && key.ends_with("/" + leaf) && std::count(key.begin(), key.end(), '/') == 1)
          item = found;
      if (item != nullptr) ++inLaterClusters;
    }
    ASSERT_NE(item, nullptr) << "not found in any of its folders";
    const FoundFileRecord r = item->record;
    const std::uint64_t size = r.size;
    EXPECT_EQ(size, e.size);
    const std::uint64_t modified = r.modifiedTime;
    ASSERT_TRUE(manifest.contains(e.path));
    EXPECT_EQ(modified, test::FileTimeOf(manifest.at(e.path).mtime));
    // Contiguous files are written out whole, deleted ones too, unless other data took their
    // clusters before the format.
    if (e.contiguous && e.size > 0 && manifest.at(e.path).state != "deleted-overwritten") {
      const std::string out = temp_.path() + "/f" + std::to_string(checked) + ".bin";
      ASSERT_EQ(engine.RecoverItem(&r, out, 0), kSuccess);
      EXPECT_EQ(test::Sha256Hex(out), e.sha256);
    }
    ++checked;
  }
  EXPECT_GT(checked, 50);
  // Only the FAT32 volume (one sector a cluster) scatters that folder's listing.
  if (name.find("fat32") == std::string::npos) {
    EXPECT_EQ(inLaterClusters, 0);
  }
  // The medium was only read.
  EXPECT_EQ(test::Sha256Hex(image), before);
}

INSTANTIATE_TEST_SUITE_P(Formatted, ProFatFixtures,
                         ::testing::Values("fmt_fat12.img", "fmt_fat12_noboot.img", "fmt_fat16.img",
                                           "fmt_fat16_noboot.img", "fmt_fat32.img", "fmt_fat32_noboot.img"),
                         [](const auto& info) {
                           std::string n = info.param;
                           return n.substr(4, n.size() - 8);
                         });

TEST(ProFatFixtureGeometry, ClusterSizeAndDataStartFromFolderStartsAlone) {
  std::ifstream in(FixturePath("fmt_geometry.txt"));
  std::string image;
  std::uint32_t spc = 0;
  std::uint64_t dataStart = 0;
  int checked = 0;
  while (in >> image >> spc >> dataStart) {
    if (image.rfind("fmt_spc", 0) != 0 && !image.ends_with("_noboot.img")) continue;
    SCOPED_TRACE(image);
    ScanLogIndex::ResetForTesting();
    test::ScopedDataDir data;
    CProfessionalFatRecovery engine;
    fattest::SweepFormattedFat(engine, FixturePath(image.c_str()));
    EXPECT_FALSE(engine.BootLayoutPresent());
    ASSERT_FALSE(engine.Layouts().empty());
    EXPECT_EQ(engine.Layouts().front().sectorsPerCluster, spc);
    EXPECT_EQ(engine.Layouts().front().DataStart(), dataStart);
    ++checked;
  }
  ScanLogIndex::ResetForTesting();
  EXPECT_EQ(checked, 10);
}

}  // namespace
}  // namespace rexmoor
