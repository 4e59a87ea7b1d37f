// The quick NTFS engine on volumes written by ntfs-3g (tests/fixtures/make_ntfs_volumes.sh), with
// the ground truth of that build: which files were deleted, their sizes, $FILE_NAME times and
// hashes, and which folder record a file took over.
#include "ntfs/fast_ntfs_recovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "scan/engine_factory.h"
#include "engine/folder_recovery.h"
#include "engine/preview_target.h"
#include "engine/scan_log_index.h"
#include "fat/fat_engine_test_util.h"
#include "ntfs/ntfs_test_util.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using test::BrowseTree;
using test::TreeItem;

constexpr const char* kDeleted = "ntfs_deleted.img";
constexpr const char* k4k = "ntfs_4k.img";

class FastNtfsRecovery : public ::testing::Test {
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

// Tree keys of the deleted files on ntfs_deleted.img, with their path on the volume.
const std::map<std::string, std::string>& DeletedFiles() {
  static const std::map<std::string, std::string> files = {
      {"Docs/Quarterly report of the northern region with a long name.pdf",
       "/Docs/Quarterly report of the northern region with a long name.pdf"},
      {"Docs/A rather long name that also has a DOS twin.txt", "/Docs/A rather long name that also has a DOS twin.txt"},
      {"small note.txt", "/small note.txt"},
      {"Trash/inner photo.jpg", "/Trash/inner photo.jpg"},
      {"Trash/Sub/deep.txt", "/Trash/Sub/deep.txt"},
      {"Trash/Sub/picture.png", "/Trash/Sub/picture.png"},
      {"big random.bin", "/big random.bin"},
      {"Ünïcödé naïve файл.txt", "/Ünïcödé naïve файл.txt"},
      {"not really a report.pdf", "/not really a report.pdf"},
      {"fragmented.bin", "/fragmented.bin"},
      {"LostFolder64/orphan.txt", "/Gone/orphan.txt"},
  };
  return files;
}

TEST_F(FastNtfsRecovery, ListsDeletedFilesInTheirRebuiltFolders) {
  const std::string image = test::NtfsFixture(kDeleted);
  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImageFile(image, 'N'), kSuccess);
  ASSERT_NE(engine.Volume(), nullptr);
  EXPECT_EQ(engine.Volume()->Geometry().recordSize, 1024u);
  ASSERT_EQ(engine.Scan(nullptr), kSuccess);
  const auto tree = BrowseTree(engine);

  std::set<std::string> expected;
  for (const auto& [key, path] : DeletedFiles()) expected.insert(key);
  // The picture whose content is not a picture is left out of the lists; its document twin stays.
  EXPECT_EQ(Keys(tree, false), expected);
  EXPECT_EQ(Keys(tree, true), (std::set<std::string>{"Docs/", "Trash/", "Trash/Sub/", "LostFolder64/"}));
  EXPECT_EQ(engine.GetFoundCount(), expected.size() + 1 + 4);
  EXPECT_GT(engine.RecordsScanned(), 80u);

