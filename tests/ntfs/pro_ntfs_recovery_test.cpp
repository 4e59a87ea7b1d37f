#include "ntfs/pro_ntfs_recovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/folder_recovery.h"
#include "engine/scan_log_index.h"
#include "fat/fat_engine_test_util.h"
#include "ntfs/ntfs_test_util.h"
#include "platform/byte_view.h"
#include "scan/formatted_sweep_harness.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using test::BrowseTree;
using test::TreeItem;

constexpr const char* kDeleted = "ntfs_deleted.img";

class ProNtfsRecovery : public ::testing::Test {
 protected:
  void SetUp() override { ScanLogIndex::ResetForTesting(); }
  void TearDown() override { ScanLogIndex::ResetForTesting(); }
  test::ScopedDataDir data_;
  test::TempDir temp_;
};

TEST(NtfsClusterEstimate, FollowsThePartitionSize) {
  const std::uint64_t mib = 2048;  // 512-byte sectors in a MiB
  EXPECT_EQ(EstimateNtfsSectorsPerCluster(300 * mib, 512), 1u);
  EXPECT_EQ(EstimateNtfsSectorsPerCluster(512 * mib, 512), 1u);
  EXPECT_EQ(EstimateNtfsSectorsPerCluster(800 * mib, 512), 2u);
  EXPECT_EQ(EstimateNtfsSectorsPerCluster(1536 * mib, 512), 4u);
  EXPECT_EQ(EstimateNtfsSectorsPerCluster(3000 * mib, 512), 8u);
  EXPECT_EQ(EstimateNtfsSectorsPerCluster(5 * mib, 512), 8u);
  // With 4 KiB sectors the bounds grow eightfold.
  EXPECT_EQ(EstimateNtfsSectorsPerCluster(300 * 256, 4096), 1u);
  EXPECT_EQ(EstimateNtfsSectorsPerCluster(50 * 256, 4096), 8u);
}

// Where each file of the fixture is found by its records alone: its path, except a file whose
// folder's record now holds a file, which is in "LostFolder<that record>".
std::string ExpectedKey(const std::string& path) {
  if (path == "/Gone/orphan.txt") return "LostFolder64/orphan.txt";
  return path.substr(1);
}

struct Swept {
  std::unique_ptr<CProfessionalNtfsRecovery> engine = std::make_unique<CProfessionalNtfsRecovery>();
  fattest::FormattedSweep sweep;
  std::map<std::string, TreeItem> tree;
};

Swept SweepImage(const std::string& image) {
  Swept s;
  s.sweep = fattest::SweepFormattedNtfs(*s.engine, image);
  s.tree = BrowseTree(*s.engine);
  return s;
}

// Every file of ntfs_deleted.img, live or deleted, at its place with its size, times and data.
void ExpectEveryFile(const Swept& s, std::uint64_t origin, test::TempDir& temp) {
  int checked = 0;
  for (const auto& [path, truth] : test::NtfsManifest(kDeleted)) {
    SCOPED_TRACE(path);
    // A picture whose content is no picture is left out of the lists (its twin document stays).
    if (path == "/not really a photo.jpg") continue;
    const std::string key = ExpectedKey(path);
    ASSERT_TRUE(s.tree.contains(key));
    const FoundFileRecord r = s.tree.at(key).record;
    EXPECT_EQ(+r.size, truth.size);
    EXPECT_EQ(+r.objectNumber, truth.record);
    EXPECT_EQ(+r.modifiedTime, truth.modified);
    EXPECT_EQ(+r.createdTime, truth.created);
    EXPECT_EQ(+r.deletedMark, truth.state == "deleted" ? 1 : 0);
    EXPECT_EQ(+r.engineTag, kTagProNtfs);
    EXPECT_EQ(+r.partitionStartSector, origin);
    // (A resident file found before any record told the cluster size keeps the first guess.)
    if (truth.size > 800) {
      EXPECT_EQ(+r.clusterBytes, 4096);
    }
    const std::string out = temp.path() + "/f" + std::to_string(++checked);
    ASSERT_EQ(s.engine->RecoverItem(&r, out, 0), kSuccess);
    EXPECT_EQ(test::Sha256Hex(out), test::NtfsSha256(std::string(kDeleted) + ":" + path));
  }
  EXPECT_GT(checked, 18);
}

