// The carving engine over raw images of real sample files laid out as deleted files lie on a
// formatted card, swept sector by sector as the deep scan sweeps them.
#include "carve/file_type_recovery.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <random>
#include <regex>
#include <set>

#include "carve_sweep_harness.h"
#include "formats/carve_test_support.h"
#include "engine/preview_target.h"
#include "engine/scan_log_index.h"

namespace rexmoor {
namespace {

using carvetest::Bytes;

class FileTypeRecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override { ScanLogIndex::ResetForTesting(); }
  void TearDown() override { ScanLogIndex::ResetForTesting(); }

  // Writes the image and remembers its bytes for the unchanged-medium check.
  std::string WriteImage(const Bytes& image) {
    imagePath_ = temp_ / "card.img";
    image_ = image;
    test::WriteFileBytes(imagePath_, image);
    return imagePath_;
  }
  void ExpectImageUnchanged() { EXPECT_TRUE(test::ReadFileBytes(imagePath_) == image_) << "the medium was written"; }

  test::ScopedDataDir data_;
  test::TempDir temp_;
  std::string imagePath_;
  Bytes image_;
};

struct FileProgress {
  std::vector<std::pair<std::int32_t, Result>> reports;
  Result verdict = kSuccess;
  static std::int32_t Callback(void* user, std::int32_t percent, std::int32_t scale, std::int32_t code, const char*) {
    auto* self = static_cast<FileProgress*>(user);
    EXPECT_EQ(scale, 100);
    self->reports.emplace_back(percent, code);
    return self->verdict;
  }
};

const FoundFileRecord* ByName(const RecordList& list, const std::string& name) {
  for (const auto& r : list)
    if (RecordName(r) == name) return &r;
  return nullptr;
}

FoundFileRecord CarvedRecord(const std::string& name, std::uint64_t sector, std::uint64_t size) {
  FoundFileRecord r = MakeEmptyRecord();
  r.engineTag = kTagFileType;
  r.contentState = 1;
  r.clusterBytes = -1;
  r.locationSector = sector;
  r.size = size;
  SetRecordName(r, name);
  return r;
}

TEST_F(FileTypeRecoveryTest, SweepFindsEverySampleAtItsSectorAndWritesItOutByteForByte) {
  const std::vector<std::string> names = {
      "camera_exif.jpg", "sample.jpg", "sample.png",  "sample.gif", "sample.pdf", "sample.zip", "sample.docx",
      "sample.xlsx",     "sample.pptx", "sample.7z", "sample.wav", "sample.avi", "sample.bmp", "sample.cab",
      "sample.wmv",      "sample.wma", "sample.swf", "sample.mid", "sample.ico", "sample.ttf", "sample.exe"};
  std::map<std::string, std::string> reportedExt;
  for (const auto& s : carvetest::LoadManifest()) reportedExt[s.name] = s.firstMatch.substr(0, s.firstMatch.find(':'));

  struct Placed {
    std::string name;
    Bytes bytes;
    std::uint64_t start = 0;
  };
  std::vector<Placed> placed;
  carvetest::ImageBuilder builder;
  builder.Zeros(3);
  std::mt19937 rng(4242);
  for (const auto& name : names) {
    Placed p{name, carvetest::LoadSample(name)};
    ASSERT_FALSE(p.bytes.empty()) << name;
    p.start = builder.Place(p.bytes);
    builder.Random(1 + rng() % 3, rng());
    builder.Zeros(1 + rng() % 2);
    placed.push_back(std::move(p));
  }
  const std::string image = WriteImage(builder.bytes());

  CFileTypeRecovery engine;
  const carvetest::SweepReport sweep = carvetest::SweepImage(engine, image);
  ASSERT_EQ(sweep.result, kSuccess);
  EXPECT_EQ(sweep.sectorsDone, builder.Sectors());
  EXPECT_EQ(sweep.filesFound, engine.GetFoundCount());

  RecordList root;
  ASSERT_EQ(engine.GetChildren(nullptr, 0, root), kSuccess);
  EXPECT_EQ(root.size(), engine.GetFoundCount());
  std::int32_t count = -1;
  ASSERT_EQ(engine.CountFiles(nullptr, 0, &count), kSuccess);
  EXPECT_EQ(static_cast<std::uint64_t>(count), root.size());

  // Extra finds may only lie inside a file the sweep looked into (advance 1) or that it never carved.
  std::map<std::uint64_t, std::uint64_t> advanceAt;
  for (const auto& step : sweep.steps) advanceAt[step.sector] = step.advance;
  for (const auto& step : sweep.steps) {
    bool known = false;
    for (const auto& p : placed) {
      const std::uint64_t end = p.start + (p.bytes.size() + 511) / 512;
      const bool lookedInto = !advanceAt.count(p.start) || advanceAt[p.start] == 1;
      known |= step.sector == p.start || (step.sector > p.start && step.sector < end && lookedInto);
    }
    EXPECT_TRUE(known) << "unexpected find at sector " << step.sector;
  }

  for (const auto& p : placed) {
    SCOPED_TRACE(p.name);
    const std::string name = std::to_string(p.start) + "." + reportedExt[p.name];
    const FoundFileRecord* r = ByName(root, name);
    if (p.name == "sample.exe") {
      EXPECT_EQ(r, nullptr);
      continue;
    }
    ASSERT_NE(r, nullptr) << name;
    EXPECT_EQ(+r->size, p.bytes.size());
    EXPECT_EQ(+r->locationSector, p.start);
    EXPECT_EQ(+r->engineTag, kTagFileType);
    EXPECT_EQ(+r->sourceTag, 'C');
    EXPECT_EQ(+r->isFolder, 0);
    EXPECT_EQ(+r->contentState, 1);
    EXPECT_EQ(+r->objectNumber, 0u);
    EXPECT_EQ(+r->clusterBytes, -1);
    EXPECT_EQ(r->createdTime + r->modifiedTime + r->accessedTime + r->dataAreaSector + r->partitionStartSector, 0u);

    FileProgress progress;
    engine.SetCallbacks(nullptr, &FileProgress::Callback, &progress, 100);
    const std::string out = temp_ / ("out/" + name);
    ASSERT_EQ(engine.RecoverItem(r, out, 0), kSuccess);
    EXPECT_TRUE(test::ReadFileBytes(out) == p.bytes);
    ASSERT_FALSE(progress.reports.empty());
    EXPECT_EQ(progress.reports.back(), std::make_pair(100, kSuccess));
  }
  ExpectImageUnchanged();
}

TEST_F(FileTypeRecoveryTest, AdvanceSkipsWholeFilesButLooksInsideContainers) {
  Bytes jpeg = carvetest::MakeJpeg(1000000 - 124, 7);
  ASSERT_EQ(jpeg.size(), 1000000u);
  // A WAV whose sample data holds a picture on a sector boundary.
  Bytes inner = carvetest::MakeJpeg(3000, 8);
  inner.resize((inner.size() + 511) / 512 * 512, 0);
  Bytes wav = carvetest::MakeRiff("WAVE", "fmt ", 1024 - 20 + inner.size() + 2048, 9);
  std::copy(inner.begin(), inner.end(), wav.begin() + 1024);
  carvetest::ImageBuilder builder;
  builder.Zeros(100);
  ASSERT_EQ(builder.Place(wav), 100u);
  builder.Zeros(4096 - builder.Sectors());
  ASSERT_EQ(builder.Place(jpeg), 4096u);
  const std::uint64_t exeAt = builder.Place(carvetest::LoadSample("sample.exe"));
  builder.Zeros(8);
  const std::string image = WriteImage(builder.bytes());

  CFileTypeRecovery engine;
  ASSERT_EQ(engine.OpenImageFile(image, 'C'), kSuccess);
  // The files here are shaped only as far as their size fields and footers go: measured by those.
  engine.Carving().structureWalks = false;
  std::uint64_t advance = 1;
  std::uint64_t found = 5;
  const Bytes exeSector(image_.begin() + exeAt * 512, image_.begin() + exeAt * 512 + 512);
  EXPECT_EQ(engine.CarveStep(512, exeSector, exeAt, 0, 0, -1, advance, found), kErrInvalidParameter);
  EXPECT_EQ(advance, 1u);
  EXPECT_EQ(found, 5u);
  EXPECT_EQ(engine.GetFoundCount(), 0u);

  carvetest::SweepOptions options;
  options.recordOffered = true;
  const carvetest::SweepReport sweep = carvetest::SweepImage(engine, image, options);
  ASSERT_EQ(sweep.result, kSuccess);
  ASSERT_EQ(sweep.steps.size(), 3u);
  EXPECT_EQ(sweep.steps[0].sector, 100u);
  EXPECT_EQ(sweep.steps[0].advance, 1u);
  EXPECT_EQ(sweep.steps[1].sector, 102u);
  EXPECT_EQ(sweep.steps[2].sector, 4096u);
  EXPECT_EQ(sweep.steps[2].advance, 1954u);
  const std::set<std::uint64_t> offered(sweep.offered.begin(), sweep.offered.end());
  EXPECT_TRUE(offered.count(101));
  EXPECT_FALSE(offered.count(4097));
  EXPECT_FALSE(offered.count(4096 + 1953));
  EXPECT_TRUE(offered.count(4096 + 1954));

  RecordList root;
  engine.GetChildren(nullptr, 0, root);
  ASSERT_EQ(root.size(), 3u);
  EXPECT_EQ(RecordName(root[0]), "100.wav");
  EXPECT_EQ(+root[0].size, wav.size());
  EXPECT_EQ(RecordName(root[1]), "102.jpg");
  EXPECT_EQ(+root[1].size, 3124u);
  EXPECT_EQ(RecordName(root[2]), "4096.jpg");
  EXPECT_EQ(+root[2].size, 1000000u);
  std::vector<std::uint32_t> ids;
  for (const auto& r : root) ids.push_back(+r.recordId);
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 2, 3}));

  // Filtering picks the pictures; the filter callback hears about it.
  int filterCalls = 0;
  ASSERT_EQ(engine.SetFilterCallback(
                [](void* user, std::int32_t, std::int32_t) -> std::int32_t { return ++*static_cast<int*>(user), 0; },
                &filterCalls),
            kSuccess);
  RecordList jpegs;
  EXPECT_EQ(engine.FilterByType(".jpg", jpegs), 1);
  ASSERT_EQ(jpegs.size(), 2u);
  EXPECT_EQ(RecordName(jpegs[0]), "102.jpg");
  EXPECT_EQ(RecordName(jpegs[1]), "4096.jpg");
  EXPECT_GE(filterCalls, 1);

  // A cancel from the file callback stops the copy after the first chunk, keeping what was written.
  FileProgress cancel;
  cancel.verdict = kCancelled;
  engine.SetCallbacks(nullptr, &FileProgress::Callback, &cancel, 100);
  const std::string partial = temp_ / "partial.jpg";
  EXPECT_EQ(engine.RecoverItem(&root[2], partial, 0), kCancelled);
  EXPECT_EQ(cancel.reports.size(), 1u);
  EXPECT_EQ(test::ReadFileBytes(partial).size(), std::min<std::size_t>(kCarveCopyChunkBytes, +root[2].size));
  ExpectImageUnchanged();
}

