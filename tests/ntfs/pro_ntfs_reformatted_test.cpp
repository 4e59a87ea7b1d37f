// The formatted NTFS engine on volumes formatted again over their old files
// (tests/fixtures/make_ntfs_reformatted.sh), checked against what was written before the format.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/scan_log_index.h"
#include "fat/fat_engine_test_util.h"
#include "ntfs/ntfs_test_util.h"
#include "ntfs/pro_ntfs_recovery.h"
#include "scan/formatted_sweep_harness.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using test::TreeItem;

struct Entry {
  bool folder = false;
  bool deleted = false;
  bool intact = false;
  bool resident = false;
  std::uint64_t size = 0;
  std::uint32_t record = 0;
  std::uint64_t created = 0, modified = 0;  // of $STANDARD_INFORMATION, the times a file is shown with
};

struct Volume {
  std::map<std::string, std::uint64_t> fields;  // from its "volume" line
  std::map<std::string, Entry> entries;         // by path, folders ending in "/"
};

Volume ReadManifest(const std::string& image) {
  Volume v;
  std::ifstream in(test::NtfsFixtureSource("MANIFEST_reformatted.txt"));
  const std::string marker = " " + image + ":";
  std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> si;  // created, modified by path
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string kind;
    words >> kind;
    if (kind == "volume") {
      std::string name;
      words >> name;
      if (name != image) continue;
      for (std::string word; words >> word;) {
        const std::size_t eq = word.find('=');
        if (eq == std::string::npos) continue;
        char* end = nullptr;
        const std::uint64_t value = std::strtoull(word.c_str() + eq + 1, &end, 10);
        if (end != nullptr && *end == '\0') v.fields[word.substr(0, eq)] = value;
      }
      continue;
    }
    if (kind != "file" && kind != "folder" && kind != "si") continue;
    const std::size_t at = line.find(marker);
    if (at == std::string::npos) continue;
    if (kind == "si") {
      std::map<std::string, std::uint64_t> times;
      std::istringstream fields(line.substr(3, at - 3));
      for (std::string word; fields >> word;)
        times[word.substr(0, word.find('='))] = std::strtoull(word.c_str() + word.find('=') + 1, nullptr, 10);
      si[line.substr(at + marker.size())] = {times["created"], times["modified"]};
      continue;
    }
    Entry e;
    e.folder = kind == "folder";
    std::istringstream fields(line.substr(0, at));
    std::string word;
    fields >> word;
    while (fields >> word) {
      if (word == "deleted") e.deleted = true;
      const std::size_t eq = word.find('=');
      if (eq == std::string::npos) continue;
      const std::string key = word.substr(0, eq);
      const std::uint64_t value = std::strtoull(word.c_str() + eq + 1, nullptr, 10);
      if (key == "size") e.size = value;
      if (key == "record") e.record = static_cast<std::uint32_t>(value);
      if (key == "intact") e.intact = value != 0;
      if (key == "resident") e.resident = value != 0;
    }
    v.entries[line.substr(at + marker.size())] = e;
  }
  for (auto& [path, e] : v.entries) {
    const auto it = si.find(path);
    if (it == si.end()) continue;
    e.created = it->second.first;
    e.modified = it->second.second;
  }
  return v;
}

std::string ReformattedSha256(const std::string& key) {
  std::ifstream in(test::NtfsFixtureSource("sha256_reformatted.txt"));
  for (std::string line; std::getline(in, line);)
    if (line.size() > 66 && line.compare(66, std::string::npos, key) == 0) return line.substr(0, 64);
  return {};
}

// Where a file is listed: below the nearest folder above it whose record is gone, which is a lost
// folder in the root named by that record, or at its own path when all of them survived.
std::string ExpectedKey(const Volume& v, const std::string& path) {
  std::string below = path.substr(path.rfind('/') + 1);
  std::string folder = path.substr(0, path.rfind('/'));
  while (!folder.empty()) {
    const auto it = v.entries.find(folder + "/");
    const std::string name = folder.substr(folder.rfind('/') + 1);
    if (it == v.entries.end() || !it->second.intact) {
      return "LostFolder" + std::to_string(it == v.entries.end() ? 0 : it->second.record) + "/" + below;
    }
    below = name + "/" + below;
    folder = folder.substr(0, folder.rfind('/'));
  }
  return below;
}

