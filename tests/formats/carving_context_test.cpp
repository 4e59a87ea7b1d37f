#include "formats/carving_context.h"

#include <gtest/gtest.h>

#include "formats/carve_at_sector.h"
#include "formats/extent_walk.h"
#include "carve_test_support.h"

namespace rexmoor {
namespace {

TEST(CarvingContext, ScratchBufferLivesWhileAnyLeaseDoes) {
  CarvingContext& ctx = CarvingContext::Instance();
  const int before = ctx.ScratchLeaseCount();
  ASSERT_EQ(before, 0) << "a lease leaked from an earlier test";
  EXPECT_TRUE(ctx.Scratch().empty());
  {
    ScratchBufferLease engineA;
    ASSERT_EQ(ctx.Scratch().size(), CarvingContext::kScratchBytes);
    EXPECT_GE(ctx.Scratch().size(), kWalkChunkBytes + kWalkSeamBytes);
    std::uint8_t* buffer = ctx.Scratch().data();
    {
      ScratchBufferLease engineB;
      ScratchBufferLease copy(engineB);
      EXPECT_EQ(ctx.ScratchLeaseCount(), 3);
      EXPECT_EQ(ctx.Scratch().data(), buffer);  // one buffer for the whole process
    }
    EXPECT_EQ(ctx.ScratchLeaseCount(), 1);
    EXPECT_EQ(ctx.Scratch().data(), buffer);
  }
  EXPECT_EQ(ctx.ScratchLeaseCount(), 0);
  EXPECT_TRUE(ctx.Scratch().empty());
}

TEST(CarvingContext, CarvingWithoutAnEngineBorrowsTheBufferForOneWalk) {
  carvetest::ContextReset reset;
  carvetest::ImageBuilder b;
  b.Place(carvetest::SyntheticHeader(kTypeMkv, 1));
  b.Random(5, 2);
  carvetest::Medium medium(b.bytes());
  CarvedFile out;
  ASSERT_EQ(CarveAtSector(512, medium.source(), medium.Sector(0), 0, 0, 0, -1, 0, &out), kSuccess);
  EXPECT_EQ(out.length, 6u * 512);
  EXPECT_EQ(CarvingContext::Instance().ScratchLeaseCount(), 0);
  EXPECT_TRUE(CarvingContext::Instance().Scratch().empty());
}

// What one scan leaves in the shared state changes what the next one carves: a stream already
// carved is not carved again at the same sector, until the state is reset as a new scan does.
TEST(CarvingContext, ResetForgetsWhatAnEarlierScanCarved) {
  carvetest::ContextReset reset;
  ScratchBufferLease lease;
  carvetest::ImageBuilder b;
  b.Place(carvetest::MakeTs(200, 3));
  b.Zeros(8);
  carvetest::Medium medium(b.bytes());
  auto carve = [&](CarvedFile& out) {
    return CarveAtSector(512, medium.source(), medium.Sector(0), 0, 0, 0, -1, 0, &out);
  };
  CarvedFile first;
  ASSERT_EQ(carve(first), kSuccess);
  EXPECT_EQ(first.typeId, kTypeTs);
  EXPECT_GE(first.length, 200u * 188);
  CarvedFile again;
  EXPECT_NE(carve(again), kSuccess) << "the stream is carved once per scan";
  CarvingContext::Instance().ResetState();
  CarvedFile afterReset;
  ASSERT_EQ(carve(afterReset), kSuccess);
  EXPECT_EQ(afterReset.typeId, first.typeId);
  EXPECT_EQ(afterReset.length, first.length);
}

TEST(CarvingContext, TsExtentListBoundsAreInclusive) {
  TsExtentList list;
  EXPECT_FALSE(list.Contains(0));
  list.Add(100, 199);
  list.Add(500, 500);
  EXPECT_FALSE(list.Contains(99));
  EXPECT_TRUE(list.Contains(100));
  EXPECT_TRUE(list.Contains(150));
  EXPECT_TRUE(list.Contains(199));
  EXPECT_FALSE(list.Contains(200));
  EXPECT_TRUE(list.Contains(500));
  EXPECT_FALSE(list.Contains(501));
  EXPECT_EQ(list.size(), 2u);
  list.Clear();
  EXPECT_FALSE(list.Contains(150));
}

}  // namespace
}  // namespace rexmoor
