#include "fat/fast_fat_recovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "scan/engine_factory.h"
#include "engine/folder_recovery.h"
#include "engine/preview_target.h"
#include "engine/scan_log_index.h"
#include "formats/fat_dir_entry.h"
#include "fat/fat_engine_test_util.h"
#include "fat/fat_volume_builder.h"
#include "fixtures/fixture_paths.h"
#include "platform/byte_view.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using test::BrowseTree;
using test::FixturePath;
using test::TreeItem;

// A fresh per-user data folder and scan-log index for each test.
class FastFatRecovery : public ::testing::Test {
 protected:
  void SetUp() override { ScanLogIndex::ResetForTesting(); }
  void TearDown() override { ScanLogIndex::ResetForTesting(); }
  test::ScopedDataDir data_;
  test::TempDir temp_;
};

std::set<std::string> Keys(const std::map<std::string, TreeItem>& tree, bool folders) {
  std::set<std::string> keys;
  for (const auto& [key, item] : tree)
    if ((item.record.isFolder != 0) == folders) keys.insert(key);
  return keys;
}

std::string FolderOf(const std::string& key) {
  const std::size_t slash = key.rfind('/', key.size() - 2);
  return slash == std::string::npos ? "" : key.substr(0, slash + 1);
}

// Whether the sector at the record's locationSector holds a deleted-or-live short entry with the
// record's size and first cluster.
bool EntryIsWhereTheRecordSays(const std::string& image, const FoundFileRecord& r, std::uint32_t sectorSize) {
  const auto sector = test::ReadBytesAt(image, r.locationSector * sectorSize, sectorSize);
  for (std::size_t at = 0; at + kDirEntrySize <= sector.size(); at += kDirEntrySize) {
    const auto entry = DecodeDirEntry(std::span(sector).subspan(at));
    if (entry && !entry->IsLongName() && entry->size == r.size && entry->clusterLow == (r.objectNumber & 0xFFFF))
      return true;
  }
  return false;
}

TEST_F(FastFatRecovery, Fat32FixtureListsDeletedFilesInTheirFolders) {
  REQUIRE_FIXTURE("fat32.img");
  const std::string image = FixturePath("fat32.img");
  CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenImageFile(image, 'X'), kSuccess);
  ASSERT_EQ(engine.Scan(nullptr), kSuccess);
  const auto tree = BrowseTree(engine);

  // Names as the volume keeps them: long names whole, short names with "!" for the lost letter.
  const std::map<std::string, std::string> expected = {
      {"old notes.txt", "/old notes.txt"},
      {"Pictures/deleted photo.jpg", "/Pictures/deleted photo.jpg"},
      {"Projects/!one.bin", "/Projects/gone.bin"},
      {"Trash Folder/!.txt", "/Trash Folder/x.txt"},
      {"Trash Folder/!ub/!.bin", "/Trash Folder/sub/y.bin"},
      {"Trash Folder/!ub/!.pdf", "/Trash Folder/sub/z.pdf"},
      {"Frag/!.bin", "/Frag/b.bin"},
  };
  std::set<std::string> expectedKeys;
  for (const auto& [key, path] : expected) expectedKeys.insert(key);
  EXPECT_EQ(Keys(tree, false), expectedKeys);
  EXPECT_EQ(Keys(tree, true),
            (std::set<std::string>{"Frag/", "Pictures/", "Projects/", "Trash Folder/", "Trash Folder/!ub/"}));
  EXPECT_EQ(engine.GetFoundCount(), expected.size() + 5);

  const auto manifest = test::ManifestFiles("fat32.img");
  for (const auto& [key, path] : expected) {
    SCOPED_TRACE(key);
    ASSERT_TRUE(manifest.count(path));
    const FoundFileRecord& r = tree.at(key).record;
    EXPECT_EQ(+r.size, manifest.at(path).size);
    EXPECT_EQ(+r.modifiedTime, test::FileTimeOf(manifest.at(path).mtime));
    EXPECT_NE(+r.createdTime, 0u);
    EXPECT_EQ(+r.engineTag, kTagFastFat);
    EXPECT_EQ(+r.sourceTag, 'X');
    EXPECT_EQ(+r.clusterBytes, 512);
    EXPECT_EQ(+r.dataAreaSector, engine.Layout()->dataAreaSector);
    EXPECT_EQ(+r.partitionStartSector, 0u);
    EXPECT_EQ(+r.contentState, 1);
    EXPECT_TRUE(EntryIsWhereTheRecordSays(image, r, 512));
    std::string folder;
    EXPECT_EQ(engine.GetFolderPath(&r, folder), kSuccess);
    EXPECT_EQ(folder, FolderOf(key));
  }
  // Folders on the way to a deleted file are marked when they, or one above them, are deleted.
  EXPECT_EQ(+tree.at("Trash Folder/").record.deletedMark, 1);
  EXPECT_EQ(+tree.at("Trash Folder/!ub/").record.deletedMark, 1);
  EXPECT_EQ(+tree.at("Pictures/").record.deletedMark, 0);

  std::int32_t count = -1;
  EXPECT_EQ(engine.CountFiles(nullptr, 0, &count), kSuccess);
  EXPECT_EQ(count, 7);
  const TreeItem& trash = tree.at("Trash Folder/");
  EXPECT_EQ(engine.CountFiles(&trash.record, trash.level, &count), kSuccess);
  EXPECT_EQ(count, 3);
  // Filtering by type finds the same records.
  RecordList pdfs;
  EXPECT_EQ(engine.FilterByType(".pdf", pdfs), 1);
  ASSERT_EQ(pdfs.size(), 1u);
  EXPECT_EQ(RecordName(pdfs[0]), "!.pdf");
}