TEST_F(FileTypeRecoveryTest, WritingOutIsSafeAndBoundedByTheMedium) {
  carvetest::ImageBuilder builder;
  builder.Random(40, 11);
  const std::string image = WriteImage(builder.bytes());
  CFileTypeRecovery engine;
  ASSERT_EQ(engine.OpenImageFile(image, 'C'), kSuccess);
  FileProgress progress;
  engine.SetCallbacks(nullptr, &FileProgress::Callback, &progress, 100);

  // Size 0: an empty file (an older, longer file of that name is emptied), reported done once.
  const std::string empty = temp_ / "deep/er/empty.jpg";
  ASSERT_EQ(::mkdir((temp_ / "deep").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((temp_ / "deep/er").c_str(), 0755), 0);
  test::WriteFileBytes(empty, Bytes(5000, 'x'));
  FoundFileRecord zero = CarvedRecord("3.jpg", 3, 0);
  ASSERT_EQ(engine.RecoverItem(&zero, empty, 0), kSuccess);
  EXPECT_TRUE(test::ReadFileBytes(empty).empty());
  EXPECT_EQ(progress.reports, (std::vector<std::pair<std::int32_t, Result>>{{100, kSuccess}}));

  // A shorter file over a longer one keeps no stale tail; missing folders are created.
  const std::string shorter = temp_ / "new/folder/short.jpg";
  test::WriteFileBytes(temp_ / "longer", Bytes(9000, 'y'));
  FoundFileRecord small = CarvedRecord("2.jpg", 2, 700);
  ASSERT_EQ(engine.RecoverItem(&small, shorter, 0), kSuccess);
  ASSERT_EQ(engine.RecoverItem(&small, temp_ / "longer", 0), kSuccess);
  const Bytes expected(image_.begin() + 1024, image_.begin() + 1024 + 700);
  EXPECT_TRUE(test::ReadFileBytes(shorter) == expected);
  EXPECT_TRUE(test::ReadFileBytes(temp_ / "longer") == expected);

  // A symbolic link at the destination is not followed.
  const std::string victim = temp_ / "victim";
  test::WriteFileBytes(victim, Bytes(10, 'v'));
  ASSERT_EQ(::symlink(victim.c_str(), (temp_ / "link.jpg").c_str()), 0);
  progress.reports.clear();
  EXPECT_NE(engine.RecoverItem(&small, temp_ / "link.jpg", 0), kSuccess);
  EXPECT_EQ(test::ReadFileBytes(victim), Bytes(10, 'v'));
  ASSERT_EQ(progress.reports.size(), 1u);
  EXPECT_NE(progress.reports[0].second, kSuccess);

  // A size past the medium's end: written as far as the medium goes and reported incomplete, not
  // done; a location past it: nothing to read.
  FoundFileRecord huge = CarvedRecord("30.jpg", 30, ~std::uint64_t{0});
  progress.reports.clear();
  EXPECT_EQ(engine.RecoverItem(&huge, temp_ / "huge", 0), kErrIncomplete);
  EXPECT_TRUE(test::ReadFileBytes(temp_ / "huge") == Bytes(image_.begin() + 30 * 512, image_.end()));
  EXPECT_EQ(progress.reports.back(), std::make_pair(100, kErrIncomplete));
  EXPECT_EQ(std::count_if(progress.reports.begin(), progress.reports.end(), [](const auto& r) { return r.first == 100; }),
            1);
  FoundFileRecord beyond = CarvedRecord("9999.jpg", 9999, 100);
  EXPECT_EQ(engine.RecoverItem(&beyond, temp_ / "beyond", 0), kErrReadFault);
  struct stat st {};
  EXPECT_NE(::stat((temp_ / "beyond").c_str(), &st), 0) << "a file that got no data is not left behind empty";
  FoundFileRecord wrapped = CarvedRecord("x.jpg", ~std::uint64_t{0}, 4096);
  EXPECT_EQ(engine.RecoverItem(&wrapped, temp_ / "wrapped", 0), kErrReadFault);
  EXPECT_TRUE(test::ReadFileBytes(temp_ / "wrapped").empty());
  EXPECT_EQ(engine.RecoverItem(nullptr, temp_ / "null", 0), kErrInvalidParameter);
  ExpectImageUnchanged();
}

TEST_F(FileTypeRecoveryTest, PreviewGoesToTheSharedTargetsOrToMemory) {
  carvetest::ImageBuilder builder;
  builder.Random(100, 12);
  const std::string image = WriteImage(builder.bytes());
  CFileTypeRecovery engine;
  ASSERT_EQ(engine.OpenImageFile(image, 'C'), kSuccess);
  const auto at = [this](std::uint64_t sector, std::size_t n) {
    return Bytes(image_.begin() + sector * 512, image_.begin() + sector * 512 + n);
  };

  struct Case {
    const char* name;
    std::uint64_t sector;
    const char* target;  // nullptr: memory
  };
  for (const Case& c : {Case{"77.png", 77, "tmp.jpg"}, Case{"78.mp3", 78, "tmp.avi"}, Case{"79.pdf", 79, "79.pdf"},
                        Case{"80.db", 80, nullptr}}) {
    SCOPED_TRACE(c.name);
    FoundFileRecord r = CarvedRecord(c.name, c.sector, 3000);
    std::string path = "stale";
    Bytes memory(1000, 0);
    std::uint32_t count = static_cast<std::uint32_t>(memory.size());
    ASSERT_EQ(engine.ExtractForPreview(&r, path, memory.data(), &count, nullptr, nullptr), kSuccess);
    if (c.target == nullptr) {
      EXPECT_TRUE(path.empty());
      EXPECT_EQ(count, 1000u);
      EXPECT_TRUE(memory == at(c.sector, 1000));
    } else {
      EXPECT_EQ(path, PreviewFolder() + c.target);
      EXPECT_EQ(count, 0u);
      EXPECT_TRUE(test::ReadFileBytes(path) == at(c.sector, 3000));
    }
  }

  // A header that claims more than the medium holds: what is there is shown, called incomplete.
  FoundFileRecord cut = CarvedRecord("30.png", 30, image_.size() - 30 * 512 + 5000);
  std::string path;
  std::uint32_t kept = 0;
  ASSERT_EQ(engine.ExtractForPreview(&cut, path, nullptr, &kept, nullptr, nullptr), kErrIncomplete);
  EXPECT_EQ(path, PreviewFolder() + "tmp.jpg");
  EXPECT_TRUE(test::ReadFileBytes(path) == Bytes(image_.begin() + 30 * 512, image_.end()));

  // A record beyond the medium: reported as a read fault, and no temporary file is left.
  FoundFileRecord lost = CarvedRecord("500.png", 500, 3000);
  std::uint32_t count = 0;
  std::vector<std::pair<int, int>> reports;
  const PreviewProgressCallback callback = [](void* user, std::int32_t percent, std::int32_t code) -> std::int32_t {
    static_cast<std::vector<std::pair<int, int>>*>(user)->emplace_back(percent, code);
    return 0;
  };
  EXPECT_EQ(engine.ExtractForPreview(&lost, path, nullptr, &count, callback, &reports), kErrReadFault);
  EXPECT_EQ(::access((PreviewFolder() + "tmp.jpg").c_str(), F_OK), -1);
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back(), std::make_pair(100, static_cast<int>(kErrReadFault)));
  EXPECT_EQ(engine.ExtractForPreview(nullptr, path, nullptr, &count, nullptr, nullptr), kErrInvalidParameter);
  ExpectImageUnchanged();
}

