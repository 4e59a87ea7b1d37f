// NTFS volumes from tests/fixtures/make_ntfs_streams_volumes.sh: named streams of deleted files,
// times that differ between $STANDARD_INFORMATION and $FILE_NAME, clusters of 2 MiB, and a
// partition range that starts inside a volume. Both NTFS engines, every file and stream checked
// against the build's sizes, times and hashes.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/scan_log_index.h"
#include "fat/fat_engine_test_util.h"
#include "formats/volume_detect.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "ntfs/ntfs_test_util.h"
#include "ntfs/pro_ntfs_recovery.h"
#include "platform/byte_view.h"
#include "scan/formatted_sweep_harness.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using test::BrowseTree;
using test::TreeItem;

constexpr const char* kStreams = "ntfs_streams.img";
constexpr const char* k2m = "ntfs_2m.img";

using Entry = test::NtfsManifestFile;

// "/Dated/report.txt" and "/Dated/report.txt:thumb" of one volume, from the build's manifest; a
// stream with its file's times.
std::map<std::string, Entry> Entries(const std::string& volume) {
  std::map<std::string, Entry> out = test::NtfsManifest(volume, "streams_MANIFEST.txt");
  for (auto& [path, e] : out) {
    if (!e.stream) continue;
    const Entry& file = out.at(path.substr(0, path.rfind(':')));
    e.created = file.created;
    e.modified = file.modified;
    e.accessed = file.accessed;
  }
  return out;
}

std::string Sha256Of(const std::string& volume, const std::string& path) {
  return test::NtfsSha256(volume + ":" + path, "streams_sha256.txt");
}

class NtfsStreams : public ::testing::Test {
 protected:
  void SetUp() override { ScanLogIndex::ResetForTesting(); }
  void TearDown() override { ScanLogIndex::ResetForTesting(); }

  // Recovers a found record into a fresh file; its hash, or the result code when it failed.
  std::string Recover(IFileRecoveryParse& engine, const FoundFileRecord& r) {
    const std::string out = temp_ / ("out" + std::to_string(++written_));
    const Result result = engine.RecoverItem(&r, out, 0);
    return result == kSuccess ? test::Sha256Hex(out) : "error " + std::to_string(result);
  }

  test::ScopedDataDir data_;
  test::TempDir temp_;
  int written_ = 0;
};

struct EngineCase {
  const char* image;
  bool quick;
};

class NtfsStreamsEngines : public NtfsStreams, public ::testing::WithParamInterface<EngineCase> {};