TEST_F(FastFatRecovery, Fat32FixtureRecoversByteIdenticalAndLeavesTheImageAlone) {
  REQUIRE_FIXTURE("fat32.img");
  const std::string image = FixturePath("fat32.img");
  const std::string before = test::Sha256Hex(image);
  CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenImageFile(image, 1), kSuccess);
  ASSERT_EQ(engine.Scan(nullptr), kSuccess);
  const auto tree = BrowseTree(engine);

  struct Progress {
    std::vector<std::int32_t> percents;
  } progress;
  engine.SetCallbacks(
      nullptr,
      [](void* ud, std::int32_t percent, std::int32_t scale, std::int32_t code, const char*) -> std::int32_t {
        EXPECT_EQ(scale, 100);
        EXPECT_EQ(code, 0);
        static_cast<Progress*>(ud)->percents.push_back(percent);
        return 0;
      },
      &progress, 100);

  const std::map<std::string, std::string> intact = {
      {"old notes.txt", "/old notes.txt"},
      {"Pictures/deleted photo.jpg", "/Pictures/deleted photo.jpg"},
      {"Projects/!one.bin", "/Projects/gone.bin"},
  };
  for (const auto& [key, path] : intact) {
    SCOPED_TRACE(key);
    progress.percents.clear();
    const std::string out = temp_ / ("flat/" + std::string(RecordName(tree.at(key).record)));
    ASSERT_EQ(engine.RecoverItem(&tree.at(key).record, out, 0), kSuccess);
    EXPECT_EQ(test::Sha256Hex(out), test::FixtureSha256("fat32.img:" + path));
    ASSERT_FALSE(progress.percents.empty());
    EXPECT_TRUE(std::is_sorted(progress.percents.begin(), progress.percents.end()));
    EXPECT_EQ(progress.percents.back(), 100);
  }

  // The deleted folder comes back whole.
  const TreeItem& trash = tree.at("Trash Folder/");
  const std::string destination = temp_ / "tree/Trash Folder";
  ASSERT_EQ(engine.RecoverItem(&trash.record, destination, SeparatorLevel(destination) - trash.level),
            kSuccess);
  EXPECT_EQ(test::Sha256Hex(destination + "/!.txt"), test::FixtureSha256("fat32.img:/Trash Folder/x.txt"));
  EXPECT_EQ(test::Sha256Hex(destination + "/!ub/!.bin"), test::FixtureSha256("fat32.img:/Trash Folder/sub/y.bin"));
  EXPECT_EQ(test::Sha256Hex(destination + "/!ub/!.pdf"), test::FixtureSha256("fat32.img:/Trash Folder/sub/z.pdf"));

  EXPECT_EQ(test::Sha256Hex(image), before);
}

