// The deep scan's sweep on several threads finds what it finds on one: the same records with the
// same ids and names in the same order, and it ends at the same place, on a raw medium of carved
// files, a quick-formatted FAT card and a re-formatted NTFS volume. Small pages put many page
// seams inside carved files and folders. A scan cancelled at a random point and continued finds
// the same again, and what the cancelled part kept is exactly what lies before its saved place.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "fixtures/fixture_paths.h"
#include "ntfs/ntfs_test_util.h"
#include "scan/deep_scan_test_util.h"
#include "scan/engine_factory.h"
#include "scan/professional_recovery.h"

namespace rexmoor {
namespace {

// engine, record id, folder and name, first sector, size
using Find = std::tuple<int, std::uint32_t, std::string, std::uint64_t, std::uint64_t>;

struct Outcome {
  Result result = -1;
  std::vector<Find> finds;
  SweepPosition position;
  SweepCounts counts;
  bool resumed = false;
};

Outcome Finish(CProfessionalRecovery& engine, Result result) {
  Outcome out;
  out.result = result;
  for (const FoundFileRecord& r : deeptest::FilterAll(engine)) {
    std::string folder;
    (void)engine.GetFolderPath(&r, folder);
    out.finds.emplace_back(int{r.engineTag}, std::uint32_t{r.recordId}, folder + std::string(RecordName(r)),
                           std::uint64_t{r.locationSector}, std::uint64_t{r.size});
  }
  out.position = engine.LastScan().position;
  out.counts = engine.LastScan().sweep;
  out.resumed = engine.LastScan().resumed;
  return out;
}

// A deep scan of the image with this many sweep threads; log (optional) may cancel it.
Outcome DeepScanWith(const std::string& image, unsigned jobs, std::uint32_t pageBytes,
                     deeptest::ProgressLog* log = nullptr) {
  EnginePtr made = CreateEngineForImage(image, 'D', true);
  auto* engine = dynamic_cast<CProfessionalRecovery*>(made.get());
  if (engine == nullptr) return {};
  engine->SetSweepJobs(jobs, pageBytes);
  engine->SetCallbacks(log != nullptr ? &deeptest::ProgressLog::Callback : nullptr, nullptr, log, 100);
  const Result r = engine->Scan(nullptr);
  return Finish(*engine, r);
}

void ExpectSamePlace(const SweepPosition& a, const SweepPosition& b, const std::string& what) {
  EXPECT_EQ(a.rangeStart, b.rangeStart) << what;
  EXPECT_EQ(a.rangeLength, b.rangeLength) << what;
  EXPECT_EQ(a.positionInRange, b.positionInRange) << what;
  EXPECT_EQ(a.sectorsDone, b.sectorsDone) << what;
}

class SweepJobs : public ::testing::Test {
 protected:
  void SetUp() override { ScanLogIndex::ResetForTesting(); }
  void TearDown() override { ScanLogIndex::ResetForTesting(); }
  test::TempDir work;
};

TEST_F(SweepJobs, AnyNumberOfThreadsFindsWhatOneFinds) {
  REQUIRE_FIXTURE("fmt_fat32.img");
  carvetest::ImageBuilder builder;
  (void)deeptest::BuildRawImage(builder, 4242, 2);
  struct Medium {
    std::string name;
    std::string path;
    bool carvedOnly;  // every find is the carver's, catalogued in sweep order
  };
  const std::vector<Medium> media = {
      {"raw", work / "raw.img", true},
      {"fat", work / "fmt_fat32.img", false},
      {"ntfs", work / "ntfs_reformatted.img", false},
  };
  test::WriteFileBytes(media[0].path, builder.bytes());
  test::WriteFileBytes(media[1].path, test::ReadFileBytes(test::FixturePath("fmt_fat32.img")));
  test::WriteFileBytes(media[2].path, test::ReadFileBytes(test::NtfsFixture("ntfs_reformatted.img")));

  std::mt19937 rng(::testing::UnitTest::GetInstance()->random_seed());
  for (const Medium& medium : media) {
    SCOPED_TRACE(medium.name);
    Outcome one;
    {
      test::ScopedDataDir data;
      ScanLogIndex::ResetForTesting();
      one = DeepScanWith(medium.path, 1, 0);
    }
    ASSERT_EQ(one.result, kSuccess);
    ASSERT_GT(one.finds.size(), 20u);
    // Pages of 192 KiB: not a multiple of the dispatch buffer, and many seams per file.
    for (const auto& [jobs, pageBytes] : {std::pair{2u, 192u << 10}, std::pair{3u, 192u << 10}, std::pair{2u, 0u}}) {
      test::ScopedDataDir data;
      ScanLogIndex::ResetForTesting();
      const Outcome many = DeepScanWith(medium.path, jobs, pageBytes);
      const std::string what = std::to_string(jobs) + " jobs, page " + std::to_string(pageBytes);
      EXPECT_EQ(many.result, kSuccess) << what;
      EXPECT_EQ(many.finds, one.finds) << what;
      ExpectSamePlace(many.position, one.position, what);
      // The threads did the work: the calling thread took most of the sweep from their traces.
      EXPECT_GT(many.counts.piecesTaken, 0u) << what;
      EXPECT_LT(many.counts.sectorsSweptHere * 10, many.counts.sectorsDispatched) << what;
    }

    // Cancelled somewhere between a fifth and four fifths of the way, then continued.
    test::ScopedDataDir data;
    ScanLogIndex::ResetForTesting();
    deeptest::ProgressLog log;
    log.cancelAt = 0.2 + 0.6 * std::uniform_real_distribution<double>(0, 1)(rng);
    const Outcome part = DeepScanWith(medium.path, 2, 192u << 10, &log);
    SCOPED_TRACE("cancelled at " + std::to_string(log.cancelAt));
    ASSERT_EQ(part.result, kCancelled);
    EXPECT_LT(part.position.sectorsDone, one.position.sectorsDone);
    if (medium.carvedOnly) {
      // Nothing past the saved place was kept, nothing before it was lost.
      const std::uint64_t stop = part.position.rangeStart + part.position.positionInRange;
      std::vector<Find> before;
      for (const Find& f : one.finds)
        if (std::get<3>(f) < stop) before.push_back(f);
      EXPECT_EQ(part.finds, before);
    }
    const Outcome rest = DeepScanWith(medium.path, 2, 192u << 10);
    EXPECT_TRUE(rest.resumed);
    EXPECT_EQ(rest.result, kSuccess);
    EXPECT_EQ(rest.finds, one.finds);
    ExpectSamePlace(rest.position, one.position, "continued");
  }
}

}  // namespace
}  // namespace rexmoor
