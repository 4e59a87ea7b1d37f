#include "scan/engine_factory.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include <cstdlib>

#include "ext/fast_ext_recovery.h"
#include "fixtures/fixture_paths.h"
#include "scan/professional_recovery.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using test::FixturePath;

// Each volume kind gets an engine that scans it: deleted files are found where some were deleted
// (fat16, fat32), none where nothing was (fat12, ntfs, ext4), and a volume
// with a sector size no engine reads gets no engine at all.
TEST(EngineFactory, EachVolumeGetsAnEngineThatScansIt) {
  struct Case {
    const char* file;
    bool findsFiles;
  } cases[] = {{"fat12.img", false}, {"fat16.img", true}, {"fat32.img", true}, {"ntfs.img", false}, {"exfat.img", false}};
  for (const auto& c : cases) {
    REQUIRE_FIXTURE(c.file);
    EnginePtr engine = CreateEngineForImage(FixturePath(c.file), 7, false);
    ASSERT_NE(engine, nullptr) << c.file;
    EXPECT_EQ(engine->Scan(nullptr), kSuccess) << c.file;
    EXPECT_EQ(engine->GetFoundCount() > 0, c.findsFiles) << c.file;
    // Deep mode is the orchestrator's for every kind.
    EnginePtr deep = CreateEngineForImage(FixturePath(c.file), 7, true);
    EXPECT_NE(dynamic_cast<CProfessionalRecovery*>(deep.get()), nullptr) << c.file;
  }
  REQUIRE_FIXTURE("fat16.img");
  test::TempDir dir;
  auto image = test::ReadFileBytes(FixturePath("fat16.img"));
  image[11] = 0x00;  // 8,192 bytes per sector
  image[12] = 0x20;
  test::WriteFileBytes(dir / "big-sectors.img", image);
  EXPECT_EQ(CreateEngineForImage(dir / "big-sectors.img", 7, false), nullptr);
}

TEST(EngineFactory, ExtImageGetsTheExtEngine) {
  REQUIRE_FIXTURE("ext4.img");
  EnginePtr engine = CreateEngineForImage(FixturePath("ext4.img"), 7, false);
  ASSERT_NE(engine, nullptr);
  EXPECT_NE(dynamic_cast<CFastExtRecovery*>(engine.get()), nullptr);
  EXPECT_EQ(engine->Scan(nullptr), kSuccess);
  // Nothing was ever deleted on this volume: its live files are not finds.
  RecordList list;
  EXPECT_EQ(engine->GetChildren(nullptr, 0, list), kSuccess);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(engine->FilterByType(".jpg", list), 1);
  EXPECT_TRUE(list.empty());
  // Most of the volume is free, and the deep scan sweeps it.
  ASSERT_EQ(engine->BuildFreeSpaceMap(), kSuccess);
  std::uint64_t start = 0;
  std::uint64_t length = 0;
  EXPECT_EQ(engine->GetNextFreeRange(&start, &length), 1);
  EXPECT_GT(length, 0u);
  // Quick mode has no engine for a volume nobody recognises, nor for a file too short to hold one.
  REQUIRE_FIXTURE("raw.bin");
  EXPECT_EQ(CreateEngineForImage(FixturePath("raw.bin"), 7, false), nullptr);
  REQUIRE_FIXTURE("small.bin");
  EXPECT_EQ(CreateEngineForImage(FixturePath("small.bin"), 7, false), nullptr);
  EXPECT_EQ(CreateEngineForImage("/nonexistent.img", 7, false), nullptr);
}

TEST(EngineFactory, PartitionOfADriveIsReadAtItsStartSector) {
  REQUIRE_FIXTURE("ext4.img");
  test::TempDir dir;
  // A drive image with 2,048 empty sectors before an ext volume.
  auto volume = test::ReadFileBytes(FixturePath("ext4.img"));
  std::vector<std::uint8_t> drive(2048 * 512, 0);
  drive.insert(drive.end(), volume.begin(), volume.end());
  test::WriteFileBytes(dir / "drive.img", drive);
  setenv("REXMOOR_DRIVES", (dir / "drive.img").c_str(), 1);
  const std::uint64_t count = volume.size() / 512;
  EXPECT_NE(CreateEngineForDisk(0, 2048, count, 'E', false), nullptr);
  EXPECT_EQ(CreateEngineForDisk(0, 0, 2048, 'E', false), nullptr);
  // Fewer than 16 KiB after the start: no engine.
  EXPECT_EQ(CreateEngineForDisk(0, drive.size() / 512 - 8, 8, 'E', false), nullptr);
  EXPECT_EQ(CreateEngineForDisk(1, 2048, count, 'E', false), nullptr);
  unsetenv("REXMOOR_DRIVES");
}

}  // namespace
}  // namespace rexmoor
