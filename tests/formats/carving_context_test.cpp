#include "formats/carving_context.h"

#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <vector>

#include "formats/carve_at_sector.h"
#include "formats/extent_walk.h"
#include "carve_test_support.h"

namespace rexmoor {
namespace {

// Each carving context is its own: what one deep scan carved (the transport streams on record)
// does not hide a file from another, and two contexts carve the same medium on two threads with
// the answers one context gives alone.
TEST(CarvingContext, ContextsCarveSideBySideWithoutSharingState) {
  carvetest::ImageBuilder b;
  b.Place(carvetest::MakeTs(200, 3));
  b.Zeros(2);
  b.Place(carvetest::LoadSample("sample.jpg"));
  b.Random(3, 5);
  b.Place(carvetest::LoadSample("sample.png"));
  b.Zeros(2);
  carvetest::Medium medium(b.bytes());
  const std::uint64_t sectors = medium.image().size() / 512;
  using Found = std::vector<std::pair<std::uint64_t, std::uint64_t>>;  // (start, length)
  auto carveAll = [&](CarvingContext& ctx, Found& found) {
    for (std::uint64_t s = 0; s < sectors; ++s) {
      CarvedFile out;
      if (CarveAtSector(ctx, 512, medium.source(), medium.Sector(s), s, 0, sectors, -1, 0, &out) == kSuccess)
        found.emplace_back(s, out.length);
    }
  };
  CarvingContext alone;
  Found expected;
  carveAll(alone, expected);
  ASSERT_GE(expected.size(), 3u);
  EXPECT_EQ(expected.front().first, 0u);  // the stream, once

  CarvingContext a;
  CarvingContext b2;
  Found foundA;
  Found foundB;
  std::thread other([&] { carveAll(b2, foundB); });
  carveAll(a, foundA);
  other.join();
  EXPECT_EQ(foundA, expected);
  EXPECT_EQ(foundB, expected);
  EXPECT_EQ(alone.tsExtents.size(), 1u);
  EXPECT_EQ(CarvingContext().tsExtents.size(), 0u);
}

// What one scan leaves in the shared state changes what the next one carves: a stream already
// carved is not carved again at the same sector, until the state is reset as a new scan does.
TEST(CarvingContext, ResetForgetsWhatAnEarlierScanCarved) {
  CarvingContext ctx;
  carvetest::ImageBuilder b;
  b.Place(carvetest::MakeTs(200, 3));
  b.Zeros(8);
  carvetest::Medium medium(b.bytes());
  auto carve = [&](CarvedFile& out) {
    return CarveAtSector(ctx, 512, medium.source(), medium.Sector(0), 0, 0, 0, -1, 0, &out);
  };
  CarvedFile first;
  ASSERT_EQ(carve(first), kSuccess);
  EXPECT_EQ(first.typeId, kTypeTs);
  EXPECT_GE(first.length, 200u * 188);
  CarvedFile again;
  EXPECT_NE(carve(again), kSuccess) << "the stream is carved once per scan";
  ctx.ResetState();
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