TEST_F(ProNtfsRecovery, RecordsOfTheCurrentMftComeBackInTheirFolders) {
  const std::string image = test::NtfsFixture(kDeleted);
  const Swept s = SweepImage(image);
  ASSERT_EQ(s.sweep.open, kSuccess);
  // The boot sector's MFT; its mirror's copy of record 0 is not taken for another one.
  ASSERT_EQ(s.engine->Layouts().size(), 1u);
  EXPECT_EQ(s.engine->Layouts()[0].mftSector, 32u);
  EXPECT_EQ(s.engine->Layouts()[0].origin, 0u);
  EXPECT_GT(s.sweep.folderRecords, 0u);
  ExpectEveryFile(s, 0, temp_);
  // Folders come from the parent references, the one whose record was reused as a lost folder.
  for (const char* folder : {"Docs/", "Live/", "Trash/", "Trash/Sub/", "LostFolder64/"}) EXPECT_TRUE(s.tree.contains(folder)) << folder;
  // No file of the file system's own.
  for (const auto& [key, item] : s.tree) EXPECT_NE(key.front(), '$') << key;
}

TEST_F(ProNtfsRecovery, WithoutABootSectorTheSweptMftRecordGivesTheLayout) {
  const std::string image = test::NtfsFixtureCopy(kDeleted, temp_, "noboot.img");
  test::PatchBytes(image, 0, std::vector<std::uint8_t>(512, 0));
  const Swept s = SweepImage(image);
  ASSERT_EQ(s.engine->Layouts().size(), 1u);
  EXPECT_FALSE(s.engine->Layouts()[0].assumed);
  EXPECT_EQ(s.engine->Layouts()[0].origin, 0u);
  EXPECT_EQ(s.engine->Layouts()[0].sectorsPerCluster, 8u);
  ExpectEveryFile(s, 0, temp_);
}

TEST_F(ProNtfsRecovery, AVolumeFurtherIntoTheMediumIsReadFromItsOwnOrigin) {
  // The volume 1 MiB into the image, which is opened whole: nothing at the start describes it.
  const std::string image = temp_.path() + "/shifted.img";
  ASSERT_EQ(test::RunCommand("{ head -c 1048576 /dev/zero; cat " + test::ShellQuote(test::NtfsFixture(kDeleted)) +
                             "; } > " + test::ShellQuote(image)),
            0);
  const Swept s = SweepImage(image);
  ASSERT_EQ(s.engine->Layouts().size(), 1u);
  EXPECT_EQ(s.engine->Layouts()[0].origin, 2048u);
  EXPECT_EQ(s.engine->Layouts()[0].mftSector, 2048u + 32u);
  ExpectEveryFile(s, 2048, temp_);
}

TEST_F(ProNtfsRecovery, AnMftWhoseRecordZeroIsGoneIsFoundThroughItsMirror) {
  const std::string image = test::NtfsFixtureCopy(kDeleted, temp_, "nomft.img");
  test::PatchBytes(image, 0, std::vector<std::uint8_t>(512, 0));
  test::PatchBytes(image, 32 * 512, std::vector<std::uint8_t>(1024, 0));
  const Swept s = SweepImage(image);
  // The mirror's copy of record 0 gives the runs, and its own place gives the origin.
  bool fromMirror = false;
  for (const auto& layout : s.engine->Layouts()) fromMirror = fromMirror || (layout.origin == 0 && !layout.assumed);
  EXPECT_TRUE(fromMirror);
  ExpectEveryFile(s, 0, temp_);
}