  const auto manifest = test::NtfsManifest(kDeleted);
  for (const auto& [key, path] : DeletedFiles()) {
    SCOPED_TRACE(key);
    ASSERT_TRUE(manifest.count(path));
    const test::NtfsManifestFile& truth = manifest.at(path);
    EXPECT_EQ(truth.state, "deleted");
    const FoundFileRecord& r = tree.at(key).record;
    EXPECT_EQ(+r.size, truth.size);
    EXPECT_EQ(+r.objectNumber, truth.record);
    EXPECT_EQ(+r.createdTime, truth.created);
    EXPECT_EQ(+r.modifiedTime, truth.modified);
    EXPECT_EQ(+r.accessedTime, truth.accessed);
    EXPECT_EQ(+r.engineTag, kTagFastNtfs);
    EXPECT_EQ(+r.sourceTag, 'N');
    EXPECT_EQ(+r.clusterBytes, 4096);
    EXPECT_EQ(+r.dataAreaSector, 0u);
    EXPECT_EQ(+r.partitionStartSector, 0u);
    EXPECT_EQ(+r.isFolder, 0);
    // The record lies where the record says: its MFT slot, two 512-byte sectors per record.
    test::MftRecordEditor mft(image);
    EXPECT_EQ(r.locationSector * 512, mft.Offset(r.objectNumber));
    std::string folder;
    EXPECT_EQ(engine.GetFolderPath(&r, folder), kSuccess);
    EXPECT_EQ(folder, FolderOf(key));
    EXPECT_EQ(+r.contentState, key == "not really a report.pdf" ? 0 : 1);
  }
  // Nothing the file system still uses, and none of its own records, is listed.
  for (const auto& [key, item] : tree) {
    EXPECT_GE(+item.record.objectNumber, kFirstUserRecord) << key;
  }
  for (const auto& [path, file] : manifest) {
    if (file.state != "live") continue;
    for (const auto& [key, item] : tree) {
      // (LostFolder64 is named after the record that reuser.txt took over.)
      if (item.record.isFolder == 0) {
        EXPECT_NE(+item.record.objectNumber, file.record) << path << " is live";
      }
    }
  }
  // The folder whose record a file took over is a lost folder named after that record.
  const FoundFileRecord& lost = tree.at("LostFolder64/").record;
  EXPECT_EQ(+lost.objectNumber, 64u);
  EXPECT_EQ(+lost.clusterBytes, -1);
  EXPECT_EQ(+tree.at("Trash/").record.deletedMark, 1);
  EXPECT_EQ(+tree.at("Docs/").record.deletedMark, 0);
  EXPECT_EQ(+tree.at("Docs/").record.objectNumber, 69u);

  std::int32_t count = -1;
  EXPECT_EQ(engine.CountFiles(nullptr, 0, &count), kSuccess);
  EXPECT_EQ(count, static_cast<std::int32_t>(expected.size()) + 1);  // the hidden picture counts
  const TreeItem& trash = tree.at("Trash/");
  EXPECT_EQ(engine.CountFiles(&trash.record, trash.level, &count), kSuccess);
  EXPECT_EQ(count, 3);
  RecordList pdfs;
  EXPECT_EQ(engine.FilterByType(".pdf", pdfs), 1);
  EXPECT_EQ(pdfs.size(), 2u);
  RecordList pictures;
  EXPECT_EQ(engine.FilterByType(".jpg.png", pictures), 1);
  EXPECT_EQ(pictures.size(), 2u);
}

TEST_F(FastNtfsRecovery, RecoversResidentNonResidentAndFragmentedFilesByteIdentical) {
  const std::string image = test::NtfsFixture(kDeleted);
  const std::string before = test::Sha256Hex(image);
  // The fixture's fragmented file really is in pieces.
  {
    std::ifstream in(test::NtfsFixtureSource("MANIFEST.txt"));
    std::string line, runs;
    while (std::getline(in, line))
      if (line.rfind("runs ntfs_deleted.img:/fragmented.bin", 0) == 0) runs = line;
    EXPECT_GE(std::count(runs.begin(), runs.end(), '-'), 3) << runs;
  }
  CFastNtfsRecovery engine;
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
  for (const auto& [key, path] : DeletedFiles()) {
    if (key == "not really a report.pdf") continue;  // its clusters were written twice
    SCOPED_TRACE(key);
    progress.percents.clear();
    const std::string out = temp_ / ("flat/" + std::string(RecordName(tree.at(key).record)));
    // An old file in the way is replaced, not written into.
    std::filesystem::create_directories(out.substr(0, out.rfind('/')));
    test::WriteFileBytes(out, std::vector<std::uint8_t>(100000, 0xEE));
    ASSERT_EQ(engine.RecoverItem(&tree.at(key).record, out, 0), kSuccess);
    EXPECT_EQ(test::Sha256Hex(out), test::NtfsSha256(std::string(kDeleted) + ":" + path));
    ASSERT_FALSE(progress.percents.empty());
    EXPECT_TRUE(std::is_sorted(progress.percents.begin(), progress.percents.end()));
    EXPECT_EQ(progress.percents.back(), 100);
  }

  // The deleted folder comes back whole, sub-folder included.
  const TreeItem& trash = tree.at("Trash/");
  const std::string destination = temp_ / "tree/Trash";
  ASSERT_EQ(engine.RecoverItem(&trash.record, destination, SeparatorLevel(destination) - trash.level), kSuccess);
  EXPECT_EQ(test::Sha256Hex(destination + "/inner photo.jpg"), test::NtfsSha256("ntfs_deleted.img:/Trash/inner photo.jpg"));
  EXPECT_EQ(test::Sha256Hex(destination + "/Sub/deep.txt"), test::NtfsSha256("ntfs_deleted.img:/Trash/Sub/deep.txt"));
  EXPECT_EQ(test::Sha256Hex(destination + "/Sub/picture.png"), test::NtfsSha256("ntfs_deleted.img:/Trash/Sub/picture.png"));
  // And so does the lost folder.
  const TreeItem& lost = tree.at("LostFolder64/");
  const std::string lostOut = temp_ / "tree/LostFolder64";
  ASSERT_EQ(engine.RecoverItem(&lost.record, lostOut, SeparatorLevel(lostOut) - lost.level), kSuccess);
  EXPECT_EQ(test::Sha256Hex(lostOut + "/orphan.txt"), test::NtfsSha256("ntfs_deleted.img:/Gone/orphan.txt"));

  EXPECT_EQ(engine.RecoverItem(nullptr, temp_ / "x", 0), kErrInvalidParameter);
  EXPECT_EQ(test::Sha256Hex(image), before);
}