TEST_F(FastFatRecovery, QuickEngineOfAPartitionThroughTheFactory) {
  REQUIRE_FIXTURE("mbr.img");
  setenv("REXMOOR_DRIVES", FixturePath("mbr.img").c_str(), 1);
  EnginePtr engine = CreateEngineForDisk(0, 2048, 81920, 'E', false);
  unsetenv("REXMOOR_DRIVES");
  ASSERT_NE(engine, nullptr);
  ASSERT_EQ(engine->Scan(nullptr), kSuccess);
  const auto tree = BrowseTree(*engine);
  ASSERT_EQ(Keys(tree, false), (std::set<std::string>{"!emoved.txt"}));
  const FoundFileRecord& r = tree.at("!emoved.txt").record;
  EXPECT_EQ(+r.partitionStartSector, 2048u);
  EXPECT_EQ(+r.sourceTag, 'E');
  // The entry's sector is counted from the start of the drive.
  EXPECT_TRUE(EntryIsWhereTheRecordSays(FixturePath("mbr.img"), r, 512));
  const std::string out = temp_ / "removed.txt";
  EXPECT_EQ(engine->RecoverItem(&r, out, 0), kSuccess);
  EXPECT_EQ(test::Sha256Hex(out), test::FixtureSha256("mbr.img#p1:/removed.txt"));

  // Image files come through the factory as well.
  EnginePtr imageEngine = CreateEngineForImage(FixturePath("fat16.img"), 3, false);
  ASSERT_NE(imageEngine, nullptr);
  ASSERT_EQ(imageEngine->Scan(nullptr), kSuccess);
  EXPECT_EQ(Keys(BrowseTree(*imageEngine), false), (std::set<std::string>{"Frag/!.bin"}));
}

// FAT12 with deletions: 12-bit entries everywhere (folder chains, cleared chains, the map).
TEST_F(FastFatRecovery, Fat12VolumeWithDeletions) {
  test::FatVolumeBuilder volume(temp_);
  ASSERT_TRUE(test::BuildFat12WithDeletions(volume)) << volume.lastError();
  // KEEPDIR keeps its files but loses its own entry: its live file counts as found.
  const std::string shortName = "KEEPDIR    ";
  std::vector<std::uint8_t> pattern(shortName.begin(), shortName.end());
  pattern.push_back(kAttrFolder);
  const std::int64_t at = test::FindBytes(volume.image(), pattern);
  ASSERT_GT(at, 0);
  test::PatchBytes(volume.image(), static_cast<std::uint64_t>(at), {kDeletedMark});

  const std::string before = test::Sha256Hex(volume.image());
  CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenImageFile(volume.image(), 1), kSuccess);
  EXPECT_EQ(engine.Layout()->type, FatType::Fat12);
  ASSERT_EQ(engine.Scan(nullptr), kSuccess);
  const auto tree = BrowseTree(engine);

  auto expected = test::Fat12DeletedNames();
  expected["!eepdir/alive.txt"] = "/KEEPDIR/ALIVE.TXT";
  std::set<std::string> expectedKeys;
  for (const auto& [key, path] : expected) expectedKeys.insert(key);
  EXPECT_EQ(Keys(tree, false), expectedKeys);
  EXPECT_EQ(Keys(tree, true), (std::set<std::string>{"Big/", "Docs/", "f/", "Trash/", "Trash/Inner/", "!eepdir/"}));

  for (const auto& [key, path] : expected) {
    SCOPED_TRACE(key);
    const FoundFileRecord& r = tree.at(key).record;
    const test::VolumeFile& truth = volume.files().at(path);
    EXPECT_EQ(+r.size, truth.bytes.size());
    EXPECT_EQ(+r.modifiedTime, test::FileTimeOf(truth.mtime));
    std::string folder;
    engine.GetFolderPath(&r, folder);
    EXPECT_EQ(folder, FolderOf(key));
    const std::string out = temp_ / ("out/" + key);
    std::vector<std::uint8_t> want = truth.bytes;
    // d.bin was written over b.bin's four free clusters and went on after c.bin, which is still
    // in use: only the part in b.bin's hole can be told apart from c.bin, so the file comes back
    // short of its recorded size and says so.
    if (key == "f/!.bin") want.resize(2048);
    ASSERT_EQ(engine.RecoverItem(&r, out, 0), key == "f/!.bin" ? kErrIncomplete : kSuccess);
    EXPECT_EQ(test::ReadFileBytes(out), want);
  }
  EXPECT_EQ(test::Sha256Hex(volume.image()), before);
}

