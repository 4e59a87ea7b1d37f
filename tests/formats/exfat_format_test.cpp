#include <gtest/gtest.h>

#include <cstring>

#include "fixtures/fixture_paths.h"
#include "formats/exfat_dir_entry.h"
#include "formats/exfat_layout.h"
#include "formats/volume_detect.h"
#include "platform/byte_view.h"
#include "test_support.h"

namespace rexmoor {
namespace {

// The boot region as mkfs.exfat wrote it, then damaged the ways a card gets damaged: the main
// region is used while its checksum holds, the backup when it does not, nothing when neither does.
TEST(ExfatFormat, BootRegionsAndTheirChecksums) {
  REQUIRE_FIXTURE("exfat.img");
  const auto area = test::ReadFileHead(test::FixturePath("exfat.img"), kBootAreaSize);
  const auto sound = FindExfatLayout(area);
  ASSERT_TRUE(sound.has_value());
  EXPECT_FALSE(sound->fromBackup);
  EXPECT_EQ(sound->bytesPerSector, 512u);
  // The whole heap fits the volume and the root lies in it.
  EXPECT_LE(sound->clusterHeapOffset + std::uint64_t{sound->clusterCount} * sound->sectorsPerCluster,
            sound->volumeLength);
  ASSERT_TRUE(sound->ClusterSector(sound->rootCluster).has_value());
  EXPECT_FALSE(sound->ClusterSector(sound->clusterCount + 2).has_value());

  struct Damage {
    const char* what;
    std::size_t offset;  // bytes changed there
    std::size_t length;
    bool backupUsed;
    bool found;
  } damages[] = {
      {"main boot sector zeroed", 0, 512, true, true},
      {"a byte of an extended boot sector", 512 + 100, 1, true, true},
      {"the main checksum sector", 11 * 512, 4, true, true},
      {"the volume flags (outside the checksum)", kExfatVolumeFlags, 1, false, true},
      {"both regions", 0, 24 * 512, false, false},
      {"main zeroed, backup's checksum sector changed", 0, 512, false, false},
  };
  for (const Damage& d : damages) {
    auto damaged = area;
    for (std::size_t i = d.offset; i < d.offset + d.length; ++i) damaged[i] = d.length == 1 ? damaged[i] ^ 1 : 0;
    if (std::strcmp(d.what, "main zeroed, backup's checksum sector changed") == 0) damaged[23 * 512] ^= 1;
    const auto layout = FindExfatLayout(damaged);
    EXPECT_EQ(layout.has_value(), d.found) << d.what;
    EXPECT_EQ(ClassifyBootArea(damaged) == VolumeKind::Exfat, d.found) << d.what;
    if (!layout) continue;
    EXPECT_EQ(layout->fromBackup, d.backupUsed) << d.what;
    EXPECT_EQ(layout->rootCluster, sound->rootCluster) << d.what;
    EXPECT_EQ(layout->clusterHeapOffset, sound->clusterHeapOffset) << d.what;
  }
  // Sizes no volume can have are refused in the boot sector itself.
  for (auto [offset, value] : {std::pair<std::size_t, std::uint8_t>{kExfatBytesPerSectorShift, 13},
                               {kExfatBytesPerSectorShift, 8}, {kExfatSectorsPerClusterShift, 17},
                               {kExfatNumberOfFats, 3}, {kExfatFirstClusterOfRoot + 3, 0x7F}}) {
    auto bad = area;
    bad[offset] = value;
    EXPECT_FALSE(ParseExfatBootSector(std::span(bad).first(512)).has_value()) << offset;
  }
}

// The volume's own up-case table: it loads, its checksum is the one its root entry keeps, and it
// capitalises beyond ASCII, which the default table does not.
TEST(ExfatFormat, UpcaseTableOfARealVolume) {
  REQUIRE_FIXTURE("exfat.img");
  const auto image = test::ReadFileBytes(test::FixturePath("exfat.img"));
  const auto layout = FindExfatLayout(image);
  ASSERT_TRUE(layout.has_value());
  const std::size_t root = *layout->ClusterSector(layout->rootCluster) * layout->bytesPerSector;
  ExfatUpcase upcase;
  bool seen = false;
  for (std::size_t at = root; at + kExfatEntrySize <= root + layout->ClusterBytes(); at += kExfatEntrySize) {
    if (image[at] != kExfatTypeUpcase) continue;
    const auto cluster = LoadU32LE(&image[at + 20]);
    const auto length = LoadU64LE(&image[at + 24]);
    ASSERT_TRUE(layout->ClusterSector(cluster).has_value());
    const auto table = std::span(image).subspan(*layout->ClusterSector(cluster) * layout->bytesPerSector, length);
    EXPECT_EQ(ExfatTableChecksum(table), LoadU32LE(&image[at + 4]));
    ASSERT_TRUE(upcase.Load(table));
    seen = true;
  }
  ASSERT_TRUE(seen);
  const ExfatUpcase ascii;
  for (auto [lower, upper] : {std::pair{u'a', u'A'}, {u'z', u'Z'}, {u'ä', u'Ä'}, {u'ñ', u'Ñ'}, {u'я', u'Я'},
                              {u'ω', u'Ω'}, {u'Z', u'Z'}, {u'1', u'1'}}) {
    EXPECT_EQ(upcase.Map(lower), upper);
    if (lower < 0x80) EXPECT_EQ(ascii.Map(lower), upper);
  }
  EXPECT_EQ(ascii.Map(u'ä'), u'ä');
  EXPECT_EQ(ExfatNameHash(u"Café", upcase), ExfatNameHash(u"CAFÉ", upcase));
  EXPECT_NE(ExfatNameHash(u"Café", upcase), ExfatNameHash(u"Cafe", upcase));
  // Bytes that are no table are refused and leave the table as it was.
  EXPECT_FALSE(upcase.Load(std::vector<std::uint8_t>(64, 0)));
  EXPECT_TRUE(upcase.Loaded());
}

}  // namespace
}  // namespace rexmoor