TEST_F(ProNtfsRecovery, RecordsOfAnMftWithNoRecordZeroLeftGetAnAssumedOne) {
  // $MFT's record, its mirror and the boot sector gone: the MFT is taken to start where contiguity
  // puts its record 0, on the volume that starts with the partition, with the cluster size the
  // files' own runs tell.
  const std::string image = test::NtfsFixtureCopy(kDeleted, temp_, "nomft.img");
  test::PatchBytes(image, 0, std::vector<std::uint8_t>(512, 0));
  test::PatchBytes(image, 32 * 512, std::vector<std::uint8_t>(1024, 0));
  test::PatchBytes(image, 16376 * 512, std::vector<std::uint8_t>(1024, 0));
  const Swept s = SweepImage(image);
  ASSERT_FALSE(s.engine->Layouts().empty());
  for (const auto& layout : s.engine->Layouts()) EXPECT_TRUE(layout.assumed);
  EXPECT_EQ(s.engine->SectorsPerCluster(), 8u);
  ExpectEveryFile(s, 0, temp_);
}

TEST_F(ProNtfsRecovery, APartitionOfADriveCountsFromThePartition) {
  const std::string drive = temp_.path() + "/drive.img";
  ASSERT_EQ(test::RunCommand("{ head -c 1048576 /dev/zero; cat " + test::ShellQuote(test::NtfsFixture(kDeleted)) +
                             "; } > " + test::ShellQuote(drive)),
            0);
  setenv("REXMOOR_DRIVES", drive.c_str(), 1);
  Swept s;
  s.sweep = fattest::SweepFormatted(SweepEngines{nullptr, s.engine.get()},
                                    fattest::SweepSource{"", 0, 2048, 32768});
  unsetenv("REXMOOR_DRIVES");
  s.tree = BrowseTree(*s.engine);
  ASSERT_EQ(s.sweep.open, kSuccess);
  // The partition's boot sector gives the layout; records count from the partition's start.
  ASSERT_EQ(s.engine->Layouts().size(), 1u);
  EXPECT_EQ(s.engine->Layouts()[0].origin, 2048u);
  ExpectEveryFile(s, 2048, temp_);
}

TEST_F(ProNtfsRecovery, CompressedAndSparseFilesComeBackAsTheQuickEngineBringsThem) {
  const Swept s = SweepImage(test::NtfsFixture("ntfs_compressed.img"));
  std::ifstream sums(test::NtfsFixtureSource("compressed_sha256.txt"));
  int checked = 0;
  for (std::string line; std::getline(sums, line);) {
    const std::size_t at = line.find("ntfs_compressed.img:/");
    if (line.size() < 66 || at == std::string::npos) continue;
    const std::string key = line.substr(at + std::strlen("ntfs_compressed.img:/"));
    SCOPED_TRACE(key);
    ASSERT_TRUE(s.tree.contains(key));
    const FoundFileRecord r = s.tree.at(key).record;
    const std::string out = temp_.path() + "/c" + std::to_string(++checked);
    ASSERT_EQ(s.engine->RecoverItem(&r, out, 0), kSuccess);
    EXPECT_EQ(test::Sha256Hex(out), line.substr(0, 64));
  }
  EXPECT_GE(checked, 5);
}

TEST_F(ProNtfsRecovery, ARecordsRunsAreReadWhereItWasFound) {
  const Swept s = SweepImage(test::NtfsFixture(kDeleted));
  ASSERT_TRUE(s.tree.contains("fragmented.bin"));
  RunList runs;
  const FoundFileRecord fragmented = s.tree.at("fragmented.bin").record;
  ASSERT_EQ(s.engine->ReadRecordRuns(fragmented, runs), kSuccess);
  EXPECT_GE(runs.size(), 2u);  // it was written in two pieces
  std::uint64_t clusters = 0;
  for (const DataRun& run : runs) clusters += run.length;
  EXPECT_EQ(clusters, (40000 + 4095) / 4096);
  // A resident file has no runs to compare.
  const FoundFileRecord small = s.tree.at("small note.txt").record;
  EXPECT_NE(s.engine->ReadRecordRuns(small, runs), kSuccess);
  EXPECT_TRUE(runs.empty());
}

// --- hostile media --------------------------------------------------------------------------------------

