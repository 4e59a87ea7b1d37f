// The sweep harness moves through a medium as the deep scan does: a carved file's advance carries
// it across buffer boundaries, the range end clips it, and a cancelled step stops it in place.
#include "carve_sweep_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "formats/carve_test_support.h"
#include "engine/scan_log_index.h"

namespace rexmoor {
namespace {

using carvetest::Bytes;

class CarveSweepHarness : public ::testing::Test {
 protected:
  CarveSweepHarness() {
    ScanLogIndex::ResetForTesting();
    // A 30-sector picture starting 10 sectors before the end of the first 128-sector buffer,
    // and a second one right after it.
    carvetest::ImageBuilder builder;
    builder.Random(100, 1);
    builder.Zeros(18);
    first_ = builder.Place(carvetest::MakeJpeg(29 * 512 + 100 - 124, 2));
    second_ = builder.Place(carvetest::MakeJpeg(1000, 3));
    builder.Zeros(100);
    sectors_ = builder.Sectors();
    path_ = temp_ / "medium.img";
    test::WriteFileBytes(path_, builder.bytes());
  }
  ~CarveSweepHarness() override { ScanLogIndex::ResetForTesting(); }

  test::ScopedDataDir data_;
  test::TempDir temp_;
  carvetest::ContextReset context_;
  std::string path_;
  std::uint64_t first_ = 0;
  std::uint64_t second_ = 0;
  std::uint64_t sectors_ = 0;
};

TEST_F(CarveSweepHarness, AdvanceCarriesIntoTheNextBuffer) {
  ASSERT_EQ(first_, 118u);
  ASSERT_EQ(second_, 148u);
  CFileTypeRecovery engine;
  carvetest::SweepOptions options;
  options.recordOffered = true;
  const carvetest::SweepReport report = carvetest::SweepImage(engine, path_, options);
  ASSERT_EQ(report.result, kSuccess);
  ASSERT_EQ(report.steps.size(), 2u);
  EXPECT_EQ(report.steps[0].sector, 118u);
  EXPECT_EQ(report.steps[0].advance, 30u);
  EXPECT_EQ(report.steps[1].sector, 148u);
  const std::set<std::uint64_t> offered(report.offered.begin(), report.offered.end());
  for (std::uint64_t s = 119; s < 148; ++s) EXPECT_FALSE(offered.count(s)) << s;
  EXPECT_TRUE(offered.count(117));
  EXPECT_EQ(report.sectorsDone, sectors_);
  EXPECT_EQ(report.sectorsOffered, report.offered.size());
  EXPECT_EQ(report.filesFound, 2u);
  EXPECT_EQ(engine.GetFoundCount(), 2u);
}

TEST_F(CarveSweepHarness, RangeEndClipsTheAdvance) {
  CFileTypeRecovery engine;
  carvetest::SweepOptions options;
  options.recordOffered = true;
  options.rangeLength = 130;
  const carvetest::SweepReport report = carvetest::SweepImage(engine, path_, options);
  ASSERT_EQ(report.result, kSuccess);
  EXPECT_EQ(report.sectorsDone, 130u);
  EXPECT_EQ(report.position, 130u);
  EXPECT_EQ(report.buffersRead, 1u);
  ASSERT_EQ(report.steps.size(), 1u);
  EXPECT_EQ(*std::max_element(report.offered.begin(), report.offered.end()), 118u);
}

TEST_F(CarveSweepHarness, CancelledWalkStopsAtTheSectorBeingCarved) {
  CFileTypeRecovery engine;
  ASSERT_EQ(engine.OpenImageFile(path_, 'C'), kSuccess);
  int calls = 0;
  engine.SetCallbacks(
      [](void* user, std::int32_t, std::int32_t weight, std::int32_t, std::uint64_t, std::uint64_t, std::uint64_t,
         std::int32_t) -> std::int32_t {
        ++*static_cast<int*>(user);
        return weight == 90 ? kCancelled : 0;
      },
      nullptr, &calls, 90);
  carvetest::SweepOptions options;
  options.openEngine = false;
  const carvetest::SweepReport report = carvetest::SweepImage(engine, path_, options);
  EXPECT_EQ(report.result, kCancelled);
  EXPECT_EQ(report.position, 118u);
  EXPECT_EQ(report.sectorsDone, 118u);
  ASSERT_EQ(report.steps.size(), 1u);
  EXPECT_EQ(report.steps[0].result, kCancelled);
  EXPECT_EQ(report.steps[0].advance, 1u);
  EXPECT_EQ(report.filesFound, 0u);
  EXPECT_EQ(engine.GetFoundCount(), 0u);
  EXPECT_GE(calls, 1);
}

}  // namespace
}  // namespace rexmoor