// FAT16 with a root of 1,024 entries (32 KiB): a deleted file whose entry lies past the first
// 16 KiB, a deleted folder tree, and multi-cluster files.
TEST_F(FastFatRecovery, Fat16VolumeWithALargeRoot) {
  test::FatVolumeBuilder v(temp_);
  std::vector<std::pair<std::string, std::vector<std::uint8_t>>> many;
  for (int i = 1; i <= 200; ++i) {
    char name[64];
    std::snprintf(name, sizeof(name), "root file number %03d.dat", i);
    many.emplace_back(name, test::TextBytes(100, 2000 + i));
  }
  ASSERT_TRUE(v.Format(16384, 16, "-s 4 -r 1024") && v.PutMany("", many, "2012-03-04 05:06:08") &&
              v.Put("/the last one.txt", test::TextBytes(9000, 2301), "2012-05-06 07:08:10") &&
              v.MakeFolder("/Gone") && v.MakeFolder("/Gone/Deeper") &&
              v.Put("/Gone/Deeper/video clip.avi", test::RandomBytes(70000, 2302), "2012-06-07 08:09:10") &&
              v.Put("/Gone/photo.jpg", test::JpegBytes(12000, 2303), "2012-06-07 08:09:12") &&
              v.Delete("/the last one.txt") && v.DeleteTree("/Gone") && v.Check())
      << v.lastError();
  // The deleted entry lies past the first 16 KiB of the root.
  const std::int64_t lfn = test::FindBytes(v.image(), test::Utf16Bytes("the l"));
  ASSERT_GT(lfn, 0);

  CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenImageFile(v.image(), 1), kSuccess);
  const FatLayout& layout = *engine.Layout();
  EXPECT_EQ(layout.type, FatType::Fat16);
  EXPECT_EQ(layout.rootDirSectors, 64u);
  EXPECT_GE(static_cast<std::uint64_t>(lfn), (layout.rootDirSector + 32) * 512);
  ASSERT_EQ(engine.Scan(nullptr), kSuccess);
  const auto tree = BrowseTree(engine);
  const std::map<std::string, std::string> expected = {
      {"the last one.txt", "/the last one.txt"},
      {"Gone/Deeper/video clip.avi", "/Gone/Deeper/video clip.avi"},
      {"Gone/!hoto.jpg", "/Gone/photo.jpg"},
  };
  std::set<std::string> expectedKeys;
  for (const auto& [key, path] : expected) expectedKeys.insert(key);
  EXPECT_EQ(Keys(tree, false), expectedKeys);
  for (const auto& [key, path] : expected) {
    SCOPED_TRACE(key);
    const std::string out = temp_ / ("out/" + key);
    ASSERT_EQ(engine.RecoverItem(&tree.at(key).record, out, 0), kSuccess);
    EXPECT_EQ(test::ReadFileBytes(out), v.files().at(path).bytes);
  }
}

// Windows clears the high word of a FAT32 entry on deletion; the engine looks for the cluster
// whose content fits the name (files) or that opens with "."/".." (folders).
TEST_F(FastFatRecovery, Fat32HighWordClearedOnDeletion) {
  test::FatVolumeBuilder v(temp_);
  ASSERT_TRUE(v.Format(40960, 32, "-s 1") &&
              v.Put("/FILLER.BIN", test::RandomBytes(34u << 20, 3001), "2013-01-02 03:04:06") &&
              v.Put("/holiday photo.jpg", test::JpegBytes(3000, 3002), "2013-02-03 04:05:06") &&
              v.MakeFolder("/Album") &&
              v.Put("/Album/beach.jpg", test::JpegBytes(5000, 3003), "2013-02-03 04:05:08") &&
              v.Delete("/holiday photo.jpg") && v.DeleteTree("/Album"))
      << v.lastError();
  CFastFatRecovery probe;
  ASSERT_EQ(probe.OpenImageFile(v.image(), 1), kSuccess);
  const FatLayout layout = *probe.Layout();
  // Clear the high words of every deleted short entry in the root and in Album's first cluster.
  std::map<std::string, std::uint32_t> clusters;
  std::vector<std::uint8_t> image = test::ReadFileBytes(v.image());
  auto clearHighWords = [&](std::uint64_t sector) {
    std::uint64_t albumSector = 0;
    for (std::size_t at = sector * 512; at < (sector + 1) * 512; at += 32) {
      std::uint8_t* e = image.data() + at;
      if (e[0] != kDeletedMark || e[kEntryAttr] == kAttrLongName) continue;
      const std::uint32_t cluster = FirstCluster(LoadU16LE(e + kEntryClusterHigh), LoadU16LE(e + kEntryClusterLow));
      clusters[std::string(reinterpret_cast<char*>(e) + 1, 10)] = cluster;
      if (e[kEntryAttr] & kAttrFolder) albumSector = *layout.ClusterSector(cluster);
      e[kEntryClusterHigh] = 0;
      e[kEntryClusterHigh + 1] = 0;
    }
    return albumSector;
  };
  const std::uint64_t album = clearHighWords(*layout.ClusterSector(layout.rootCluster));
  ASSERT_NE(album, 0u);
  clearHighWords(album);
  test::WriteFileBytes(v.image(), image);
  for (const auto& [name, cluster] : clusters) EXPECT_GT(cluster, 0xFFFFu) << name;

  CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenImageFile(v.image(), 1), kSuccess);
  ASSERT_EQ(engine.Scan(nullptr), kSuccess);
  const auto tree = BrowseTree(engine);
  ASSERT_EQ(Keys(tree, false), (std::set<std::string>{"holiday photo.jpg", "Album/!each.jpg"}));
  ASSERT_EQ(Keys(tree, true), (std::set<std::string>{"Album/"}));
  EXPECT_EQ(+tree.at("Album/").record.objectNumber, clusters.at("LBUM      "));
  EXPECT_EQ(+tree.at("Album/!each.jpg").record.objectNumber, clusters.at("EACH   JPG"));
  const std::string out1 = temp_ / "a.jpg";
  const std::string out2 = temp_ / "b.jpg";
  ASSERT_EQ(engine.RecoverItem(&tree.at("holiday photo.jpg").record, out1, 0), kSuccess);
  ASSERT_EQ(engine.RecoverItem(&tree.at("Album/!each.jpg").record, out2, 0), kSuccess);
  EXPECT_EQ(test::ReadFileBytes(out1), v.files().at("/holiday photo.jpg").bytes);
  EXPECT_EQ(test::ReadFileBytes(out2), v.files().at("/Album/beach.jpg").bytes);
}

