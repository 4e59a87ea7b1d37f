#include "device/sector_source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "app/source_resolver.h"
#include "platform/drives.h"
#include "platform/geometry.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using test::RandomBytes;
using test::TempDir;
using test::WriteFileBytes;

TEST(SectorSource, RangeCheckAgainstTheMediumLength) {
  TempDir dir;
  auto bytes = RandomBytes(1000, 1);
  WriteFileBytes(dir / "small.img", bytes);
  SectorSource source;
  ASSERT_EQ(OpenImageSource(dir / "small.img", source), kSuccess);
  EXPECT_EQ(source.totalSectors, 1u);  // 1,000 bytes hold one whole 512-byte sector

  std::vector<std::uint8_t> buffer(1024, 0xCC);
  std::uint32_t got = 77;
  ASSERT_EQ(ReadSectors(1, source, buffer.data(), 0, 512, &got), kSuccess);
  EXPECT_EQ(got, 1u);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 512, bytes.begin()));

  got = 77;
  EXPECT_EQ(ReadSectors(2, source, buffer.data(), 0, 512, &got), kErrInvalidParameter);
  EXPECT_EQ(got, 77u) << "a refused range must not touch the count";
  EXPECT_EQ(ReadSectors(1, source, buffer.data(), 1, 512, &got), kErrInvalidParameter);
  // Sector numbers near 2^64 must not wrap around the range check.
  EXPECT_EQ(ReadSectors(2, source, buffer.data(), std::numeric_limits<std::uint64_t>::max(), 512, &got),
            kErrInvalidParameter);
  EXPECT_EQ(ReadSectors(-1, source, buffer.data(), 0, 512, &got), kErrInvalidParameter);
}

TEST(SectorSource, ReadsUpToAndIncludingTheLastSector) {
  TempDir dir;
  auto bytes = RandomBytes(8 * 512, 2);
  WriteFileBytes(dir / "eight.img", bytes);
  SectorSource source;
  ASSERT_EQ(OpenImageSource(dir / "eight.img", source), kSuccess);
  std::vector<std::uint8_t> buffer(3 * 512);
  std::uint32_t got = 0;
  ASSERT_EQ(ReadSectors(3, source, buffer.data(), 5, 512, &got), kSuccess);
  EXPECT_EQ(got, 3u);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), bytes.begin() + 5 * 512));
  EXPECT_EQ(ReadSectors(3, source, buffer.data(), 6, 512, &got), kErrInvalidParameter);
}

TEST(SectorSource, ShortMediumGivesReadFaultWithWholeSectorsCounted) {
  TempDir dir;
  WriteFileBytes(dir / "short.img", RandomBytes(1000, 3));
  SectorSource source;
  ASSERT_EQ(OpenImageSource(dir / "short.img", source), kSuccess);
  // Pretend the medium is longer than what it delivers, as a failing device would.
  source.totalSectors = 3;
  std::vector<std::uint8_t> buffer(3 * 512);
  std::uint32_t got = 0;
  EXPECT_EQ(ReadSectors(3, source, buffer.data(), 0, 512, &got), kErrReadFault);
  EXPECT_EQ(got, 1u);
}

TEST(SectorSource, LargeReadsAreSplitIntoPiecesOf64KiB) {
  TempDir dir;
  auto bytes = RandomBytes(2 << 20, 4);
  WriteFileBytes(dir / "big.img", bytes);
  SectorSource source;
  ASSERT_EQ(OpenImageSource(dir / "big.img", source), kSuccess);
  std::vector<std::uint8_t> buffer(1 << 20);
  std::uint32_t got = 0;
  const std::uint64_t before = SystemReadCount();
  ASSERT_EQ(ReadSectors(2048, source, buffer.data(), 100, 512, &got), kSuccess);
  EXPECT_EQ(SystemReadCount() - before, 16u);
  EXPECT_EQ(got, 2048u);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), bytes.begin() + 100 * 512));

  // A read of 64 KiB + 1 sector takes two pieces; a larger sector size counts in its own units.
  const std::uint64_t mid = SystemReadCount();
  ASSERT_EQ(ReadSectors(129, source, buffer.data(), 0, 512, &got), kSuccess);
  EXPECT_EQ(SystemReadCount() - mid, 2u);
  ASSERT_EQ(ReadSectors(4, source, buffer.data(), 0, 4096, &got), kSuccess);
  EXPECT_EQ(got, 4u);
}

TEST(SectorSource, ClosedSourceRefusesReadsAndOpenFailureKeepsItClosed) {
  SectorSource source;
  std::uint8_t buffer[512];
  std::uint32_t got = 0;
  EXPECT_EQ(ReadSectors(1, source, buffer, 0, 512, &got), kErrInvalidParameter);
  EXPECT_EQ(OpenImageSource("/nonexistent/image.img", source), kErrFileNotFound);
  EXPECT_FALSE(source.handle.IsValid());
  CloseSource(source);
  EXPECT_EQ(source.totalSectors, 0u);
}

