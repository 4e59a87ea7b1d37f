#include "engine/scan_log_index.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/scan_catalogue.h"
#include "platform/byte_view.h"
#include "test_support.h"

namespace rexmoor {
namespace {

namespace fs = std::filesystem;
using test::RandomBytes;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

ResumeValues Values(std::int32_t base) {
  ResumeValues v{};
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = base + static_cast<std::int32_t>(i);
  return v;
}

ScanSourceIdentity Disk(std::int32_t drive, std::uint64_t start, std::uint64_t length, std::uint64_t freeBytes) {
  ScanSourceIdentity id;
  id.sourceTag = 'E';
  id.driveNumber = drive;
  id.startSector = start;
  id.sectorCount = length;
  id.freeBytes = freeBytes;
  return id;
}

// A scan folder with something in it, as a finished scan leaves it.
std::string MakeLogFolder(const ScanLogIndex& index, const std::string& number) {
  const std::string folder = index.BasePath() + "/" + number + "/";
  fs::create_directories(folder);
  WriteFileBytes(folder + "Fast_0_1", {1, 2, 3});
  return folder;
}

TEST(ScanLogIndexEntry, FieldsLandAtTheirStoredOffsets) {
  ScanLogEntry e;
  e.SetDriveNumber(3);
  e.SetStartSector(0x0102030405060708ull);
  e.SetSectorCount(2048);
  ResumeValues v = Values(-5);
  e.SetResume(v);
  e.SetFreeBytes(0xAABBCCDDull);
  e.SetImageWriteTime(0x1122334455667788ull);
  e.SetImagePath("/img/é.img");
  e.SetFolderPath("/base/7/");
  const auto* b = e.bytes.data();
  EXPECT_EQ(LoadU32LE(b + 0), 3u);
  EXPECT_EQ(LoadU32LE(b + 4), 0u);
  EXPECT_EQ(LoadU64LE(b + 8), 0x0102030405060708ull);
  EXPECT_EQ(LoadU64LE(b + 16), 2048u);
  EXPECT_EQ(static_cast<std::int32_t>(LoadU32LE(b + 24)), -5);
  EXPECT_EQ(static_cast<std::int32_t>(LoadU32LE(b + 60)), 4);
  EXPECT_EQ(LoadU64LE(b + 64), 0xAABBCCDDull);
  EXPECT_EQ(LoadU64LE(b + 72), 0x1122334455667788ull);
  EXPECT_EQ(LoadU16LE(b + 80), u'/');
  EXPECT_EQ(LoadU16LE(b + 80 + 2 * 5), u'é');
  EXPECT_EQ(LoadU16LE(b + 80 + 2 * 10), 0);
  EXPECT_EQ(LoadU16LE(b + 600 + 2 * 6), u'7');
  EXPECT_EQ(LoadU16LE(b + 600 + 2 * 8), 0);
  EXPECT_EQ(e.Resume(), v);
  EXPECT_EQ(e.ResumeU64(0), (static_cast<std::uint64_t>(static_cast<std::uint32_t>(-4)) << 32) |
                                static_cast<std::uint32_t>(-5));
  EXPECT_EQ(e.ImagePath(), "/img/é.img");
  EXPECT_EQ(e.FolderPath(), "/base/7/");
}

TEST(ScanLogIndexEntry, LongPathsAreCutInsideTheirField) {
  ScanLogEntry e;
  // 258 ASCII characters then a character outside the BMP (a surrogate pair): the pair would
  // straddle the last unit, so it is left out whole.
  std::string path(258, 'a');
  path += "\xF0\x9F\x98\x80tail";
  e.SetImagePath(path);
  EXPECT_EQ(e.ImagePath(), std::string(258, 'a'));
  EXPECT_EQ(LoadU16LE(e.bytes.data() + 80 + 2 * 258), 0);
  EXPECT_EQ(LoadU16LE(e.bytes.data() + 80 + 2 * 259), 0);
  EXPECT_EQ(e.FolderPath(), "");  // the neighbouring field is untouched
  // A field without any NUL stops at its 260 characters.
  std::fill(e.bytes.begin() + 600, e.bytes.end(), 'b');
  EXPECT_EQ(e.FolderPath().size(), 260u * 3);  // U+6262 is three bytes of UTF-8
}

TEST(ScanLogIndexFile, ParsesWholeEntriesAndIgnoresATail) {
  ScanLogEntry a;
  a.SetDriveNumber(1);
  a.SetFolderPath("/x/1/");
  ScanLogEntry b;
  b.SetDriveNumber(2);
  std::vector<std::uint8_t> bytes = FormatScanIndex(42, {a, b});
  ASSERT_EQ(bytes.size(), kScanIndexHeaderSize + 2 * kScanIndexEntrySize);
  EXPECT_EQ(LoadU64LE(bytes.data()), 42u);
  bytes.resize(bytes.size() + 500, 0xEE);
  ScanIndexContents c = ParseScanIndex(bytes);
  EXPECT_EQ(c.scanCounter, 42u);
  ASSERT_EQ(c.entries.size(), 2u);
  EXPECT_EQ(c.entries[0].bytes, a.bytes);
  EXPECT_EQ(c.entries[1].bytes, b.bytes);

  EXPECT_EQ(ParseScanIndex(std::vector<std::uint8_t>(7, 0xFF)).scanCounter, 0u);
  EXPECT_TRUE(ParseScanIndex({}).entries.empty());
}

TEST(ScanLogIndexFile, RandomIndexFilesLoadWithoutHarm) {
  for (std::uint32_t seed = 1; seed <= 10; ++seed) {
    TempDir dir;
    const std::size_t size = seed * 700 + 3;
    WriteFileBytes(dir / "config", RandomBytes(size, seed));
    ScanLogIndex index(dir.path());
    // Random folder fields name no numbered folder of this index: every entry is dropped, each
    // with a notice.
    EXPECT_TRUE(index.Entries().empty());
    EXPECT_EQ(index.TakeNotices().size(), (size - 8) / kScanIndexEntrySize);
    ScanLogEntry out;
    EXPECT_FALSE(index.FindDiskScan(1, 2, 3, 4, out));
    // A random entry's folder path is never deleted outside the log folder.
    for (const ScanLogEntry& e : std::vector<ScanLogEntry>(index.Entries())) index.DeleteScanLog(e.FolderPath());
    EXPECT_TRUE(index.Entries().empty());
    EXPECT_TRUE(fs::exists(dir / "config"));
  }
}

class ScanLogIndexTest : public ::testing::Test {
 protected:
  std::string Base() const { return dir_.path() + "/ScanLog"; }
  TempDir dir_;
};

TEST_F(ScanLogIndexTest, FreshIndexNumbersScanFolders) {
  ScanLogIndex index(Base());
  EXPECT_EQ(index.ScanCounter(), 0u);
  EXPECT_TRUE(index.Entries().empty());
  EXPECT_EQ(index.CurrentScanFolder(), Base() + "/0/");

  const std::string leftover = MakeLogFolder(index, "1");
  index.BeginScanFolder();
  EXPECT_EQ(index.ScanCounter(), 1u);
  EXPECT_EQ(index.CurrentScanFolder(), Base() + "/1/");
  EXPECT_FALSE(fs::exists(leftover + "Fast_0_1"));  // what an earlier run left under the number is gone
  EXPECT_FALSE(fs::exists(Base() + "/config"));  // the counter is saved only with a scan
  index.DecrementScanCounter();
  EXPECT_EQ(index.ScanCounter(), 0u);
}

// Two scans at once (two processes, each with its own index over the same folder) keep their own
// logs, and logs made in the same second get names of their own.
TEST_F(ScanLogIndexTest, ScansAtTheSameTimeKeepTheirLogs) {
  ScanLogIndex first(Base());
  first.BeginScanFolder();
  ScanLogIndex second(Base());
  second.BeginScanFolder();
  EXPECT_EQ(first.CurrentScanFolder(), Base() + "/1/");
  EXPECT_EQ(second.CurrentScanFolder(), Base() + "/2/") << "a folder in use by another scan is passed over";
  WriteFileBytes(first.CurrentScanFolder() + "Fast_0_1", {1});
  // Deleting a folder that another scan works in is refused.
  EXPECT_EQ(second.DeleteScanLog(first.CurrentScanFolder()), kErrSharingViolation);
  EXPECT_TRUE(fs::exists(first.CurrentScanFolder() + "Fast_0_1"));
  // A number that holds another source's indexed log is passed over too.
  ASSERT_EQ(first.SaveScan(Disk(0, 0, 8, 0), Values(1), first.CurrentScanFolder()), kSuccess);
  {
    ScanLogIndex gone(Base());
    gone.BeginScanFolder();  // counter 1 from the index; 2 is held by `second`: takes 3, then ends
    EXPECT_EQ(gone.CurrentScanFolder(), Base() + "/3/");
  }
  first.BeginScanFolder();  // lets folder 1 go and moves on to 3
  EXPECT_EQ(first.CurrentScanFolder(), Base() + "/3/");
  ScanLogIndex stale(Base());
  stale.DecrementScanCounter();  // as if its counter lagged behind the index
  stale.BeginScanFolder();
  EXPECT_EQ(stale.CurrentScanFolder(), Base() + "/4/") << "1 holds an indexed log, 2 and 3 are in use";
  EXPECT_TRUE(fs::exists(Base() + "/1/Fast_0_1"));

  // Within one folder, catalogues started in the same second never share a name.
  ScanLogIndex::ResetForTesting();
  test::ScopedDataDir data;
  GetScanLogIndex().BeginScanFolder();
  ScanCatalogue a;
  ScanCatalogue b;
  ASSERT_EQ(a.CreateCatalogue("Fast_", 0), kSuccess);
  ASSERT_EQ(b.CreateCatalogue("Fast_", 0), kSuccess);
  EXPECT_NE(a.LogName(), b.LogName());
  EXPECT_TRUE(std::regex_match(a.LogName(), std::regex("Fast_0_20[0-9]{12}(_[0-9]+)?"))) << a.LogName();
  *a.AppendRecord() = MakeEmptyRecord();
  ASSERT_EQ(a.Flush(), kSuccess);
  EXPECT_EQ(a.RecordCount(), 1u);
  EXPECT_EQ(b.RecordCount(), 0u) << "the second log starts empty, the first keeps its record";
  a.Close();
  b.Close();
  ScanLogIndex::ResetForTesting();
}

TEST_F(ScanLogIndexTest, DiskScanIsFoundWhileItsFingerprintHolds) {
  std::string folder;
  {
    ScanLogIndex index(Base());
    index.BeginScanFolder();
    folder = index.CurrentScanFolder();
    MakeLogFolder(index, "1");
    ASSERT_EQ(index.SaveScan(Disk(2, 2048, 100000, 5555), Values(10), folder), kSuccess);
    EXPECT_FALSE(fs::exists(Base() + "/config.tmp"));
    std::vector<std::uint8_t> file = ReadFileBytes(Base() + "/config");
    ASSERT_EQ(file.size(), kScanIndexHeaderSize + kScanIndexEntrySize);
    EXPECT_EQ(LoadU64LE(file.data()), 1u);
  }

  ScanLogIndex index(Base());
  EXPECT_EQ(index.ScanCounter(), 1u);
  ScanLogEntry entry;
  EXPECT_FALSE(index.FindDiskScan(2, 2048, 99999, 5555, entry));  // another partition
  EXPECT_FALSE(index.FindDiskScan(3, 2048, 100000, 5555, entry));
  ASSERT_TRUE(index.FindDiskScan(2, 2048, 100000, 5555, entry));
  EXPECT_TRUE(index.IsReusing());
  EXPECT_EQ(index.CurrentScanFolder(), folder);
  EXPECT_EQ(entry.Resume(), Values(10));
  EXPECT_EQ(entry.FreeBytes(), 5555u);
  EXPECT_EQ(entry.ImagePath(), "");

  // Saving the continued scan updates the entry instead of adding one.
  ASSERT_EQ(index.SaveScan(Disk(2, 2048, 100000, 5555), Values(20), folder), kSuccess);
  ScanLogIndex reread(Base());
  ASSERT_EQ(reread.Entries().size(), 1u);
  EXPECT_EQ(reread.Entries()[0].Resume(), Values(20));

  // The volume changed since: the old log goes, and nothing is offered.
  ASSERT_TRUE(fs::exists(folder));
  EXPECT_FALSE(reread.FindDiskScan(2, 2048, 100000, 7777, entry));
  EXPECT_FALSE(reread.IsReusing());
  EXPECT_FALSE(fs::exists(folder));
  EXPECT_TRUE(reread.Entries().empty());
  EXPECT_EQ(reread.CurrentScanFolder(), Base() + "/1/");
}

TEST_F(ScanLogIndexTest, ImageScanIsFoundWhileTheImageIsUnchanged) {
  const std::string image = dir_ / "card.img";
  WriteFileBytes(image, std::vector<std::uint8_t>(4096, 0));
  std::string folder;
  {
    // The run that made the log has ended (its folder lock with it) before the next one starts.
    ScanLogIndex index(Base());
    index.BeginScanFolder();
    folder = MakeLogFolder(index, "1");
    ScanSourceIdentity source = Disk(128, 0, 8, 0);
    source.imagePath = image;
    ASSERT_EQ(index.SaveScan(source, Values(1), folder), kSuccess);
    ASSERT_EQ(index.Entries().size(), 1u);
    EXPECT_EQ(index.Entries()[0].ImageWriteTime(), FileWriteTime(image));
    EXPECT_EQ(index.Entries()[0].FreeBytes(), 0u);
  }

  ScanLogIndex reread(Base());
  ScanLogEntry entry;
  EXPECT_FALSE(reread.FindImageScan(dir_ / "other.img", entry));
  ASSERT_TRUE(reread.FindImageScan(image, entry));
  EXPECT_EQ(entry.ImagePath(), image);
  EXPECT_EQ(reread.CurrentScanFolder(), folder);

  fs::last_write_time(image, fs::last_write_time(image) - std::chrono::hours(1));
  EXPECT_FALSE(reread.FindImageScan(image, entry));
  EXPECT_FALSE(fs::exists(folder));
  EXPECT_TRUE(reread.Entries().empty());
}

TEST_F(ScanLogIndexTest, DeleteScanLogRemovesEntriesAndTheFolder) {
  ScanLogIndex index(Base());
  const std::string folder = MakeLogFolder(index, "4");
  ASSERT_EQ(index.SaveScan(Disk(0, 63, 1000, 1), Values(0), folder), kSuccess);
  ASSERT_EQ(index.SaveScan(Disk(1, 63, 1000, 1), Values(0), Base() + "/9/"), kSuccess);

  // A different letter case names another folder on this system: nothing goes.
  std::string upper = folder;
  upper.replace(upper.find("ScanLog"), 7, "SCANLOG");
  EXPECT_EQ(index.DeleteScanLog(upper), kSuccess);
  EXPECT_TRUE(fs::exists(folder));
  EXPECT_EQ(index.Entries().size(), 2u);
  // Without its trailing '/' it is the entry's folder: both go.
  EXPECT_EQ(index.DeleteScanLog(folder.substr(0, folder.size() - 1)), kSuccess);
  EXPECT_EQ(index.Entries().size(), 1u);
  EXPECT_FALSE(fs::exists(folder));

  // A folder that does not exist: 0, and only its entries go.
  EXPECT_EQ(index.DeleteScanLog(Base() + "/9/"), kSuccess);
  EXPECT_TRUE(index.Entries().empty());

  // Paths outside the log folder (from a damaged index) are never removed.
  const std::string outside = dir_ / "keep";
  fs::create_directories(outside);
  EXPECT_EQ(index.DeleteScanLog(outside + "/"), kErrAccessDenied);
  EXPECT_EQ(index.DeleteScanLog(Base() + "/../keep"), kErrAccessDenied);
  EXPECT_EQ(index.DeleteScanLog(Base() + "/"), kErrAccessDenied);
  EXPECT_TRUE(fs::exists(outside));
  EXPECT_TRUE(fs::exists(Base()));
}

TEST_F(ScanLogIndexTest, InterruptedRewriteIsRecoveredFromTheTempFile) {
  fs::create_directories(Base());
  ScanLogEntry e;
  e.SetDriveNumber(5);
  e.SetFolderPath(Base() + "/7/");
  WriteFileBytes(Base() + "/config.tmp", FormatScanIndex(7, {e}));
  ScanLogIndex index(Base());
  EXPECT_EQ(index.ScanCounter(), 7u);
  ASSERT_EQ(index.Entries().size(), 1u);
  EXPECT_EQ(index.Entries()[0].DriveNumber(), 5u);
  EXPECT_TRUE(fs::exists(Base() + "/config"));
  EXPECT_FALSE(fs::exists(Base() + "/config.tmp"));

  // With both present, "config" is the index.
  WriteFileBytes(Base() + "/config.tmp", FormatScanIndex(99, {}));
  index.Reload();
  EXPECT_EQ(index.ScanCounter(), 7u);
}

TEST_F(ScanLogIndexTest, FindLogFilePicksTheMainFileOfAnEngine) {
  const std::string folder = Base() + "/3";
  fs::create_directories(folder);
  for (const char* name : {"Fast_0_202417_Relation", "Fast_0_202417", "Fast_0_202417_DirInfo", ".Fast_hidden",
                           "File_Type_0_202417"})
    WriteFileBytes(folder + "/" + name, {});
  std::string name;
  ASSERT_TRUE(ScanLogIndex::FindLogFile(folder, "Fast_", name));
  EXPECT_EQ(name, "Fast_0_202417");
  ASSERT_TRUE(ScanLogIndex::FindLogFile(folder + "/", "File_Type_", name));
  EXPECT_EQ(name, "File_Type_0_202417");
  EXPECT_FALSE(ScanLogIndex::FindLogFile(folder, "Pro_Ntfs_", name));
  EXPECT_FALSE(ScanLogIndex::FindLogFile(Base() + "/missing", "Fast_", name));
}

TEST(ScanLogIndexGlobal, LivesInTheDataFolderAndHoldsTheCatalogues) {
  test::ScopedDataDir data;
  ScanLogIndex::ResetForTesting();
  ScanLogIndex& index = GetScanLogIndex();
  EXPECT_EQ(&index, &GetScanLogIndex());
  EXPECT_EQ(index.BasePath(), data.path() + "/Rexmoor Pro/ScanLog");
  index.BeginScanFolder();
  {
    ScanCatalogue catalogue;
    ASSERT_EQ(catalogue.OpenCatalogue("Fast_0_20241"), kSuccess);
    EXPECT_EQ(catalogue.MainPath(), data.path() + "/Rexmoor Pro/ScanLog/1/Fast_0_20241");
  }
  const std::string folder = data.path() + "/Rexmoor Pro/ScanLog/1/";
  EXPECT_TRUE(fs::exists(folder + "Fast_0_20241"));
  EXPECT_TRUE(fs::exists(folder + "Fast_0_20241_Relation"));
  EXPECT_TRUE(fs::exists(folder + "Fast_0_20241_DirInfo"));
  ScanLogIndex::ResetForTesting();
}

}  // namespace
}  // namespace rexmoor