// 4,096-byte sectors: 4,096-byte records, every sector number counted in them.
TEST_F(FastNtfsRecovery, VolumeWithLargeSectors) {
  const std::string image = test::NtfsFixture(k4k);
  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImageFile(image, 1), kSuccess);
  EXPECT_EQ(engine.Volume()->Geometry().bytesPerSector, 4096u);
  EXPECT_EQ(engine.Volume()->Geometry().recordSize, 4096u);
  ASSERT_EQ(engine.Scan(nullptr), kSuccess);
  const auto tree = BrowseTree(engine);
  EXPECT_EQ(Keys(tree, false), (std::set<std::string>{"Folder/small in 4k.txt", "Folder/large in 4k.bin"}));
  const auto manifest = test::NtfsManifest(k4k);
  for (const char* key : {"Folder/small in 4k.txt", "Folder/large in 4k.bin"}) {
    SCOPED_TRACE(key);
    const FoundFileRecord& r = tree.at(key).record;
    const std::string path = std::string("/") + key;
    EXPECT_EQ(r.locationSector * 4096, test::MftRecordEditor(image).Offset(manifest.at(path).record));
    const std::string out = temp_ / "out.bin";
    ASSERT_EQ(engine.RecoverItem(&r, out, 0), kSuccess);
    EXPECT_EQ(test::Sha256Hex(out), test::NtfsSha256(std::string(k4k) + ":" + path));
  }
}

// The same volume behind 1 MiB of something else, opened as a partition of a drive; and the factory
// hands out this engine for NTFS in quick mode.
TEST_F(FastNtfsRecovery, PartitionOfADriveThroughTheFactory) {
  const std::string drive = temp_ / "drive.img";
  ASSERT_EQ(test::RunCommand("{ head -c 1048576 /dev/zero; cat " + test::ShellQuote(test::NtfsFixture(kDeleted)) +
                             "; } > " + test::ShellQuote(drive)),
            0);
  setenv("REXMOOR_DRIVES", drive.c_str(), 1);
  EnginePtr engine = CreateEngineForDisk(0, 2048, 32768, 'E', false);
  unsetenv("REXMOOR_DRIVES");
  ASSERT_NE(engine, nullptr);
  ASSERT_NE(dynamic_cast<CFastNtfsRecovery*>(engine.get()), nullptr);
  ASSERT_EQ(engine->Scan(nullptr), kSuccess);
  const auto tree = BrowseTree(*engine);
  EXPECT_EQ(Keys(tree, false).size(), DeletedFiles().size());
  const FoundFileRecord& r = tree.at("Trash/Sub/deep.txt").record;
  EXPECT_EQ(+r.partitionStartSector, 2048u);
  EXPECT_EQ(+r.sourceTag, 'E');
  EXPECT_EQ(r.locationSector * 512, 1048576 + test::MftRecordEditor(test::NtfsFixture(kDeleted)).Offset(76));
  const std::string out = temp_ / "deep.txt";
  ASSERT_EQ(engine->RecoverItem(&r, out, 0), kSuccess);
  EXPECT_EQ(test::Sha256Hex(out), test::NtfsSha256("ntfs_deleted.img:/Trash/Sub/deep.txt"));

  EnginePtr imageEngine = CreateEngineForImage(test::NtfsFixture(k4k), 3, false);
  ASSERT_NE(imageEngine, nullptr);
  ASSERT_EQ(imageEngine->Scan(nullptr), kSuccess);
  EXPECT_EQ(imageEngine->GetFoundCount(), 3u);
}