TEST_F(FileTypeRecoveryTest, SlotsWithoutFoldersOrCatalogue) {
  CFileTypeRecovery engine;
  RecordList list{CarvedRecord("keep.jpg", 1, 1)};
  std::int32_t count = 7;
  std::string folderPath = "x";
  std::uint64_t start = 5;
  std::uint64_t length = 6;
  // Before any open there is no catalogue.
  EXPECT_EQ(engine.GetFoundCount(), 0u);
  EXPECT_EQ(engine.SetFilterCallback(nullptr, nullptr), kErrInvalidParameter);
  EXPECT_EQ(engine.FilterByType(".jpg", list), 0);
  EXPECT_EQ(engine.GetChildren(nullptr, 0, list), kSuccess);
  EXPECT_EQ(engine.CountFiles(nullptr, 0, &count), kSuccess);
  EXPECT_EQ(count, 0);
  std::uint64_t advance = 1;
  std::uint64_t found = 0;
  const Bytes jpeg = carvetest::SyntheticHeader(kTypeJpg, 1);
  EXPECT_EQ(engine.CarveStep(512, jpeg, 0, 0, 0, -1, advance, found), kErrInvalidHandle);

  EXPECT_EQ(engine.Scan(nullptr), kSuccess);
  EXPECT_EQ(engine.Scan("File_Type_0_x"), kSuccess);
  EXPECT_EQ(engine.GetNextFreeRange(&start, &length), 0);
  EXPECT_EQ(start, 5u);
  EXPECT_EQ(length, 6u);
  EXPECT_EQ(engine.BuildFreeSpaceMap(), kSuccess);
  EXPECT_EQ(engine.GetFolderPath(&list[0], folderPath), kSuccess);
  EXPECT_TRUE(folderPath.empty());
  // A record or a level other than the root's: nothing is added, and the list keeps its order.
  list.push_back(CarvedRecord("a.jpg", 2, 1));
  EXPECT_EQ(engine.GetChildren(&list[0], 0, list), kSuccess);
  EXPECT_EQ(engine.GetChildren(nullptr, 2, list), kSuccess);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(RecordName(list[0]), "keep.jpg");
  EXPECT_EQ(engine.CountFiles(nullptr, 0, nullptr), kErrInvalidParameter);
  EXPECT_NE(engine.OpenImageFile(temp_ / "missing.img", 'C'), kSuccess);
}

