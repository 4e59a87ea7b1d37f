// The deep scan of exFAT volumes formatted again over their old files
// (tests/fixtures/make_exfat_volumes.sh): the old folders are rebuilt from the directory clusters
// the format left, checked against the manifest written before the format.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "engine/scan_log_index.h"
#include "fat/fat_engine_test_util.h"
#include "fat/fat_volume_builder.h"
#include "fixtures/exfat_fixtures.h"
#include "scan/deep_scan_test_util.h"
#include "platform/text.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using test::ExfatManifestEntry;
using Rows = std::map<std::string, ExfatManifestEntry>;

std::string ParentOf(const std::string& path) {
  const std::string trimmed = path.back() == '/' ? path.substr(0, path.size() - 1) : path;
  return trimmed.substr(0, trimmed.rfind('/') + 1);
}

std::string BaseOf(const std::string& path) {
  const std::string parent = ParentOf(path);
  return path.substr(parent.size());
}

// Where the deep scan lists an entry, from where its set lay on the old volume: in its folder when
// the set lies in the folder's first cluster (or in a folder kept without a FAT chain, anywhere in
// its clusters); in "LostFolder<cluster>" at the top when the folder's own set is gone, or when the
// set lies in a later cluster of a fragmented folder, which nothing links to the first without the
// FAT. Nothing when the set itself is gone.
std::optional<std::string> ExpectedPlace(const Rows& rows, const test::ExfatVolumeInfo& v, const ExfatManifestEntry& r) {
  if (r.entry == "lost") return std::nullopt;
  const std::uint64_t clusterSectors = v.written.clusterSize / 512;
  const std::uint64_t sector = r.entryOffset / 512 - v.partitionStart;
  const std::uint64_t cluster = (sector - v.written.heapSector) / clusterSectors + 2;
  const std::string parent = ParentOf(r.path);
  if (parent == "/") {
    if (cluster == v.written.rootCluster) return "";
    return "LostFolder" + std::to_string(cluster) + "/";
  }
  const ExfatManifestEntry& p = rows.at(parent);
  const std::uint64_t clusters = p.noFatChain ? (p.size + v.written.clusterSize - 1) / v.written.clusterSize : 1;
  if (cluster < p.firstCluster || cluster - p.firstCluster >= std::max<std::uint64_t>(1, clusters))
    return "LostFolder" + std::to_string(cluster) + "/";
  if (p.entry == "lost") return "LostFolder" + std::to_string(p.firstCluster) + "/";
  const std::optional<std::string> above = ExpectedPlace(rows, v, p);
  return above ? std::optional<std::string>(*above + BaseOf(parent)) : std::nullopt;
}

class ProExfatReformatted : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { ScanLogIndex::ResetForTesting(); }
  void TearDown() override { ScanLogIndex::ResetForTesting(); }
  test::ScopedDataDir data_;
  test::TempDir temp_;
};

TEST_P(ProExfatReformatted, OldFilesComeBackInTheirOldFoldersAndNothingElse) {
  const std::string name = GetParam();
  Rows rows;
  for (ExfatManifestEntry& e : test::ExfatManifest(name)) rows[e.path] = std::move(e);
  const test::ExfatVolumeInfo v = test::ExfatVolume(name);
  ASSERT_GT(rows.size(), 50u);
  ASSERT_NE(v.written.clusterSize, 0u);
  const std::string image = test::ExfatFixture(name);
  const std::string before = test::Sha256Hex(image);

  const auto deep = deeptest::DeepScanImage(image);
  ASSERT_NE(deep, nullptr);
  CProfessionalExfatRecovery& exfat = deep->ExfatEngine();
  // The old geometry, whether the new boot region agrees with it or it had to be inferred.
  ASSERT_TRUE(exfat.Layout().has_value());
  EXPECT_EQ(exfat.Layout()->sectorsPerCluster, v.written.clusterSize / 512);
  EXPECT_EQ(exfat.Layout()->heapSector, v.written.heapSector);
  const auto tree = test::BrowseTree(exfat);

  // Every entry set that survived is listed where its folders say, with its data where that is intact.
  std::set<std::string> expected;
  int written = 0;
  for (const auto& [path, r] : rows) {
    const std::optional<std::string> place = ExpectedPlace(rows, v, r);
    if (!place) continue;
    const std::string key = *place + BaseOf(path);
    expected.insert(key);
    SCOPED_TRACE(path + " expected at " + key);
    ASSERT_TRUE(tree.contains(key));
    const FoundFileRecord record = tree.at(key).record;
    EXPECT_EQ(+record.engineTag, kTagProExfat);
    EXPECT_EQ(record.deletedMark != 0, r.entry == "deleted");
    if (r.folder) continue;
    EXPECT_EQ(+record.size, r.size);
    EXPECT_EQ(+record.objectNumber, r.firstCluster);
    if (r.dataIntact != true || !r.contiguous) continue;
    const std::string out = temp_.path() + "/f" + std::to_string(++written);
    ASSERT_EQ(deep->RecoverItem(&record, out, 0), kSuccess);
    EXPECT_EQ(test::Sha256Hex(out), r.sha256);
  }
  EXPECT_GT(written, 30);

  // Nothing else: every file listed is an old file at its place, every folder one on the way.
  for (const auto& [key, item] : tree) {
    if (item.record.isFolder != 0 && key.rfind("LostFolder", 0) == 0 && key.find('/') == key.size() - 1) continue;
    EXPECT_TRUE(expected.contains(key)) << key << " is listed but no old entry lies there";
  }

  // A file found both in its folder and by carving is listed once in the search results, whichever
  // find is kept.
  std::map<std::pair<std::uint64_t, std::string>, int> listed;
  for (const FoundFileRecord& r : deeptest::FilterAll(*deep)) {
    std::optional<std::uint64_t> start;
    if (r.engineTag == kTagFileType) start = +r.locationSector;
    if (r.engineTag == kTagProExfat)
      if (const std::optional<std::uint64_t> byte = exfat.FirstDataByte(r)) start = *byte / 512;
    if (start) ++listed[{*start, ToLowerAscii(RecordExtension(r))}];
  }
  for (const auto& [where, count] : listed) EXPECT_EQ(count, 1) << "listed twice at sector " << where.first;

  EXPECT_EQ(test::Sha256Hex(image), before);
}

INSTANTIATE_TEST_SUITE_P(Exfat, ProExfatReformatted,
                         ::testing::Values("exfat_reformatted.img", "exfat_reformatted_32k.img",
                                           "exfat_reformatted_noboot.img"),
                         [](const auto& info) {
                           std::string n = info.param;
                           return n.substr(6, n.size() - 10);
                         });

}  // namespace
}  // namespace rexmoor
