#include "formats/volume_detect.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "fixtures/fixture_paths.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using test::FixturePath;

std::vector<std::uint8_t> BootArea(const std::string& path) {
  return test::ReadFileHead(path, kBootAreaSize);
}

std::span<const std::uint8_t> Sector(const std::vector<std::uint8_t>& area) {
  return std::span<const std::uint8_t>(area.data(), 512);
}

void PutU16(std::vector<std::uint8_t>& b, std::size_t off, std::uint16_t v) {
  b[off] = static_cast<std::uint8_t>(v);
  b[off + 1] = static_cast<std::uint8_t>(v >> 8);
}
void PutU32(std::vector<std::uint8_t>& b, std::size_t off, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

TEST(VolumeDetect, RealVolumesAreClassifiedByKind) {
  struct Case {
    const char* file;
    VolumeKind kind;
  } cases[] = {
      {"fat12.img", VolumeKind::Fat},  {"fat16.img", VolumeKind::Fat},   {"fat32.img", VolumeKind::Fat},
      {"ntfs.img", VolumeKind::Ntfs},  {"ext4.img", VolumeKind::Ext},    {"ext4_1k.img", VolumeKind::Ext},
      {"exfat.img", VolumeKind::Exfat}, {"raw.bin", VolumeKind::None},    {"fat32_bitlocker.img", VolumeKind::None},
  };
  for (const auto& c : cases) {
    REQUIRE_FIXTURE(c.file);
    EXPECT_EQ(ClassifyBootArea(BootArea(FixturePath(c.file))), c.kind) << c.file;
  }
}

TEST(VolumeDetect, NtfsFieldsAreEachRequired) {
  REQUIRE_FIXTURE("ntfs.img");
  const auto good = BootArea(FixturePath("ntfs.img"));
  ASSERT_TRUE(IsNtfsBootSector(Sector(good)));
  auto b = good;
  b[13] = 128;  // the largest cluster factor is still NTFS
  EXPECT_TRUE(IsNtfsBootSector(Sector(b)));
  struct Mutation {
    const char* what;
    std::size_t offset;
    std::uint8_t value;
  } mutations[] = {{"OEM name", 3, 'X'},       {"bytes per sector", 11, 1},  {"reserved sectors", 14, 1},
                   {"cluster factor", 13, 3},  {"cluster factor 0", 13, 0},  {"FAT count", 16, 2},
                   {"root entries", 17, 1},    {"FAT size", 22, 1},          {"32-bit total", 35, 1},
                   {"signature", 510, 0x54}};
  for (const auto& m : mutations) {
    b = good;
    b[m.offset] = m.value;
    EXPECT_FALSE(IsNtfsBootSector(Sector(b))) << m.what;
    EXPECT_EQ(ClassifyBootArea(b), VolumeKind::None) << m.what;
  }
  b = good;
  std::memset(b.data() + 40, 0, 8);
  EXPECT_FALSE(IsNtfsBootSector(Sector(b))) << "total sectors 0";
  EXPECT_FALSE(IsNtfsBootSector(std::span<const std::uint8_t>(good.data(), 511)));
}

TEST(VolumeDetect, FatLayoutTestsAndBitLocker) {
  REQUIRE_FIXTURE("fat16.img");
  REQUIRE_FIXTURE("fat32.img");
  for (const char* file : {"fat16.img", "fat32.img"}) {
    const auto good = BootArea(FixturePath(file));
    ASSERT_TRUE(IsFatBootSector(Sector(good))) << file;
    auto b = good;
    b[13] = 128;
    EXPECT_TRUE(IsFatBootSector(Sector(b))) << file << ": 128 sectors per cluster";
    for (auto [offset, value] : {std::pair<std::size_t, std::uint8_t>{13, 0}, {13, 3}, {16, 0}, {510, 0}}) {
      b = good;
      b[offset] = value;
      EXPECT_FALSE(IsFatBootSector(Sector(b))) << file << " offset " << offset;
    }
    b = good;
    PutU16(b, 11, 0);
    EXPECT_FALSE(IsFatBootSector(Sector(b))) << file << ": bytes per sector 0";
    b = good;
    PutU16(b, 11, 513);
    EXPECT_FALSE(IsFatBootSector(Sector(b))) << file << ": bytes per sector 513";
    // A FAT bigger than the volume wraps the cluster count past the limit.
    b = good;
    PutU16(b, 22, 0);
    PutU32(b, 36, 0x40000000);
    EXPECT_FALSE(IsFatBootSector(Sector(b))) << file;
    // BitLocker: by OEM name, and by the pattern near the end of the sector.
    b = good;
    std::memcpy(b.data() + 3, "-FVE-FS-", 8);
    EXPECT_TRUE(IsBitLockerBootSector(Sector(b)));
    EXPECT_FALSE(IsFatBootSector(Sector(b)));
    b = good;
    std::memset(b.data() + 480, 0x78, 8);
    std::memset(b.data() + 488, 0xFF, 19);
    b[507] = 0x00;
    b[508] = 0x1F;
    b[509] = 0x2C;
    EXPECT_TRUE(IsBitLockerBootSector(Sector(b)));
    EXPECT_EQ(ClassifyBootArea(b), VolumeKind::None);
  }
  // FAT32 needs its type string; FAT12/16 do not need one.
  auto b = BootArea(FixturePath("fat32.img"));
  std::memcpy(b.data() + 82, "FAT16   ", 8);
  EXPECT_FALSE(IsFatBootSector(Sector(b)));
  b = BootArea(FixturePath("fat16.img"));
  std::memset(b.data() + 54, ' ', 8);
  EXPECT_TRUE(IsFatBootSector(Sector(b)));
}

TEST(VolumeDetect, ExtSuperblockRules) {
  REQUIRE_FIXTURE("ext4.img");
  REQUIRE_FIXTURE("ext4_1k.img");
  const auto good4k = BootArea(FixturePath("ext4.img"));
  const auto good1k = BootArea(FixturePath("ext4_1k.img"));
  auto super = [](const std::vector<std::uint8_t>& b) { return std::span<const std::uint8_t>(b.data() + 1024, 1024); };
  ASSERT_TRUE(IsExtSuperblock(super(good4k)));
  ASSERT_TRUE(IsExtSuperblock(super(good1k)));
  auto b = good4k;
  PutU32(b, 1024 + 20, 1);  // 4 KiB blocks with first data block 1
  EXPECT_FALSE(IsExtSuperblock(super(b)));
  EXPECT_EQ(ClassifyBootArea(b), VolumeKind::None);
  b = good1k;
  PutU32(b, 1024 + 20, 0);
  EXPECT_FALSE(IsExtSuperblock(super(b)));
  for (auto [offset, value] : {std::pair<std::size_t, std::uint32_t>{56, 0xEF54}, {0, 0}, {4, 0}, {32, 0},
                              {40, 0}, {84, 2}, {32, 1}}) {
    b = good4k;
    if (offset == 56) {
      PutU16(b, 1024 + offset, static_cast<std::uint16_t>(value));
    } else {
      PutU32(b, 1024 + offset, value);
    }
    EXPECT_FALSE(IsExtSuperblock(super(b))) << "offset " << offset;
  }
  // Huge block-size shifts must not matter for the first-data-block rule.
  b = good4k;
  PutU32(b, 1024 + 24, 40);
  EXPECT_TRUE(IsExtSuperblock(super(b)));
}

TEST(VolumeDetect, RandomAreasAreNeverNtfsAndRarelyAnythingElse) {
  int recognised = 0;
  for (std::uint32_t seed = 0; seed < 3000; ++seed) {
    auto b = test::RandomBytes(kBootAreaSize, seed);
    if (seed % 2 == 0) {
      b[510] = 0x55;
      b[511] = 0xAA;
    }
    VolumeKind kind = ClassifyBootArea(b);
    EXPECT_NE(kind, VolumeKind::Ntfs);
    if (kind != VolumeKind::None) ++recognised;
  }
  EXPECT_LT(recognised, 30);
  EXPECT_EQ(ClassifyBootArea(std::vector<std::uint8_t>(100, 0)), VolumeKind::None);
  EXPECT_EQ(ClassifyBootArea(std::vector<std::uint8_t>(kBootAreaSize, 0)), VolumeKind::None);
}

// Detection and the decoders accept the same sector sizes: a boot sector is never detected as a
// volume that its engine then refuses.
TEST(VolumeDetect, DetectionAndDecodingAgreeOnSectorSizes) {
  REQUIRE_FIXTURE("fat16.img");
  REQUIRE_FIXTURE("ntfs.img");
  const auto fat = BootArea(FixturePath("fat16.img"));
  const auto ntfs = BootArea(FixturePath("ntfs.img"));
  for (std::uint16_t bps : {256, 512, 1024, 2048, 4096, 8192, 16384, 32768, 1536}) {
    auto f = fat;
    PutU16(f, 11, bps);
    FatLayout layout;
    if (IsFatBootSector(Sector(f))) {
      // The layout may still not add up, but never for want of a sector size it does not know.
      EXPECT_TRUE(bps >= 512 && bps <= 4096) << bps;
    } else {
      EXPECT_FALSE(ParseFatLayout(Sector(f), layout) == kSuccess && bps > 4096) << bps;
    }
    if (bps > 4096 || bps < 512 || bps == 1536) {
      EXPECT_FALSE(IsFatBootSector(Sector(f))) << bps;
      EXPECT_NE(ParseFatLayout(Sector(f), layout), kSuccess) << bps;
    }
    auto n = ntfs;
    PutU16(n, 11, bps);
    EXPECT_EQ(IsNtfsBootSector(Sector(n)), ParseNtfsGeometry(n).has_value()) << bps;
  }
  // NTFS takes 0 bytes per sector as 512, in detection and decoding alike.
  auto n = ntfs;
  PutU16(n, 11, 0);
  EXPECT_TRUE(IsNtfsBootSector(Sector(n)));
  ASSERT_TRUE(ParseNtfsGeometry(n).has_value());
  EXPECT_EQ(ParseNtfsGeometry(n)->bytesPerSector, 512u);
}

}  // namespace
}  // namespace rexmoor
