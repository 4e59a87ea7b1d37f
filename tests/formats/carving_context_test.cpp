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

TEST(CarvingContext, StateStartsAsDocumentedAndResets) {
  CarvingContext& ctx = CarvingContext::Instance();
  ctx.sectorSize = 4096;
  ctx.tsStreamMode = false;
  ctx.mtsInProgress = true;
  ctx.lastCallbackResult = 5;
  ctx.tsExtents.Add(1, 2);
  ctx.SetProgress([](void*, std::int32_t, std::int32_t, std::int32_t, std::uint64_t, std::uint64_t, std::uint64_t,
                     std::int32_t) { return 0; },
                  &ctx, 9);
  EXPECT_EQ(ctx.weight, 9);
  EXPECT_EQ(ctx.userData, &ctx);
  ctx.ResetState();
  EXPECT_EQ(ctx.sectorSize, 512);
  EXPECT_TRUE(ctx.tsStreamMode);
  EXPECT_FALSE(ctx.mtsInProgress);
  EXPECT_EQ(ctx.lastCallbackResult, 0);
  EXPECT_EQ(ctx.tsExtents.size(), 0u);
  EXPECT_EQ(ctx.progressCallback, nullptr);
  EXPECT_EQ(ctx.weight, 100);
  EXPECT_EQ(ctx.source, nullptr);
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
