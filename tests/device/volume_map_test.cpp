// The drive listing: the unallocated-area and numbering rules on made-up layouts, and the whole
// enumeration on images partitioned by sfdisk and formatted by the file systems' own tools.
#include "device/volume_map.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "device/partitioned_images.h"
#include "platform/text.h"
#include "test_support.h"

namespace rexmoor {
namespace {

VolumeEntry Part(std::uint64_t start, std::uint64_t length, std::uint8_t kind = 7) {
  VolumeEntry e;
  e.kind = kind;
  e.driveNumber = 0;
  e.start = start;
  e.length = length;
  return e;
}

TEST(VolumeMapRules, SizeTextAtItsBoundaries) {
  EXPECT_EQ(FormatSize(0), "0 Bytes");
  EXPECT_EQ(FormatSize(1023), "1023 Bytes");
  EXPECT_EQ(FormatSize(-5), "-5 Bytes");
  EXPECT_EQ(FormatSize(1024), "1.00 KB");
  EXPECT_EQ(FormatSize(1536), "1.50 KB");
  EXPECT_EQ(FormatSize((1 << 20) - 1), "1024.00 KB");
  EXPECT_EQ(FormatSize(1 << 20), "1.00 MB");
  EXPECT_EQ(FormatSize(std::int64_t{1} << 30), "1.00 GB");
  EXPECT_EQ(FormatSize((std::int64_t{1} << 40) - 1), "1024.00 GB");
  EXPECT_EQ(FormatSize(std::int64_t{1} << 40), "1.00 TB");
}

TEST(VolumeMapRules, GapsWiderThanACylinderBecomeAreasAndTheFirstTrackIsNeverFree) {
  // A partition at 2,048 leaves 1,985 sectors after the first track: less than a cylinder.
  std::vector<VolumeEntry> aligned = {Part(2048, 100000)};
  AddUnallocatedAreas(aligned, 0, 102048, 512, 63, 16065);
  ASSERT_EQ(aligned.size(), 1u);

  std::vector<VolumeEntry> late = {Part(20480, 40960)};
  AddUnallocatedAreas(late, 0, 61440 + 16065, 512, 63, 16065);
  ASSERT_EQ(late.size(), 2u);
  EXPECT_EQ(late[0].kind, 0);
  EXPECT_EQ(late[0].start, 63u);
  EXPECT_EQ(late[0].length, 20417u);
  EXPECT_EQ(late[0].totalBytes, 20417u * 512);
  EXPECT_EQ(late[0].freeBytes, late[0].totalBytes);
  EXPECT_EQ(late[0].usedBytes, 0u);
  EXPECT_EQ(late[1].start, 20480u);  // a gap of exactly one cylinder at the end is not an area

  std::vector<VolumeEntry> trailing = {Part(2048, 1000)};
  AddUnallocatedAreas(trailing, 3, 2048 + 1000 + 16066, 4096, 63, 16065);
  ASSERT_EQ(trailing.size(), 2u);
  EXPECT_EQ(trailing[1].start, 3048u);
  EXPECT_EQ(trailing[1].length, 16066u);
  EXPECT_EQ(trailing[1].driveNumber, 3);
  EXPECT_EQ(trailing[1].totalBytes, 16066u * 4096);
}

TEST(VolumeMapRules, OverlappingOrNestedEntriesMakeNoFalseGap) {
  // A corrupt table: the second entry lies inside the first, the third starts before track end.
  std::vector<VolumeEntry> entries = {Part(10, 5000), Part(2048, 200000), Part(4096, 100), Part(202048, 50)};
  AddUnallocatedAreas(entries, 0, 202098, 512, 63, 16065);
  EXPECT_EQ(entries.size(), 4u);
  for (std::size_t i = 1; i < entries.size(); ++i) EXPECT_LE(entries[i - 1].start, entries[i].start);
}

TEST(VolumeMapRules, EntriesWithoutALetterAreNumberedAcrossDrives) {
  VolumeMap map;
  map.drives[0] = {Part(2048, 10), Part(4096, 10), Part(8192, 10)};
  map.drives[1] = {Part(2048, 10), Part(9000, 10)};
  map.drives[1][0].driveNumber = map.drives[1][1].driveNumber = 1;
  NumberVolumes(map);
  EXPECT_EQ(map.drives[0][2].letter, 3);
  EXPECT_EQ(map.drives[1][0].letter, 4);
  EXPECT_EQ(map.drives[1][1].letter, 5);
  std::vector<VolumeEntry> flat;
  FlattenVolumes(map, flat);
  ASSERT_EQ(flat.size(), 5u);
  EXPECT_EQ(flat[3].driveNumber, 1);
  EXPECT_EQ(flat[3].start, 2048u);
}

TEST(VolumeMapRules, CardReadersCountAsRemovableByTheirBus) {
  EXPECT_TRUE(RemovableFromFacts(true, "/sys/devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0"));
  EXPECT_TRUE(RemovableFromFacts(false, "/sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0"));
  EXPECT_TRUE(RemovableFromFacts(false, "/sys/devices/pci0000:00/0000:00:1e.6/mmc_host/mmc0/mmc0:aaaa"));
  EXPECT_FALSE(RemovableFromFacts(false, "/sys/devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0"));
  EXPECT_FALSE(RemovableFromFacts(false, ""));
}

class VolumeMapImages : public test::PartitionedImagesTest {};

TEST_F(VolumeMapImages, EveryImageListsWhatWasPutInIt) {
  ASSERT_TRUE(built_);
  std::vector<DriveInfo> drives;
  for (test::PartitionedImage* image : images_->All()) drives.push_back(DriveInfo{image->path, "", true});
  VolumeMap map;
  ASSERT_TRUE(EnumerateVolumes(map, drives));
  ASSERT_EQ(map.drives.size(), drives.size());
  int position = 1;
  for (std::size_t d = 0; d < drives.size(); ++d) {
    const test::PartitionedImage& image = *images_->All()[d];
    SCOPED_TRACE(image.path);
    const std::vector<VolumeEntry>& entries = map.drives[static_cast<int>(d)];
    EXPECT_EQ(map.facts[static_cast<int>(d)].tableType, image.tableType);
    EXPECT_FALSE(map.facts[static_cast<int>(d)].unreadable);
    ASSERT_EQ(entries.size(), image.rows.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const VolumeEntry& e = entries[i];
      const test::ExpectedRow& want = image.rows[i];
      EXPECT_EQ(e.start, want.start) << i;
      EXPECT_EQ(e.length, want.length) << i;
      EXPECT_EQ(e.fileSystemName, want.fileSystem) << i;
      EXPECT_EQ(e.label, want.label) << i;
      EXPECT_EQ(e.partitionNumber, want.partition) << i;
      EXPECT_EQ(e.driveNumber, static_cast<int>(d));
      EXPECT_EQ(e.letter, position++);
      EXPECT_EQ(e.kind == 0, want.type == "unallocated" || want.type == "drive") << i;
    }
  }
  // The classic kinds: FAT (6) for the FAT16 card, NTFS (7), the Linux type byte for ext4.
  EXPECT_EQ(map.drives[0][0].kind, kKindFat);
  EXPECT_EQ(map.drives[0][1].kind, kKindNtfs);
  EXPECT_EQ(map.drives[0][2].kind, 0x83);
  EXPECT_EQ(map.drives[1][2].kind, 0x83);  // a GPT Linux partition gets the MBR type of its purpose
}

TEST_F(VolumeMapImages, UnpluggedDrivesAreFoundAsRemoved) {
  ASSERT_TRUE(built_);
  const char* before = std::getenv("REXMOOR_DRIVES");
  const std::string saved = before != nullptr ? before : "";
  setenv("REXMOOR_DRIVES", (images_->mbr.path + ":" + images_->gpt.path).c_str(), 1);
  VolumeMap map;
  EnumerateVolumes(map);
  std::vector<VolumeEntry> previous;
  FlattenVolumes(map, previous);
  ASSERT_EQ(previous.size(), 8u);
  setenv("REXMOOR_DRIVES", images_->mbr.path.c_str(), 1);
  std::vector<VolumeEntry> removed;
  FindRemovedVolumes(map, previous, removed);
  if (before != nullptr) setenv("REXMOOR_DRIVES", saved.c_str(), 1); else unsetenv("REXMOOR_DRIVES");
  ASSERT_EQ(removed.size(), 4u);
  for (const VolumeEntry& e : removed) EXPECT_EQ(e.driveNumber, 1);
  EXPECT_EQ(map.drives.size(), 1u);
}

TEST_F(VolumeMapImages, CorruptPartitionTablesListOnlyWhatLiesOnTheDrive) {
  ASSERT_TRUE(built_);
  // Mutations of the MBR, its first EBR and the GPT header and entries, each enumerated.
  const std::vector<std::uint8_t> mbr = test::ReadFileHead(images_->mbr.path, 1 << 16);
  const std::vector<std::uint8_t> gpt = test::ReadFileHead(images_->gpt.path, 1 << 16);
  const std::string work = dir_->path() + "/mutant.img";
  std::uint32_t seed = 1;
  for (int round = 0; round < 120; ++round) {
    std::vector<std::uint8_t> head = round % 2 == 0 ? mbr : gpt;
    const std::vector<std::uint8_t> noise = test::RandomBytes(64, seed++);
    for (int k = 0; k < 16; ++k) {
      // Hit the table areas: the MBR entries, the GPT header and the first GPT entries.
      const std::size_t spots[] = {446, 512, 1024};
      const std::size_t base = spots[noise[k] % 3];
      head[base + noise[16 + k] % 128] = noise[32 + k];
    }
    test::WriteFileBytes(work, head);
    ASSERT_EQ(test::RunCommand("truncate -s 8M " + test::ShellQuote(work)), 0);
    VolumeMap map;
    EnumerateVolumes(map, {DriveInfo{work, "", true}});
    for (const auto& [drive, entries] : map.drives)
      for (const VolumeEntry& e : entries) {
        EXPECT_LE(e.start + e.length, 16384u) << "round " << round;
        EXPECT_LE(e.label.size(), 128u);
      }
  }
}

}  // namespace
}  // namespace rexmoor