TEST_F(FileTypeRecoveryTest, CatalogueIsNamedFreshAndReopenedByTheResumeOpen) {
  carvetest::ImageBuilder builder;
  builder.Zeros(2);
  builder.Place(carvetest::LoadSample("sample.png"));
  builder.Zeros(2);
  const std::uint64_t gifAt = builder.Place(carvetest::LoadSample("sample.gif"));
  builder.Zeros(2);
  const std::uint64_t lateAt = builder.Place(carvetest::LoadSample("sample.mid"));
  const std::string image = WriteImage(builder.bytes());

  std::string logName;
  RecordList before;
  {
    CFileTypeRecovery engine;
    carvetest::SweepOptions options;
    options.rangeLength = lateAt;  // the last file is left for the resumed scan
    ASSERT_EQ(carvetest::SweepImage(engine, image, options).result, kSuccess);
    const std::string path = engine.CataloguePath();
    logName = path.substr(path.rfind('/') + 1);
    EXPECT_TRUE(std::regex_match(logName, std::regex("File_Type_0_20[0-9]{12}")))
        << logName;
    engine.GetChildren(nullptr, 0, before);
    ASSERT_EQ(before.size(), 2u);
    EXPECT_EQ(RecordName(before[1]), std::to_string(gifAt) + ".gif");
  }

  // The resumed engine lists what the first one found and numbers new finds after it.
  CFileTypeRecovery resumed;
  EXPECT_EQ(resumed.ResumeOpenImage(1000, logName, 'C', image), kErrInvalidParameter);
  ASSERT_EQ(resumed.ResumeOpenImage(512, logName, 'C', image), kSuccess);
  RecordList after;
  resumed.GetChildren(nullptr, 0, after);
  ASSERT_EQ(after.size(), before.size());
  for (std::size_t i = 0; i < after.size(); ++i) EXPECT_EQ(std::memcmp(&after[i], &before[i], kRecordSize), 0);
  EXPECT_EQ(resumed.GetFoundCount(), 2u);
  carvetest::SweepOptions rest;
  rest.openEngine = false;
  rest.rangeStart = lateAt;
  ASSERT_EQ(carvetest::SweepImage(resumed, image, rest).result, kSuccess);
  after.clear();
  resumed.GetChildren(nullptr, 0, after);
  const FoundFileRecord* late = ByName(after, std::to_string(lateAt) + ".mid");
  ASSERT_NE(late, nullptr);
  EXPECT_EQ(+late->recordId, 3u);

  // A plain open starts an empty catalogue, even where one of the same name is left.
  CFileTypeRecovery fresh;
  ASSERT_EQ(fresh.OpenImageFile(image, 'C'), kSuccess);
  EXPECT_EQ(fresh.GetFoundCount(), 0u);
  RecordList none;
  fresh.GetChildren(nullptr, 0, none);
  EXPECT_TRUE(none.empty());
  ExpectImageUnchanged();
}

}  // namespace
}  // namespace rexmoor
