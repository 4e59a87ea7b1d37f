#include <gtest/gtest.h>

#include <cstring>

#include "fixtures/exfat_fixtures.h"
#include "fixtures/fixture_paths.h"
#include "formats/exfat_dir_entry.h"
#include "formats/exfat_layout.h"
#include "formats/volume_detect.h"
#include "platform/byte_view.h"
#include "platform/clock.h"
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

// Stamps decoded against times worked out apart (seconds since 1970 from a calendar): the 10 ms
// field, and the UTC offset in quarter hours, east and west, applied only when marked valid.
TEST(ExfatFormat, TimestampsWithHundredthsAndZones) {
  const auto stamp = [](std::uint32_t y, std::uint32_t mo, std::uint32_t d, std::uint32_t h, std::uint32_t mi,
                        std::uint32_t s) { return (y - 1980) << 25 | mo << 21 | d << 16 | h << 11 | mi << 5 | s / 2; };
  struct Case {
    ExfatTimestamp t;
    std::optional<std::uint64_t> utc;  // FILETIME
  } cases[] = {
      // 13:45:58.00 + 1.50 s at UTC+5:30 is 08:15:59.50 UTC.
      {{stamp(2024, 2, 29, 13, 45, 58), 150, 0x80 | 22}, UnixToFileTime(1709194559, 500'000'000)},
      // Midnight at UTC-8:00 (minus 32 quarters in seven bits) is 08:00 UTC.
      {{stamp(1980, 1, 1, 0, 0, 0), 0, 0x80 | 0x60}, UnixToFileTime(315561600)},
      // No valid offset: taken as UTC.
      {{stamp(2107, 12, 31, 23, 59, 58), 199, 0x60}, UnixToFileTime(4354819199, 990'000'000)},
      {{stamp(2000, 1, 1, 0, 0, 0), 0, 0x80}, UnixToFileTime(946684800)},
      {{stamp(2023, 13, 1, 0, 0, 0), 0, 0}, std::nullopt},
      {{stamp(2023, 2, 30, 0, 0, 0), 0, 0}, std::nullopt},
      {{stamp(2023, 1, 1, 24, 0, 0), 0, 0}, std::nullopt},
      {{stamp(2023, 1, 1, 0, 0, 0), 200, 0}, std::nullopt},
      {{0, 0, 0}, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ExfatTimeToFileTime(c.t), c.utc) << std::hex << c.t.stamp;
}

// The volume's up-case table, read through its root entry.
ExfatUpcase VolumeUpcase(const std::vector<std::uint8_t>& image, std::uint64_t volumeOffset) {
  ExfatUpcase upcase;
  const auto layout = FindExfatLayout(std::span(image).subspan(volumeOffset));
  if (!layout) return upcase;
  const std::size_t root = volumeOffset + *layout->ClusterSector(layout->rootCluster) * layout->bytesPerSector;
  for (std::size_t at = root; at + kExfatEntrySize <= root + layout->ClusterBytes(); at += kExfatEntrySize) {
    if (image[at] != kExfatTypeUpcase) continue;
    const auto sector = layout->ClusterSector(LoadU32LE(&image[at + 20]));
    if (sector) (void)upcase.Load(std::span(image).subspan(volumeOffset + *sector * layout->bytesPerSector,
                                                           LoadU64LE(&image[at + 24])));
  }
  return upcase;
}

// Every entry set exfat-fuse wrote, live and deleted, decodes to what the manifest (read back
// with The Sleuth Kit while the files were live) says of it; the same bytes, damaged, do not.
TEST(ExfatFormat, EntrySetsOfRealVolumes) {
  for (const char* image : {"exfat_deleted.img", "exfat_mbr.img", "exfat_reformatted.img"}) {
    const auto bytes = test::ReadFileBytes(test::ExfatFixture(image));
    ASSERT_FALSE(bytes.empty()) << image;
    const auto volume = test::ExfatVolume(image);
    const ExfatUpcase upcase = VolumeUpcase(bytes, volume.partitionStart * 512);
    ASSERT_TRUE(upcase.Loaded()) << image;
    int checked = 0;
    for (const auto& e : test::ExfatManifest(image)) {
      if (e.entry == "lost") continue;
      const std::string where = std::string(image) + ":" + e.path;
      const auto set = std::span(bytes).subspan(e.entryOffset);
      ExfatEntrySet decoded;
      ASSERT_EQ(ParseExfatEntrySet(set, upcase, decoded), ExfatSetStatus::Ok) << where;
      std::string name = e.path.substr(0, e.path.size() - (e.folder ? 1 : 0));
      name = name.substr(name.rfind('/') + 1);
      EXPECT_EQ(decoded.name, name) << where;
      EXPECT_EQ(decoded.deleted, e.entry == "deleted") << where;
      EXPECT_EQ(decoded.IsFolder(), e.folder) << where;
      EXPECT_EQ(decoded.entryCount, e.entryCount) << where;
      EXPECT_EQ(decoded.firstCluster, e.firstCluster) << where;
      EXPECT_EQ(decoded.NoFatChain(), e.noFatChain) << where;
      EXPECT_EQ(decoded.dataLength, e.size) << where;
      EXPECT_LE(decoded.validDataLength, decoded.dataLength) << where;
      EXPECT_TRUE(ExfatTimeToFileTime(decoded.modified).has_value()) << where;
      // The sector it opens in is one the sweep takes for a directory sector.
      const std::size_t sector = e.entryOffset / 512 * 512;
      EXPECT_TRUE(HoldsExfatEntrySet(std::span(bytes).subspan(sector, 512))) << where;

      // Cut short, it asks for more; one name byte changed, its checksum fails; the checksum
      // mended over the changed name, the name hash fails.
      const std::size_t length = decoded.entryCount * kExfatEntrySize;
      EXPECT_EQ(ParseExfatEntrySet(set.first(length - kExfatEntrySize), upcase, decoded), ExfatSetStatus::Truncated)
          << where;
      std::vector<std::uint8_t> changed(set.begin(), set.begin() + static_cast<std::ptrdiff_t>(length));
      changed[2 * kExfatEntrySize + 2] ^= 0x01;
      EXPECT_EQ(ParseExfatEntrySet(changed, upcase, decoded), ExfatSetStatus::BadChecksum) << where;
      std::vector<std::uint8_t> live = changed;
      for (std::size_t k = 0; k < live.size(); k += kExfatEntrySize) live[k] |= kExfatInUse;
      const std::uint16_t sum = ExfatSetChecksum(live);
      changed[2] = static_cast<std::uint8_t>(sum);
      changed[3] = static_cast<std::uint8_t>(sum >> 8);
      EXPECT_EQ(ParseExfatEntrySet(changed, upcase, decoded), ExfatSetStatus::BadNameHash) << where;
      ++checked;
    }
    EXPECT_GT(checked, 10) << image;
  }
  // Noise is no directory sector.
  int noise = 0;
  for (std::uint32_t seed = 0; seed < 4000; ++seed)
    noise += HoldsExfatEntrySet(test::RandomBytes(512, seed)) ? 1 : 0;
  EXPECT_EQ(noise, 0);
  EXPECT_FALSE(HoldsExfatEntrySet(std::vector<std::uint8_t>(512, 0)));
}

}  // namespace
}  // namespace rexmoor