// A deleted file whose first cluster now holds other data fails the content check: documents are
// still listed (marked), pictures are left out of lists.
TEST_F(FastFatRecovery, ContentCheckOfReusedClusters) {
  test::FatVolumeBuilder v(temp_);
  ASSERT_TRUE(v.Format(1440, 12) && v.Put("/intact.pdf", test::PdfBytes(3000, 4001), "2014-01-02 03:04:06") &&
              v.Put("/reused.pdf", test::PdfBytes(3000, 4002), "2014-01-02 03:04:08") &&
              v.Put("/reused.jpg", test::JpegBytes(3000, 4003), "2014-01-02 03:04:10") &&
              v.Put("/intact.jpg", test::JpegBytes(3000, 4004), "2014-01-02 03:04:12") && v.MakeFolder("/SUB") &&
              v.Delete("/reused.pdf") && v.Delete("/reused.jpg") &&
              // In a folder of its own, so that its entry does not take a deleted one's place.
              v.Put("/SUB/NOISE.BIN", test::TextBytes(6000, 4005), "2014-01-02 03:04:14") && v.Delete("/intact.pdf") &&
              v.Delete("/intact.jpg"))
      << v.lastError();
  CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenImageFile(v.image(), 1), kSuccess);
  ASSERT_EQ(engine.Scan(nullptr), kSuccess);
  EXPECT_EQ(engine.GetFoundCount(), 4u);
  const auto tree = BrowseTree(engine);
  EXPECT_EQ(Keys(tree, false), (std::set<std::string>{"!ntact.pdf", "!ntact.jpg", "!eused.pdf"}));
  EXPECT_EQ(+tree.at("!ntact.pdf").record.contentState, 1);
  EXPECT_EQ(+tree.at("!ntact.jpg").record.contentState, 1);
  EXPECT_EQ(+tree.at("!eused.pdf").record.contentState, 0);
  RecordList pictures;
  engine.FilterByType(".jpg", pictures);
  ASSERT_EQ(pictures.size(), 1u);
  EXPECT_EQ(RecordName(pictures[0]), "!ntact.jpg");
}

struct ScanReport {
  std::int32_t progress, weight, secondsLeft;
  std::uint64_t sectorsDone, sectorsTotal, filesFound;
  std::int32_t reserved;
};
struct ScanRecorder {
  std::vector<ScanReport> reports;
  std::int32_t answer = 0;
  std::size_t answerAt = 0;  // the report (0-based) that gets the answer
};
std::int32_t RecordScan(void* ud, std::int32_t progress, std::int32_t weight, std::int32_t secondsLeft,
                        std::uint64_t done, std::uint64_t total, std::uint64_t files, std::int32_t reserved) {
  auto* r = static_cast<ScanRecorder*>(ud);
  r->reports.push_back({progress, weight, secondsLeft, done, total, files, reserved});
  return r->reports.size() - 1 == r->answerAt ? r->answer : 0;
}