struct ScanReport {
  std::int32_t progress, weight, secondsLeft;
  std::uint64_t sectorsTotal;
};
struct ScanRecorder {
  std::vector<ScanReport> reports;
  std::int32_t answer = 0;
  std::size_t answerAt = 0;
};
std::int32_t RecordScan(void* ud, std::int32_t progress, std::int32_t weight, std::int32_t secondsLeft,
                        std::uint64_t, std::uint64_t total, std::uint64_t, std::int32_t reserved) {
  EXPECT_EQ(reserved, 0);
  auto* r = static_cast<ScanRecorder*>(ud);
  r->reports.push_back({progress, weight, secondsLeft, total});
  return r->reports.size() - 1 == r->answerAt ? r->answer : 0;
}

TEST_F(FastNtfsRecovery, ScanReportsProgressAndStopsWhenAsked) {
  const std::string image = test::NtfsFixture(kDeleted);
  for (std::int32_t weight : {100, 9}) {
    CFastNtfsRecovery engine;
    ASSERT_EQ(engine.OpenImageFile(image, 1), kSuccess);
    ScanRecorder recorder;
    recorder.answerAt = 1000;
    engine.SetCallbacks(&RecordScan, nullptr, &recorder, weight);
    ASSERT_EQ(engine.Scan(nullptr), kSuccess);
    ASSERT_GE(recorder.reports.size(), 2u);
    for (std::size_t i = 0; i < recorder.reports.size(); ++i) {
      EXPECT_EQ(recorder.reports[i].weight, weight);
      EXPECT_EQ(+recorder.reports[i].sectorsTotal, 0u);
      if (i > 0) {
        EXPECT_GE(recorder.reports[i].progress, recorder.reports[i - 1].progress);
      }
    }
    EXPECT_EQ(recorder.reports.back().progress, 100);
  }
  // Stopped after the first chunk: the code comes back, and what was found so far can be browsed
  // in its folders.
  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImageFile(image, 1), kSuccess);
  ScanRecorder recorder;
  recorder.answer = kCancelled;
  engine.SetCallbacks(&RecordScan, nullptr, &recorder, 100);
  EXPECT_EQ(engine.Scan(nullptr), kCancelled);
  EXPECT_EQ(recorder.reports.size(), 1u);
  const auto tree = BrowseTree(engine);
  EXPECT_TRUE(tree.count("Trash/Sub/deep.txt"));
}

TEST_F(FastNtfsRecovery, PreviewExtraction) {
  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImageFile(test::NtfsFixture(kDeleted), 1), kSuccess);
  ASSERT_EQ(engine.Scan(nullptr), kSuccess);
  const auto tree = BrowseTree(engine);
  std::vector<std::uint8_t> buffer(4096, 0);
  std::vector<std::int32_t> percents;
  auto progress = [](void* ud, std::int32_t percent, std::int32_t) -> std::int32_t {
    static_cast<std::vector<std::int32_t>*>(ud)->push_back(percent);
    return 0;
  };
  std::string path;
  std::uint32_t count = static_cast<std::uint32_t>(buffer.size());
  ASSERT_EQ(engine.ExtractForPreview(&tree.at("Trash/inner photo.jpg").record, path, buffer.data(), &count, progress,
                                     &percents),
            kSuccess);
  EXPECT_EQ(path, PreviewFolder() + "tmp.jpg");
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(test::Sha256Hex(path), test::NtfsSha256("ntfs_deleted.img:/Trash/inner photo.jpg"));
  ASSERT_FALSE(percents.empty());
  EXPECT_EQ(percents.back(), 100);

  const FoundFileRecord& pdf = tree.at("Docs/Quarterly report of the northern region with a long name.pdf").record;
  count = static_cast<std::uint32_t>(buffer.size());
  ASSERT_EQ(engine.ExtractForPreview(&pdf, path, buffer.data(), &count, nullptr, nullptr), kSuccess);
  EXPECT_EQ(path, PreviewFolder() + RecordName(pdf).data());
  EXPECT_EQ(test::Sha256Hex(path),
            test::NtfsSha256("ntfs_deleted.img:/Docs/Quarterly report of the northern region with a long name.pdf"));

  // Other types: the leading bytes, as many as fit; a resident file as far as it goes.
  const FoundFileRecord& bin = tree.at("fragmented.bin").record;
  const std::string whole = temp_ / "frag.bin";
  ASSERT_EQ(engine.RecoverItem(&bin, whole, 0), kSuccess);
  count = static_cast<std::uint32_t>(buffer.size());
  ASSERT_EQ(engine.ExtractForPreview(&bin, path, buffer.data(), &count, nullptr, nullptr), kSuccess);
  EXPECT_EQ(path, "");
  EXPECT_EQ(count, 4096u);
  const auto original = test::ReadFileBytes(whole);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), original.begin()));

  auto stop = [](void*, std::int32_t, std::int32_t) -> std::int32_t { return kCancelled; };
  count = 0;
  EXPECT_EQ(engine.ExtractForPreview(&tree.at("Trash/inner photo.jpg").record, path, nullptr, &count, stop, nullptr),
            kCancelled);
  EXPECT_TRUE(test::ReadFileBytes(PreviewFolder() + "tmp.jpg").empty());
  EXPECT_EQ(engine.ExtractForPreview(nullptr, path, buffer.data(), &count, nullptr, nullptr), kErrInvalidParameter);
}

