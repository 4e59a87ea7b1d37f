// The sweep moves through a medium as the deep scan does: a carved file's advance carries it
// across buffer boundaries, the range end clips it, a cancelled carving step stops it in place,
// NTFS folder records are passed over, and reading ahead on a second thread changes nothing.
#include "scan/sector_sweep.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "carve/file_type_recovery.h"
#include "formats/carving_context.h"
#include "engine/scan_log_index.h"
#include "scan/deep_scan_test_util.h"

namespace rexmoor {
namespace {

using carvetest::Bytes;

// Pages small enough that the larger medium spans several.
constexpr std::uint32_t kPageBytes = 4u << 20;

class SweepTest : public ::testing::Test {
 protected:
  SweepTest() {
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
  ~SweepTest() override { ScanLogIndex::ResetForTesting(); }

  // Sweeps [0, length) of the medium with the carver alone.
  Result Sweep(CFileTypeRecovery& carver, SweepPosition& position, std::uint64_t length, SweepCounts* counts = nullptr,
               bool readAhead = true) {
    SectorSource source;
    EXPECT_EQ(OpenImageSource(path_, source), kSuccess);
    SectorSweep sweep(source, 512, 0, source.totalSectors, SweepEngines{nullptr, nullptr, &carver});
    sweep.SetReadAhead(readAhead);
    sweep.SetPageBytes(kPageBytes);
    position = SweepPosition{0, length, 0, 0};
    std::uint64_t found = 0;
    const Result r = sweep.Run(position, length, nullptr, nullptr, found);
    if (counts != nullptr) *counts = sweep.Counts();
    CloseSource(source);
    return r;
  }

  static std::set<std::uint64_t> Carved(CFileTypeRecovery& carver) {
    RecordList root;
    carver.GetChildren(nullptr, 0, root);
    std::set<std::uint64_t> out;
    for (const FoundFileRecord& r : root) out.insert(std::uint64_t{r.locationSector});
    return out;
  }

  test::ScopedDataDir data_;
  test::TempDir temp_;
  std::string path_;
  std::uint64_t first_ = 0;
  std::uint64_t second_ = 0;
  std::uint64_t sectors_ = 0;
};

TEST_F(SweepTest, AdvanceCarriesIntoTheNextBuffer) {
  ASSERT_EQ(first_, 118u);
  ASSERT_EQ(second_, 148u);
  CFileTypeRecovery carver;
  ASSERT_EQ(carver.OpenImageFile(path_, 'C'), kSuccess);
  SweepPosition position;
  SweepCounts counts;
  ASSERT_EQ(Sweep(carver, position, sectors_, &counts), kSuccess);
  EXPECT_EQ(Carved(carver), (std::set<std::uint64_t>{118, 148}));
  EXPECT_EQ(counts.carvedFiles, 2u);
  // The 29 sectors after the first picture's header were never offered.
  EXPECT_LE(counts.sectorsDispatched, sectors_ - 29);
  EXPECT_EQ(position.sectorsDone, sectors_);
}

TEST_F(SweepTest, RangeEndClipsTheAdvance) {
  CFileTypeRecovery carver;
  ASSERT_EQ(carver.OpenImageFile(path_, 'C'), kSuccess);
  SweepPosition position;
  SweepCounts counts;
  ASSERT_EQ(Sweep(carver, position, 130, &counts), kSuccess);
  EXPECT_EQ(position.sectorsDone, 130u);
  EXPECT_GE(position.positionInRange, 130u);
  EXPECT_EQ(counts.buffers, 1u);  // the picture at 118 carries the sweep past the range's end
  EXPECT_EQ(Carved(carver), (std::set<std::uint64_t>{118}));
}

TEST_F(SweepTest, CancelledWalkStopsAtTheSectorBeingCarved) {
  CFileTypeRecovery carver;
  ASSERT_EQ(carver.OpenImageFile(path_, 'C'), kSuccess);
  int calls = 0;
  carver.SetCallbacks(
      [](void* user, std::int32_t, std::int32_t weight, std::int32_t, std::uint64_t, std::uint64_t, std::uint64_t,
         std::int32_t) -> std::int32_t {
        ++*static_cast<int*>(user);
        return weight == 90 ? kCancelled : 0;
      },
      nullptr, &calls, 90);
  SweepPosition position;
  EXPECT_EQ(Sweep(carver, position, sectors_), kCancelled);
  EXPECT_EQ(position.positionInRange, 118u);
  EXPECT_EQ(position.sectorsDone, 118u);
  EXPECT_EQ(carver.GetFoundCount(), 0u);
  EXPECT_GE(calls, 1);
}

// A sector that reads as an NTFS record of a folder is counted and passed over; one of a file
// goes to the NTFS engine (none here, so it is only counted).
TEST_F(SweepTest, FolderRecordsAreNotHandedOn) {
  Bytes buffer(4 * 512, 0);
  for (int k = 0; k < 2; ++k) {
    std::uint8_t* r = buffer.data() + k * 1024;
    std::memcpy(r, "FILE", 4);
    carvetest::Put32(buffer, k * 1024 + 24, 400);   // bytes in use
    carvetest::Put32(buffer, k * 1024 + 28, 1024);  // allocated
    carvetest::Put16(buffer, k * 1024 + 22, k == 0 ? 0x03 : 0x01);  // in use, folder / file
    carvetest::Put16(buffer, k * 1024 + 48, 0x1234);
    carvetest::Put16(buffer, k * 1024 + 510, 0x1234);
  }
  SectorSource source;
  ASSERT_EQ(OpenImageSource(path_, source), kSuccess);
  SectorSweep sweep(source, 512, 0, source.totalSectors, SweepEngines{});
  std::uint64_t found = 0;
  bool cancelled = true;
  EXPECT_EQ(sweep.DispatchBuffer(buffer, 4, 1000, 0, 4, -1, found, cancelled), 0);
  EXPECT_FALSE(cancelled);
  EXPECT_EQ(sweep.Counts().ntfsFolderRecords, 1u);
  EXPECT_EQ(sweep.Counts().ntfsFileRecords, 1u);
  CloseSource(source);
}

// Reading ahead on a thread gives the very files and positions of the sweep that reads alone,
// over a medium large enough to span several read blocks.
TEST_F(SweepTest, ReadingAheadChangesNothing) {
  carvetest::ImageBuilder builder;
  (void)deeptest::BuildRawImage(builder, 8, 12);
  path_ = temp_ / "large.img";
  test::WriteFileBytes(path_, builder.bytes());
  ASSERT_GT(builder.bytes().size(), 2 * std::size_t{kPageBytes});
  std::set<std::uint64_t> carved[2];
  SweepPosition positions[2];
  SweepCounts counts[2];
  for (int ahead = 0; ahead < 2; ++ahead) {
    CFileTypeRecovery carver;
    ASSERT_EQ(carver.OpenImageFile(path_, 'C'), kSuccess);
    ASSERT_EQ(Sweep(carver, positions[ahead], builder.Sectors(), &counts[ahead], ahead == 1), kSuccess);
    carved[ahead] = Carved(carver);
  }
  EXPECT_GT(carved[0].size(), 300u);
  EXPECT_EQ(carved[0], carved[1]);
  EXPECT_EQ(positions[0].positionInRange, positions[1].positionInRange);
  EXPECT_EQ(positions[0].sectorsDone, positions[1].sectorsDone);
  EXPECT_EQ(counts[0].sectorsDispatched, counts[1].sectorsDispatched);
  EXPECT_EQ(counts[0].blocksReadAhead, 0u);
  EXPECT_GT(counts[1].blocksReadAhead, 0u);
}

}  // namespace
}  // namespace rexmoor
