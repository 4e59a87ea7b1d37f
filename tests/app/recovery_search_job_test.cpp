#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "app/recovery_job.h"
#include "app/search_job.h"
#include "app/type_patterns.h"
#include "engine/folder_recovery.h"
#include "platform/clock.h"
#include "test_support.h"

namespace rexmoor {
namespace {

namespace fs = std::filesystem;

FoundFileRecord Record(const char* name, std::uint32_t id, std::uint16_t tag = 'E') {
  FoundFileRecord r = MakeEmptyRecord();
  SetRecordName(r, name);
  r.recordId = id;
  r.sourceTag = tag;
  r.engineTag = kTagFastFat;
  r.size = 5;
  return r;
}

// An engine that writes each record's name as its content, or fails with a chosen code.
class WritingEngine : public IFileRecoveryParse {
 public:
  Result OpenImageFile(const std::string&, std::uint16_t) override { return 0; }
  Result OpenDisk(std::int32_t, std::uint64_t, std::uint64_t, std::uint16_t) override { return 0; }
  Result SetCallbacks(ScanProgressCallback, FileProgressCallback cb, void* user, std::int32_t) override {
    cb_ = cb;
    user_ = user;
    return 0;
  }
  Result Scan(const char*) override { return 0; }
  Result GetChildren(const FoundFileRecord*, std::int32_t, RecordList&) override { return 0; }
  Result CountFiles(const FoundFileRecord*, std::int32_t, std::int32_t*) override { return 0; }
  std::uint64_t GetFoundCount() override { return records.size(); }
  Result GetFolderPath(const FoundFileRecord*, std::string&) override { return 0; }
  Result RecoverItem(const FoundFileRecord* record, const std::string& destination, std::int32_t levelBase) override {
    levelBases.push_back(levelBase);
    destinations.push_back(destination);
    Result code = failWith;
    if (silent) return code;  // gives up without a word for the file
    if (code == 0) {
      fs::create_directories(fs::path(destination).parent_path());
      std::ofstream(destination) << RecordName(*record);
    }
    std::int32_t rc = cb_(user_, 50, 100, 0, destination.c_str());
    if (rc != 0) return rc;
    rc = cb_(user_, 100, 100, code, destination.c_str());
    return rc != 0 ? rc : code;
  }
  std::int32_t GetNextFreeRange(std::uint64_t*, std::uint64_t*) override { return 0; }
  Result SetFilterCallback(FilterProgressCallback cb, void* user) override {
    filterCb_ = cb;
    filterUser_ = user;
    return 0;
  }
  std::int32_t FilterByType(const std::string& pattern, RecordList& out) override {
    patterns.push_back(pattern);
    for (int step = 1; step <= 4; ++step)
      if (filterCb_(filterUser_, step * 25, 0) != 0) return 1;
    out.insert(out.end(), records.begin(), records.end());
    return 1;
  }
  Result BuildFreeSpaceMap() override { return 0; }
  Result ExtractForPreview(const FoundFileRecord*, std::string&, std::uint8_t*, std::uint32_t*, PreviewProgressCallback,
                           void*) override {
    return 0;
  }

  RecordList records;
  Result failWith = 0;
  bool silent = false;
  std::vector<std::string> destinations;
  std::vector<std::int32_t> levelBases;
  std::vector<std::string> patterns;

