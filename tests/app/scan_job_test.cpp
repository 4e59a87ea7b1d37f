#include "app/scan_job.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>

#include "engine/resumable_engine.h"
#include "engine/scan_log_index.h"
#include "test_support.h"

namespace rexmoor {
namespace {

// Texts that show which key produced them.
std::string KeyText(const std::string& key) {
  if (key == "MSG0701") return "Scanning drive %c:";
  if (key == "MSG0702") return "Scanning partition %s";
  if (key == "MSG0703") return "Scanning image";
  if (key == "MSG0704") return "Progress:";
  if (key == "MSG0705") return "Time left: estimating";
  if (key == "MSG0708") return "Time left: ";
  if (key == "MSG0706") return "Sectors:";
  if (key == "MSG0707") return "Files found:";
  if (key == "MSG0710") return "Elapsed: ";
  if (key == "MSG0711") return "Speed: ";
  return "<" + key + ">";
}

struct RecordingView : IScanProgressView {
  std::mutex m;
  std::vector<std::string> stages;
  std::int32_t bar = -1;
  std::string time, percent, sectors, files, elapsed, speed;
  bool countersVisible = true;
  int hides = 0;
  void SetStage(const std::string& t) override {
    std::lock_guard<std::mutex> l(m);
    stages.push_back(t);
  }
  void SetProgressBar(std::int32_t p) override { bar = p; }
  void SetTime(const std::string& t) override { time = t; }
  void SetPercent(const std::string& t) override { percent = t; }
  void SetSectors(const std::string& t) override { sectors = t; }
  void SetTotalFiles(const std::string& t) override { files = t; }
  void SetElapsed(const std::string& t) override { elapsed = t; }
  void SetSpeed(const std::string& t) override { speed = t; }
  void ShowCounters(bool v) override { countersVisible = v; }
  void SetVisible(bool v) override {
    if (!v) ++hides;
  }
};

struct Asker : IQuestionAsker {
  bool answer = true;
  std::vector<std::string> questions;
  bool AskYesNo(const std::string& q) override {
    questions.push_back(q);
    return answer;
  }
};

struct Observer : IScanJobObserver {
  std::atomic<int> ended{0};
  std::atomic<int> closedWith{0};
  void OnScanEnded() override { ++ended; }
  void OnJobClosed(std::int32_t r) override { closedWith = r; }
};

// An engine whose scan reports a scripted series of progress calls.
class FakeEngine : public IFileRecoveryParse, public IResumableEngine {
 public:
  struct Report {
    std::int32_t progress, weight, secondsLeft;
    std::uint64_t done, total, files;
  };
  explicit FakeEngine(std::vector<Report> reports, std::atomic<int>* scans) : reports_(std::move(reports)), scans_(scans) {}

  Result OpenImageFile(const std::string&, std::uint16_t) override { return 0; }
  Result OpenDisk(std::int32_t, std::uint64_t, std::uint64_t, std::uint16_t) override { return 0; }
  Result SetCallbacks(ScanProgressCallback cb, FileProgressCallback, void* user, std::int32_t weight) override {
    cb_ = cb;
    user_ = user;
    weight_ = weight;
    return 0;
  }
  Result Scan(const char*) override {
    ++*scans_;
    for (const auto& r : reports_) {
      std::int32_t rc = cb_(user_, r.progress, r.weight == 0 ? weight_ : r.weight, r.secondsLeft, r.done, r.total,
                            r.files, 0);
      if (rc != 0) return rc;
      if (onReport) onReport();
    }
    return 0;
  }
  Result GetChildren(const FoundFileRecord*, std::int32_t, RecordList&) override { return 0; }
  Result CountFiles(const FoundFileRecord*, std::int32_t, std::int32_t*) override { return 0; }
  std::uint64_t GetFoundCount() override { return 0; }
  Result GetFolderPath(const FoundFileRecord*, std::string&) override { return 0; }
  Result RecoverItem(const FoundFileRecord*, const std::string&, std::int32_t) override { return 0; }
  std::int32_t GetNextFreeRange(std::uint64_t*, std::uint64_t*) override { return 0; }
  Result SetFilterCallback(FilterProgressCallback, void*) override { return 0; }
  std::int32_t FilterByType(const std::string&, RecordList&) override { return 0; }
  Result BuildFreeSpaceMap() override { return 0; }
  Result ExtractForPreview(const FoundFileRecord*, std::string&, std::uint8_t*, std::uint32_t*, PreviewProgressCallback,
                           void*) override {
    return 0;
  }
  bool FoundPreviousScan() const override { return previous; }
  void ClearPreviousScan() override { previous = false; }
  std::string PreviousScanFolder() const override { return previousFolder; }
  bool SavedItsPlace() const override { return false; }

