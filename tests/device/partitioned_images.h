// Partitioned disk images made by sfdisk and the file systems' own mkfs tools, with what was put
// into them: the ground truth the drive listing is checked against.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fat/fat_volume_builder.h"
#include "test_support.h"

namespace rexmoor::test {

struct ExpectedRow {
  std::string type;  // "partition", "volume", "unallocated", "drive"
  std::uint64_t start = 0;
  std::uint64_t length = 0;
  std::string fileSystem;  // empty where none
  std::string label;
  int partition = -1;
};

struct PartitionedImage {
  std::string path;
  std::string tableType;  // "dos", "gpt" or empty
  std::vector<ExpectedRow> rows;
};

struct PartitionedImages {
  PartitionedImage mbr;    // primary FAT, extended with NTFS and ext4 logicals, trailing free space
  PartitionedImage gpt;    // first partition at 20,480: a leading unallocated area at 63
  PartitionedImage whole;  // FAT on the whole image, no partition table
  PartitionedImage blank;  // nothing at all
  std::string deletedName;  // a file deleted from the MBR image's FAT partition
  std::vector<PartitionedImage*> All() { return {&mbr, &gpt, &whole, &blank}; }
};

inline int Sh(const std::string& command) { return RunCommand("(" + command + ") >/dev/null 2>&1"); }

// Writes a file system made in a file of its own into the image at a sector.
inline bool PlaceVolume(const std::string& image, const std::string& volume, std::uint64_t sector) {
  return Sh("dd if=" + ShellQuote(volume) + " of=" + ShellQuote(image) + " bs=512 seek=" + std::to_string(sector) +
            " conv=notrunc status=none") == 0;
}

// Builds the four images in dir; false (with a test failure) when a tool is missing or fails.
inline bool BuildPartitionedImages(const std::string& dir, PartitionedImages& out) {
  const auto at = [&](const std::string& name) { return ShellQuote(dir + "/" + name); };
  out.mbr.path = dir + "/mbr.img";
  out.mbr.tableType = "dos";
  out.mbr.rows = {{"partition", 2048, 20480, "FAT", "CARD", 1},
                  {"partition", 24576, 16384, "NTFS", "LOGICAL", 5},
                  {"partition", 43008, 12288, "ext4", "EXTLOG", 6},
                  {"unallocated", 55296, 131072 - 55296, "", "", -1}};
  out.deletedName = "deleted notes.txt";
  bool ok = Sh("truncate -s 64M " + at("mbr.img")) == 0 &&
            Sh("printf 'label: dos\\nstart=2048, size=20480, type=e\\nstart=22528, size=40960, type=5\\n"
               "start=24576, size=16384, type=7\\nstart=43008, size=12288, type=83\\n' | sfdisk -q " +
               at("mbr.img")) == 0 &&
            Sh("truncate -s 10M " + at("p1") + " && mkfs.fat -n CARD " + at("p1")) == 0 &&
            Sh("head -c 20000 /dev/urandom > " + at("notes.txt") + " && mcopy -i " + at("p1") + " " + at("notes.txt") +
               " '::deleted notes.txt' && mdel -i " + at("p1") + " '::deleted notes.txt'") == 0 &&
            PlaceVolume(out.mbr.path, dir + "/p1", 2048) &&
            Sh("truncate -s 8M " + at("p5") + " && mkntfs -q -F -Q -L LOGICAL " + at("p5")) == 0 &&
            PlaceVolume(out.mbr.path, dir + "/p5", 24576) &&
            Sh("truncate -s 6M " + at("p6") + " && mkfs.ext4 -q -F -L EXTLOG " + at("p6")) == 0 &&
            PlaceVolume(out.mbr.path, dir + "/p6", 43008);

  out.gpt.path = dir + "/gpt.img";
  out.gpt.tableType = "gpt";
  out.gpt.rows = {{"unallocated", 63, 20480 - 63, "", "", -1},
                  {"partition", 20480, 40960, "FAT", "GPTFAT", 1},
                  {"partition", 61440, 40960, "ext4", "linuxroot", 2},
                  {"unallocated", 102400, 131072 - 102400, "", "", -1}};
  ok = ok && Sh("truncate -s 64M " + at("gpt.img")) == 0 &&
       Sh("printf 'label: gpt\\nstart=20480, size=40960, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\\n"
          "start=61440, size=40960, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4\\n' | sfdisk -q " +
          at("gpt.img")) == 0 &&
       Sh("truncate -s 20M " + at("g1") + " && mkfs.fat -n GPTFAT " + at("g1")) == 0 &&
       PlaceVolume(out.gpt.path, dir + "/g1", 20480) &&
       Sh("truncate -s 20M " + at("g2") + " && mkfs.ext4 -q -F -L linuxroot " + at("g2")) == 0 &&
       PlaceVolume(out.gpt.path, dir + "/g2", 61440);

  out.whole.path = dir + "/whole.img";
  out.whole.rows = {{"volume", 0, 32768, "FAT", "WHOLE", -1}};
  ok = ok && Sh("truncate -s 16M " + at("whole.img") + " && mkfs.fat -n WHOLE " + at("whole.img")) == 0;

  out.blank.path = dir + "/blank.img";
  out.blank.rows = {{"drive", 0, 16384, "", "", -1}};
  ok = ok && Sh("truncate -s 8M " + at("blank.img")) == 0;
  if (!ok) ADD_FAILURE() << "could not build the partitioned images (sfdisk, mkfs.fat, mtools, mkntfs, mkfs.ext4)";
  return ok;
}

// A suite over the four images, built once for all its tests.
class PartitionedImagesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    images_ = new PartitionedImages();
    built_ = BuildPartitionedImages(dir_->path(), *images_);
  }
  static void TearDownTestSuite() {
    delete images_;
    delete dir_;
    images_ = nullptr;
    dir_ = nullptr;
  }
  static inline TempDir* dir_ = nullptr;
  static inline PartitionedImages* images_ = nullptr;
  static inline bool built_ = false;
};

}  // namespace rexmoor::test