class ProNtfsReformatted : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { ScanLogIndex::ResetForTesting(); }
  void TearDown() override { ScanLogIndex::ResetForTesting(); }
  test::ScopedDataDir data_;
  test::TempDir temp_;
};

class ProNtfsReformattedPartition : public ::testing::Test {
 protected:
  void SetUp() override { ScanLogIndex::ResetForTesting(); }
  void TearDown() override { ScanLogIndex::ResetForTesting(); }
  test::ScopedDataDir data_;
  test::TempDir temp_;
};

// Sweeps the image (or, with a drive, its partition) and checks every intact file.
void CheckOldFiles(const std::string& name, bool asPartition, test::TempDir& temp) {
  const Volume v = ReadManifest(name);
  ASSERT_GT(v.entries.size(), 10u) << "no manifest lines for " << name;
  const std::string image = test::NtfsFixture(name);
  const std::string before = test::Sha256Hex(image);
  auto engine = std::make_unique<CProfessionalNtfsRecovery>();
  fattest::SweepSource where{image};
  if (asPartition) {
    setenv("REXMOOR_DRIVES", image.c_str(), 1);
    where = fattest::SweepSource{"", 0, v.fields.at("partition_start"),
                                 v.fields.at("bytes") / 512 - v.fields.at("partition_start")};
  }
  const fattest::FormattedSweep sweep = fattest::SweepFormatted(SweepEngines{nullptr, engine.get()}, where);
  unsetenv("REXMOOR_DRIVES");
  ASSERT_EQ(sweep.open, kSuccess);
  const auto tree = test::BrowseTree(*engine);

  // The old MFT's layout was found, counting from the old volume's start.
  const std::uint64_t start = v.fields.count("partition_start") ? v.fields.at("partition_start") : 0;
  if (v.fields.count("old_mft_sector")) {
    bool found = false;
    for (const auto& layout : engine->Layouts())
      found = found || (layout.mftSector == v.fields.at("old_mft_sector") && layout.origin == start);
    EXPECT_TRUE(found) << "no layout for the old MFT";
  }

  int checked = 0;
  for (const auto& [path, e] : v.entries) {
    if (e.folder || !e.intact) continue;
    SCOPED_TRACE(path);
    const std::string key = ExpectedKey(v, path);
    ASSERT_TRUE(tree.contains(key)) << "expected at " << key;
    const FoundFileRecord r = tree.at(key).record;
    EXPECT_EQ(+r.size, e.size);
    EXPECT_EQ(+r.objectNumber, e.record);
    EXPECT_EQ(+r.modifiedTime, e.modified);
    EXPECT_EQ(+r.createdTime, e.created);
    EXPECT_EQ(+r.partitionStartSector, start);
    const std::string out = temp.path() + "/f" + std::to_string(++checked);
    ASSERT_EQ(engine->RecoverItem(&r, out, 0), kSuccess);
    EXPECT_EQ(test::Sha256Hex(out), ReformattedSha256(name + ":" + path));
  }
  EXPECT_GT(checked, 5);
  EXPECT_EQ(test::Sha256Hex(image), before);
}

TEST_P(ProNtfsReformatted, OldFilesComeBackInTheirOldFolders) { CheckOldFiles(GetParam(), false, temp_); }

// The disk's partition opened as the deep scan of a partition opens it: the records still count
// from the partition's start.
TEST_F(ProNtfsReformattedPartition, OldFilesOfAPartitionComeBackFromItsStart) {
  CheckOldFiles("ntfs_reformatted_mbr.img", true, temp_);
}

INSTANTIATE_TEST_SUITE_P(Ntfs, ProNtfsReformatted,
                         ::testing::Values("ntfs_reformatted.img", "ntfs_reformatted_moved.img",
                                           "ntfs_reformatted_mbr.img"),
                         [](const auto& info) {
                           std::string n = info.param;
                           return n.substr(5, n.size() - 9);
                         });

}  // namespace
}  // namespace rexmoor