TEST_F(FastFatRecovery, ScanReportsProgressAndStopsWhenAsked) {
  REQUIRE_FIXTURE("fat32.img");
  for (std::int32_t weight : {100, 9}) {
    CFastFatRecovery engine;
    ASSERT_EQ(engine.OpenImageFile(FixturePath("fat32.img"), 1), kSuccess);
    ScanRecorder recorder;
    engine.SetCallbacks(&RecordScan, nullptr, &recorder, weight);
    ASSERT_EQ(engine.Scan(nullptr), kSuccess);
    ASSERT_GE(recorder.reports.size(), 3u);
    const ScanReport& first = recorder.reports.front();
    EXPECT_EQ(first.progress, 1);
    EXPECT_EQ(first.weight, weight);
    EXPECT_EQ(first.secondsLeft, -1);
    const ScanReport& before = recorder.reports[recorder.reports.size() - 2];
    EXPECT_EQ(before.progress, 80);
    EXPECT_EQ(before.secondsLeft, 10);
    const ScanReport& last = recorder.reports.back();
    EXPECT_EQ(last.progress, 100);
    EXPECT_EQ(last.weight, weight);
    EXPECT_EQ(last.secondsLeft, 0);
    for (const ScanReport& r : recorder.reports) {
      EXPECT_EQ(+r.sectorsTotal, 0u);
      EXPECT_EQ(+r.reserved, 0);
    }
  }
  // Cancelled at once: nothing is walked.
  {
    CFastFatRecovery engine;
    ASSERT_EQ(engine.OpenImageFile(FixturePath("fat32.img"), 1), kSuccess);
    ScanRecorder recorder;
    recorder.answer = kCancelled;
    engine.SetCallbacks(&RecordScan, nullptr, &recorder, 100);
    EXPECT_EQ(engine.Scan(nullptr), kCancelled);
    EXPECT_EQ(recorder.reports.size(), 1u);
    EXPECT_EQ(engine.GetFoundCount(), 0u);
  }
  // Stopped at the end of the walk with another code: the code comes back, and what was found
  // can be browsed.
  {
    CFastFatRecovery engine;
    ASSERT_EQ(engine.OpenImageFile(FixturePath("fat32.img"), 1), kSuccess);
    ScanRecorder recorder;
    recorder.answer = 5;
    recorder.answerAt = 1;
    engine.SetCallbacks(&RecordScan, nullptr, &recorder, 100);
    EXPECT_EQ(engine.Scan(nullptr), 5);
    EXPECT_EQ(recorder.reports.back().progress, 80);
    EXPECT_EQ(Keys(BrowseTree(engine), false).size(), 7u);
  }
}

TEST_F(FastFatRecovery, PreviewExtraction) {
  REQUIRE_FIXTURE("fat32.img");
  CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenImageFile(FixturePath("fat32.img"), 1), kSuccess);
  ASSERT_EQ(engine.Scan(nullptr), kSuccess);
  const auto tree = BrowseTree(engine);
  std::vector<std::int32_t> percents;
  auto progress = [](void* ud, std::int32_t percent, std::int32_t) -> std::int32_t {
    static_cast<std::vector<std::int32_t>*>(ud)->push_back(percent);
    return 0;
  };
  std::vector<std::uint8_t> buffer(4096, 0);

  // A picture goes to tmp.jpg in the scan-log folder.
  std::string path;
  std::uint32_t count = static_cast<std::uint32_t>(buffer.size());
  ASSERT_EQ(engine.ExtractForPreview(&tree.at("Pictures/deleted photo.jpg").record, path, buffer.data(), &count,
                                     progress, &percents),
            kSuccess);
  EXPECT_EQ(path, PreviewFolder() + "tmp.jpg");
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(test::Sha256Hex(path), test::FixtureSha256("fat32.img:/Pictures/deleted photo.jpg"));
  ASSERT_FALSE(percents.empty());
  EXPECT_EQ(percents.back(), 100);

  // A document keeps its name.
  count = static_cast<std::uint32_t>(buffer.size());
  ASSERT_EQ(engine.ExtractForPreview(&tree.at("Trash Folder/!ub/!.pdf").record, path, buffer.data(), &count,
                                     nullptr, nullptr),
            kSuccess);
  EXPECT_EQ(path, PreviewFolder() + "!.pdf");
  EXPECT_EQ(test::Sha256Hex(path), test::FixtureSha256("fat32.img:/Trash Folder/sub/z.pdf"));

  // Anything else: the leading bytes, as many as fit.
  const FoundFileRecord& bin = tree.at("Projects/!one.bin").record;
  const std::string whole = temp_ / "gone.bin";
  ASSERT_EQ(engine.RecoverItem(&bin, whole, 0), kSuccess);
  count = static_cast<std::uint32_t>(buffer.size());
  ASSERT_EQ(engine.ExtractForPreview(&bin, path, buffer.data(), &count, nullptr, nullptr), kSuccess);
  EXPECT_EQ(path, "");
  EXPECT_EQ(count, 4096u);
  const auto original = test::ReadFileBytes(whole);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), original.begin()));

  // Stopped by its callback: the temporary file goes.
  auto stop = [](void*, std::int32_t, std::int32_t) -> std::int32_t { return kCancelled; };
  count = 0;
  EXPECT_EQ(engine.ExtractForPreview(&tree.at("Pictures/deleted photo.jpg").record, path, nullptr, &count, stop,
                                     nullptr),
            kCancelled);
  EXPECT_TRUE(test::ReadFileBytes(PreviewFolder() + "tmp.jpg").empty());
  EXPECT_EQ(engine.ExtractForPreview(nullptr, path, buffer.data(), &count, nullptr, nullptr), kErrInvalidParameter);
}