// Every file and named stream where the engine should find it ("name:stream" beside its file),
// with its size, the times of $STANDARD_INFORMATION and its exact bytes. The quick engine lists
// deleted records only; the formatted engine every file record it sweeps.
TEST_P(NtfsStreamsEngines, EveryFileAndStreamWithItsTimesAndBytes) {
  const EngineCase& c = GetParam();
  const std::string image = test::NtfsFixture(c.image);
  EXPECT_EQ(ClassifyBootArea(test::ReadFileHead(image, kBootAreaSize)), VolumeKind::Ntfs);
  std::unique_ptr<IFileRecoveryParse> engine;
  if (c.quick) {
    auto quick = std::make_unique<CFastNtfsRecovery>();
    ASSERT_EQ(quick->OpenImageFile(image, 'S'), kSuccess);
    ASSERT_EQ(quick->Scan(nullptr), kSuccess);
    engine = std::move(quick);
  } else {
    auto formatted = std::make_unique<CProfessionalNtfsRecovery>();
    ASSERT_EQ(fattest::SweepFormattedNtfs(*formatted, image).open, kSuccess);
    engine = std::move(formatted);
  }
  const std::map<std::string, TreeItem> tree = BrowseTree(*engine);
  const std::map<std::string, Entry> entries = Entries(c.image);
  ASSERT_GE(entries.size(), 4u);
  int found = 0;
  for (const auto& [path, e] : entries) {
    SCOPED_TRACE(path);
    const std::string key = path.substr(1);
    if (c.quick && e.state != "deleted") {
      EXPECT_FALSE(tree.contains(key));
      continue;
    }
    ASSERT_TRUE(tree.contains(key));
    ++found;
    const FoundFileRecord r = tree.at(key).record;
    EXPECT_EQ(+r.objectNumber, e.record);
    EXPECT_EQ(+r.size, e.size);
    if (e.modified != 0) {
      EXPECT_EQ(+r.createdTime, e.created);
      EXPECT_EQ(+r.modifiedTime, e.modified);
      EXPECT_EQ(+r.accessedTime, e.accessed);
    }
    EXPECT_EQ(Recover(*engine, r), Sha256Of(c.image, path));
  }
  EXPECT_GE(found, 3);
  // Nothing else: no stream of the file system's own, no stream under a name not sanitised.
  for (const auto& [key, item] : tree) {
    if (item.record.isFolder == 0) {
      EXPECT_TRUE(entries.contains("/" + key)) << key;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Ntfs, NtfsStreamsEngines,
                         ::testing::Values(EngineCase{kStreams, true}, EngineCase{kStreams, false},
                                           EngineCase{k2m, true}, EngineCase{k2m, false}),
                         [](const auto& info) {
                           return std::string(info.param.image == std::string(kStreams) ? "Streams" : "Clusters2MiB") +
                                  (info.param.quick ? "Quick" : "Formatted");
                         });

// A partition range of the image that starts inside the volume, swept by the formatted engine as
// a deep scan of drive:0@START+COUNT does. Whatever comes back "ok" must be the file's own bytes;
// where the volume's MFT layout is met (its $MFT record, or the mirror's copy) everything in
// range comes back; where none is, only data held in the records themselves.
TEST_F(NtfsStreams, ARangeStartingInsideTheVolumeNeverGivesWrongBytes) {
  const std::map<std::string, Entry> entries = Entries(kStreams);
  const std::string image = test::NtfsFixtureCopy(kStreams, temp_, "inner.img");
  const std::vector<std::uint8_t> boot = test::ReadFileHead(image, 512);
  const std::uint64_t spc = boot[kNtfsBootSectorsPerCluster];
  const std::uint64_t mftSector = LoadU64LE(boot.data() + kNtfsBootMftCluster) * spc;
  const std::uint64_t mirrorSector = LoadU64LE(boot.data() + 56) * spc;
  const std::uint64_t sectors = LoadU64LE(boot.data() + kNtfsBootTotalSectors) + 1;
  const struct {
    const char* name;
    std::uint64_t start;
    bool wipeMirror;  // the mirror's copy of record 0 gone as well
    bool everything;  // else only resident data
  } rows[] = {
      {"before the MFT", 8, false, true},
      {"past record 0, the mirror in range", mftSector + 32, false, true},
      {"past record 0, no mirror", mftSector + 32, true, false},
  };
  setenv("REXMOOR_DRIVES", image.c_str(), 1);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.wipeMirror) test::PatchBytes(image, mirrorSector * 512, std::vector<std::uint8_t>(1024, 0));
    CProfessionalNtfsRecovery engine;
    const auto sweep = fattest::SweepFormatted(SweepEngines{nullptr, &engine},
                                               fattest::SweepSource{"", 0, row.start, sectors - row.start});
    ASSERT_EQ(sweep.open, kSuccess);
    // Found records by their name: files and streams have names of their own on this volume.
    std::map<std::string, FoundFileRecord> byName;
    for (const auto& [key, item] : BrowseTree(engine)) {
      if (item.record.isFolder == 0) byName[key.substr(key.rfind('/') + 1)] = item.record;
    }
    int good = 0;
    for (const auto& [path, e] : entries) {
      SCOPED_TRACE(path);
      const std::string name = path.substr(path.rfind('/') + 1);
      if (!byName.contains(name)) {
        ADD_FAILURE() << "not found";
        continue;
      }
      const std::string got = Recover(engine, byName.at(name));
      const std::string want = Sha256Of(kStreams, path);
      if (got.rfind("error", 0) != 0) {
        EXPECT_EQ(got, want);
        ++good;
      }
      if (row.everything || e.resident) {
        EXPECT_EQ(got, want);
      } else {
        EXPECT_EQ(got.rfind("error", 0), 0u) << "clusters of a volume whose origin is unknown";
      }
    }
    EXPECT_GT(good, 0);
  }
  unsetenv("REXMOOR_DRIVES");
}

}  // namespace
}  // namespace rexmoor
