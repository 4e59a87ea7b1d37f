// The deep scan end to end on images: a raw medium of real files with no file system, a camera
// card with live and deleted files, a partition of a disk image, and a scan cancelled half-way
// and continued.
#include "scan/professional_recovery.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <functional>
#include <set>
#include <tuple>

#include "fat/fast_fat_recovery.h"
#include "fat/fat_volume_builder.h"
#include "fixtures/fixture_paths.h"
#include "platform/text.h"
#include "scan/deep_scan_test_util.h"

namespace rexmoor {
namespace {

using deeptest::Bytes;
using test::FixturePath;
using test::FixtureSha256;


std::string Sha256Hex(const Bytes& bytes) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "f", bytes);
  std::string out;
  test::RunCommand("sha256sum " + dir / "f" + " | cut -c1-64", &out);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

class DeepScan : public ::testing::Test {
 protected:
  void SetUp() override { ScanLogIndex::ResetForTesting(); }
  void TearDown() override { ScanLogIndex::ResetForTesting(); }
  test::ScopedDataDir data;
  test::TempDir work;
};

// Found files as a set, for comparing two scans: engine, name, size.
std::set<std::tuple<int, std::string, std::uint64_t>> FileSet(const RecordList& records) {
  std::set<std::tuple<int, std::string, std::uint64_t>> out;
  for (const FoundFileRecord& r : records)
    out.emplace(static_cast<int>(r.engineTag), std::string(RecordName(r)), std::uint64_t{r.size});
  return out;
}

// The sweep reaches every sector of a medium without a file system, and every file whose type
// measures its own length comes back as it was written.
TEST_F(DeepScan, RawImageGivesBackEveryExactlyMeasuredFile) {
  carvetest::ImageBuilder builder;
  const std::vector<deeptest::PlacedFile> placed = deeptest::BuildRawImage(builder, 4242);
  const std::string image = work / "raw.img";
  test::WriteFileBytes(image, builder.bytes());

  deeptest::ProgressLog log;
  Result result = -1;
  auto engine = deeptest::DeepScanImage(image, &log, &result);
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(result, kSuccess);
  EXPECT_EQ(engine->QuickEngine(), nullptr);
  const auto& scan = engine->LastScan();
  EXPECT_FALSE(scan.freeRangesMode);
  EXPECT_EQ(scan.sectorsTotal, builder.Sectors());
  EXPECT_EQ(scan.sweep.faults, 0u);

  // Progress climbs, stays within 100 and ends with the final report.
  ASSERT_FALSE(log.reports.empty());
  std::int32_t lastPercent = 0;
  for (const auto& r : log.reports) {
    EXPECT_LE(r.progress, 100);
    const std::int32_t percent = r.progress * r.weight / 100;
    EXPECT_GE(percent, lastPercent);
    lastPercent = percent;
    EXPECT_LE(r.sectorsDone, r.sectorsTotal);
  }
  EXPECT_EQ(log.reports.back().progress, 100);
  EXPECT_EQ(log.reports.back().weight, 100);

  const RecordList found = deeptest::FilterAll(*engine);
  EXPECT_EQ(log.reports.back().filesFound, found.size());
  std::map<std::uint64_t, const FoundFileRecord*> bySector;
  for (const FoundFileRecord& r : found) {
    EXPECT_EQ(std::int32_t{r.engineTag}, kTagFileType);
    bySector[std::uint64_t{r.locationSector}] = &r;
  }
  // A length from a size field is exact whatever follows; a footer rule may take a later copy of
  // its footer in the random bytes after the file, but never loses any of the file.
  int identical = 0;
  for (const auto& f : placed) {
    const auto it = bySector.find(f.sector);
    ASSERT_NE(it, bySector.end()) << f.name << " at sector " << f.sector << " was not found";
    if (!f.exact) continue;
    const Bytes back = deeptest::RecoverBytes(*engine, *it->second);
    if (back == f.bytes) ++identical;
    ASSERT_GE(back.size(), f.bytes.size()) << f.name;
    EXPECT_TRUE(std::equal(f.bytes.begin(), f.bytes.end(), back.begin())) << f.name;
    if (f.sizeField) {
      EXPECT_EQ(back.size(), f.bytes.size()) << f.name;
    }
  }
  EXPECT_GE(identical, 20);
}

// On a FAT32 card the sweep visits only the free clusters; a deleted file that both its entry and
// its content reveal is listed once when filtered (twice in the plain listing), and a carved JPEG
// that is a camera's .THM thumbnail is dropped.
TEST_F(DeepScan, CameraCardSweepsFreeClustersAndListsEachFileOnce) {
  REQUIRE_FIXTURE("camera.img");
  const std::string image = FixturePath("camera.img");
  auto engine = deeptest::DeepScanImage(image);
  ASSERT_NE(engine, nullptr);
  ASSERT_NE(dynamic_cast<CFastFatRecovery*>(engine->QuickEngine()), nullptr);
  const auto& scan = engine->LastScan();
  EXPECT_TRUE(scan.freeRangesMode);

  // The free ranges as the quick engine gives them on its own.
  CFastFatRecovery quick;
  ASSERT_EQ(quick.OpenImageFile(image, 'Q'), kSuccess);
  ASSERT_EQ(quick.BuildFreeSpaceMap(), kSuccess);
  std::uint64_t free = 0;
  std::uint64_t start = 0;
  std::uint64_t length = 0;
  for (std::uint64_t from = 0; quick.GetNextFreeRange(&(start = from), &length) != 0 && length != 0;
       from = start + length)
    free += length;
  EXPECT_EQ(scan.sectorsTotal, free);
  EXPECT_EQ(scan.position.sectorsDone, free);
  EXPECT_LT(free, engine->PartitionSectors());

  const RecordList found = deeptest::FilterAll(*engine);
  RecordList root;
  ASSERT_EQ(engine->GetChildren(nullptr, 0, root), kSuccess);
  auto countAt = [](const RecordList& list, std::uint64_t sector, int tag) {
    return std::count_if(list.begin(), list.end(), [&](const FoundFileRecord& r) {
      return r.engineTag == tag && r.locationSector == sector;
    });
  };
  struct Deleted {
    const char* name;
    const char* path;
  } deleted[] = {{"IMG_0002.JPG", "/DCIM/100CAMER/IMG_0002.JPG"},
                 {"IMG_0002.THM", "/DCIM/100CAMER/IMG_0002.THM"},
                 {"MVI_0004.MP4", "/DCIM/100CAMER/MVI_0004.MP4"},
                 {"manual.pdf", "/Docs/manual.pdf"}};
  for (const Deleted& d : deleted) {
    const auto it = std::find_if(found.begin(), found.end(), [&](const FoundFileRecord& r) {
      // A deleted short name has lost its first letter.
      const std::string_view name = RecordName(r);
      return r.engineTag == kTagFastFat && name.size() > 1 && EqualsNoCase(name.substr(1), d.name + 1);
    });
    ASSERT_NE(it, found.end()) << d.name;
    EXPECT_EQ(Sha256Hex(deeptest::RecoverBytes(*engine, *it)), FixtureSha256(std::string("camera.img:") + d.path))
        << d.name;
    const std::optional<std::uint64_t> byte = dynamic_cast<CFastFatRecovery*>(engine->QuickEngine())->FirstDataByte(*it);
    ASSERT_TRUE(byte.has_value()) << d.name;
    const std::uint64_t dataSector = *byte / 512;
    // The carver found it too: in the listing, not in the filtered results.
    EXPECT_EQ(countAt(root, dataSector, kTagFileType), 1) << d.name;
    EXPECT_EQ(countAt(found, dataSector, kTagFileType), 0) << d.name;
  }
}

// The files of a deleted folder lie in free clusters, where the formatted FAT engine finds their
// entries again: the filtered results keep the quick scan's find, under its own folder, alone.
TEST_F(DeepScan, ADeletedFolderIsListedOnceUnderItsName) {
  REQUIRE_FIXTURE("fat32.img");
  auto engine = deeptest::DeepScanImage(FixturePath("fat32.img"));
  ASSERT_NE(engine, nullptr);
  auto* quick = dynamic_cast<CFastFatRecovery*>(engine->QuickEngine());
  ASSERT_NE(quick, nullptr);
  std::set<std::pair<std::uint64_t, std::uint64_t>> live;  // (first data byte, size)
  const RecordList found = deeptest::FilterAll(*engine);
  for (const FoundFileRecord& r : found)
    if (r.engineTag == kTagFastFat)
      if (auto byte = quick->FirstDataByte(r)) live.emplace(*byte, std::uint64_t{r.size});
  EXPECT_GE(live.size(), 5u);
  int again = 0;
  for (const FoundFileRecord& r : found) {
    if (r.engineTag != kTagProFat) continue;
    const auto byte = engine->FatEngine().FirstDataByte(r);
    EXPECT_FALSE(byte && live.count({*byte, std::uint64_t{r.size}})) << RecordName(r);
  }
  // The formatted engine did find them: they are in its own listing.
  RecordList all;
  std::function<void(const FoundFileRecord*, int)> walk = [&](const FoundFileRecord* f, int level) {
    RecordList children;
    engine->FatEngine().GetChildren(f, level, children);
    for (const FoundFileRecord& c : children) {
      if (c.isFolder != 0 && level < 8) walk(&c, level + 1);
      else if (auto byte = engine->FatEngine().FirstDataByte(c); byte && live.count({*byte, std::uint64_t{c.size}}))
        ++again;
    }
  };
  walk(nullptr, 0);
  EXPECT_GT(again, 0);
}

// A partition of a disk image gives what the same volume gives as an image of its own; carved
// names count sectors from the medium's start, so they differ by the partition's start.
TEST_F(DeepScan, PartitionOfADiskFindsWhatTheVolumeAloneFinds) {
  REQUIRE_FIXTURE("mbr.img");
  const std::uint64_t start = 2048;
  const std::uint64_t count = 81920;
  const Bytes disk = test::ReadFileBytes(FixturePath("mbr.img"));
  ASSERT_GE(disk.size(), (start + count) * 512);
  const std::string volume = work / "p1.img";
  test::WriteFileBytes(volume, Bytes(disk.begin() + start * 512, disk.begin() + (start + count) * 512));

  auto alone = deeptest::DeepScanImage(volume);
  ASSERT_NE(alone, nullptr);
  struct Drives {
    Drives() { setenv("REXMOOR_DRIVES", FixturePath("mbr.img").c_str(), 1); }
    ~Drives() { unsetenv("REXMOOR_DRIVES"); }
  } drives;
  EnginePtr engine = CreateEngineForDisk(0, start, count, 'P', true);
  ASSERT_NE(engine, nullptr);
  auto* partition = dynamic_cast<CProfessionalRecovery*>(engine.get());
  ASSERT_NE(partition, nullptr);
  EXPECT_EQ(partition->Scan(nullptr), kSuccess);
  EXPECT_TRUE(partition->LastScan().freeRangesMode);
  EXPECT_EQ(partition->LastScan().sectorsTotal, alone->LastScan().sectorsTotal);

  auto normalised = [](const RecordList& list, std::uint64_t base) {
    std::set<std::tuple<int, std::string, std::uint64_t>> out;
    for (const FoundFileRecord& r : list) {
      std::string name(RecordName(r));
      if (r.engineTag == kTagFileType) name = std::to_string(r.locationSector - base) + "." +
                                              std::string(RecordExtension(r));
      out.emplace(static_cast<int>(r.engineTag), name, std::uint64_t{r.size});
    }
    return out;
  };
  const RecordList fromDisk = deeptest::FilterAll(*partition);
  EXPECT_FALSE(fromDisk.empty());
  EXPECT_EQ(normalised(fromDisk, start), normalised(deeptest::FilterAll(*alone), 0));
  const auto removed = std::find_if(fromDisk.begin(), fromDisk.end(),
                                    [](const FoundFileRecord& r) { return EqualsNoCase(RecordName(r).substr(1), "emoved.txt"); });
  ASSERT_NE(removed, fromDisk.end());
  EXPECT_EQ(Sha256Hex(deeptest::RecoverBytes(*partition, *removed)), FixtureSha256("mbr.img#p1:/removed.txt"));
}

// The file count the progress reports carry is the number of files the results list: the
// engines' finds merged and de-duplicated, not every record of every engine (folders, and files
// both a file system and the carver found, would count twice). Checked on the bundled card, a
// camera card, a quick-formatted card, and a partitioned disk whose NTFS and FAT records only the
// sweep finds (a medium without a file system above).
TEST_F(DeepScan, ReportedFileCountIsTheNumberOfResults) {
  const std::string card = test::SampleCardImage(work);
  ASSERT_FALSE(card.empty());
  std::vector<std::string> images = {card};
  for (const char* fixture : {"camera.img", "fmt_fat32.img", "mbr.img", "fat16.img"}) {
    ASSERT_TRUE(test::FixtureExists(fixture)) << fixture << ": run the build_fixture_volumes test first";
    images.push_back(FixturePath(fixture));
  }
  for (const std::string& image : images) {
    SCOPED_TRACE(image);
    ScanLogIndex::ResetForTesting();
    deeptest::ProgressLog log;
    Result result = -1;
    auto engine = deeptest::DeepScanImage(image, &log, &result);
    ASSERT_NE(engine, nullptr);
    ASSERT_EQ(result, kSuccess);
    const std::uint64_t listed = deeptest::FilterAll(*engine).size();
    EXPECT_GT(listed, 0u);
    ASSERT_FALSE(log.reports.empty());
    // The last report (100 %) still carries the figures, with the count of the finished scan.
    const auto& last = log.reports.back();
    EXPECT_EQ(last.weight, 100);
    EXPECT_EQ(last.filesFound, listed);
    EXPECT_EQ(last.sectorsTotal, engine->LastScan().sectorsTotal);
    for (const auto& report : log.reports) {
      if (report.sectorsTotal != 0) {
        EXPECT_LE(report.filesFound, listed);
      }
    }
    if (image == card) {
      EXPECT_LT(listed, engine->GetFoundCount()) << "the card holds folders and files found twice";
    }
  }
}

// A scan cancelled half-way and continued ends with the files of an uninterrupted scan; an image
// changed since is not offered for continuing, and its old log goes.
TEST_F(DeepScan, CancelledScanContinuesToTheSameFiles) {
  carvetest::ImageBuilder builder;
  (void)deeptest::BuildRawImage(builder, 777, 3);
  const std::string image = work / "card.img";
  test::WriteFileBytes(image, builder.bytes());

  std::set<std::tuple<int, std::string, std::uint64_t>> whole;
  {
    test::ScopedDataDir other;
    ScanLogIndex::ResetForTesting();
    auto engine = deeptest::DeepScanImage(image);
    ASSERT_NE(engine, nullptr);
    whole = FileSet(deeptest::FilterAll(*engine));
  }
  ScanLogIndex::ResetForTesting();
  ASSERT_GT(whole.size(), 50u);

  std::string folder;
  {
    deeptest::ProgressLog log;
    log.cancelAt = 0.5;
    Result result = 0;
    auto first = deeptest::DeepScanImage(image, &log, &result);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(result, kCancelled);
    EXPECT_FALSE(first->FoundPreviousScan());
    const auto& stop = first->LastScan().position;
    EXPECT_GT(stop.sectorsDone, builder.Sectors() / 4);
    EXPECT_LT(stop.sectorsDone, builder.Sectors());
    const RecordList part = deeptest::FilterAll(*first);
    EXPECT_LT(FileSet(part).size(), whole.size());
    // No final report after a cancel.
    EXPECT_NE(log.reports.back().weight, 100);
  }
  {
    EnginePtr engine = CreateEngineForImage(image, 'D', true);
    auto* second = dynamic_cast<CProfessionalRecovery*>(engine.get());
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(second->FoundPreviousScan());
    folder = second->PreviousScanFolder();
    EXPECT_EQ(second->Scan(nullptr), kSuccess);
    EXPECT_TRUE(second->LastScan().resumed);
    EXPECT_EQ(second->LastScan().position.sectorsDone, builder.Sectors());
    EXPECT_EQ(FileSet(deeptest::FilterAll(*second)), whole);
  }
  ASSERT_FALSE(folder.empty());
  struct stat st {};
  EXPECT_EQ(::stat(folder.c_str(), &st), 0);

  // A new modification time: the source changed, nothing is offered and the old log is deleted.
  struct utimbuf later {};
  later.actime = later.modtime = 1700000000;
  ASSERT_EQ(::utime(image.c_str(), &later), 0);
  EnginePtr engine = CreateEngineForImage(image, 'D', true);
  auto* third = dynamic_cast<CProfessionalRecovery*>(engine.get());
  ASSERT_NE(third, nullptr);
  EXPECT_FALSE(third->FoundPreviousScan());
  // This process still holds the folder, so it is emptied rather than removed.
  std::string log;
  EXPECT_FALSE(ScanLogIndex::FindLogFile(folder, "File_Type_", log)) << log;
}

// The same on a quick-formatted card: what the formatted FAT engine rebuilds from the first half
// of the sweep and from the second, in two runs, is what it rebuilds in one, folders included.
TEST_F(DeepScan, CancelledScanOfAFormattedCardContinuesToTheSameFiles) {
  REQUIRE_FIXTURE("fmt_fat32.img");
  const std::string image = work / "card.img";
  test::WriteFileBytes(image, test::ReadFileBytes(FixturePath("fmt_fat32.img")));
  auto FileSet = [](IFileRecoveryParse& engine) {
    std::set<std::tuple<int, std::string, std::uint64_t>> out;
    for (const FoundFileRecord& r : deeptest::FilterAll(engine)) {
      std::string folder;
      (void)engine.GetFolderPath(&r, folder);
      out.emplace(static_cast<int>(r.engineTag), folder + std::string(RecordName(r)), std::uint64_t{r.size});
    }
    return out;
  };
  std::set<std::tuple<int, std::string, std::uint64_t>> whole;
  {
    test::ScopedDataDir other;
    ScanLogIndex::ResetForTesting();
    auto engine = deeptest::DeepScanImage(image);
    ASSERT_NE(engine, nullptr);
    whole = FileSet(*engine);
  }
  ASSERT_GT(whole.size(), 60u);
  ScanLogIndex::ResetForTesting();
  deeptest::ProgressLog log;
  log.cancelAt = 0.5;
  Result result = 0;
  ASSERT_NE(deeptest::DeepScanImage(image, &log, &result), nullptr);
  ASSERT_EQ(result, kCancelled);
  EnginePtr engine = CreateEngineForImage(image, 'D', true);
  ASSERT_TRUE(dynamic_cast<CProfessionalRecovery*>(engine.get())->FoundPreviousScan());
  EXPECT_EQ(engine->Scan(nullptr), kSuccess);
  const auto resumed = FileSet(*engine);
  for (const auto& f : whole) EXPECT_TRUE(resumed.count(f)) << "missing after resume: " << std::get<1>(f);
  for (const auto& f : resumed) EXPECT_TRUE(whole.count(f)) << "only after resume: " << std::get<1>(f);
}

// A deleted photo whose clusters a larger photo took, then a quick format: the folder entry of the
// old photo names the start of the new one with the old, shorter length. The complete photo the
// carver measured there is listed and comes back whole; the truncated head is not offered as a
// file of its own.
TEST_F(DeepScan, ACarvedFileLongerThanTheEntryAtItsStartIsTheOneListed) {
  const std::string samples = REXMOOR_TEST_SOURCE_DIR "/samples/files/";
  const Bytes small = test::ReadFileBytes(samples + "sample.jpg");
  const Bytes large = test::ReadFileBytes(samples + "camera_exif.jpg");
  ASSERT_LT(small.size(), large.size());
  test::FatVolumeBuilder volume(work, "reused.img");
  ASSERT_TRUE(volume.Format(16384, 16, "-s 4")) << volume.lastError();
  ASSERT_TRUE(volume.MakeFolder("/DCIM"));
  ASSERT_TRUE(volume.Put("/DCIM/OLD.JPG", small, "2019-05-06 07:08:10"));
  ASSERT_TRUE(volume.Delete("/DCIM/OLD.JPG"));
  // The root folder goes with the format: only the carver can find the new photo.
  ASSERT_TRUE(volume.Put("/NEW.JPG", large, "2019-05-07 07:08:10"));
  // A quick format: mkfs.fat again over the same image, with the same geometry.
  ASSERT_EQ(test::RunCommand("PATH=$PATH:/usr/sbin:/sbin mkfs.fat --invariant -F 16 -s 4 -i 5EED0002 -n RXTEST " +
                             test::ShellQuote(volume.image()) + " >/dev/null"),
            0);

  auto engine = deeptest::DeepScanImage(volume.image());
  ASSERT_NE(engine, nullptr);
  const RecordList found = deeptest::FilterAll(*engine);
  const std::string whole = Sha256Hex(large);
  bool complete = false;
  for (const FoundFileRecord& r : found) {
    const Bytes bytes = deeptest::RecoverBytes(*engine, r);
    if (Sha256Hex(bytes) == whole) complete = true;
    // Nothing listed is the new photo cut short.
    EXPECT_FALSE(bytes.size() < large.size() && std::equal(bytes.begin(), bytes.end(), large.begin()))
        << RecordName(r) << " is the first " << bytes.size() << " bytes of the new photo";
  }
  EXPECT_TRUE(complete) << "the complete photo is listed";
}


// Records go back to the engine that made them; one no engine owns is refused, not written.
TEST_F(DeepScan, RecordsAreRoutedByTheirEngine) {
  carvetest::ImageBuilder builder;
  (void)deeptest::BuildRawImage(builder, 99);
  const std::string image = work / "raw.img";
  test::WriteFileBytes(image, builder.bytes());
  auto engine = deeptest::DeepScanImage(image);
  ASSERT_NE(engine, nullptr);
  RecordList root;
  ASSERT_EQ(engine->GetChildren(nullptr, 0, root), kSuccess);
  ASSERT_FALSE(root.empty());
  EXPECT_EQ(engine->GetFoundCount(), root.size());
  std::int32_t count = -1;
  EXPECT_EQ(engine->CountFiles(nullptr, 0, &count), kSuccess);
  EXPECT_EQ(static_cast<std::size_t>(count), root.size());
  EXPECT_EQ(engine->GetChildren(nullptr, 1, root), kErrInvalidParameter);
  EXPECT_EQ(engine->RecoverItem(nullptr, work.path(), 0), kErrInvalidParameter);
  std::string path = "x";
  EXPECT_EQ(engine->GetFolderPath(&root.front(), path), kSuccess);
  EXPECT_EQ(path, "");
  FoundFileRecord stranger = root.front();
  stranger.engineTag = 9;
  EXPECT_EQ(engine->RecoverItem(&stranger, work.path(), 0), kErrInvalidParameter);
}

}  // namespace
}  // namespace rexmoor