TEST_F(FastFatRecovery, LoadsAnEarlierCatalogueInsteadOfScanning) {
  REQUIRE_FIXTURE("fat32.img");
  std::map<std::string, TreeItem> scanned;
  {
    CFastFatRecovery engine;
    ASSERT_EQ(engine.OpenImageFile(FixturePath("fat32.img"), 1), kSuccess);
    ASSERT_EQ(engine.Scan(nullptr), kSuccess);
    scanned = BrowseTree(engine);
  }
  std::string logName;
  ASSERT_TRUE(ScanLogIndex::FindLogFile(GetScanLogIndex().CurrentScanFolder(), "Fast_", logName));
  EXPECT_EQ(logName.rfind("Fast_0_", 0), 0u);
  // An engine opened on nothing at all can still show a stored catalogue.
  CFastFatRecovery engine;
  ASSERT_EQ(engine.Scan(logName.c_str()), kSuccess);
  EXPECT_EQ(engine.GetFoundCount(), 12u);
  EXPECT_EQ(Keys(BrowseTree(engine), false), Keys(scanned, false));
}

TEST_F(FastFatRecovery, RefusesBadArgumentsAndBadVolumes) {
  REQUIRE_FIXTURE("fat32.img");
  REQUIRE_FIXTURE("raw.bin");
  REQUIRE_FIXTURE("small.bin");
  CFastFatRecovery closed;
  EXPECT_NE(closed.Scan(nullptr), kSuccess);
  EXPECT_EQ(closed.GetFoundCount(), 0u);
  EXPECT_NE(closed.BuildFreeSpaceMap(), kSuccess);
  std::uint64_t start = 0, length = 0;
  EXPECT_EQ(closed.GetNextFreeRange(&start, &length), 0);
  EXPECT_NE(closed.OpenImageFile(FixturePath("raw.bin"), 1), kSuccess);
  EXPECT_NE(closed.OpenImageFile(FixturePath("small.bin"), 1), kSuccess);
  EXPECT_NE(closed.OpenImageFile(temp_ / "missing.img", 1), kSuccess);
  EXPECT_EQ(closed.Layout(), nullptr);

  CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenImageFile(FixturePath("fat32.img"), 1), kSuccess);
  // A second open keeps the first volume.
  EXPECT_EQ(engine.OpenImageFile(FixturePath("raw.bin"), 2), kSuccess);
  ASSERT_EQ(engine.Scan(nullptr), kSuccess);
  RecordList list;
  std::int32_t count = 0;
  std::string text;
  EXPECT_EQ(engine.GetChildren(nullptr, 3, list), kErrInvalidParameter);
  EXPECT_EQ(engine.GetChildren(nullptr, 0, list), kSuccess);
  EXPECT_EQ(list.size(), 5u);  // a file, then four folders
  EXPECT_EQ(+list[0].isFolder, 0);
  EXPECT_EQ(engine.CountFiles(nullptr, 1, &count), kErrInvalidParameter);
  EXPECT_EQ(engine.CountFiles(nullptr, 0, nullptr), kErrInvalidParameter);
  EXPECT_EQ(engine.GetFolderPath(nullptr, text), kErrInvalidParameter);
  EXPECT_EQ(engine.RecoverItem(nullptr, temp_ / "x", 0), kErrInvalidParameter);
  // A record claiming clusters of 128 MiB is not written.
  FoundFileRecord huge = list[0];
  huge.clusterBytes = 128 << 20;
  EXPECT_EQ(engine.RecoverItem(&huge, temp_ / "huge", 0), kErrClusterTooLarge);
  // Nor one whose first cluster lies outside the volume.
  FoundFileRecord outside = list[0];
  outside.objectNumber = 0x0FFFFFF0;
  EXPECT_NE(engine.RecoverItem(&outside, temp_ / "outside", 0), kSuccess);
}