  std::function<void()> onReport;
  bool previous = false;
  std::string previousFolder;

 private:
  std::vector<Report> reports_;
  std::atomic<int>* scans_;
  ScanProgressCallback cb_ = nullptr;
  void* user_ = nullptr;
  std::int32_t weight_ = 0;
};

TEST(ScanJob, DurationTexts) {
  EXPECT_EQ(DurationText(3725), "1 Hour 2 Min");
  EXPECT_EQ(DurationText(59), "59 Sec");
  EXPECT_EQ(DurationText(60), "1 Min 0 Sec");
  EXPECT_EQ(DurationText(3599), "59 Min 59 Sec");
  EXPECT_EQ(DurationText(3600), "1 Hour 0 Min");
  EXPECT_EQ(DurationText(-5), "-5 Sec");
}

TEST(ScanJob, ProgressReportsBecomeWindowTexts) {
  test::ScopedDataDir data;
  ScanLogIndex::ResetForTesting();
  std::vector<ScanSourceEntry> sources(1);
  sources[0].kind = ScanSourceEntry::Kind::Partition;
  sources[0].driveLetter = 'E';
  RecordingView view;
  Observer observer;
  ScanJob job(sources, false, &view, nullptr, &observer, KeyText);
  std::uint64_t nowMs = 50'000;
  job.SetClock([&nowMs] { return nowMs; });

  ASSERT_EQ(ScanJob::OnScanProgress(&job, 80, 100, 3725, 10, 200, 3, 0), 0);
  EXPECT_EQ(view.bar, 80);
  EXPECT_EQ(view.percent, "Progress: 80%");
  EXPECT_EQ(view.time, "Time left: 1 Hour 2 Min");
  EXPECT_EQ(view.sectors, "Sectors: 10 / 200");
  EXPECT_EQ(view.files, "Files found: 3");
  EXPECT_TRUE(view.countersVisible);

  ASSERT_EQ(ScanJob::OnScanProgress(&job, 20, 9, -1, 0, 0, 0, 0), 0);
  EXPECT_EQ(view.percent, "Progress: 1%");
  EXPECT_EQ(view.bar, 1);
  EXPECT_EQ(view.time, "Time left: estimating");
  EXPECT_FALSE(view.countersVisible) << "no sector figures hides the counters";
  ASSERT_EQ(ScanJob::OnScanProgress(&job, 50, 100, 59, 1, 2, 0, 0), 0);
  EXPECT_TRUE(view.countersVisible);
  EXPECT_EQ(view.time, "Time left: 59 Sec");
  EXPECT_EQ(view.elapsed, "Elapsed: 0 Sec");
  EXPECT_EQ(view.speed, "Speed: -") << "no speed at the sweep's first report";

  // Elapsed time runs from the start of the job; the speed from the sweep's first report, in
  // 512-byte sectors: 8,192 sectors in 2 s are 2 MiB/s.
  const std::uint64_t total = 4'194'304;
  nowMs += 5'000;
  ASSERT_EQ(ScanJob::OnScanProgress(&job, 9, 100, -1, 0, 0, 0, 0), 0);  // the quick phase: no sectors
  EXPECT_EQ(view.elapsed, "Elapsed: 5 Sec");
  EXPECT_FALSE(view.countersVisible);
  ASSERT_EQ(ScanJob::OnScanProgress(&job, 10, 90, -1, 1'000, total, 0, 0), 0);
  nowMs += 2'000;
  ASSERT_EQ(ScanJob::OnScanProgress(&job, 12, 90, -1, 9'192, total, 4, 0), 0);
  EXPECT_EQ(view.speed, "Speed: 2.0 MB/s");
  EXPECT_EQ(view.elapsed, "Elapsed: 7 Sec");
  nowMs += 65'000;
  ASSERT_EQ(ScanJob::OnScanProgress(&job, 20, 90, -1, 1'000 + 8'192 * 67 / 4, total, 9, 0), 0);
  EXPECT_EQ(view.speed, "Speed: 1.0 MB/s");
  EXPECT_EQ(view.elapsed, "Elapsed: 1 Min 12 Sec");
  EXPECT_EQ(job.LastPercent(), 18);
  // A count that starts again (the next source's sweep) measures afresh.
  ASSERT_EQ(ScanJob::OnScanProgress(&job, 10, 90, -1, 0, total, 9, 0), 0);
  EXPECT_EQ(view.speed, "Speed: -");

  // A hostile weight must not overflow the percentage arithmetic.
  EXPECT_EQ(ScanJob::OnScanProgress(&job, 0x7FFFFFFF, 0x7FFFFFFF, -1, 0, 0, 0, 0), 0);
  EXPECT_EQ(ScanJob::OnScanProgress(nullptr, 1, 1, -1, 0, 0, 0, 0), 0);

  job.Cancel();
  std::string before = view.percent;
  EXPECT_EQ(ScanJob::OnScanProgress(&job, 90, 100, 1, 1, 2, 0, 0), kCancelled);
  EXPECT_EQ(view.percent, before) << "a cancelled job leaves the window alone";
}

TEST(ScanJob, ScansEverySourceWithStageTextsAndEndsOnce) {
  test::ScopedDataDir data;
  ScanLogIndex::ResetForTesting();
  std::vector<ScanSourceEntry> sources(3);
  sources[0].kind = ScanSourceEntry::Kind::Partition;
  sources[0].driveLetter = 'F';
  sources[1].kind = ScanSourceEntry::Kind::Partition;
  sources[1].driveLetter = 2;  // a position number, not a letter
  sources[2].kind = ScanSourceEntry::Kind::Image;
  sources[2].imagePath = "/images/card.img";
  sources[2].displayName = "card.img";
  RecordingView view;
  Observer observer;
  std::atomic<int> scans{0};
  std::vector<std::int32_t> weights;
  ScanJob job(sources, false, &view, nullptr, &observer, KeyText);
  job.SetEngineMaker([&](const ScanSourceEntry&, bool deep) -> EnginePtr {
    EXPECT_FALSE(deep);
    return std::make_unique<FakeEngine>(std::vector<FakeEngine::Report>{{100, 0, -1, 0, 0, 0}}, &scans);
  });
  const std::uint64_t counterBefore = GetScanLogIndex().ScanCounter();
  job.Start();
  job.Wait();
  EXPECT_EQ(scans.load(), 3);
  ASSERT_EQ(view.stages.size(), 3u);
  EXPECT_EQ(view.stages[0], "Scanning drive F:");
  EXPECT_EQ(view.stages[1], "Scanning partition 2");
  EXPECT_EQ(view.stages[2], "Scanning image card.img");
  EXPECT_EQ(view.bar, 100) << "stand-alone engines are given weight 100";
  EXPECT_EQ(observer.ended.load(), 1);
  EXPECT_EQ(observer.closedWith.load(), kJobFinished);
  EXPECT_TRUE(job.Finished());
  EXPECT_FALSE(job.Stopped());
  EXPECT_EQ(GetScanLogIndex().ScanCounter(), counterBefore + 3) << "each quick scan takes a fresh log folder";
  for (const auto& s : sources) EXPECT_NE(s.engine, nullptr);
}

TEST(ScanJob, EngineFailureClosesWithResult3AndSkipsTheRest) {
  test::ScopedDataDir data;
  ScanLogIndex::ResetForTesting();
  std::vector<ScanSourceEntry> sources(2);
  RecordingView view;
  Observer observer;
  int made = 0;
  ScanJob job(sources, false, &view, nullptr, &observer, KeyText);
  job.SetEngineMaker([&](const ScanSourceEntry&, bool) -> EnginePtr {
    ++made;
    return nullptr;
  });
  job.Start();
  job.Wait();
  EXPECT_EQ(made, 1);
  EXPECT_EQ(observer.ended.load(), 0) << "no end notification when an engine cannot be made";
  EXPECT_EQ(observer.closedWith.load(), kJobFailedToStart);
}

TEST(ScanJob, CancelDuringTheFirstSourceStopsTheRestButStillEnds) {
  test::ScopedDataDir data;
  ScanLogIndex::ResetForTesting();
  std::vector<ScanSourceEntry> sources(3);
  RecordingView view;
  Asker asker;
  Observer observer;
  std::atomic<int> scans{0};
  ScanJob job(sources, false, &view, &asker, &observer, KeyText);
  std::atomic<bool> cancelled{false};
  job.SetEngineMaker([&](const ScanSourceEntry&, bool) -> EnginePtr {
    std::vector<FakeEngine::Report> reports(50, FakeEngine::Report{10, 0, -1, 1, 100, 0});
    auto engine = std::make_unique<FakeEngine>(reports, &scans);
    // The user presses cancel (and answers yes) while the first source is being scanned.
    engine->onReport = [&] {
      if (!cancelled.exchange(true)) {
        std::thread([&] { EXPECT_TRUE(job.RequestCancel()); }).detach();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    };
    return engine;
  });
  job.Start();
  job.Wait();
  EXPECT_EQ(scans.load(), 1);
  EXPECT_EQ(observer.ended.load(), 1);
  EXPECT_EQ(observer.closedWith.load(), kJobFinished);
  EXPECT_TRUE(job.Stopped()) << "the window says where the scan stopped";
  EXPECT_EQ(job.LastPercent(), 10);
  ASSERT_EQ(asker.questions.size(), 1u);
  EXPECT_EQ(asker.questions[0], "<MSG0709>");
  std::this_thread::sleep_for(std::chrono::milliseconds(120));  // let the cancelling thread return
}

TEST(ScanJob, AnsweringNoToCancelKeepsScanning) {
  test::ScopedDataDir data;
  ScanLogIndex::ResetForTesting();
  std::vector<ScanSourceEntry> sources(1);
  Asker asker;
  asker.answer = false;
  Observer observer;
  ScanJob job(sources, false, nullptr, &asker, &observer, KeyText);
  EXPECT_FALSE(job.RequestCancel());
  EXPECT_EQ(ScanJob::OnScanProgress(&job, 1, 100, -1, 0, 0, 0, 0), 0);
}

// Asked: no deletes the earlier log, yes keeps it. A scan the user continues from the results
// page (continuing) takes it up without a question.
TEST(ScanJob, DeepScanAsksWhetherToContinueAnEarlierScan) {
  for (const auto& [answer, continuing] : {std::pair{false, false}, std::pair{true, false}, std::pair{false, true}}) {
    test::ScopedDataDir data;
    ScanLogIndex::ResetForTesting();
    const std::string folder = ScanLogIndex::DefaultBasePath() + "/5";
    std::filesystem::create_directories(folder);
    test::WriteFileBytes(folder + "/File_Type_0_2026128930", {1, 2, 3});
    std::vector<ScanSourceEntry> sources(1);
    RecordingView view;
    Asker asker;
    asker.answer = answer;
    Observer observer;
    std::atomic<int> scans{0};
    bool stillFlagged = false;
    ScanJob job(sources, true, &view, &asker, &observer, KeyText);
    job.SetContinueEarlierScan(continuing);
    job.SetEngineMaker([&](const ScanSourceEntry&, bool deep) -> EnginePtr {
      EXPECT_TRUE(deep);
      auto engine = std::make_unique<FakeEngine>(std::vector<FakeEngine::Report>{}, &scans);
      engine->previous = true;
      engine->previousFolder = folder;
      return engine;
    });
    job.Start();
    job.Wait();
    const bool kept = answer || continuing;
    ASSERT_EQ(asker.questions.size(), continuing ? 0u : 1u);
    if (!continuing) {
      EXPECT_EQ(asker.questions[0], "<MSG1206>");
      EXPECT_EQ(view.hides, 1) << "the window steps aside for the question";
    }
    stillFlagged = dynamic_cast<FakeEngine&>(*sources[0].engine).FoundPreviousScan();
    EXPECT_EQ(stillFlagged, kept);
    EXPECT_EQ(std::filesystem::exists(folder), kept) << "answering no deletes the earlier log";
    EXPECT_EQ(scans.load(), 1);
  }
}

}  // namespace
}  // namespace rexmoor