TEST(SectorSource, ImageStandsInForADriveThroughTheEnvironment) {
  TempDir dir;
  auto bytes = RandomBytes(300 * 512 + 17, 5);
  WriteFileBytes(dir / "d0.img", bytes);
  WriteFileBytes(dir / "d1.img", RandomBytes(4096, 6));
  setenv("REXMOOR_DRIVES", (dir.path() + "/d0.img:" + dir.path() + "/d1.img").c_str(), 1);
  auto drives = ListDrives();
  ASSERT_EQ(drives.size(), 2u);
  EXPECT_TRUE(drives[0].isImageStandIn);

  SectorSource source;
  ASSERT_EQ(OpenDriveSource(source, 0), kSuccess);
  EXPECT_EQ(source.totalSectors, 300u);
  EXPECT_EQ(SourceSectorSize(source), 512);
  DiskGeometry geometry;
  ASSERT_EQ(GetDriveGeometry(source.handle, geometry), kSuccess);
  EXPECT_EQ(geometry.bytesPerSector, 512u);
  EXPECT_EQ(geometry.tracksPerCylinder, 255u);
  EXPECT_EQ(geometry.sectorsPerTrack, 63u);

  SectorSource second;
  ASSERT_EQ(OpenDriveSource(second, 1), kSuccess);
  EXPECT_EQ(second.totalSectors, 8u);
  SectorSource missing;
  EXPECT_EQ(OpenDriveSource(missing, 2), kErrFileNotFound);

  // An image added as a drive keeps its number while the system's drives come and go: a drive
  // taken out or plugged in must not leave that number on another drive, or on none.
  WriteFileBytes(dir / "added.img", RandomBytes(10 * 512, 8));
  const int added = AddImageDrive(dir / "added.img");
  EXPECT_EQ(AddImageDrive(dir / "added.img"), added);
  for (const std::string& listed : {dir.path() + "/d0.img", dir.path() + "/d0.img:" + dir.path() + "/d1.img:" +
                                                                  dir.path() + "/d1.img"}) {
    setenv("REXMOOR_DRIVES", listed.c_str(), 1);
    SectorSource image;
    ASSERT_EQ(OpenDriveSource(image, added), kSuccess) << listed;
    EXPECT_EQ(image.totalSectors, 10u) << listed;
    const auto all = ListDrives();
    EXPECT_TRUE(std::any_of(all.begin(), all.end(), [&](const DriveInfo& d) { return d.number == added; }));
    // A listing of the machine's drives does not show it among them.
    const auto system = ListSystemDrives();
    EXPECT_FALSE(std::any_of(system.begin(), system.end(), [&](const DriveInfo& d) { return d.number == added; }));
    // A listing names it drive:N, and that text leads back to it.
    ResolvedSource resolved;
    std::string error;
    ASSERT_EQ(ResolveSource("drive:" + std::to_string(added), resolved, error), kSuccess) << error;
    EXPECT_EQ(resolved.path, dir / "added.img");
    EXPECT_EQ(resolved.sectorCount, 10u);
  }
  unsetenv("REXMOOR_DRIVES");
}

TEST(SectorSource, BlockTransfersMoveWholeBlocksAtTheCurrentPosition) {
  TempDir dir;
  auto bytes = RandomBytes(200000, 7);
  WriteFileBytes(dir / "in.img", bytes);
  FileHandle in;
  FileHandle out;
  ASSERT_EQ(FileHandle::OpenReadOnly(dir / "in.img", in), kSuccess);
  ASSERT_EQ(FileHandle::CreateNew(dir / "out.img", out), kSuccess);
  std::vector<std::uint8_t> buffer(100 * 1024);
  std::uint32_t got = 0;
  std::uint32_t written = 0;
  ASSERT_EQ(ReadBlocks(100, in, buffer.data(), 1024, &got), kSuccess);
  EXPECT_EQ(got, 100u);
  ASSERT_EQ(WriteBlocks(out, buffer.data(), 1024, &written, 100), kSuccess);
  EXPECT_EQ(written, 100u);
  // The next 100 KiB run past the end: 95 whole blocks arrive (200,000 - 102,400 = 97,600 bytes).
  EXPECT_EQ(ReadBlocks(100, in, buffer.data(), 1024, &got), kErrReadFault);
  EXPECT_EQ(got, 95u);
  auto copied = test::ReadFileBytes(dir / "out.img");
  ASSERT_EQ(copied.size(), 102400u);
  EXPECT_TRUE(std::equal(copied.begin(), copied.end(), bytes.begin()));
  // Output files are never media: creating over an existing one is refused.
  FileHandle again;
  EXPECT_EQ(FileHandle::CreateNew(dir / "out.img", again), kErrFileExists);
}

}  // namespace
}  // namespace rexmoor

namespace rexmoor {
namespace {

TEST(SectorSource, PaddedFileReadsItsPartialLastSectorAsZeros) {
  test::TempDir dir;
  auto bytes = test::RandomBytes(1000, 8);
  test::WriteFileBytes(dir / "partial.bin", bytes);
  SectorSource source;
  ASSERT_EQ(OpenPaddedFileSource(dir / "partial.bin", source), kSuccess);
  EXPECT_EQ(source.totalSectors, 2u);
  std::vector<std::uint8_t> buffer(1024, 0xCC);
  std::uint32_t got = 0;
  ASSERT_EQ(ReadSectors(2, source, buffer.data(), 0, 512, &got), kSuccess);
  EXPECT_EQ(got, 2u);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), buffer.begin()));
  EXPECT_TRUE(std::all_of(buffer.begin() + 1000, buffer.end(), [](std::uint8_t b) { return b == 0; }));
  EXPECT_EQ(ReadSectors(1, source, buffer.data(), 2, 512, &got), kErrInvalidParameter);
}

}  // namespace
}  // namespace rexmoor