// The map of slot 12 against what fsck.fat counts, and the free runs of slot 9 against the map.
TEST_F(FastFatRecovery, FreeSpaceMapMatchesTheFat) {
  REQUIRE_FIXTURE("fat12.img");
  REQUIRE_FIXTURE("fat16.img");
  REQUIRE_FIXTURE("fat32.img");
  test::FatVolumeBuilder built(temp_);
  ASSERT_TRUE(test::BuildFat12WithDeletions(built)) << built.lastError();
  for (const std::string& image :
       {FixturePath("fat12.img"), FixturePath("fat16.img"), FixturePath("fat32.img"), built.image()}) {
    SCOPED_TRACE(image);
    std::string report;
    ASSERT_EQ(test::RunCommand("PATH=\"$PATH:/usr/sbin:/sbin\" fsck.fat -n -v " + test::ShellQuote(image) +
                                   " | tail -1",
                               &report),
              0);
    // "<image>: N files, USED/TOTAL clusters"
    const std::size_t slash = report.rfind('/');
    const std::size_t space = report.rfind(' ', slash);
    const std::uint64_t fsckUsed = std::stoull(report.substr(space + 1, slash - space - 1));
    const std::uint64_t fsckTotal = std::stoull(report.substr(slash + 1));

    CFastFatRecovery engine;
    ASSERT_EQ(engine.OpenImageFile(image, 1), kSuccess);
    std::uint64_t start = 0, length = 0;
    EXPECT_EQ(engine.GetNextFreeRange(&start, &length), 0);  // no map yet
    ASSERT_EQ(engine.BuildFreeSpaceMap(), kSuccess);
    const FatLayout& layout = *engine.Layout();
    EXPECT_EQ(layout.clusterCount, fsckTotal);
    std::uint64_t used = 0;
    for (std::uint32_t c = 2; c <= layout.clusterCount + 1; ++c) used += engine.IsClusterUsed(c) ? 1 : 0;
    EXPECT_EQ(used, fsckUsed);

    std::uint64_t freeSectors = 0;
    std::uint64_t previousEnd = 0;
    start = 0;
    for (int guard = 0; guard < 1000000; ++guard) {
      ASSERT_EQ(engine.GetNextFreeRange(&start, &length), 1);
      if (length == 0) break;
      ASSERT_GE(start, layout.dataAreaSector);
      ASSERT_GE(start, previousEnd);
      for (std::uint64_t s = start; s < start + length; s += layout.sectorsPerCluster)
        ASSERT_FALSE(engine.IsClusterUsed(
            static_cast<std::uint32_t>((s - layout.dataAreaSector) / layout.sectorsPerCluster + 2)));
      freeSectors += length;
      start += length;
      previousEnd = start;
    }
    EXPECT_EQ(freeSectors, (layout.clusterCount - used) * layout.sectorsPerCluster);
    // Past the end: nothing, and the start is put at the end.
    start = 1ull << 40;
    ASSERT_EQ(engine.GetNextFreeRange(&start, &length), 1);
    EXPECT_EQ(length, 0u);
  }
}

// 4,096-byte logical sectors: every offset counts in the volume's own sectors.
TEST_F(FastFatRecovery, VolumeWithLargeSectors) {
  test::FatVolumeBuilder v(temp_);
  ASSERT_TRUE(v.Format(65536, 16, "-S 4096 -s 1") &&
              v.Put("/keep.bin", test::RandomBytes(10000, 5001), "2015-01-02 03:04:06") &&
              v.Put("/Lost file.bin", test::RandomBytes(20000, 5002), "2015-01-02 03:04:08") &&
              v.Delete("/Lost file.bin"))
      << v.lastError();
  CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenImageFile(v.image(), 1), kSuccess);
  EXPECT_EQ(engine.Layout()->bytesPerSector, 4096u);
  ASSERT_EQ(engine.Scan(nullptr), kSuccess);
  const auto tree = BrowseTree(engine);
  ASSERT_EQ(Keys(tree, false), (std::set<std::string>{"Lost file.bin"}));
  EXPECT_TRUE(EntryIsWhereTheRecordSays(v.image(), tree.at("Lost file.bin").record, 4096));
  const std::string out = temp_ / "lost.bin";
  ASSERT_EQ(engine.RecoverItem(&tree.at("Lost file.bin").record, out, 0), kSuccess);
  EXPECT_EQ(test::ReadFileBytes(out), v.files().at("/Lost file.bin").bytes);
}

}  // namespace
}  // namespace rexmoor