TEST_F(FastNtfsRecovery, LoadsAnEarlierCatalogueAndRefusesBadArguments) {
  std::map<std::string, TreeItem> scanned;
  {
    CFastNtfsRecovery engine;
    ASSERT_EQ(engine.OpenImageFile(test::NtfsFixture(kDeleted), 1), kSuccess);
    // A second open keeps the first volume.
    EXPECT_EQ(engine.OpenImageFile(test::NtfsFixture(k4k), 2), kSuccess);
    EXPECT_EQ(engine.Volume()->Geometry().bytesPerSector, 512u);
    ASSERT_EQ(engine.Scan(nullptr), kSuccess);
    scanned = BrowseTree(engine);
    RecordList list;
    std::int32_t count = 0;
    std::string text;
    EXPECT_EQ(engine.GetChildren(nullptr, 2, list), kErrInvalidParameter);
    EXPECT_EQ(engine.CountFiles(nullptr, 1, &count), kErrInvalidParameter);
    EXPECT_EQ(engine.CountFiles(nullptr, 0, nullptr), kErrInvalidParameter);
    EXPECT_EQ(engine.GetFolderPath(nullptr, text), kErrInvalidParameter);
    // A folder record without a number stands for the root.
    FoundFileRecord rootLike = MakeEmptyRecord();
    rootLike.isFolder = 1;
    EXPECT_EQ(engine.GetChildren(&rootLike, 0, list), kSuccess);
    EXPECT_EQ(list.size(), 8u);  // five files (the false picture is not shown), then three folders
    EXPECT_EQ(+list[0].isFolder, 0);
    EXPECT_EQ(+list.back().isFolder, 1);
  }
  std::string logName;
  ASSERT_TRUE(ScanLogIndex::FindLogFile(GetScanLogIndex().CurrentScanFolder(), "Fast_", logName));
  EXPECT_EQ(logName.rfind("Fast_0_", 0), 0u);
  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.Scan(logName.c_str()), kSuccess);
  EXPECT_EQ(Keys(BrowseTree(engine), false), Keys(scanned, false));

  CFastNtfsRecovery closed;
  EXPECT_NE(closed.Scan(nullptr), kSuccess);
  EXPECT_EQ(closed.GetFoundCount(), 0u);
  EXPECT_NE(closed.BuildFreeSpaceMap(), kSuccess);
  std::uint64_t start = 0, length = 0;
  EXPECT_EQ(closed.GetNextFreeRange(&start, &length), 0);
  EXPECT_NE(closed.OpenImageFile(temp_ / "missing.img", 1), kSuccess);
  test::WriteFileBytes(temp_ / "tiny.img", std::vector<std::uint8_t>(1000, 0));
  EXPECT_NE(closed.OpenImageFile(temp_ / "tiny.img", 1), kSuccess);
  EXPECT_EQ(closed.Volume(), nullptr);
}