// A 1,024-byte record that the sweep takes for a file record, with a $FILE_NAME and a $DATA of
// random fields.
std::vector<std::uint8_t> NoiseRecord(std::mt19937& rng) {
  std::vector<std::uint8_t> r(1024);
  for (auto& b : r) b = static_cast<std::uint8_t>(rng());
  auto put16 = [&](std::size_t at, std::uint16_t v) {
    r[at] = static_cast<std::uint8_t>(v);
    r[at + 1] = static_cast<std::uint8_t>(v >> 8);
  };
  auto put32 = [&](std::size_t at, std::uint32_t v) {
    put16(at, static_cast<std::uint16_t>(v));
    put16(at + 2, static_cast<std::uint16_t>(v >> 16));
  };
  std::memcpy(r.data(), "FILE", 4);
  put16(4, 48);  // update sequence at 48, three entries
  put16(6, 3);
  put16(20, 56);
  put16(22, static_cast<std::uint16_t>(rng() % 2));  // in use or not, never a folder
  put32(24, 200 + rng() % 800);
  put32(28, 1024);
  put32(32, 0);
  put32(36, 0);
  put32(44, 12 + rng() % 5000);
  const std::uint16_t usn = static_cast<std::uint16_t>(rng());
  put16(48, usn);
  put16(510, usn);
  put16(1022, usn);
  // A $FILE_NAME now and then well formed, with a random parent.
  if (rng() % 2 == 0) {
    put32(56, kAttrFileName);
    put32(60, 104);
    r[64] = 0;
    r[65] = 0;
    put32(72, 82);
    put16(76, 24);
    put32(80 + kFnParentRef, rng() % 6000);
    r[80 + kFnNameLength] = 4;
    r[80 + kFnNamespace] = 1;
    put32(160, kAttrData);
    put32(164, 80 + rng() % 200);
    r[168] = 1;  // non-resident, runs random
  }
  return r;
}

TEST_F(ProNtfsRecovery, TwoHundredThousandRecordLookingSectorsEndInAResult) {
  std::mt19937 rng(11);
  const std::string path = temp_.path() + "/records.img";
  {
    std::vector<std::uint8_t> image;
    image.reserve(100000 * 1024);
    for (int i = 0; i < 100000; ++i) {
      const auto record = NoiseRecord(rng);
      image.insert(image.end(), record.begin(), record.end());
    }
    test::WriteFileBytes(path, image);
  }
  CProfessionalNtfsRecovery engine;
  FormattedNtfsLimits limits;
  limits.assumedLayouts = 64;
  engine.SetLimits(limits);
  testing::internal::CaptureStderr();
  const fattest::FormattedSweep sweep = fattest::SweepFormattedNtfs(engine, path);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(sweep.fileRecords, 100000u);
  EXPECT_EQ(sweep.finish, kSuccess);
  EXPECT_LE(engine.Layouts().size(), limits.layouts + limits.assumedLayouts);
  EXPECT_LE(std::count(said.begin(), said.end(), '\n'), 1);
  const auto tree = BrowseTree(engine, 3000);
  int written = 0;
  for (const auto& [key, item] : tree) {
    if (item.record.isFolder != 0 || ++written > 40) continue;
    const FoundFileRecord r = item.record;
    (void)engine.RecoverItem(&r, temp_.path() + "/out/" + std::to_string(written), 0);
  }
}

TEST_F(ProNtfsRecovery, DamagedRecordsOfARealVolumeNeverBreakTheSweep) {
  const std::vector<std::uint8_t> pristine = test::ReadFileBytes(test::NtfsFixture(kDeleted));
  for (std::uint32_t seed = 1; seed <= 10; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> damaged = pristine;
    for (std::size_t at = 0; at + 1024 <= damaged.size(); at += 512) {
      if (std::memcmp(damaged.data() + at, "FILE", 4) != 0) continue;
      for (int k = 0; k < 1 + static_cast<int>(rng() % 16); ++k)
        damaged[at + 4 + rng() % 1020] = static_cast<std::uint8_t>(rng());
    }
    const std::string path = temp_.path() + "/damaged.img";
    test::WriteFileBytes(path, damaged);
    CProfessionalNtfsRecovery engine;
    const fattest::FormattedSweep sweep = fattest::SweepFormattedNtfs(engine, path);
    EXPECT_EQ(sweep.finish, kSuccess);
    test::RecoverFirst(engine, BrowseTree(engine, 2000), temp_.path() + "/d" + std::to_string(seed), 40);
  }
}

}  // namespace
}  // namespace rexmoor
