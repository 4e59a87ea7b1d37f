#include "formats/fat_layout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fixtures/fixture_paths.h"
#include "test_support.h"

namespace rexmoor {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Put16(Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

Bytes BootOf(const char* fixture) { return test::ReadFileHead(test::FixturePath(fixture), 512); }

// The three fixture volumes, with the geometry mkfs.fat gave them (see make_volumes.sh).
TEST(FatLayout, DecodesTheFixtureVolumes) {
  REQUIRE_FIXTURE("fat12.img");
  REQUIRE_FIXTURE("fat16.img");
  REQUIRE_FIXTURE("fat32.img");
  FatLayout l;
  ASSERT_EQ(ParseFatLayout(BootOf("fat12.img"), l), kSuccess);
  EXPECT_EQ(l.type, FatType::Fat12);
  EXPECT_EQ(l.bytesPerSector, 512u);
  EXPECT_EQ(l.sectorsPerCluster, 1u);
  // A floppy's root holds 224 entries: 14 sectors, not the 32 a fixed size would assume.
  EXPECT_EQ(l.rootEntries, 224u);
  EXPECT_EQ(l.rootDirSectors, 14u);
  EXPECT_EQ(l.rootDirSector, 1u + 2 * 9);
  EXPECT_EQ(l.dataAreaSector, 1u + 2 * 9 + 14);
  // Its total lives in the 16-bit field only.
  EXPECT_EQ(l.totalSectors, 2880u);
  EXPECT_EQ(l.clusterCount, 2880u - 33);  // fsck.fat reports 2847 clusters
  EXPECT_EQ(l.rootCluster, 0u);

  ASSERT_EQ(ParseFatLayout(BootOf("fat16.img"), l), kSuccess);
  EXPECT_EQ(l.type, FatType::Fat16);
  EXPECT_EQ(l.sectorsPerCluster, 4u);
  EXPECT_EQ(l.ClusterBytes(), 2048u);
  EXPECT_EQ(l.rootDirSectors, 32u);
  EXPECT_EQ(l.dataAreaSector, l.reservedSectors + 2ull * l.fatSectors + 32);
  EXPECT_EQ(l.totalSectors, 65536u);

  ASSERT_EQ(ParseFatLayout(BootOf("fat32.img"), l), kSuccess);
  EXPECT_EQ(l.type, FatType::Fat32);
  EXPECT_EQ(l.rootCluster, 2u);
  EXPECT_EQ(l.rootDirSectors, 0u);
  EXPECT_EQ(l.dataAreaSector, l.reservedSectors + 2ull * l.fatSectors);
  EXPECT_GE(l.clusterCount, 65525u);
  EXPECT_EQ(*l.ClusterSector(2), l.dataAreaSector);
  EXPECT_EQ(*l.ClusterSector(l.maxCluster), l.dataAreaSector + (l.maxCluster - 2ull));
  EXPECT_LE(*l.ClusterSector(l.maxCluster) + 1, l.totalSectors);
  EXPECT_FALSE(l.ClusterSector(l.maxCluster + 1ull));
  EXPECT_FALSE(l.ClusterSector(1));
}

// One field at a time set to a value no volume has: the boot sector is refused, and accepted again
// once the field is restored.
TEST(FatLayout, RefusesEachImpossibleField) {
  REQUIRE_FIXTURE("fat16.img");
  REQUIRE_FIXTURE("fat32.img");
  struct Mutation {
    const char* fixture;
    const char* what;
    std::function<void(Bytes&)> apply;
  };
  const std::vector<Mutation> mutations = {
      {"fat16.img", "bytes per sector 0", [](Bytes& b) { Put16(b, kBpbBytesPerSector, 0); }},
      {"fat16.img", "bytes per sector 513", [](Bytes& b) { Put16(b, kBpbBytesPerSector, 513); }},
      {"fat16.img", "bytes per sector 8192", [](Bytes& b) { Put16(b, kBpbBytesPerSector, 8192); }},
      {"fat16.img", "bytes per sector 256", [](Bytes& b) { Put16(b, kBpbBytesPerSector, 256); }},
      {"fat16.img", "sectors per cluster 0", [](Bytes& b) { b[kBpbSectorsPerCluster] = 0; }},
      {"fat16.img", "sectors per cluster 3", [](Bytes& b) { b[kBpbSectorsPerCluster] = 3; }},
      {"fat16.img", "sectors per cluster 255", [](Bytes& b) { b[kBpbSectorsPerCluster] = 255; }},
      {"fat16.img", "no reserved sector", [](Bytes& b) { Put16(b, kBpbReservedSectors, 0); }},
      {"fat16.img", "no FAT", [](Bytes& b) { b[kBpbNumberOfFats] = 0; }},
      {"fat16.img", "no total", [](Bytes& b) {
         Put16(b, kBpbTotalSectors16, 0);
         Put32(b, kBpbTotalSectors32, 0);
       }},
      {"fat16.img", "data area past the end", [](Bytes& b) { Put16(b, kBpbReservedSectors, 0xFFFF); }},
      {"fat16.img", "root past the end", [](Bytes& b) {
         Put16(b, kBpbRootEntries, 0xFFFF);
         Put16(b, kBpbTotalSectors16, 3000);
         Put32(b, kBpbTotalSectors32, 0);
       }},
      {"fat16.img", "too many clusters for 16 bits", [](Bytes& b) { Put32(b, kBpbTotalSectors32, 0x7FFFFFFF); }},
      {"fat32.img", "FAT32 without a FAT size", [](Bytes& b) { Put32(b, kBpbFatSize32, 0); }},
      {"fat32.img", "root cluster 0", [](Bytes& b) { Put32(b, kBpbRootCluster, 0); }},
      {"fat32.img", "root cluster past the volume", [](Bytes& b) { Put32(b, kBpbRootCluster, 0x0FFFFFF0); }},
      {"fat32.img", "FATs larger than the volume", [](Bytes& b) { Put32(b, kBpbFatSize32, 0x80000000u); }},
  };
  for (const Mutation& m : mutations) {
    Bytes boot = BootOf(m.fixture);
    const Bytes original = boot;
    FatLayout l;
    ASSERT_EQ(ParseFatLayout(boot, l), kSuccess) << m.fixture;
    m.apply(boot);
    FatLayout untouched;
    untouched.clusterCount = 12345;
    EXPECT_EQ(ParseFatLayout(boot, untouched), kErrInvalidParameter) << m.what;
    EXPECT_EQ(untouched.clusterCount, 12345u) << m.what;
    boot = original;
    EXPECT_EQ(ParseFatLayout(boot, l), kSuccess) << m.what;
  }
  FatLayout l;
  EXPECT_EQ(ParseFatLayout(Bytes(511, 0), l), kErrInvalidParameter);
}

// A FAT smaller than the data area needs limits the clusters to those it has entries for, and a
// boot sector laid out for FAT32 stays FAT32 whatever its cluster count.
TEST(FatLayout, ClustersAreLimitedByTheFatAndShapeDecidesFat32) {
  REQUIRE_FIXTURE("fat16.img");
  Bytes boot = BootOf("fat16.img");
  FatLayout l;
  Put16(boot, kBpbFatSize16, 1);  // room for 256 entries
  ASSERT_EQ(ParseFatLayout(boot, l), kSuccess);
  EXPECT_EQ(l.fatEntryCount, 256u);
  EXPECT_EQ(l.maxCluster, 255u);
  EXPECT_LT(l.maxCluster, l.clusterCount + 1);

  // FAT32 layout on a small volume (fewer than 65,525 clusters).
  boot = BootOf("fat16.img");
  Put16(boot, kBpbFatSize16, 0);
  Put32(boot, kBpbFatSize32, 64);
  Put16(boot, kBpbRootEntries, 0);
  Put32(boot, kBpbRootCluster, 2);
  ASSERT_EQ(ParseFatLayout(boot, l), kSuccess);
  EXPECT_EQ(l.type, FatType::Fat32);
  EXPECT_LT(l.clusterCount, 65525u);
}

// Random boot sectors: whatever is accepted describes clusters that lie inside the volume.
TEST(FatLayout, AcceptedRandomLayoutsStayInsideTheVolume) {
  int accepted = 0;
  for (std::uint32_t seed = 1; seed <= 20000; ++seed) {
    Bytes boot = test::RandomBytes(512, seed);
    // Give a share of them sane sizes so that the later checks are reached.
    if (seed % 2 == 0) {
      Put16(boot, kBpbBytesPerSector, static_cast<std::uint16_t>(512u << (seed % 4)));
      boot[kBpbSectorsPerCluster] = static_cast<std::uint8_t>(1u << (seed % 8));
      boot[kBpbNumberOfFats] = static_cast<std::uint8_t>(1 + seed % 2);
      Put16(boot, kBpbReservedSectors, static_cast<std::uint16_t>(1 + seed % 64));
      if (seed % 4 == 0) Put16(boot, kBpbFatSize16, 0);
      if (seed % 8 == 0) Put32(boot, kBpbRootCluster, 2);
    }
    FatLayout l;
    if (ParseFatLayout(boot, l) != kSuccess) continue;
    ++accepted;
    ASSERT_GE(l.maxCluster, 2u);
    ASSERT_LE(l.maxCluster, l.clusterCount + 1ull);
    ASSERT_LT(l.maxCluster, l.fatEntryCount);
    ASSERT_LE(*l.ClusterSector(l.maxCluster) + l.sectorsPerCluster, l.totalSectors);
    // The last entry can be read whole from inside the FAT.
    ASSERT_LE(FatEntryOffset(l.type, l.maxCluster) + FatEntryWidth(l.type), l.FatBytes());
    if (l.IsFat32()) {
      ASSERT_TRUE(l.IsValidCluster(l.rootCluster));
    }
  }
  EXPECT_GT(accepted, 100);
}

TEST(FatLayout, DecodesEntriesOfEachWidth) {
  // FAT12 packs two entries in three bytes: 0x123 and 0xABC as 23 C1 AB.
  const Bytes fat12 = {0xF8, 0xFF, 0xFF, 0x23, 0xC1, 0xAB};
  auto entry12 = [&](std::uint32_t n) {
    return *DecodeFatEntry(FatType::Fat12, n, std::span(fat12).subspan(FatEntryOffset(FatType::Fat12, n)));
  };
  EXPECT_EQ(FatEntryOffset(FatType::Fat12, 2), 3u);
  EXPECT_EQ(FatEntryOffset(FatType::Fat12, 3), 4u);
  EXPECT_EQ(entry12(2), 0x123u);
  EXPECT_EQ(entry12(3), 0xABCu);
  EXPECT_EQ(entry12(0), 0xFF8u);
  EXPECT_EQ(entry12(1), 0xFFFu);

  const Bytes fat16 = {0x34, 0x12};
  EXPECT_EQ(*DecodeFatEntry(FatType::Fat16, 7, fat16), 0x1234u);
  // The top four bits of a FAT32 entry are not part of the cluster number.
  const Bytes fat32 = {0x05, 0x00, 0x00, 0xF0};
  EXPECT_EQ(*DecodeFatEntry(FatType::Fat32, 9, fat32), 5u);
  EXPECT_FALSE(DecodeFatEntry(FatType::Fat32, 9, std::span(fat32).first(3)));
  EXPECT_FALSE(DecodeFatEntry(FatType::Fat12, 9, std::span(fat32).first(1)));

  EXPECT_FALSE(IsEndOfChain(FatType::Fat12, 0xFF7));
  EXPECT_TRUE(IsEndOfChain(FatType::Fat12, 0xFF8));
  EXPECT_FALSE(IsEndOfChain(FatType::Fat16, 0xFFF7));
  EXPECT_TRUE(IsEndOfChain(FatType::Fat16, 0xFFF8));
  // A 16-bit end mark is an ordinary cluster number on FAT32.
  EXPECT_FALSE(IsEndOfChain(FatType::Fat32, 0xFFF8));
  EXPECT_TRUE(IsEndOfChain(FatType::Fat32, 0x0FFFFFF8));
  EXPECT_TRUE(IsEndOfChain(FatType::Fat32, 0xFFFFFFFF));
}

TEST(FatLayout, ShortNames) {
  auto name = [](const char* field11, bool withExtension) {
    Bytes b(11);
    std::memcpy(b.data(), field11, 11);
    return DecodeShortName(b, withExtension);
  };
  EXPECT_EQ(name("README  TXT", true), "readme.txt");
  // A deleted entry loses its first letter to the mark.
  EXPECT_EQ(name("\xE5" "BC     TXT", true), "!bc.txt");
  EXPECT_EQ(name("\xE5" "       TXT", true), "!.txt");
  // Folders drop the extension of their short name.
  EXPECT_EQ(name("PHOTOS  OLD", false), "photos");
  EXPECT_EQ(name("MAKEFILE   ", true), "makefile");
  // Code page 850: 0x82 is e-acute and 0x90 its capital, 0x9A U-umlaut; 0x05 stands for a first
  // byte 0xE5 (O-tilde). Capitals are lowered like A-Z.
  EXPECT_EQ(name("CAF\x82    TXT", true), "caf\xC3\xA9.txt");
  EXPECT_EQ(name("CAF\x90    TXT", true), "caf\xC3\xA9.txt");
  EXPECT_EQ(name("\x9A" "BER    DOC", true), "\xC3\xBC" "ber.doc");
  EXPECT_EQ(name("\x05" "X      BIN", true), "\xC3\xB5x.bin");
  EXPECT_EQ(name("STRA\xE1" "E  TXT", true), "stra\xC3\x9F" "e.txt");  // sharp s has no capital here
  EXPECT_EQ(name("BOX\xDB    BIN", true), "box\xE2\x96\x88.bin");
  EXPECT_EQ(DecodeShortName(Bytes(10, 'A'), true), "");
}

}  // namespace
}  // namespace rexmoor