// The map of slot 12 against the volume bitmap's free count as ntfsinfo reads it, and the free
// runs of slot 9 against the map.
TEST_F(FastNtfsRecovery, FreeSpaceMapMatchesTheVolumeBitmap) {
  for (const char* name : {kDeleted, k4k}) {
    SCOPED_TRACE(name);
    const std::string image = test::NtfsFixture(name);
    std::string info;
    ASSERT_EQ(test::RunCommand("PATH=\"$PATH:/usr/sbin:/sbin\" ntfsinfo -m " + test::ShellQuote(image) +
                                   " 2>/dev/null | grep 'Free Clusters:'",
                               &info),
              0);
    const std::uint64_t freeClusters = std::stoull(info.substr(info.find(':') + 1));
    CFastNtfsRecovery engine;
    ASSERT_EQ(engine.OpenImageFile(image, 1), kSuccess);
    std::uint64_t start = 0, length = 0;
    EXPECT_EQ(engine.GetNextFreeRange(&start, &length), 0);  // no map yet
    ASSERT_EQ(engine.BuildFreeSpaceMap(), kSuccess);
    const NtfsVolumeReader& volume = *engine.Volume();
    std::uint64_t used = 0;
    for (std::uint64_t c = 0; c < volume.ClusterCount(); ++c) used += engine.IsClusterUsed(c) ? 1 : 0;
    EXPECT_EQ(volume.ClusterCount() - used, freeClusters);

    const std::uint64_t spc = volume.Geometry().sectorsPerCluster;
    std::uint64_t freeSectors = 0;
    std::uint64_t previousEnd = 0;
    start = 0;
    for (int guard = 0; guard < 100000; ++guard) {
      ASSERT_EQ(engine.GetNextFreeRange(&start, &length), 1);
      if (length == 0) break;
      ASSERT_GE(start, previousEnd);
      for (std::uint64_t s = start; s < start + length; s += spc) ASSERT_FALSE(engine.IsClusterUsed(s / spc));
      freeSectors += length;
      start += length;
      previousEnd = start;
    }
    EXPECT_EQ(freeSectors, freeClusters * spc);
    start = 1ull << 40;
    ASSERT_EQ(engine.GetNextFreeRange(&start, &length), 1);
    EXPECT_EQ(length, 0u);
  }
}

// scan, recover and tree of the command line work on NTFS as they do on FAT.
TEST_F(FastNtfsRecovery, CommandLineOnAnNtfsImage) {
  const std::string image = test::NtfsFixture(kDeleted);
  const std::string common = " --quick --data-dir " + test::ShellQuote(temp_ / "data");
  std::string out;
  ASSERT_EQ(test::RunCommand(REXMOOR_CLI_PATH " scan " + test::ShellQuote(image) + common + " --format json 2>/dev/null",
                             &out),
            0);
  // One line per file, then the summary.
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), static_cast<long>(DeletedFiles().size()) + 1);
  EXPECT_NE(out.find("\"name\":\"orphan.txt\",\"folder\":\"LostFolder64/\""), std::string::npos) << out;
  EXPECT_NE(out.find("\"name\":\"A rather long name that also has a DOS twin.txt\",\"folder\":\"Docs/\""),
            std::string::npos);
  ASSERT_EQ(test::RunCommand(REXMOOR_CLI_PATH " tree " + test::ShellQuote(image) + common + " 2>/dev/null", &out), 0);
  EXPECT_NE(out.find("Trash/\n  inner photo.jpg"), std::string::npos) << out;
  EXPECT_NE(out.find("  Sub/\n    deep.txt"), std::string::npos) << out;
  const std::string to = temp_ / "recovered";
  ASSERT_EQ(test::RunCommand(REXMOOR_CLI_PATH " recover " + test::ShellQuote(image) + common + " --to " +
                                 test::ShellQuote(to) + " --format json 2>/dev/null",
                             &out),
            0);
  EXPECT_NE(out.find("\"recovered\":11,\"incomplete\":0,\"failed\":0"), std::string::npos) << out;
  EXPECT_EQ(test::Sha256Hex(to + "/others/fragmented.bin"), test::NtfsSha256("ntfs_deleted.img:/fragmented.bin"));
  EXPECT_EQ(test::Sha256Hex(to + "/document/orphan.txt"), test::NtfsSha256("ntfs_deleted.img:/Gone/orphan.txt"));
}

}  // namespace
}  // namespace rexmoor