 private:
  FileProgressCallback cb_ = nullptr;
  void* user_ = nullptr;
  FilterProgressCallback filterCb_ = nullptr;
  void* filterUser_ = nullptr;
};

struct Details : IRecoveryProgressView {
  std::vector<std::pair<std::string, std::string>> rows;
  std::string counts, percent;
  bool ended = false;
  void SetCurrent(const std::string&) override {}
  void SetPercent(const std::string& t) override { percent = t; }
  void SetProgressBar(std::int32_t) override {}
  void SetCounts(const std::string& t) override { counts = t; }
  void AddDetail(const std::string& p, Result, const std::string& s) override { rows.emplace_back(p, s); }
  void JobEnded() override { ended = true; }
};

std::string Texts(const std::string& key) {
  if (key == "MSG1102") return "%d/%d ok %d failed %d";
  if (key == "MSG1101") return "Recovering:";
  if (key == "MSG1203") return "Searching %s";
  if (key == "MSG1201") return "Searching drive %c:";
  return key;
}

TEST(TypePatterns, SearchPatternsAndTheirConvertedForm) {
  EXPECT_EQ(ConvertSearchPattern("*.jpg|*.png"), ".\\.jpg|.\\.png");
  EXPECT_EQ(ConvertSearchPattern("a+b?[x]{y}^$"), "a\\+b\\?\\[x\\]\\{y\\}\\^\\$");
  EXPECT_EQ(ConvertSearchPattern("\\*x"), "\\x");  // a '*' after '\' is dropped
  EXPECT_EQ(BuildSearchPattern({}, {"JPG", ".png"}), "*.jpg|*.png");
  const std::string photoOther = BuildSearchPattern({TypeGroup::Photo, TypeGroup::Other}, {});
  EXPECT_NE(photoOther.find("*.jpeg"), std::string::npos);
  EXPECT_NE(ConvertSearchPattern(photoOther).find(".other"), std::string::npos);
  EXPECT_EQ(BuildSearchPattern({}, {}).find("*.other") == std::string::npos, false) << "default: every type";
  TypeGroup g;
  EXPECT_TRUE(ParseTypeGroup("Document", g));
  EXPECT_EQ(g, TypeGroup::Document);
  EXPECT_FALSE(ParseTypeGroup("pictures", g));
}

TEST(TypePatterns, CategoryFoldersBySubstringOfTheExtension) {
  EXPECT_EQ(CategoryFolderFor("DSC01.JPG"), "photo");
  EXPECT_EQ(CategoryFolderFor("a.pg"), "photo");   // part of "*.jpg"
  // A list that names the extension in full wins over a part of another's: RealAudio is audio,
  // although "*.raf" in the picture list, searched first, begins with it; the same holds for
  // avi beside avif.
  EXPECT_EQ(CategoryFolderFor("a.ra"), "audio");
  EXPECT_EQ(CategoryFolderFor("a.avi"), "video");
  EXPECT_EQ(CategoryFolderFor("clip.mp4"), "video");
  EXPECT_EQ(CategoryFolderFor("song.MP3"), "audio");
  EXPECT_EQ(CategoryFolderFor("report.pdf"), "document");
  EXPECT_EQ(CategoryFolderFor("backup.7z"), "archive");
  EXPECT_EQ(CategoryFolderFor("data.xyz"), "others");
  EXPECT_EQ(CategoryFolderFor("README"), "others");
  EXPECT_EQ(CategoryFolderFor("trailing."), "others");
}

TEST(RecoveryJob, DestinationsGetNumberedNamesAndStayInsideTheTarget) {
  test::TempDir dir;
  const std::string target = dir.path();
  EXPECT_EQ(DestinationPathFor(target, "DSC01.JPG"), target + "/photo/DSC01.JPG");
  fs::create_directories(target + "/photo");
  std::ofstream(target + "/photo/DSC01.JPG") << "x";
  EXPECT_EQ(DestinationPathFor(target, "DSC01.JPG"), target + "/photo/DSC01(1).JPG");
  std::ofstream(target + "/photo/DSC01(1).JPG") << "x";
  EXPECT_EQ(DestinationPathFor(target, "DSC01.JPG"), target + "/photo/DSC01(2).JPG");
  fs::create_directories(target + "/others");
  std::ofstream(target + "/others/README") << "x";
  EXPECT_EQ(DestinationPathFor(target, "README"), target + "/others/README(1)");
  // A dangling link is taken: nothing is ever written through a link placed in the target.
  fs::create_symlink("/nonexistent/elsewhere", target + "/others/link");
  EXPECT_EQ(DestinationPathFor(target, "link"), target + "/others/link(1)");
  // Hostile names stay one component below the category folder.
  for (const char* name : {"../../etc/passwd", "..", ".", "a/b\\c", "x\x01y", ""}) {
    const std::string path = DestinationPathFor(target, name);
    const std::string rest = path.substr(target.size() + 1);
    EXPECT_EQ(std::count(rest.begin(), rest.end(), '/'), 1) << name << " -> " << path;
    for (const auto& part : fs::path(rest)) EXPECT_TRUE(part != ".." && part != ".") << path;
  }
  EXPECT_EQ(SeparatorCount("/a/b/"), 2);
  EXPECT_EQ(SeparatorCount("/a/b"), 2);
  EXPECT_EQ(SelectionKey(Record("x", 7, 'E')) >> 48, std::uint64_t{'E'});
}

TEST(RecoveryJob, WritesEverySelectedFileAndCountsFailures) {
  test::TempDir dir;
  std::vector<ScanSourceEntry> sources(2);
  sources[0].kind = ScanSourceEntry::Kind::Partition;
  sources[0].driveLetter = 'E';
  auto* good = new WritingEngine();
  sources[0].engine.reset(good);
  sources[1].kind = ScanSourceEntry::Kind::Image;
  sources[1].sourceTag = 9;
  auto* bad = new WritingEngine();
  bad->failWith = kErrDiskFull;
  sources[1].engine.reset(bad);

  SelectionMap selection;
  FoundFileRecord a = Record("IMG_1.jpg", 1);
  a.modifiedTime = *CivilToFileTime({2011, 5, 6, 7, 8, 10, 0});
  a.accessedTime = *CivilToFileTime({2011, 5, 7, 0, 0, 0, 0});
  FoundFileRecord b = Record("IMG_1.jpg", 2);
  FoundFileRecord c = Record("notes.txt", 3, 9);
  for (const auto& r : {a, b, c}) selection.emplace(SelectionKey(r), r);

  Details details;
  RecoveryJob job(sources, selection, dir.path() + "/", &details, nullptr, Texts);
  job.Start();
  job.Wait();
  EXPECT_EQ(job.Total(), 3);
  EXPECT_EQ(job.DoneCount(), 3);
  EXPECT_EQ(job.FailedCount(), 1);
  EXPECT_TRUE(details.ended);
  EXPECT_EQ(details.counts, "3/3 ok 2 failed 1");
  ASSERT_EQ(good->destinations.size(), 2u);
  EXPECT_EQ(good->destinations[0], dir.path() + "/photo/IMG_1.jpg");
  EXPECT_EQ(good->destinations[1], dir.path() + "/photo/IMG_1(1).jpg");
  EXPECT_EQ(good->levelBases[0], static_cast<int>(std::count(dir.path().begin(), dir.path().end(), '/')));
  ASSERT_EQ(details.rows.size(), 3u);
  // Key order: the image source's tag (9) sorts before the drive letter 'E'.
  EXPECT_EQ(details.rows[0].second, "No space left on device");
  EXPECT_EQ(details.rows[1].second, "Success");
  EXPECT_EQ(details.rows[2].second, "Success");
  // The file written cleanly carries the volume's times.
  struct stat st {};
  ASSERT_EQ(::stat((dir.path() + "/photo/IMG_1.jpg").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, FileTimeToUnix(a.modifiedTime));
  EXPECT_EQ(st.st_atime, FileTimeToUnix(a.accessedTime));
}

TEST(RecoveryJob, EveryFileEndsWrittenFailedOrIncomplete) {
  test::TempDir dir;
  std::vector<ScanSourceEntry> sources(3);
  sources[0].kind = ScanSourceEntry::Kind::Image;
  sources[0].sourceTag = 1;
  auto* silent = new WritingEngine();
  silent->failWith = kErrDirectory;
  silent->silent = true;
  sources[0].engine.reset(silent);
  sources[1].kind = ScanSourceEntry::Kind::Image;
  sources[1].sourceTag = 2;
  auto* shortOne = new WritingEngine();
  shortOne->failWith = kErrIncomplete;
  sources[1].engine.reset(shortOne);
  sources[2].kind = ScanSourceEntry::Kind::Image;
  sources[2].sourceTag = 3;
  sources[2].engine = std::make_unique<WritingEngine>();

  SelectionMap selection;
  for (std::uint16_t tag : {1, 2, 3, 4}) {  // no engine has tag 4
    FoundFileRecord r = Record("f.jpg", tag, tag);
    selection.emplace(SelectionKey(r), r);
  }
  Details details;
  RecoveryJob job(sources, selection, dir.path(), &details, nullptr, Texts);
  job.Run();
  EXPECT_EQ(job.Total(), 4);
  EXPECT_EQ(job.DoneCount(), 4);
  EXPECT_EQ(job.FailedCount(), 2);  // the silent engine's file and the one without an engine
  EXPECT_EQ(job.IncompleteCount(), 1);
  ASSERT_EQ(details.rows.size(), 4u);
  EXPECT_EQ(details.rows[0].second, "Not a directory");
  EXPECT_NE(details.rows[1].second.find("Incomplete"), std::string::npos);
  EXPECT_EQ(details.rows[2].second, "Success");
  // The counts text: done, total, written whole, and the rest.
  EXPECT_EQ(details.counts, "4/4 ok 1 failed 3");

  // A target that cannot be a folder fails every file, each with the reason.
  test::WriteFileBytes(dir / "plain", {1});
  Details blocked;
  RecoveryJob refused(sources, selection, dir / "plain", &blocked, nullptr, Texts);
  refused.Run();
  EXPECT_EQ(refused.FailedCount(), 4);
  ASSERT_EQ(blocked.rows.size(), 4u);
  for (const auto& row : blocked.rows) EXPECT_EQ(row.second, "Not a directory");
}

TEST(RecoveryJob, NamesAtTheLengthLimitStillGetNumbered) {
  test::TempDir dir;
  const std::string name = std::string(251, 'n') + ".jpg";
  const std::string first = DestinationPathFor(dir.path(), name);
  EXPECT_EQ(first, dir.path() + "/photo/" + name);
  fs::create_directories(dir / "photo");
  test::WriteFileBytes(first, {1});
  const std::string second = DestinationPathFor(dir.path(), name);
  const std::string leaf = second.substr(second.rfind('/') + 1);
  EXPECT_EQ(leaf.size(), 255u);
  EXPECT_EQ(leaf.substr(leaf.size() - 7), "(1).jpg");
  test::WriteFileBytes(second, {2});  // the name fits: it can be created
  EXPECT_TRUE(fs::exists(second));
  // The "(n)" goes before an extension only when it is a real one.
  EXPECT_EQ(DestinationPathFor(dir.path(), "../../etc/x"), dir.path() + "/others/.._.._etc_x");
  fs::create_directories(dir / "others");
  test::WriteFileBytes(dir.path() + "/others/.._.._etc_x", {1});
  EXPECT_EQ(DestinationPathFor(dir.path(), "../../etc/x"), dir.path() + "/others/.._.._etc_x(1)");
  // Names that deceive: the direction override is dropped, a leading '-' is defused.
  EXPECT_EQ(DestinationPathFor(dir.path(), "\u202egpj.exe"), dir.path() + "/others/gpj.exe");
  EXPECT_EQ(DestinationPathFor(dir.path(), "-rf.jpg"), dir.path() + "/photo/_-rf.jpg");
}

TEST(RecoveryJob, EmptySelectionEndsAtOnceAndCancelStopsTheRun) {
  test::TempDir dir;
  std::vector<ScanSourceEntry> sources(1);
  sources[0].kind = ScanSourceEntry::Kind::Image;
  sources[0].sourceTag = 'E';
  sources[0].engine = std::make_unique<WritingEngine>();
  SelectionMap none;
  Details details;
  RecoveryJob empty(sources, none, dir.path(), &details, nullptr, Texts);
  empty.Run();
  EXPECT_TRUE(details.ended);
  EXPECT_TRUE(details.counts.empty()) << "no progress report for an empty selection";

  SelectionMap selection;
  for (std::uint32_t i = 1; i <= 5; ++i) {
    FoundFileRecord r = Record("f.txt", i);
    selection.emplace(SelectionKey(r), r);
  }
  Details cancelled;
  RecoveryJob job(sources, selection, dir.path(), &cancelled, nullptr, Texts);
  job.Cancel();
  job.Run();
  EXPECT_TRUE(job.Cancelled());
  EXPECT_FALSE(cancelled.ended);
  EXPECT_EQ(job.DoneCount(), 0);
}

// Writes each record through the engines' file sink: its bytes from `contents`, by record id, in
// pieces of locationSector bytes; asks the job to stop when it comes to the record numbered
// cancelAt.
class SinkEngine : public WritingEngine {
 public:
  Result SetCallbacks(ScanProgressCallback scan, FileProgressCallback cb, void* user, std::int32_t scale) override {
    reporter_ = FileReporter{cb, user};
    return WritingEngine::SetCallbacks(scan, cb, user, scale);
  }
  Result RecoverItem(const FoundFileRecord* record, const std::string& destination, std::int32_t levelBase) override {
    const FoundFileRecord r = *record;
    destinations.push_back(destination);
    if (r.recordId == cancelAt && job != nullptr) job->Cancel();
    const std::size_t piece = r.locationSector;
    const std::vector<std::uint8_t>& bytes = contents.at(std::uint32_t{r.recordId});
    RecoveredFileSink sink(reporter_, destination, levelBase, bytes.size(), &r);
    Result result = sink.Open();
    for (std::size_t at = 0; result == kSuccess && at < bytes.size(); at += piece)
      result = sink.Put(bytes.data() + at, std::min(piece, bytes.size() - at));
    return sink.Finish(result);
  }
  std::map<std::uint32_t, std::vector<std::uint8_t>> contents;
  RecoveryJob* job = nullptr;
  std::uint32_t cancelAt = 0;

 private:
  FileReporter reporter_;
};

// Digests are made behind the writing, across files, through a backlog kept small here so that
// the writer both waits for room and hashes files itself: every file's line still comes in the
// order the files were written, carrying the digests of what was written; the report's too. A
// cancel part-way ends the run with the lines of the files written before it.
TEST(RecoveryJob, DigestsFollowTheWritingInOrder) {
  const std::size_t backlog = HashingBacklog();
  SetHashingBacklog(100'000);
  struct Shown : Details {
    RecoveryJob* job = nullptr;
    std::vector<FileDigests> digests;  // as the job gave them when the line was shown
    void AddDetail(const std::string& p, Result code, const std::string& s) override {
      Details::AddDetail(p, code, s);
      digests.push_back(job->DigestsOf(p));
    }
  };
  // Sizes at and around the piece size, empty files, and odd pieces down to a few bytes.
  const std::uint32_t mib = 1u << 20;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> files = {
      {0, mib}, {1, mib}, {mib, mib}, {mib - 1, mib}, {mib + 1, mib}, {3 * mib, mib}, {0, 7},
      {100'000, 4096}, {99'999, 100'000}, {2 * mib + 3, 65'536}, {5000, 7}, {1, 1}};
  std::mt19937 rng(7);
  for (int i = 0; i < 28; ++i) files.emplace_back(rng() % (2 * mib), i % 3 == 0 ? 4096 + rng() % 9000 : mib);
  SelectionMap selection;
  std::map<std::uint32_t, std::vector<std::uint8_t>> contents;  // made beforehand: the writer outruns hashing
  for (std::uint32_t id = 1; id <= files.size(); ++id) {
    FoundFileRecord r = Record(("f" + std::to_string(id) + ".bin").c_str(), id);
    r.size = files[id - 1].first;
    r.locationSector = files[id - 1].second;
    selection.emplace(SelectionKey(r), r);
    contents[id] = test::RandomBytes(r.size, id);
  }
  for (const std::uint32_t cancelAt : {0u, 17u}) {
    SCOPED_TRACE(cancelAt);
    test::TempDir dir;
    std::vector<ScanSourceEntry> sources(1);
    sources[0].kind = ScanSourceEntry::Kind::Partition;
    sources[0].driveLetter = 'E';
    auto* engine = new SinkEngine();
    sources[0].engine.reset(engine);
    engine->contents = contents;
    Shown shown;
    RecoveryJob job(sources, selection, dir.path(), &shown, nullptr, Texts);
    shown.job = &job;
    engine->job = &job;
    engine->cancelAt = cancelAt;
    job.HashFiles(true, cancelAt == 0);  // SHA-256 alone too
    job.Run();
    EXPECT_EQ(job.Cancelled(), cancelAt != 0);
    // The files written, in the order they were; the one cancelled at was not.
    std::vector<std::string> written = engine->destinations;
    if (cancelAt != 0) written.resize(cancelAt - 1);
    ASSERT_EQ(written.size(), cancelAt != 0 ? cancelAt - 1 : files.size());
    std::vector<std::string> rows;
    for (const auto& row : shown.rows) rows.push_back(row.first);
    EXPECT_EQ(rows, written);
    // What sha256sum and md5sum make of the written files.
    std::map<std::string, std::pair<std::string, std::string>> expected;
    for (const char* tool : {"sha256sum", "md5sum"}) {
      std::string out;
      ASSERT_EQ(test::RunCommand(std::string(tool) + " '" + dir.path() + "'/*/*", &out), 0);
      std::istringstream lines(out);
      for (std::string digest, path; lines >> digest >> path;)
        (tool[0] == 's' ? expected[path].first : expected[path].second) = digest;
    }
    const std::vector<RecoveredFile> report = job.Files();
    ASSERT_EQ(report.size(), written.size());
    ASSERT_EQ(shown.digests.size(), written.size());
    for (std::size_t i = 0; i < written.size(); ++i) {
      SCOPED_TRACE(written[i]);
      EXPECT_EQ(shown.digests[i].sha256, expected[written[i]].first);
      EXPECT_EQ(shown.digests[i].md5, cancelAt == 0 ? expected[written[i]].second : std::string());
      EXPECT_EQ(report[i].path, written[i]);
      EXPECT_EQ(report[i].digests.sha256, expected[written[i]].first);
      EXPECT_EQ(report[i].digests.md5, shown.digests[i].md5);
    }
  }
  SetHashingBacklog(backlog);
}

TEST(SearchJob, EnginesGetTheConvertedPatternAndResultsAreGathered) {
  std::vector<ScanSourceEntry> sources(2);
  sources[0].kind = ScanSourceEntry::Kind::Partition;
  sources[0].driveLetter = 'F';
  auto* first = new WritingEngine();
  first->records = {Record("a.jpg", 1), Record("b.png", 2)};
  sources[0].engine.reset(first);
  sources[1].kind = ScanSourceEntry::Kind::Image;
  sources[1].imagePath = "/images/card.img";
  auto* second = new WritingEngine();
  second->records = {Record("c.jpg", 1)};
  sources[1].engine.reset(second);

  struct View : ISearchProgressView {
    std::vector<std::string> stages;
    std::string percent;
    void SetStage(const std::string& t) override { stages.push_back(t); }
    void SetPercent(const std::string& t) override { percent = t; }
    void SetProgressBar(std::int32_t) override {}
  } view;
  struct Observer : IScanJobObserver {
    int ended = 0;
    void OnScanEnded() override { ++ended; }
    void OnJobClosed(std::int32_t) override {}
  } observer;
  SearchJob job(sources, "*.jpg|*.png", &view, nullptr, &observer, Texts);
  job.Start();
  job.Wait();
  EXPECT_EQ(job.Results().size(), 3u);
  ASSERT_EQ(first->patterns.size(), 1u);
  EXPECT_EQ(first->patterns[0], ".\\.jpg|.\\.png");
  ASSERT_EQ(view.stages.size(), 2u);
  EXPECT_EQ(view.stages[0], "Searching drive F:");
  EXPECT_EQ(view.stages[1], "Searching card.img");
  EXPECT_EQ(view.percent, "MSG1204 100%");
  EXPECT_EQ(observer.ended, 1);

  // Cancelled before it starts: the first engine stops at its first progress report.
  SearchJob cancelled(sources, "*.jpg", nullptr, nullptr, &observer, Texts);
  cancelled.Cancel();
  cancelled.Run();
  EXPECT_TRUE(cancelled.Results().empty());
  EXPECT_EQ(second->patterns.size(), 1u) << "later sources are not searched after a cancel";
}

}  // namespace
}  // namespace rexmoor

#include "app/catalog_format.h"

namespace rexmoor {
namespace {

TEST(CatalogFormat, TranslatedFormatsCannotReadMissingArguments) {
  EXPECT_EQ(FillCatalogText("Done %d of %d: %d ok, %d failed", {"1", "2", "1", "0"}), "Done 1 of 2: 1 ok, 0 failed");
  EXPECT_EQ(FillCatalogText("Drive %c: 100%%", {"E"}), "Drive E: 100%");
  EXPECT_EQ(FillCatalogText("%s %s %n %x", {"a"}), "a  %n %x") << "extra and unknown conversions never reach printf";
  EXPECT_EQ(FillCatalogText("%I64u / %lld / %2d", {"7", "8", "9"}), "7 / 8 / 9");
  EXPECT_EQ(FillCatalogText("trailing %", {}), "trailing %");
}

}  // namespace
}  // namespace rexmoor
